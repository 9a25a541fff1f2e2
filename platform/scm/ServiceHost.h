#pragma once
// The service program's side of the service-control layer: the dispatcher
// that runs the service's main routine, the control handler that receives
// control codes, the state reports, and the application event log.
//
// Controls reach the service process as signals, whichever backend started
// it: SIGTERM and SIGINT stop, SIGPWR shutdown, SIGUSR1 pause, SIGUSR2
// continue, SIGHUP interrogate. State reports go to the local backend's
// record (when started by the local backend) or to systemd through
// sd_notify (when started by systemd).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/scm/ServiceControl.h"

namespace qm::scm {

/// Environment given to a process started by the local backend.
inline constexpr const char* kLocalServiceEnv = "QM_SCM_SERVICE";
inline constexpr const char* kLocalStateDirEnv = "QM_SCM_STATE_DIR";

/// A state report.
struct ServiceStatus {
  std::uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  std::uint32_t currentState = SERVICE_STOPPED;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;  // milliseconds
};

/// The service's main routine; args[0] is the service name, then the start
/// arguments.
using ServiceMainFunction = std::function<void(const std::vector<std::string>& args)>;
/// Receives each control code, on the dispatcher's thread.
using ControlHandler = std::function<void(std::uint32_t control)>;

/// Opaque handle for state reports.
struct StatusHandle;

/// Runs the dispatcher for one service. Fails at once with
/// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when this process was not started
/// as that service by a manager. Otherwise runs `serviceMain` on a thread of
/// its own, hands every control signal to the registered handler, and
/// returns when the main routine has returned (a state still not "stopped"
/// is then reported as stopped). One dispatcher per process.
bool RunServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain, Error* err = nullptr);

/// Registers the control handler of the running service (called from its
/// main routine). A control that arrived before is delivered now. Null with
/// ERROR_SERVICE_DOES_NOT_EXIST when no dispatcher runs this service.
StatusHandle* RegisterServiceCtrlHandler(const std::string& serviceName, ControlHandler handler, Error* err = nullptr);

/// Reports the service's state.
bool SetServiceStatus(StatusHandle* handle, const ServiceStatus& status, Error* err = nullptr);

/// Writes one entry to the application event log: the system log with the
/// source as its name and, when the local backend runs the process, a line
/// "<type>: <text>" in "<state directory>/<source>.eventlog".
enum class EventType { Error = 1, Warning = 2, Information = 4 };
void ReportEvent(const std::string& source, EventType type, const std::string& text);

/// The sd_notify text of a state report (used when systemd runs the service).
std::string SystemdNotifyText(const ServiceStatus& status);
/// The state code that systemctl's "ActiveState=...\nStatusText=..." output
/// means.
std::uint32_t SystemdStateFromShow(const std::string& showOutput);

}  // namespace qm::scm
