#include "InfoWindow.h"
#include "base/Texts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Main.h"
#include "Widgets.h"

InfoWindow::InfoWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(qm::text::kWindowInfo);
  setWindowTitle("Information");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(false);

  auto* icon = new QLabel(this);
  icon->setObjectName("Image1");
  icon->setPixmap(ProgramIcon().pixmap(64, 64));
  icon->setAlignment(Qt::AlignTop);

  product_ = new QLabel(QString::fromUtf8(kDesktopTitle), this);
  product_->setObjectName("Lbl_product");
  QFont f = product_->font();
  f.setPointSizeF(f.pointSizeF() * 1.6);
  f.setBold(true);
  product_->setFont(f);

  details_ = new QLabel(this);
  details_->setObjectName("Lbl_details");
  details_->setWordWrap(true);

  link_ = new QLabel(this);
  link_->setObjectName("Lbl_webLink");
  link_->setTextFormat(Qt::RichText);
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link_->setCursor(Qt::PointingHandCursor);
  connect(link_, &QLabel::linkActivated, this, [this] {
    if (onLinkClicked) onLinkClicked();
  });

  close_ = new QPushButton("Fenster schließen", this);
  close_->setObjectName("Btn_close");
  connect(close_, &QPushButton::clicked, this, &QDialog::close);

  auto* texts = new QVBoxLayout;
  texts->addWidget(product_);
  texts->addWidget(details_);
  texts->addWidget(link_);
  texts->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(12);
  top->addLayout(texts, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(close_);
  auto* v = new QVBoxLayout(this);
  v->addLayout(top, 1);
  v->addLayout(bottom);
  details_->setText("Personalisierte E-Mail-Signaturen für Ihre Organisation.");
  SetTexts(QString::fromUtf8(kDesktopTitle), {}, "Fenster schließen");
  setFixedSize(380, 180);
}

void InfoWindow::SetTexts(const QString& product, const QString& link, const QString& closeCaption) {
  product_->setText(product);
  close_->setText(closeCaption);
  link_->setText(link.isEmpty() ? QString() : QStringLiteral("<a href=\"%1\">%1</a>").arg(link.toHtmlEscaped()));
  link_->setVisible(!link.isEmpty());
}
