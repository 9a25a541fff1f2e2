// The local service backend: services are records in a state directory,
// started as detached processes, controlled by signals; each service process
// reports its state into its record (ServiceHost.cpp).

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/scm/LocalRecord.h"
#include "platform/scm/ServiceControl.h"
#include "platform/scm/ServiceHost.h"

namespace qm::scm {

namespace {

using local::RecordLock;
using local::StateRecord;

void SetErr(Error* err, const Error& e) {
  if (err) *err = e;
}

// Rights that only reading needs; anything else needs a writable directory.
constexpr std::uint32_t kManagerReadRights = SC_MANAGER_CONNECT | 0x0004 /*ENUMERATE*/ | 0x0010 /*QUERY_LOCK*/;

class LocalService : public Service {
 public:
  LocalService(std::string dir, std::string name) : dir_(std::move(dir)), name_(std::move(name)) {}

  bool Control(std::uint32_t control, Error* err) override {
    RecordLock lock(dir_, name_);
    if (!Exists(err)) return false;
    auto record = local::ReadState(dir_, name_);
    std::uint32_t state = local::EffectiveState(record);
    if (control == SERVICE_CONTROL_INTERROGATE) {
      if (state == SERVICE_STOPPED) return SetErr(err, MakeError(ERROR_SERVICE_NOT_ACTIVE)), false;
      return true;
    }
    int sig = 0;
    std::uint32_t needs = 0;
    switch (control) {
      case SERVICE_CONTROL_STOP: sig = SIGTERM; needs = SERVICE_ACCEPT_STOP; break;
      case SERVICE_CONTROL_SHUTDOWN: sig = SIGPWR; needs = SERVICE_ACCEPT_SHUTDOWN; break;
      case SERVICE_CONTROL_PAUSE: sig = SIGUSR1; needs = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
      case SERVICE_CONTROL_CONTINUE: sig = SIGUSR2; needs = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
      default: return SetErr(err, MakeError(ERROR_INVALID_SERVICE_CONTROL)), false;
    }
    if (state == SERVICE_STOPPED) return SetErr(err, MakeError(ERROR_SERVICE_NOT_ACTIVE)), false;
    // A stop is always delivered while the process lives: a service still
    // starting ends as well (before its handler exists the signal ends it).
    // Other controls need the service to have said it accepts them.
    bool starting = state == SERVICE_START_PENDING;
    if (!(control == SERVICE_CONTROL_STOP && starting)) {
      if (state == SERVICE_STOP_PENDING || starting)
        return SetErr(err, MakeError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)), false;
      if ((record->controls & needs) == 0) return SetErr(err, MakeError(ERROR_INVALID_SERVICE_CONTROL)), false;
    }
    if (::kill(static_cast<pid_t>(record->pid), sig) != 0) return SetErr(err, ErrnoError(errno)), false;
    return true;
  }

  std::optional<std::uint32_t> QueryState(Error* err) override {
    if (!Exists(err)) return std::nullopt;
    return local::EffectiveState(local::ReadState(dir_, name_));
  }

  bool ChangeStartType(std::uint32_t startType, Error* err) override {
    RecordLock lock(dir_, name_);
    auto config = local::ReadConfig(dir_, name_);
    if (!config) return SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST)), false;
    if (startType == SERVICE_NO_CHANGE) return true;
    if (startType > SERVICE_DISABLED) return SetErr(err, MakeError(ERROR_INVALID_PARAMETER)), false;
    config->startType = startType;
    return local::WriteConfig(dir_, *config, false, err);
  }

  bool Start(const std::vector<std::string>& args, Error* err) override {
    for (const auto& a : args)
      if (a.find('\n') != std::string::npos) return SetErr(err, MakeError(ERROR_INVALID_PARAMETER)), false;
    // The lock is held from the launch until the start-pending record is
    // written: the new process's first report waits for it, so it can never
    // be overwritten by this older one.
    RecordLock lock(dir_, name_);
    auto config = local::ReadConfig(dir_, name_);
    if (!config) return SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST)), false;
    if (config->startType == SERVICE_DISABLED) {
      return SetErr(err, Error{1058, "Der angegebene Dienst kann nicht gestartet werden. Er ist deaktiviert."}),
             false;
    }
    auto record = local::ReadState(dir_, name_);
    if (local::EffectiveState(record) != SERVICE_STOPPED)
      return SetErr(err, MakeError(ERROR_SERVICE_ALREADY_RUNNING)), false;
    Error launchErr;
    long pid = LaunchDetached({config->binaryPath}, &launchErr,
                              {std::string(kLocalServiceEnv) + "=" + name_, std::string(kLocalStateDirEnv) + "=" + dir_},
                              dir_ + "/" + name_ + ".out");
    if (pid < 0) return SetErr(err, launchErr), false;
    StateRecord fresh;
    fresh.state = SERVICE_START_PENDING;
    fresh.pid = pid;
    fresh.startTime = local::ProcessStartTime(pid);
    fresh.args = args;
    return local::WriteState(dir_, name_, fresh, err);
  }

  bool Delete(Error* err) override {
    RecordLock lock(dir_, name_);
    std::string path = local::ConfigPath(dir_, name_);
    if (::unlink(path.c_str()) != 0) {
      if (errno == ENOENT) return SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST)), false;
      return SetErr(err, ErrnoError(errno)), false;
    }
    // A running process keeps its state record until it reports stopped or
    // dies; a stopped one's record goes with the service.
    if (local::EffectiveState(local::ReadState(dir_, name_)) == SERVICE_STOPPED)
      ::unlink(local::StatePath(dir_, name_).c_str());
    return true;
  }

  std::optional<ServiceConfig> QueryConfig(Error* err) override {
    auto config = local::ReadConfig(dir_, name_);
    if (!config) SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST));
    return config;
  }

 private:
  bool Exists(Error* err) {
    if (::access(local::ConfigPath(dir_, name_).c_str(), F_OK) == 0) return true;
    SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST));
    return false;
  }
  std::string dir_, name_;
};

class LocalManager : public Manager {
 public:
  LocalManager(std::string dir, std::uint32_t access) : dir_(std::move(dir)), access_(access) {}

  std::unique_ptr<Service> OpenService(const std::string& name, std::uint32_t, Error* err) override {
    if (!local::ValidName(name) || ::access(local::ConfigPath(dir_, name).c_str(), F_OK) != 0) {
      SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST));
      return nullptr;
    }
    return std::make_unique<LocalService>(dir_, name);
  }

  std::unique_ptr<Service> CreateService(const ServiceConfig& config, std::uint32_t, Error* err) override {
    if ((access_ & SC_MANAGER_CREATE_SERVICE) == 0) {
      SetErr(err, MakeError(ERROR_ACCESS_DENIED));
      return nullptr;
    }
    if (!local::ValidName(config.name) || config.binaryPath.empty() || config.binaryPath.front() != '/' ||
        config.binaryPath.find('\n') != std::string::npos || config.displayName.find('\n') != std::string::npos) {
      SetErr(err, MakeError(ERROR_INVALID_PARAMETER));
      return nullptr;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    RecordLock lock(dir_, config.name);
    if (!lock.Held()) {
      SetErr(err, ErrnoError(errno));
      return nullptr;
    }
    if (!local::WriteConfig(dir_, config, true, err)) return nullptr;
    return std::make_unique<LocalService>(dir_, config.name);
  }

 private:
  std::string dir_;
  std::uint32_t access_;
};

class LocalServiceControl : public ServiceControl {
 public:
  explicit LocalServiceControl(std::string dir) : dir_(std::move(dir)) {}

  std::unique_ptr<Manager> OpenManager(const std::string& machine, const std::string& database, std::uint32_t access,
                                       Error* err) override {
    if (!machine.empty() || !database.empty()) {
      SetErr(err, MakeError(ERROR_INVALID_PARAMETER));
      return nullptr;
    }
    // The directory is made when the first service is created; until then
    // the rights are those of its nearest existing parent.
    std::filesystem::path existing = dir_;
    std::error_code ec;
    while (!std::filesystem::exists(existing, ec) && existing.has_parent_path() && existing != existing.parent_path())
      existing = existing.parent_path();
    if (::access(existing.c_str(), X_OK) != 0 ||
        ((access & ~kManagerReadRights) != 0 && ::access(existing.c_str(), W_OK) != 0)) {
      SetErr(err, MakeError(ERROR_ACCESS_DENIED));
      return nullptr;
    }
    return std::make_unique<LocalManager>(dir_, access);
  }

  std::string Kind() const override { return "local"; }

 private:
  std::string dir_;
};

}  // namespace

std::unique_ptr<ServiceControl> MakeLocalServiceControl(const std::string& stateDir) {
  std::string dir = stateDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return std::make_unique<LocalServiceControl>(dir);
}

std::string LocalStateDirectory() {
  const char* env = ::getenv(kLocalStateDirEnv);
  return env && *env ? std::string(env) : std::string("/var/lib/quillmark");
}

bool SystemdRuns() {
  const char* choice = ::getenv("QM_SCM_BACKEND");
  if (choice && std::string(choice) == "local") return false;
  if (choice && std::string(choice) == "systemd") return true;
  struct stat st {};
  return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

ServiceControl& DefaultServiceControl() {
  // $QM_SCM_UNIT_DIR moves systemd's unit directory (tests, staging).
  static std::unique_ptr<ServiceControl> instance =
      SystemdRuns() ? MakeSystemdServiceControl(RunCommand, ::getenv("QM_SCM_UNIT_DIR") && *::getenv("QM_SCM_UNIT_DIR")
                                                                ? ::getenv("QM_SCM_UNIT_DIR")
                                                                : "/etc/systemd/system")
                    : MakeLocalServiceControl(LocalStateDirectory());
  return *instance;
}

}  // namespace qm::scm
