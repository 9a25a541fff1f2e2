#include "SysTray.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <exception>

#include "app/Main.h"
#include "base/UUtils.h"

TSysTray::TSysTray(QObject* owner) : QObject(owner), tray_(new QSystemTrayIcon(this)) {
  tray_->setIcon(EffectiveIcon());
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
      case QSystemTrayIcon::Trigger:
        HandleNotification(kLButtonDown);
        HandleNotification(kLButtonUp);
        break;
      case QSystemTrayIcon::DoubleClick: HandleNotification(kLButtonDblClk); break;
      case QSystemTrayIcon::Context:
        HandleNotification(kRButtonDown);
        HandleNotification(kRButtonUp);
        break;
      case QSystemTrayIcon::MiddleClick:
        HandleNotification(kMButtonDown);
        HandleNotification(kMButtonUp);
        break;
      default: break;
    }
  });
}

TSysTray::~TSysTray() { SetVisible(false); }

void TSysTray::Shell(ShellOp op) {
  switch (op) {
    case ShellOp::Add:
      tray_->setIcon(EffectiveIcon());
      tray_->setToolTip(hint_);
      tray_->show();
      break;
    case ShellOp::Modify:
      tray_->setIcon(EffectiveIcon());
      tray_->setToolTip(hint_);
      break;
    case ShellOp::Delete: tray_->hide(); break;
  }
}

void TSysTray::SetVisible(bool value) {
  if (value != visible_) Shell(value ? ShellOp::Add : ShellOp::Delete);
  visible_ = value;
}

void TSysTray::SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }

void TSysTray::SetIcon(const QIcon& icon) {
  icon_ = icon;
  Shell(ShellOp::Modify);
}

QIcon TSysTray::EffectiveIcon() const {
  if (!icon_.isNull()) return icon_;
  return QApplication::windowIcon();
}

void TSysTray::SetHint(const QString& hint) {
  if (hint == hint_) return;
  hint_ = hint.left(kMaxHint);
  Shell(ShellOp::Modify);
}

void TSysTray::Guarded(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    if (Form_main)
      Form_main->UI().ShowError(qm::FailureText(e));
    else
      QMessageBox::critical(nullptr, QString::fromUtf8(kDesktopTitle), QString::fromStdString(qm::FailureText(e)));
  }
}

void TSysTray::HandleNotification(int mouseMessage) {
  Guarded([&] {
    switch (mouseMessage) {
      case kMouseMove: MouseMove(); break;
      case kLButtonDown: MouseDown(Qt::LeftButton, false); break;
      case kLButtonUp:
        Click();
        MouseUp(Qt::LeftButton);
        break;
      case kLButtonDblClk:
        DblClick();
        MouseDown(Qt::LeftButton, true);
        break;
      case kRButtonDown:
        MouseDown(Qt::RightButton, false);
        // QSystemTrayIcon opens a context menu of its own only when one is
        // set on it; ours is opened here, at the cursor.
        if (popupMenu_) popupMenu_->popup(QCursor::pos());
        break;
      case kRButtonUp: MouseUp(Qt::RightButton); break;
      case kRButtonDblClk: MouseDown(Qt::RightButton, true); break;
      case kMButtonDown: MouseDown(Qt::MiddleButton, false); break;
      case kMButtonUp: MouseUp(Qt::MiddleButton); break;
      case kMButtonDblClk: MouseDown(Qt::MiddleButton, true); break;
      default: break;
    }
  });
}

void TSysTray::MouseDown(Qt::MouseButton button, bool dblClick) {
  if (OnMouseDown) OnMouseDown(this, button, QGuiApplication::keyboardModifiers(), dblClick, QCursor::pos());
}

void TSysTray::MouseMove() {
  if (OnMouseMove) OnMouseMove(this, Qt::NoButton, QGuiApplication::keyboardModifiers(), false, QCursor::pos());
}

void TSysTray::MouseUp(Qt::MouseButton button) {
  if (OnMouseUp) OnMouseUp(this, button, QGuiApplication::keyboardModifiers(), false, QCursor::pos());
}

void TSysTray::Click() {
  if (OnClick) OnClick(this);
}

void TSysTray::DblClick() {
  if (OnDblClick) OnDblClick(this);
}
