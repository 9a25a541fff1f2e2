#pragma once
// TSysTray: the program's icon in the desktop's notification area, over
// QSystemTrayIcon. The icon is there exactly while Visible is on; setting a
// property to the value it already has reaches the notification area not at
// all. Mouse notifications arrive as the classic mouse message numbers and
// are dispatched to the events below.

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <functional>

#include <QMenu>
class QSystemTrayIcon;

class TSysTray : public QObject {
  Q_OBJECT
 public:
  /// The longest hint the notification area shows.
  static constexpr int kMaxHint = 63;

  /// Mouse messages of the notification callback.
  enum MouseMessage : int {
    kMouseMove = 512,
    kLButtonDown = 513,
    kLButtonUp = 514,
    kLButtonDblClk = 515,
    kRButtonDown = 516,
    kRButtonUp = 517,
    kRButtonDblClk = 518,
    kMButtonDown = 519,
    kMButtonUp = 520,
    kMButtonDblClk = 521,
  };

  /// What a notification area call did (for subclasses that watch it).
  enum class ShellOp { Add, Modify, Delete };

  using NotifyEvent = std::function<void(TSysTray* sender)>;
  using MouseEvent =
      std::function<void(TSysTray* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, bool dblClick,
                         QPoint pos)>;

  explicit TSysTray(QObject* owner = nullptr);
  ~TSysTray() override;

  bool Visible() const { return visible_; }
  void SetVisible(bool value);

  QMenu* PopupMenu() const { return popupMenu_; }
  /// Keeps the menu; forgets it by itself when the menu is destroyed.
  void SetPopupMenu(QMenu* menu);

  /// The image shown; empty means the application's icon.
  QIcon Icon() const { return icon_; }
  void SetIcon(const QIcon& icon);
  /// The icon that is actually shown.
  QIcon EffectiveIcon() const;

  /// The tooltip, cut to its first 63 characters.
  QString Hint() const { return hint_; }
  void SetHint(const QString& hint);

  NotifyEvent OnClick;
  NotifyEvent OnDblClick;
  MouseEvent OnMouseDown;
  MouseEvent OnMouseMove;
  MouseEvent OnMouseUp;

  /// Dispatches one notification by its mouse message number; other numbers
  /// do nothing. A failing event handler is reported, never passed on.
  void HandleNotification(int mouseMessage);

  /// The Qt object behind the icon.
  QSystemTrayIcon* TrayIcon() const { return tray_; }

 protected:
  /// Every call into the notification area goes through here.
  virtual void Shell(ShellOp op);

  virtual void MouseDown(Qt::MouseButton button, bool dblClick);
  virtual void MouseMove();
  virtual void MouseUp(Qt::MouseButton button);
  virtual void Click();
  virtual void DblClick();

 private:
  void Guarded(const std::function<void()>& f);

  QSystemTrayIcon* tray_;
  bool visible_ = false;
  QPointer<QMenu> popupMenu_;
  QIcon icon_;
  QString hint_;
};
