#include "RecordingUserInterface.h"

namespace {
template <typename T>
T Take(std::deque<T>& q, T fallback) {
  if (q.empty()) return fallback;
  T v = std::move(q.front());
  q.pop_front();
  return v;
}
}  // namespace

ModalResult RecordingUserInterface::CaptionedMessageDlg(const std::string& text, MsgDlgType kind,
                                                        const std::vector<MsgDlgBtn>& buttons,
                                                        const std::vector<std::string>& captions) {
  std::lock_guard lk(mutex_);
  dialogs.push_back({text, kind, buttons, captions});
  return Take(dialogAnswers, ModalResult::Cancel);
}

void RecordingUserInterface::ShowMessage(const std::string& text) {
  std::lock_guard lk(mutex_);
  messages.push_back(text);
}

bool RecordingUserInterface::ConfirmYesNo(const std::string& text) {
  std::lock_guard lk(mutex_);
  confirms.push_back(text);
  return Take(confirmAnswers, true);
}

void RecordingUserInterface::ShowError(const std::string& text) {
  std::lock_guard lk(mutex_);
  errors.push_back(text);
}

std::optional<std::string> RecordingUserInterface::InputBox(const std::string& caption, const std::string& prompt,
                                                            const std::string&) {
  std::lock_guard lk(mutex_);
  inputs.push_back(caption + "|" + prompt);
  return Take(inputAnswers, std::optional<std::string>());
}

std::optional<std::string> RecordingUserInterface::OpenFileDialog(const FileDialogOptions& options) {
  std::lock_guard lk(mutex_);
  openDialogs.push_back(options);
  return Take(openAnswers, std::optional<std::string>());
}

std::optional<std::string> RecordingUserInterface::SaveFileDialog(const FileDialogOptions& options) {
  std::lock_guard lk(mutex_);
  saveDialogs.push_back(options);
  return Take(saveAnswers, std::optional<std::string>());
}

void RecordingUserInterface::SetTitle(const std::string& title) {
  std::lock_guard lk(mutex_);
  titles.push_back(title);
}

void RecordingUserInterface::SetLabel(const std::string& control, const std::string& text) {
  std::lock_guard lk(mutex_);
  labels.emplace_back(control, text);
}

void RecordingUserInterface::AppendLogLine(const std::string& line) {
  std::lock_guard lk(mutex_);
  logLines_.push_back(line);
}

void RecordingUserInterface::TimerChanged(unsigned intervalMs, bool enabled) {
  std::lock_guard lk(mutex_);
  timers.emplace_back(intervalMs, enabled);
}

void RecordingUserInterface::SetPageVisible(const std::string& page, bool visible) {
  std::lock_guard lk(mutex_);
  pages.emplace_back(page, visible);
}

ModalResult RecordingUserInterface::ShowModalDialog(const std::string& dialog) {
  std::lock_guard lk(mutex_);
  modalDialogs.push_back(dialog);
  return Take(modalAnswers, ModalResult::Cancel);
}

void RecordingUserInterface::ShowWindow(const std::string& window) {
  std::lock_guard lk(mutex_);
  windows.push_back(window);
}

void RecordingUserInterface::Terminate() {
  std::lock_guard lk(mutex_);
  ++terminated;
}

std::vector<std::string> RecordingUserInterface::LogLines() const {
  std::lock_guard lk(mutex_);
  return logLines_;
}

std::string RecordingUserInterface::Label(const std::string& control) const {
  std::lock_guard lk(mutex_);
  for (auto it = labels.rbegin(); it != labels.rend(); ++it)
    if (it->first == control) return it->second;
  return {};
}
