#include "ULog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "UUtils.h"
#include "UserInterface.h"

TEventLog::TEventLog(std::string programDir, UserInterface* ui)
    : programDir_(std::move(programDir)), ui_(ui), clock_([] { return std::chrono::system_clock::now(); }) {}

bool TEventLog::Passes(std::uint8_t verbosity, int type) {
  switch (verbosity) {
    case 0: return true;
    case 1: return type != ltInformation;
    case 2: return type == ltError;
    default: return false;
  }
}

std::string TEventLog::FormatLine(std::chrono::system_clock::time_point when, const std::string& message) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &tm);
  return std::string(buf) + ": " + message;
}

void TEventLog::WriteLog(const std::string& message, int type) {
  if (!Passes(Verbosity(), type)) return;
  std::lock_guard lk(logLock_);
  // One clock reading: the screen line and the file line show the same time.
  const std::string formatted = FormatLine(clock_(), message);
  if (ui_) ui_->AppendLogLine(formatted);
  int fd = ::open(LogFilePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    int e = errno;
    throw qm::EInOutError(qm::SysErrorMessage(e), e);
  }
  const std::string line = formatted + "\r\n";
  std::size_t off = 0;
  while (off < line.size()) {
    ssize_t n = ::write(fd, line.data() + off, line.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      throw qm::EInOutError(qm::SysErrorMessage(e), e);
    }
    off += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

namespace {
std::atomic<TEventLog*> g_currentLog{nullptr};
}

TEventLog* CurrentLog() { return g_currentLog.load(); }
void SetCurrentLog(TEventLog* log) { g_currentLog.store(log); }

void WriteLog(const std::string& message, int type) {
  if (auto* log = CurrentLog()) log->WriteLog(message, type);
}
