#include "ServiceMain.h"

#include <strings.h>
#include <unistd.h>

#include <exception>
#include <system_error>
#include <thread>

#include "ServiceLoop.h"
#include "base/UserInterface.h"

using namespace qm::scm;

TQuillmarkService1* QuillmarkService1 = nullptr;

ServiceSwitches ParseServiceSwitches(int argc, const char* const* argv) {
  ServiceSwitches s;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!a) continue;
    if (a[0] != '/' && a[0] != '-') {
      s.configPairs.push_back(a);
      continue;
    }
    if (strcasecmp(a + 1, "CONFIG") == 0) s.config = true;
    if (strcasecmp(a + 1, "INSTALL") == 0) s.install = true;
    if (strcasecmp(a + 1, "UNINSTALL") == 0) s.uninstall = true;
    if (strcasecmp(a + 1, "SILENT") == 0) s.silent = true;
  }
  return s;
}

std::string InstanceTakenMessage() {
  return "Das Programm wird bereits ausgeführt!\n"
         "Um mehrere Quillmarkinstanzen gleichzeitig zu verwenden\n"
         "installieren Sie Quillmark ein zweites Mal in ein anderes Verzeichnis.";
}

namespace {

std::string RunningExecutable() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

bool IsPending(std::uint32_t state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_PAUSE_PENDING ||
         state == SERVICE_CONTINUE_PENDING;
}

}  // namespace

TQuillmarkService1::TQuillmarkService1(UserInterface& ui, qm::ServiceLoop& loop) : ui_(ui), loop_(loop) {
  QuillmarkService1 = this;
}

TQuillmarkService1::~TQuillmarkService1() {
  if (QuillmarkService1 == this) QuillmarkService1 = nullptr;
}

ServiceConfig TQuillmarkService1::Identity(const std::string& executablePath) {
  ServiceConfig c;
  c.name = kName;
  c.displayName = kDisplayName;
  c.serviceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  c.startType = SERVICE_AUTO_START;
  c.errorControl = SERVICE_ERROR_NORMAL;
  c.binaryPath = executablePath;
  return c;
}

int TQuillmarkService1::Install(bool silent) {
  Error err;
  auto manager = DefaultServiceControl().OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
  if (!manager) {
    ui_.ShowError(err.text);
    return 1;
  }
  if (!manager->CreateService(Identity(RunningExecutable()), SERVICE_ALL_ACCESS, &err)) {
    ui_.ShowError(std::string("Service \"") + kDisplayName + "\" konnte nicht installiert werden; Fehler: \"" +
                  err.text + "\"");
    return 1;
  }
  if (!silent) ui_.ShowMessage("Service erfolgreich installiert");
  return 0;
}

int TQuillmarkService1::Uninstall(bool silent) {
  Error err;
  auto manager = DefaultServiceControl().OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
  if (!manager) {
    ui_.ShowError(err.text);
    return 1;
  }
  auto service = manager->OpenService(kName, SERVICE_ALL_ACCESS, &err);
  if (!service || !service->Delete(&err)) {
    ui_.ShowError(std::string("Service \"") + kDisplayName + "\" konnte nicht deinstalliert werden; Fehler: \"" +
                  err.text + "\"");
    return 1;
  }
  if (!silent) ui_.ShowMessage("Service erfolgreich deinstalliert");
  return 0;
}

void TQuillmarkService1::Failed(const std::string& phase, const std::string& text) {
  ReportEvent(kName, EventType::Error, "Service fehlgeschlagen bei " + phase + ":" + text);
}

std::uint32_t TQuillmarkService1::CurrentState() const {
  std::lock_guard lk(mutex_);
  return state_;
}

void TQuillmarkService1::Report(std::uint32_t state) {
  ServiceStatus s;
  s.serviceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  s.currentState = state;
  s.controlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED
                           ? 0
                           : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  {
    std::lock_guard lk(mutex_);
    state_ = state;
    checkPoint_ = IsPending(state) ? checkPoint_ + 1 : 0;
    s.checkPoint = checkPoint_;
  }
  s.waitHint = IsPending(state) ? kWaitHint : 0;
  Error err;
  if (!SetServiceStatus(status_, s, &err)) ReportEvent(kName, EventType::Error, err.text);
}

void TQuillmarkService1::Controller(std::uint32_t control) {
  {
    std::lock_guard lk(mutex_);
    controls_.push_back(control);
  }
  cv_.notify_all();
}

void TQuillmarkService1::EngineReleased() {
  {
    std::lock_guard lk(mutex_);
    released_ = true;
  }
  cv_.notify_all();
}

void TQuillmarkService1::ServiceMain(const std::vector<std::string>&) {
  Error err;
  status_ = RegisterServiceCtrlHandler(kName, [this](std::uint32_t control) { Controller(control); }, &err);
  if (!status_) {
    Failed("start", err.text);
    loop_.Quit();
    return;
  }
  Report(SERVICE_START_PENDING);
  try {
    std::thread control([this] {
      try {
        ControlThread();
      } catch (const std::exception& e) {
        Failed("execute", e.what());
      }
    });
    control.join();
  } catch (const std::system_error& e) {
    Failed("start", e.what());
  }
  // The engine runs on the main thread: end its loop and wait until it has
  // been destroyed and the instance lock released, so that "stopped" means
  // another program of the directory can take over at once.
  loop_.Quit();
  {
    std::unique_lock lk(mutex_);
    cv_.wait(lk, [this] { return released_; });
  }
  Report(SERVICE_STOPPED);
}

void TQuillmarkService1::ControlThread() {
  Report(SERVICE_RUNNING);
  while (true) {
    std::uint32_t control;
    {
      std::unique_lock lk(mutex_);
      cv_.wait(lk, [this] { return !controls_.empty() || released_; });
      if (controls_.empty()) {
        control = SERVICE_CONTROL_STOP;  // the engine is gone already
      } else {
        control = controls_.front();
        controls_.pop_front();
      }
    }
    std::uint32_t previous = CurrentState();
    try {
      switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
          Report(SERVICE_STOP_PENDING);
          return;
        case SERVICE_CONTROL_PAUSE:
          // Only this thread waits while paused; the timer and the HTTP
          // server go on.
          Report(SERVICE_PAUSE_PENDING);
          Report(SERVICE_PAUSED);
          break;
        case SERVICE_CONTROL_CONTINUE:
          Report(SERVICE_CONTINUE_PENDING);
          Report(SERVICE_RUNNING);
          break;
        default:  // interrogate and anything unknown: the state again
          Report(previous);
          break;
      }
    } catch (const std::exception& e) {
      Report(previous);
      Failed("execute", e.what());
    }
  }
}
