#include "DBUtilWindow.h"
#include "base/Texts.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

#include "QtUserInterface.h"

DBUtilWindow::DBUtilWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(qm::text::kWindowConnectionTest);
  setWindowTitle("Datenbank Verbindung - Test");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(false);
  setFixedSize(652, 294);

  grid_ = new QTableWidget(this);
  grid_->setObjectName("DBGrid1");
  grid_->setGeometry(16, 8, 625, 185);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid_->verticalHeader()->setDefaultSectionSize(20);

  auto* close = new QPushButton("Fenster schließen", this);
  close->setObjectName("Button_FDBUtil_close");
  close->setGeometry(528, 224, 115, 25);
  connect(close, &QPushButton::clicked, this, [this] {
    hide();
    if (onCloseClick) onCloseClick();
  });
}

void DBUtilWindow::SetRows(const std::vector<std::string>& fields,
                           const std::vector<std::vector<std::string>>& rows) {
  grid_->clear();
  grid_->setColumnCount(static_cast<int>(fields.size()));
  QStringList headers;
  for (const auto& f : fields) headers << Q(f);
  grid_->setHorizontalHeaderLabels(headers);
  grid_->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r)
    for (int c = 0; c < static_cast<int>(rows[r].size()) && c < grid_->columnCount(); ++c)
      grid_->setItem(r, c, new QTableWidgetItem(Q(rows[r][c])));
}

void DBUtilWindow::closeEvent(QCloseEvent* event) {
  QDialog::closeEvent(event);
  if (event->isAccepted() && onFormClose) onFormClose();
}

void DBUtilWindow::reject() {
  hide();
  if (onFormClose) onFormClose();
}
