#pragma once
// The service program's UserInterface: there is no screen. Messages and errors
// go to standard error and the system log, questions get their default
// answers, nothing is shown.

#include "base/UserInterface.h"

class QuietUserInterface : public UserInterface {
 public:
  /// `ident` names the program in the system log.
  explicit QuietUserInterface(const char* ident = "QuillmarkService1");

  ModalResult CaptionedMessageDlg(const std::string& text, MsgDlgType kind, const std::vector<MsgDlgBtn>& buttons,
                                  const std::vector<std::string>& captions) override;
  void ShowMessage(const std::string& text) override;
  bool ConfirmYesNo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  std::optional<std::string> InputBox(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> OpenFileDialog(const FileDialogOptions&) override { return std::nullopt; }
  std::optional<std::string> SaveFileDialog(const FileDialogOptions&) override { return std::nullopt; }
  void SetTitle(const std::string&) override {}
  void SetLabel(const std::string&, const std::string&) override {}
  void AppendLogLine(const std::string&) override {}
  void TimerChanged(unsigned intervalMs, bool enabled) override;
  void SetPageVisible(const std::string&, bool) override {}
  ModalResult ShowModalDialog(const std::string&) override { return ModalResult::Cancel; }
  void ShowWindow(const std::string&) override {}
  void Terminate() override;

  /// The timer as last set by the engine (the service loop applies it).
  unsigned TimerInterval() const { return timerInterval_; }
  bool TimerEnabled() const { return timerEnabled_; }
  /// True once the engine asked the program to end.
  bool TerminateRequested() const { return terminate_; }

 private:
  void Report(int priority, const std::string& text);
  const char* ident_;
  unsigned timerInterval_ = 10000;
  bool timerEnabled_ = false;
  bool terminate_ = false;
};
