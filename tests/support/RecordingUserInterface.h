#pragma once
// A UserInterface for tests: records every call and answers questions from
// scripted queues (default answers when a queue is empty).

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/UserInterface.h"

class RecordingUserInterface : public UserInterface {
 public:
  struct Dialog {
    std::string text;
    MsgDlgType kind;
    std::vector<MsgDlgBtn> buttons;
    std::vector<std::string> captions;
  };

  // Scripted answers, taken front first.
  std::deque<ModalResult> dialogAnswers;          // CaptionedMessageDlg
  std::deque<bool> confirmAnswers;                // ConfirmYesNo (default: true)
  std::deque<std::optional<std::string>> inputAnswers;  // InputBox (default: nullopt)
  std::deque<std::optional<std::string>> openAnswers;   // OpenFileDialog (default: nullopt)
  std::deque<std::optional<std::string>> saveAnswers;   // SaveFileDialog (default: nullopt)
  std::deque<ModalResult> modalAnswers;           // ShowModalDialog (default: Cancel)

  // What happened, in order.
  std::vector<Dialog> dialogs;
  std::vector<std::string> messages;   // ShowMessage
  std::vector<std::string> confirms;   // ConfirmYesNo texts
  std::vector<std::string> errors;     // ShowError
  std::vector<std::string> inputs;     // InputBox prompts
  std::vector<FileDialogOptions> openDialogs, saveDialogs;
  std::vector<std::string> titles;
  std::vector<std::pair<std::string, std::string>> labels;
  std::vector<std::pair<unsigned, bool>> timers;
  std::vector<std::pair<std::string, bool>> pages;
  std::vector<std::string> modalDialogs, windows;
  int terminated = 0;

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

  /// Thread-safe copies of what may be written from other threads.
  std::vector<std::string> LogLines() const;
  std::string Label(const std::string& control) const;  // last text set, "" if none

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> logLines_;
};

/// Records the dialogs but keeps no log line or label: for load and
/// benchmark runs that write millions of them.
struct QuietRecording : RecordingUserInterface {
  void AppendLogLine(const std::string&) override {}
  void SetLabel(const std::string&, const std::string&) override {}
};
