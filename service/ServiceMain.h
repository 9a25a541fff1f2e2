#pragma once
// TQuillmarkService1: the service module of the service program. It installs
// and removes the service "QuillmarkService1" (switches INSTALL, UNINSTALL,
// SILENT) and, when a service manager starts the program, runs the service's
// main routine and control thread: state reports start-pending, running,
// pause-pending, paused, continue-pending, stop-pending, stopped, each with a
// wait hint of 5,000 ms while pending. The engine's work never runs on the
// control thread: pausing stops neither polling nor HTTP.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/scm/ServiceControl.h"
#include "platform/scm/ServiceHost.h"

class UserInterface;
namespace qm {
class ServiceLoop;
}

/// The switches of the command line; each given as "/NAME" or "-NAME" in any
/// case. Other arguments are ignored.
struct ServiceSwitches {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  /// "/CONFIG" and the "name=value" arguments that follow anywhere.
  bool config = false;
  std::vector<std::string> configPairs;
};
ServiceSwitches ParseServiceSwitches(int argc, const char* const* argv);

/// The three lines shown when another program of the directory holds the
/// instance lock.
std::string InstanceTakenMessage();

class TQuillmarkService1 {
 public:
  static constexpr const char* kName = "QuillmarkService1";
  static constexpr const char* kDisplayName = "QuillmarkService1";
  static constexpr std::uint32_t kWaitHint = 5000;

  /// Registers the module as `QuillmarkService1`. Messages go through `ui`
  /// (standard error and the system log in the service program); the main
  /// routine ends the program through `loop`.
  TQuillmarkService1(UserInterface& ui, qm::ServiceLoop& loop);
  ~TQuillmarkService1();
  TQuillmarkService1(const TQuillmarkService1&) = delete;
  TQuillmarkService1& operator=(const TQuillmarkService1&) = delete;

  /// The identity the service is installed with, for an executable path.
  static qm::scm::ServiceConfig Identity(const std::string& executablePath);

  /// "INSTALL": creates the service for the running executable. Shows
  /// "Service erfolgreich installiert" (not when silent) or the error
  /// message; returns the process's exit code (0 on success).
  int Install(bool silent);
  /// "UNINSTALL": deletes the service; messages as for Install.
  int Uninstall(bool silent);

  /// The service's main routine, run by the dispatcher: registers the
  /// control handler, reports start-pending, runs the control thread until
  /// stop or shutdown, then ends the main loop and waits until the engine is
  /// released (EngineReleased) before it reports stopped.
  void ServiceMain(const std::vector<std::string>& args);
  /// The control handler: hands the code to the control thread.
  void Controller(std::uint32_t control);

  /// The main thread has destroyed the engine and released the instance
  /// lock. Also ends a control thread that is still waiting (the loop ended
  /// for another reason).
  void EngineReleased();

  /// The state last reported (SERVICE_STOPPED before the first report).
  std::uint32_t CurrentState() const;

 private:
  void ControlThread();
  void Report(std::uint32_t state);
  void Failed(const std::string& phase, const std::string& text);

  UserInterface& ui_;
  qm::ServiceLoop& loop_;
  qm::scm::StatusHandle* status_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::uint32_t> controls_;
  std::uint32_t state_ = qm::scm::SERVICE_STOPPED;
  std::uint32_t checkPoint_ = 0;
  bool released_ = false;
};

/// The process's service module; null outside its lifetime.
extern TQuillmarkService1* QuillmarkService1;
