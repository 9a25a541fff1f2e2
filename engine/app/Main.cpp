#include "app/Main.h"

#include "base/UUtils.h"
#include "directory/UDBUtil.h"

TForm_main* Form_main = nullptr;

TForm_main::TForm_main(const std::string& programDir, UserInterface& ui, ProgramKind kind)
    : programDir_(programDir.empty() || programDir.back() == '/' ? programDir : programDir + "/"),
      ui_(ui),
      kind_(kind),
      log_(programDir_, kind == ProgramKind::Desktop ? &ui : nullptr) {
  qm::SetProgramDirectory(programDir_);
  SetCurrentLog(&log_);
}

void TForm_main::Wire(const Collaborators& collaborators) {
  with_ = collaborators;
  richText_.UseDirectoryLock(with_.directory ? &with_.directory->DirectoryLock() : nullptr);
}

TForm_main::~TForm_main() {
  if (CurrentLog() == &log_) SetCurrentLog(nullptr);
}

qm::TextList TForm_main::AttachmentNames() const {
  std::shared_lock lk(projectMutex_);
  return LB_shortNames;
}

qm::TextList TForm_main::TemplateLines() const {
  std::shared_lock lk(projectMutex_);
  return M_Signatur_HTML;
}

qm::TextList TForm_main::MailTextLines() const {
  std::shared_lock lk(projectMutex_);
  return M_text;
}

void TForm_main::SetTitle(const std::string& title) {
  {
    std::lock_guard lk(windowMutex_);
    title_ = title;
  }
  ui_.SetTitle(title);
}

void TForm_main::SetTimer(unsigned intervalMs, bool enabled) {
  {
    std::lock_guard lk(windowMutex_);
    timer_.interval = intervalMs;
    timer_.enabled = enabled;
  }
  ui_.TimerChanged(intervalMs, enabled);
}

TimerState TForm_main::Timer1() const {
  std::lock_guard lk(windowMutex_);
  return timer_;
}
