#pragma once
// The desktop program's UserInterface: Qt message boxes, input and file
// dialogs, and the main window's title, labels, log, timer and pages. Calls
// that may come from other threads (labels, log lines) are posted to the GUI
// thread and never awaited, so they keep their call order and never block a
// thread that holds one of the engine's locks.

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/UserInterface.h"

#include "MainWindow.h"
class QWidget;

class QtUserInterface : public QObject, public UserInterface {
  Q_OBJECT
 public:
  QtUserInterface();
  ~QtUserInterface() override;

  /// Binds the main window. Title, labels, log lines, timer and page changes
  /// that arrived before are applied to it in their order.
  void AttachMainWindow(MainWindow* window);
  MainWindow* Window() const { return window_; }

  /// Registers the views behind ShowModalDialog / ShowWindow by name.
  void RegisterModalDialog(const std::string& name, std::function<ModalResult()> show);
  void RegisterWindow(const std::string& name, std::function<void()> show);

  /// True once the engine asked the application to end.
  bool TerminateRequested() const { return terminate_; }

  /// Converts "Desc|pat;pat|Desc|pat" into Qt's "Desc (pat pat);;Desc (pat)".
  /// "*.*" becomes "*" (every file, with or without a dot).
  static QString ConvertFilter(const std::string& filter);

  ModalResult CaptionedMessageDlg(const std::string& text, MsgDlgType kind, const std::vector<MsgDlgBtn>& buttons,
                                  const std::vector<std::string>& captions) override;
  void ShowMessage(const std::string& text) override;
  bool ConfirmYesNo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                      const std::string& defaultValue) override;
  std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) override;
  std::optional<std::string> SaveFileDialog(const FileDialogOptions& options) override;
  void SetTitle(const std::string& title) override;
  void SetLabel(const std::string& control, const std::string& text) override;
  void AppendLogLine(const std::string& line) override;
  void TimerChanged(unsigned intervalMs, bool enabled) override;
  void SetPageVisible(const std::string& page, bool visible) override;
  ModalResult ShowModalDialog(const std::string& dialog) override;
  void ShowWindow(const std::string& window) override;
  void Terminate() override;

 private:
  /// Runs `apply` on the GUI thread against the main window, queued; kept
  /// until a window is attached when there is none yet.
  void Post(std::function<void(MainWindow&)> apply);
  QWidget* DialogParent() const;
  std::optional<std::string> RunFileDialog(const FileDialogOptions& options, bool save);

  std::mutex mutex_;
  QPointer<MainWindow> window_;
  std::vector<std::function<void(MainWindow&)>> pending_;
  std::map<std::string, std::function<ModalResult()>> modal_;
  std::map<std::string, std::function<void()>> windows_;
  bool terminate_ = false;
};

/// Text conversions between the engine (UTF-8 std::string) and Qt.
inline QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
inline std::string S(const QString& s) { return s.toUtf8().toStdString(); }
