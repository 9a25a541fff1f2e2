#include "base/ULog.h"
#include "base/Texts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/UUtils.h"
#include "base/UserInterface.h"

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

namespace {

// Appends the bytes to the file, creating it when missing; 0, or the errno of
// the open or write that failed.
int AppendToFile(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int error = 0;
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    off += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return error;
}

}  // namespace

void TEventLog::WriteLog(const std::string& message, int type) noexcept {
  if (!Passes(Verbosity(), type)) return;
  // Error paths everywhere end in a log line, so the log must not fail its
  // caller. Besides the file, only running out of memory (or a user
  // interface that throws) can fail here; that line is dropped.
  try {
    std::lock_guard lk(logLock_);
    // One clock reading: the screen line and the file line show the same time.
    const auto when = clock_();
    const std::string line = FormatLine(when, message);
    if (ui_) ui_->AppendLogLine(line);
    const int error = AppendToFile(LogFilePath(), line + "\r\n");
    if (error == 0) {
      fileFailureShown_ = false;
    } else if (!fileFailureShown_) {
      // Shown once: one failure line per message would double the screen log.
      fileFailureShown_ = true;
      if (ui_)
        ui_->AppendLogLine(FormatLine(when, qm::text::kIoErrorPrefix + qm::SysErrorMessage(error) + " (" + LogFilePath() + ")"));
    }
  } catch (...) {
  }
}

namespace {
std::atomic<TEventLog*> g_currentLog{nullptr};
}

TEventLog* CurrentLog() { return g_currentLog.load(); }
void SetCurrentLog(TEventLog* log) { g_currentLog.store(log); }

void WriteLog(const std::string& message, int type) noexcept {
  if (auto* log = CurrentLog()) log->WriteLog(message, type);
}
