#include "platform/scm/ServiceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/scm/LocalRecord.h"

namespace qm::scm {

struct StatusHandle {
  enum Mode { Local, Systemd } mode = Local;
  std::string name;
  std::string stateDir;
};

namespace {

// The dispatcher's state: one per process.
std::mutex g_mutex;
StatusHandle g_handle;
bool g_running = false;
ControlHandler g_handler;
std::uint32_t g_lastState = 0;
bool g_pendingStop = false;
int g_pipe[2] = {-1, -1};

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  if (g_pipe[1] >= 0) {
    ssize_t r = ::write(g_pipe[1], &b, 1);
    (void)r;
  }
  errno = saved;
}

const int kSignals[] = {SIGTERM, SIGINT, SIGPWR, SIGUSR1, SIGUSR2, SIGHUP};

std::uint32_t ControlFor(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT: return SERVICE_CONTROL_STOP;
    case SIGPWR: return SERVICE_CONTROL_SHUTDOWN;
    case SIGUSR1: return SERVICE_CONTROL_PAUSE;
    case SIGUSR2: return SERVICE_CONTROL_CONTINUE;
    case SIGHUP: return SERVICE_CONTROL_INTERROGATE;
  }
  return 0;
}

void Wake(unsigned char b) {
  if (g_pipe[1] >= 0) {
    ssize_t r = ::write(g_pipe[1], &b, 1);
    (void)r;
  }
}

bool Report(const StatusHandle& h, const ServiceStatus& status, Error* err) {
  if (h.mode == StatusHandle::Local) {
    local::RecordLock lock(h.stateDir, h.name);
    auto record = local::ReadState(h.stateDir, h.name).value_or(local::StateRecord{});
    record.state = status.currentState;
    record.controls = status.controlsAccepted;
    record.pid = ::getpid();
    record.startTime = local::ProcessStartTime(record.pid);
    return local::WriteState(h.stateDir, h.name, record, err);
  }
  int rc = sd_notify(0, SystemdNotifyText(status).c_str());
  if (rc < 0) {
    if (err) *err = ErrnoError(-rc);
    return false;
  }
  return true;
}

}  // namespace

std::string SystemdNotifyText(const ServiceStatus& status) {
  switch (status.currentState) {
    case SERVICE_START_PENDING:
      return "STATUS=Starting" + (status.waitHint ? "\nEXTEND_TIMEOUT_USEC=" + std::to_string(status.waitHint * 1000ull)
                                                  : std::string());
    case SERVICE_RUNNING: return "READY=1\nSTATUS=Running";
    case SERVICE_STOP_PENDING: return "STOPPING=1\nSTATUS=Stopping";
    case SERVICE_PAUSE_PENDING: return "STATUS=Pausing";
    case SERVICE_PAUSED: return "STATUS=Paused";
    case SERVICE_CONTINUE_PENDING: return "STATUS=Continuing";
    default: return "STOPPING=1\nSTATUS=Stopped";
  }
}

std::uint32_t SystemdStateFromShow(const std::string& text) {
  std::string active, status;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (line.rfind("ActiveState=", 0) == 0) active = line.substr(12);
    if (line.rfind("StatusText=", 0) == 0) status = line.substr(11);
    pos = end + 1;
  }
  if (active == "activating") return SERVICE_START_PENDING;
  if (active == "deactivating") return SERVICE_STOP_PENDING;
  if (active == "active" || active == "reloading") {
    if (status == "Paused") return SERVICE_PAUSED;
    if (status == "Pausing") return SERVICE_PAUSE_PENDING;
    if (status == "Continuing") return SERVICE_CONTINUE_PENDING;
    if (status == "Stopping") return SERVICE_STOP_PENDING;
    return SERVICE_RUNNING;
  }
  return SERVICE_STOPPED;  // inactive, failed, or unknown
}

bool RunServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain, Error* err) {
  StatusHandle handle;
  handle.name = serviceName;
  const char* localName = ::getenv(kLocalServiceEnv);
  const char* localDir = ::getenv(kLocalStateDirEnv);
  if (localName && localDir && serviceName == localName) {
    handle.mode = StatusHandle::Local;
    handle.stateDir = localDir;
  } else if (::getenv("NOTIFY_SOCKET") != nullptr) {
    handle.mode = StatusHandle::Systemd;
  } else {
    if (err) *err = MakeError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }

  std::vector<std::string> args{serviceName};
  if (handle.mode == StatusHandle::Local) {
    // Under the record lock: the starting manager holds it until it has
    // written the record with the arguments.
    local::RecordLock lock(handle.stateDir, serviceName);
    if (auto record = local::ReadState(handle.stateDir, serviceName))
      args.insert(args.end(), record->args.begin(), record->args.end());
  }

  {
    std::lock_guard lk(g_mutex);
    if (g_running) {
      if (err) *err = MakeError(ERROR_SERVICE_ALREADY_RUNNING);
      return false;
    }
    if (::pipe2(g_pipe, O_CLOEXEC) != 0) {
      if (err) *err = ErrnoError(errno);
      return false;
    }
    ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    g_handle = handle;
    g_running = true;
    g_handler = nullptr;
    g_lastState = 0;
    g_pendingStop = false;
  }
  struct sigaction sa {}, old[sizeof kSignals / sizeof kSignals[0]];
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &sa, &old[i]);

  std::thread worker([&] {
    serviceMain(args);
    Wake(0);  // the main routine has returned
  });

  while (true) {
    // Waits in poll before reading: signals reach their handler while a
    // thread waits there also under ThreadSanitizer, which holds a signal
    // back for as long as the thread is blocked in read.
    pollfd ready{g_pipe[0], POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0 && errno == EINTR) continue;
    unsigned char b = 0;
    ssize_t n = ::read(g_pipe[0], &b, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0 || b == 0) break;
    std::uint32_t control = ControlFor(b);
    ControlHandler handler;
    {
      std::lock_guard lk(g_mutex);
      handler = g_handler;
      if (!handler && (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)) g_pendingStop = true;
    }
    if (handler && control != 0) handler(control);
  }
  worker.join();

  std::uint32_t last;
  {
    std::lock_guard lk(g_mutex);
    last = g_lastState;
  }
  if (last != SERVICE_STOPPED) {
    ServiceStatus stopped;
    stopped.currentState = SERVICE_STOPPED;
    Report(handle, stopped, nullptr);
  }
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &old[i], nullptr);
  std::lock_guard lk(g_mutex);
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
  g_running = false;
  g_handler = nullptr;
  return true;
}

StatusHandle* RegisterServiceCtrlHandler(const std::string& serviceName, ControlHandler handler, Error* err) {
  std::lock_guard lk(g_mutex);
  if (!g_running || g_handle.name != serviceName) {
    if (err) *err = MakeError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  g_handler = std::move(handler);
  if (g_pendingStop) {
    g_pendingStop = false;
    Wake(static_cast<unsigned char>(SIGTERM));
  }
  return &g_handle;
}

bool SetServiceStatus(StatusHandle* handle, const ServiceStatus& status, Error* err) {
  StatusHandle h;
  {
    std::lock_guard lk(g_mutex);
    if (handle != &g_handle || !g_running) {
      if (err) *err = MakeError(ERROR_INVALID_PARAMETER);
      return false;
    }
    h = g_handle;
    g_lastState = status.currentState;
  }
  return Report(h, status, err);
}

void ReportEvent(const std::string& source, EventType type, const std::string& text) {
  int priority = type == EventType::Error ? LOG_ERR : type == EventType::Warning ? LOG_WARNING : LOG_INFO;
  ::openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  ::syslog(priority, "%s", text.c_str());
  ::closelog();
  const char* dir = ::getenv(kLocalStateDirEnv);
  if (dir && *dir && local::ValidName(source)) {
    std::ofstream out(std::string(dir) + "/" + source + ".eventlog", std::ios::app | std::ios::binary);
    const char* kind = type == EventType::Error ? "Fehler" : type == EventType::Warning ? "Warnung" : "Information";
    out << kind << ": " << text << "\n";
  }
}

}  // namespace qm::scm
