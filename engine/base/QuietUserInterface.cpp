#include "base/QuietUserInterface.h"

#include <syslog.h>

#include <cstdio>

QuietUserInterface::QuietUserInterface(const char* ident) : ident_(ident) {}

void QuietUserInterface::Report(int priority, const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  openlog(ident_, LOG_PID, LOG_DAEMON);
  syslog(priority, "%s", text.c_str());
  closelog();
}

ModalResult QuietUserInterface::CaptionedMessageDlg(const std::string& text, MsgDlgType,
                                                    const std::vector<MsgDlgBtn>& buttons,
                                                    const std::vector<std::string>&) {
  Report(LOG_WARNING, text);
  // Nobody can answer: the first button is the default answer.
  if (buttons.empty()) return ModalResult::Cancel;
  switch (buttons.front()) {
    case MsgDlgBtn::Yes: return ModalResult::Yes;
    case MsgDlgBtn::No: return ModalResult::No;
    case MsgDlgBtn::Ok: return ModalResult::Ok;
    case MsgDlgBtn::Cancel: return ModalResult::Cancel;
  }
  return ModalResult::Cancel;
}

void QuietUserInterface::ShowMessage(const std::string& text) { Report(LOG_NOTICE, text); }

bool QuietUserInterface::ConfirmYesNo(const std::string& text) {
  Report(LOG_NOTICE, text);
  return false;
}

void QuietUserInterface::ShowError(const std::string& text) { Report(LOG_ERR, text); }

void QuietUserInterface::TimerChanged(unsigned intervalMs, bool enabled) {
  timerInterval_ = intervalMs;
  timerEnabled_ = enabled;
}

void QuietUserInterface::Terminate() { terminate_ = true; }
