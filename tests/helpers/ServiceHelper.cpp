// A tiny service program for tests of the service-control layer. Run with
// "/INSTALL" it registers itself (its own full path) as the service named by
// $QM_HELPER_SERVICE (default "QuillmarkService1") with automatic start and
// ends. Run by a manager it serves as that service: start-pending, running,
// pause/continue, stop, with every report going through the layer. Its start
// arguments are printed to standard output, one per line.

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>

#include "platform/scm/ServiceControl.h"
#include "platform/scm/ServiceHost.h"

using namespace qm::scm;

namespace {

std::string g_name;
StatusHandle* g_status = nullptr;
std::mutex g_mutex;
std::condition_variable g_cv;
std::deque<std::uint32_t> g_controls;

void Report(std::uint32_t state) {
  ServiceStatus s;
  s.serviceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  s.currentState = state;
  s.controlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
                           ? 0
                           : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  s.waitHint = 5000;
  SetServiceStatus(g_status, s);
}

void ServiceMain(const std::vector<std::string>& args) {
  for (const auto& a : args) std::printf("%s\n", a.c_str());
  std::fflush(stdout);
  g_status = RegisterServiceCtrlHandler(g_name, [](std::uint32_t control) {
    std::lock_guard lk(g_mutex);
    g_controls.push_back(control);
    g_cv.notify_all();
  });
  if (!g_status) return;
  Report(SERVICE_START_PENDING);
  std::thread control([] {
    Report(SERVICE_RUNNING);
    std::uint32_t current = SERVICE_RUNNING;
    while (true) {
      std::unique_lock lk(g_mutex);
      g_cv.wait(lk, [] { return !g_controls.empty(); });
      std::uint32_t c = g_controls.front();
      g_controls.pop_front();
      lk.unlock();
      if (c == SERVICE_CONTROL_STOP || c == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        return;
      }
      if (c == SERVICE_CONTROL_PAUSE) {
        Report(SERVICE_PAUSE_PENDING);
        Report(current = SERVICE_PAUSED);
      } else if (c == SERVICE_CONTROL_CONTINUE) {
        Report(SERVICE_CONTINUE_PENDING);
        Report(current = SERVICE_RUNNING);
      } else {
        Report(current);
      }
    }
  });
  control.join();
}

}  // namespace

int main(int argc, char** argv) {
  // The name: $QM_HELPER_SERVICE, else the one the local backend started it
  // as, else "QuillmarkService1".
  const char* env = std::getenv("QM_HELPER_SERVICE");
  if (!env || !*env) env = std::getenv(kLocalServiceEnv);
  g_name = env && *env ? env : "QuillmarkService1";
  bool install = false;
  for (int i = 1; i < argc; ++i)
    if (strcasecmp(argv[i], "/INSTALL") == 0 || strcasecmp(argv[i], "-INSTALL") == 0) install = true;
  if (install) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    self[n] = 0;
    Error err;
    auto manager = DefaultServiceControl().OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
    if (!manager) {
      std::fprintf(stderr, "%s\n", err.text.c_str());
      return 1;
    }
    ServiceConfig config{g_name, g_name, SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                         SERVICE_ERROR_NORMAL, self};
    if (!manager->CreateService(config, SERVICE_ALL_ACCESS, &err)) {
      std::fprintf(stderr, "%s\n", err.text.c_str());
      return 1;
    }
    return 0;
  }
  Error err;
  if (!RunServiceDispatcher(g_name, ServiceMain, &err)) {
    std::fprintf(stderr, "%s\n", err.text.c_str());
    return 1;
  }
  return 0;
}
