#pragma once
// The one seam through which the engine reaches the person at the screen.
// The desktop program implements it with Qt, the service program with a quiet
// variant, the tests with a recording double. The engine never includes Qt.

#include <optional>
#include <string>
#include <vector>

/// Kinds of message dialog.
enum class MsgDlgType { Warning, Error, Information, Confirmation };

/// The standard buttons of a message dialog, in the order they are given.
enum class MsgDlgBtn { Yes, No, Ok, Cancel };

/// The standard result of a modal dialog; closing without a button is Cancel.
enum class ModalResult { None, Ok, Cancel, Yes, No };

/// What a file dialog shows and checks. The filter is written in the
/// "Description|pattern;pattern|Description|pattern" form.
struct FileDialogOptions {
  std::string filter;
  std::string defaultExt;      // ".qm", empty for none
  std::string initialDir;      // empty for the current directory
  bool fileMustExist = false;  // open dialogs: the chosen file must exist
  bool overwritePrompt = false;  // save dialogs: ask before replacing a file
  bool noRecentDocuments = false;  // do not add the choice to recent documents
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;

  /// Modal message dialog of the given kind with the given standard buttons,
  /// whose captions are replaced in button order by `captions`; title
  /// "Quillmark". Returns the pressed button's standard result, Cancel when
  /// closed without a button.
  virtual ModalResult CaptionedMessageDlg(const std::string& text, MsgDlgType kind,
                                          const std::vector<MsgDlgBtn>& buttons,
                                          const std::vector<std::string>& captions) = 0;

  /// Plain message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;

  /// Confirmation box with the buttons Yes and No; true for Yes.
  virtual bool ConfirmYesNo(const std::string& text) = 0;

  /// The application's standard error display for a failure no operation
  /// caught; processing goes on afterwards.
  virtual void ShowError(const std::string& text) = 0;

  /// Input box; nullopt when cancelled.
  virtual std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                              const std::string& defaultValue) = 0;

  /// File dialogs; nullopt when cancelled, else the chosen full path.
  virtual std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) = 0;
  virtual std::optional<std::string> SaveFileDialog(const FileDialogOptions& options) = 0;

  /// The main window's title.
  virtual void SetTitle(const std::string& title) = 0;

  /// Sets the text of a named label of the main window (the counters
  /// "LStatusempfangen", "LStatusGesand", "LStatusHTTP" and "LStatusTimer").
  /// May be called from any thread; must not wait for the screen.
  virtual void SetLabel(const std::string& control, const std::string& text) = 0;

  /// Appends one line to the on-screen log. Called with LogLock held, from
  /// any thread: it must post the line and never wait for the screen.
  virtual void AppendLogLine(const std::string& line) = 0;

  /// The polling timer `Timer1` changed: interval in milliseconds, enabled.
  virtual void TimerChanged(unsigned intervalMs, bool enabled) = 0;

  /// Shows or hides a page of the main window ("TabS_preview").
  virtual void SetPageVisible(const std::string& page, bool visible) = 0;

  /// Shows a named dialog window modally ("TFSettings", "TFrm_Mail") and
  /// returns how it was closed.
  virtual ModalResult ShowModalDialog(const std::string& dialog) = 0;

  /// Shows a named window without waiting ("TFDBUtil", "TFrm_Info").
  virtual void ShowWindow(const std::string& window) = 0;

  /// Asks the application to end (after start-up, without closing sequence).
  virtual void Terminate() = 0;
};
