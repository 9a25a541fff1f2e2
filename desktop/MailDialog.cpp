#include "MailDialog.h"
#include "base/Texts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <exception>

#include "app/Main.h"
#include "MailWorker.h"
#include "QtUserInterface.h"
#include "base/UUtils.h"
#include "mail/UMailTools.h"

namespace {

QPushButton* Button(const char* name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  // No button is the dialog's default: Enter in the address field sends to
  // that address, and nowhere else does Enter press a button.
  b->setAutoDefault(false);
  return b;
}

const char* const kSending = "Signaturen werden versendet...";

}  // namespace

SendProgressDialog::SendProgressDialog(std::size_t count, QWidget* parent) : QDialog(parent) {
  setObjectName("ProgressDialog_send");
  setWindowTitle(parent ? parent->windowTitle() : QString());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowModality(Qt::ApplicationModal);
  label_ = new QLabel(kSending, this);
  label_->setObjectName("Label_progress");
  label_->setMinimumWidth(360);
  state_ = new QLabel(this);
  state_->setObjectName("Label_cancel");
  bar_ = new QProgressBar(this);
  bar_->setObjectName("ProgressBar_send");
  bar_->setRange(0, static_cast<int>(count));
  bar_->setValue(0);
  cancel_ = new QPushButton("Abbrechen", this);
  cancel_->setObjectName("Btn_cancel");
  cancel_->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  auto* v = new QVBoxLayout(this);
  v->addWidget(label_);
  v->addWidget(bar_);
  v->addWidget(state_);
  v->addLayout(buttons);
  connect(cancel_, &QPushButton::clicked, this, &SendProgressDialog::Cancel);
}

void SendProgressDialog::Step(std::size_t number, std::size_t count, const QString& address) {
  label_->setText(QStringLiteral("%1\n\n%2 von %3\n%4").arg(kSending).arg(number).arg(count).arg(address));
  bar_->setMaximum(static_cast<int>(count));
  bar_->setValue(static_cast<int>(number - 1));  // the sends that have ended
}

void SendProgressDialog::Cancel() {
  if (cancelled_.exchange(true)) return;
  cancel_->setEnabled(false);
  state_->setText("Der Versand wird nach der laufenden Nachricht abgebrochen.");
}

void SendProgressDialog::reject() { Cancel(); }

void SendProgressDialog::closeEvent(QCloseEvent* event) {
  Cancel();
  event->ignore();
}

MailDialog::MailDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(qm::text::kWindowBulkSend);
  setWindowTitle("Mail an mehrere Benutzer versenden");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  auto* label1 = new QLabel(
      "Durch Klick auf einen Eintrag in der ersten Spalte können Sie die Benutzer aus- oder abwählen, die eine "
      "Signatur erhalten sollen.",
      this);
  label1->setObjectName("Label1");
  label1->setWordWrap(true);

  grid_ = new QTableWidget(this);
  grid_->setObjectName("SGrid_Mail");
  grid_->setColumnCount(2);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->verticalHeader()->hide();
  grid_->verticalHeader()->setDefaultSectionSize(20);
  grid_->viewport()->installEventFilter(this);

  auto* alle = Button("Btn_alle", "Alle auswählen", this);
  auto* keine = Button("Btn_keine", "Alle abwählen", this);
  auto* send = Button("Btn_send", "Signaturen senden", this);
  auto* label2 = new QLabel("Alternativ können Sie hier eine einzelne Zieladresse angeben:", this);
  label2->setObjectName("Label2");
  address_ = new QLineEdit(this);
  address_->setObjectName("E_eineAdr");
  auto* sendOne = Button("Button2", "Signatur senden", this);
  auto* close = Button("Button1", "Fenster schließen", this);

  auto* side = new QVBoxLayout;
  side->addWidget(alle);
  side->addWidget(keine);
  side->addSpacing(12);
  side->addWidget(send);
  side->addStretch(1);
  auto* middle = new QHBoxLayout;
  middle->addWidget(grid_, 1);
  middle->addLayout(side);
  auto* single = new QHBoxLayout;
  single->addWidget(address_, 1);
  single->addWidget(sendOne);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(close);
  auto* v = new QVBoxLayout(this);
  v->addWidget(label1);
  v->addLayout(middle, 1);
  v->addWidget(label2);
  v->addLayout(single);
  v->addSpacing(8);
  v->addLayout(bottom);

  connect(alle, &QPushButton::clicked, this, [this] { Run(&TFMailTools::Btn_alleClick); });
  connect(keine, &QPushButton::clicked, this, [this] { Run(&TFMailTools::Btn_keineClick); });
  connect(send, &QPushButton::clicked, this, [this] { Send(false); });
  connect(sendOne, &QPushButton::clicked, this, [this] { Send(true); });
  connect(address_, &QLineEdit::returnPressed, sendOne, &QPushButton::click);
  connect(close, &QPushButton::clicked, this, [this] { Run(&TFMailTools::Button1Click); });
  setFixedSize(560, 420);
}

int MailDialog::exec() {
  if (model_) {
    model_->closeRequested = false;
    Run(&TFMailTools::FormShow);
  }
  return QDialog::exec();
}

void MailDialog::RefreshFromModel() {
  if (!model_) return;
  const auto& cells = model_->SGrid_Mail;
  if (!cells.empty() && cells[0].size() >= 2)
    grid_->setHorizontalHeaderLabels({Q(cells[0][0]), Q(cells[0][1])});
  int rows = cells.empty() ? 0 : static_cast<int>(cells.size()) - 1;
  grid_->setRowCount(rows);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < 2; ++c) {
      const auto& row = cells[static_cast<std::size_t>(r) + 1];
      QString text = c < static_cast<int>(row.size()) ? Q(row[static_cast<std::size_t>(c)]) : QString();
      QTableWidgetItem* item = grid_->item(r, c);
      if (!item) grid_->setItem(r, c, item = new QTableWidgetItem);
      item->setText(text);
      if (c == 0) item->setTextAlignment(Qt::AlignCenter);
    }
  }
  grid_->setColumnWidth(1, model_->SGrid_MailColWidth1);
  grid_->setColumnWidth(0, 90);
  address_->setText(Q(model_->E_eineAdr));
}

void MailDialog::Send(bool single) {
  if (!model_) return;
  model_->E_eineAdr = S(address_->text());
  Guarded([this, single] {
    TFMailTools::SendRun run = model_->PrepareSend(single);
    if (!run.addresses.empty()) {
      SendProgressDialog progress(run.addresses.size(), this);
      progress.Step(1, run.addresses.size(), Q(run.addresses.front()));
      progress.show();
      SendProgressDialog* box = &progress;  // outlives the sending (Run joins)
      auto send = [&] {
        model_->RunSend(
            run,
            [box](std::size_t number, std::size_t count, const std::string& address) {
              MailWorker::Post(box, [box, number, count, a = Q(address)] { box->Step(number, count, a); });
            },
            &progress.Cancelled());
      };
      if (worker_)
        worker_->Run(send);
      else
        send();
    }
    model_->ReportSend(run);
  });
}

void MailDialog::Run(void (TFMailTools::*handler)()) {
  if (!model_) return;
  model_->E_eineAdr = S(address_->text());
  Guarded([this, handler] { (model_->*handler)(); });
}

void MailDialog::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    if (Form_main) Form_main->UI().ShowError(qm::FailureText(e));
  } catch (...) {
    if (Form_main) Form_main->UI().ShowError(qm::text::kRuntimeError);
  }
  RefreshFromModel();
  if (model_->closeRequested) {
    model_->closeRequested = false;
    accept();
  }
}

bool MailDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == grid_->viewport() && event->type() == QEvent::MouseButtonRelease && model_) {
    // The press has made the cell under the mouse the current one; the model
    // toggles the mark when that cell is in the first column.
    bool handled = QDialog::eventFilter(watched, event);
    if (grid_->currentRow() >= 0) {
      model_->SGrid_MailRow = grid_->currentRow() + 1;
      model_->SGrid_MailCol = grid_->currentColumn();
      Run(&TFMailTools::SGrid_MailMouseUp);
    }
    return handled;
  }
  return QDialog::eventFilter(watched, event);
}
