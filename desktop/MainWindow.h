#pragma once
// The main window TForm_main: a view over the engine's controller. It shows
// the project's texts and lists, the placeholder catalogue, the on-screen log
// and the counters, and forwards every menu, button and edit to the engine.

#include <QMainWindow>
#include <QString>
#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTextBrowser;
class QTimer;
class QAction;
class TForm_main;
class TSysTray;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  /// Binds the window to the engine's controller and shows its state.
  void Bind(TForm_main* engine);
  TForm_main* Engine() const { return engine_; }

  /// Copies the project's texts, lists and catalogue from the engine into the
  /// widgets (without marking anything modified).
  void RefreshFromEngine();

  // ---- what the engine drives (through QtUserInterface, GUI thread) -----
  void ApplyLabel(const QString& control, const QString& text);
  void AppendLogLine(const QString& line);
  void ApplyTimer(unsigned intervalMs, bool enabled);
  void ApplyPageVisible(const QString& page, bool visible);
  /// The poll's progress in the status area; "" when no poll runs.
  void ShowPollProgress(const QString& text);
  /// While the mail worker runs a poll or a send, no other can be started
  /// from the group "Aktionen", and a close waits: the closing sequence
  /// (hand-over to the service, cleaning the attachment store) runs once the
  /// work has ended.
  void SetMailBusy(bool busy);

  /// Runs an engine action; a failure that escapes it is shown with the
  /// application's standard error display and processing goes on.
  void Guard(const std::function<void()>& action);

  TSysTray* SysTray1() const { return sysTray_; }
  QTimer* Timer1() const { return timer_; }

  /// Ties the actions that the engine does not own to their views.
  std::function<void()> onSettings;      // "&Einstellungen"
  std::function<void()> onInfo;          // "&Info"
  std::function<void()> onManualSend;    // "Signatur manuell senden..."
  std::function<void()> onReceiveMails;  // "Nachrichten manuell abrufen" and Timer1
  std::function<void()> onClosed;        // the close was accepted

  /// Rebuilds the preview page: the template, or the signature of the
  /// address in E_previewAddress (or the system's message about it).
  void TabS_previewShow();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  QWidget* BuildPages();
  QWidget* BuildCatalogue();
  QWidget* BuildBottom();
  void ProjectAction(const std::function<void()>& action);
  void TextEdited(bool mailText);
  void LB_FelderDblClick();
  void SysTray1DblClick();

  TForm_main* engine_ = nullptr;
  bool updating_ = false;
  bool centred_ = false;
  bool mailBusy_ = false;
  bool closeWaiting_ = false;  // a close arrived while the mail worker was busy
  QTabWidget* pages_;
  QPlainTextEdit* mText_;
  QPlainTextEdit* mSignatur_;
  QWidget* tabPreview_;
  QLineEdit* previewAddress_;
  QTextBrowser* browser_;
  QListWidget* shortNames_;
  QListWidget* felder_;
  QPlainTextEdit* info_;
  QTimer* timer_;
  TSysTray* sysTray_;
};
