#pragma once
// Control of the service program's service from the desktop program: the
// small class TServiceManager over the service-control layer, and the two
// steps built on it, StopRunningService (start-up) and HandOverToService
// (closing).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/scm/ServiceControl.h"

struct ServiceControlHooks;

/// The backend of DefaultServiceControlHooks(), or the process's backend
/// (qm::scm::DefaultServiceControl) when those hooks name none.
qm::scm::ServiceControl& DefaultServiceBackend();

/// The service installed by the service program.
inline constexpr const char* kServiceName = "QuillmarkService1";

/// One sequence of calls on the service control manager: connect, select a
/// service, act on it, disconnect. Holds the manager connection and the
/// selected service (both empty until opened). Failures are never thrown:
/// every operation answers false (or state 0).
class TServiceManager {
 public:
  /// Works through `scm`, by default the backend of the process's default
  /// hooks (see SetDefaultServiceControlHooks).
  explicit TServiceManager(qm::scm::ServiceControl& scm = DefaultServiceBackend());
  ~TServiceManager();
  TServiceManager(const TServiceManager&) = delete;
  TServiceManager& operator=(const TServiceManager&) = delete;

  /// Opens the manager (empty names: this machine's active database) with
  /// the access mask; true when connected. Drops an earlier connection.
  bool Connect(const std::string& machineName = "", const std::string& databaseName = "",
               std::uint32_t access = qm::scm::SC_MANAGER_ALL_ACCESS);
  /// Closes the selected service and the connection.
  void Disconnect();
  /// Opens the named service with full access; false when not connected or
  /// not installed.
  bool SelectService(const std::string& name);
  /// Sends the stop control to the selected service; true when accepted.
  /// Logs "Service beendet." (information) whatever the outcome.
  bool SendStop();
  /// Starts the selected service; `count` 0 means no arguments, otherwise
  /// `arg` is the argument. True when started.
  bool StartWithArgs(int count, const std::string& arg);
  /// StartWithArgs with no arguments.
  bool Start();
  /// The selected service's state code (SERVICE_STOPPED = 1 ...), or 0 when
  /// the question fails (no service selected, no answer).
  std::uint32_t QueryState();
  /// True when the service is stopped. A question that fails counts as
  /// stopped: a service that cannot even be asked (not installed, no
  /// connection) is not running, and the start-up need not wait for it.
  bool IsStopped();
  /// Changes the selected service's start type to automatic, nothing else.
  bool SetAutoStart();

 private:
  qm::scm::ServiceControl& scm_;
  std::unique_ptr<qm::scm::Manager> manager_;
  std::unique_ptr<qm::scm::Service> service_;
};

/// What the two steps use of the outside world; tests replace it.
struct ServiceControlHooks {
  /// The backend; null for the process's backend.
  qm::scm::ServiceControl* scm = nullptr;
  /// Sleeps the calling thread; empty for a real sleep.
  std::function<void(unsigned ms)> sleep;
  /// Starts a program without waiting; empty for a detached process.
  std::function<bool(const std::vector<std::string>& argv)> launch;
};

/// Replaces the hooks a new TForm_main starts with and the two steps use
/// when called without hooks; empty hooks (the initial value) mean the
/// process's backend, real sleeps and detached processes. Test programs set
/// a fake here once, so no test reaches the machine's service manager
/// unless it passes hooks of its own. Thread-safe.
void SetDefaultServiceControlHooks(ServiceControlHooks hooks);
/// A copy of the hooks set by SetDefaultServiceControlHooks.
ServiceControlHooks DefaultServiceControlHooks();

/// Number of state questions while waiting for the service to stop, and the
/// pause after each answer that is not "stopped".
inline constexpr int kStopQueries = 26;
inline constexpr unsigned kStopQueryPauseMs = 500;
/// The pause between starting the installation and configuring the service.
inline constexpr unsigned kInstallPauseMs = 2000;

/// Stops the service of the installation and waits for it: connect (or do
/// nothing), select "QuillmarkService1", send the stop whatever the
/// selection gave (logging "Service beendet."), then ask IsStopped 26 times,
/// sleeping 500 ms after every answer that is not "stopped"; disconnect.
void StopRunningService(const ServiceControlHooks& hooks = DefaultServiceControlHooks());

/// Hands over to the service: if the manager can be reached and the service
/// is not installed, start "<programDir>QuillmarkService /INSTALL" without
/// waiting; sleep 2 s (also when the manager could not be reached); then,
/// if the service opens, set it to automatic start and start it. Nothing is
/// examined or reported.
void HandOverToService(const std::string& programDir, const ServiceControlHooks& hooks = DefaultServiceControlHooks());
