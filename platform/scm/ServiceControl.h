#pragma once
// The service-control layer: the vocabulary of a service control manager
// (open the manager with an access mask; open, create and delete a service;
// send controls; query the state with the classic state codes; change the
// start type; start) over two backends chosen at run time:
//   - systemd, where systemd runs: a service is the unit "<name>.service";
//   - a local backend of our own: services are records in a state directory,
//     started as detached processes and controlled by signals.
// The service program's side (dispatcher, control handler, state reports,
// event log) is in ServiceHost.h.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm::scm {

// ---- access masks --------------------------------------------------------
inline constexpr std::uint32_t SC_MANAGER_CONNECT = 0x0001;
inline constexpr std::uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr std::uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t SERVICE_QUERY_STATUS = 0x0004;
inline constexpr std::uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

// ---- control codes -------------------------------------------------------
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr std::uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

// ---- states --------------------------------------------------------------
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr std::uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr std::uint32_t SERVICE_PAUSED = 7;

// ---- accepted controls (reported by the running service) ----------------
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr std::uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr std::uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;

// ---- configuration -------------------------------------------------------
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr std::uint32_t SERVICE_AUTO_START = 2;
inline constexpr std::uint32_t SERVICE_DEMAND_START = 3;
inline constexpr std::uint32_t SERVICE_DISABLED = 4;
inline constexpr std::uint32_t SERVICE_ERROR_NORMAL = 1;
inline constexpr std::uint32_t SERVICE_NO_CHANGE = 0xFFFFFFFF;

// ---- error codes (with German texts, see ErrorText) ----------------------
inline constexpr int ERROR_ACCESS_DENIED = 5;
inline constexpr int ERROR_INVALID_PARAMETER = 87;
inline constexpr int ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr int ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr int ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr int ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr int ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr int ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr int ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr int ERROR_SERVICE_EXISTS = 1073;

/// The outcome of a failed call: a code (one of the ERROR_ values above, or
/// an errno value offset by kErrnoBase) and the system's message text.
struct Error {
  int code = 0;
  std::string text;
};
inline constexpr int kErrnoBase = 100000;

/// The message text for one of the ERROR_ codes above.
std::string ErrorText(int code);
/// An Error for an errno value, with the system's text (strerror).
Error ErrnoError(int errnum);
/// An Error for one of the ERROR_ codes, with its text.
Error MakeError(int code);

/// The identity of a service as it is created.
struct ServiceConfig {
  std::string name;
  std::string displayName;
  std::uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  std::uint32_t startType = SERVICE_DEMAND_START;
  std::uint32_t errorControl = SERVICE_ERROR_NORMAL;
  std::string binaryPath;  // full path of the executable
};

/// One opened service. Every call fills `err` on failure (when given).
class Service {
 public:
  virtual ~Service() = default;
  /// Sends a control code (stop, pause, continue, interrogate, shutdown);
  /// true when the service accepted it. Does not wait for the effect.
  virtual bool Control(std::uint32_t control, Error* err = nullptr) = 0;
  /// The current state code (SERVICE_STOPPED ... SERVICE_PAUSED), or nullopt.
  virtual std::optional<std::uint32_t> QueryState(Error* err = nullptr) = 0;
  /// Changes the start type; SERVICE_NO_CHANGE leaves it. Only the start
  /// type is changeable here, the type and error control stay as created.
  virtual bool ChangeStartType(std::uint32_t startType, Error* err = nullptr) = 0;
  /// Starts the service with arguments; returns once its process is
  /// created, without waiting for it to report running.
  virtual bool Start(const std::vector<std::string>& args, Error* err = nullptr) = 0;
  /// Removes the service; a running service keeps running until it stops.
  virtual bool Delete(Error* err = nullptr) = 0;
  /// The service's configuration as it is now (what a backend can express:
  /// systemd keeps no service type or error control and reports the
  /// defaults).
  virtual std::optional<ServiceConfig> QueryConfig(Error* err = nullptr) = 0;
};

/// An open connection to the manager.
class Manager {
 public:
  virtual ~Manager() = default;
  /// Opens a service; null with ERROR_SERVICE_DOES_NOT_EXIST when it is not
  /// installed.
  virtual std::unique_ptr<Service> OpenService(const std::string& name, std::uint32_t access, Error* err = nullptr) = 0;
  /// Creates a service; null with ERROR_SERVICE_EXISTS or a system error.
  virtual std::unique_ptr<Service> CreateService(const ServiceConfig& config, std::uint32_t access,
                                                 Error* err = nullptr) = 0;
};

/// A backend: the thing that opens manager connections.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  /// Opens the manager. Machine and database must be empty (the local
  /// machine's active database); anything else fails.
  virtual std::unique_ptr<Manager> OpenManager(const std::string& machine, const std::string& database,
                                               std::uint32_t access, Error* err = nullptr) = 0;
  /// "systemd" or "local".
  virtual std::string Kind() const = 0;
};

/// Runs a command (argv[0] looked up in PATH) and returns its exit code
/// (-1 when it could not run) and its standard output.
struct CommandResult {
  int exitCode = -1;
  std::string output;
};
using CommandRunner = std::function<CommandResult(const std::vector<std::string>& argv)>;
/// The real runner: posix_spawnp, stdout captured, stderr appended.
CommandResult RunCommand(const std::vector<std::string>& argv);

/// The local backend over a state directory (created with the first service).
std::unique_ptr<ServiceControl> MakeLocalServiceControl(const std::string& stateDir);
/// The systemd backend: unit files in `unitDir`, systemctl through `runner`.
std::unique_ptr<ServiceControl> MakeSystemdServiceControl(CommandRunner runner = RunCommand,
                                                          const std::string& unitDir = "/etc/systemd/system");

/// The unit file text for a service (exposed for tests and packaging).
std::string SystemdUnitText(const ServiceConfig& config);
/// Quotes one ExecStart word for a unit file.
std::string SystemdQuote(const std::string& word);

/// The local backend's state directory: $QM_SCM_STATE_DIR, else
/// "/var/lib/quillmark".
std::string LocalStateDirectory();
/// True when systemd runs this machine (/run/systemd/system exists) and
/// $QM_SCM_BACKEND does not ask for "local".
bool SystemdRuns();
/// The process's backend, chosen at the first call; the systemd backend's
/// unit directory is $QM_SCM_UNIT_DIR, else "/etc/systemd/system".
ServiceControl& DefaultServiceControl();

/// Starts a program as a detached process (own session, standard input on
/// /dev/null, output appended to `outputPath` or discarded) without waiting
/// for it; `extraEnv` ("KEY=value") is added to the environment. Returns the
/// process id, or -1 with `err` when it could not be started (exec failures
/// included).
long LaunchDetached(const std::vector<std::string>& argv, Error* err = nullptr,
                    const std::vector<std::string>& extraEnv = {}, const std::string& outputPath = "");

}  // namespace qm::scm
