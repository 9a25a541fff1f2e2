// The systemd service backend: a service is the unit "<name>.service" in the
// unit directory; everything else goes through systemctl (through an
// injectable runner, so tests check the command lines without systemd).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/scm/LocalRecord.h"
#include "platform/scm/ServiceControl.h"
#include "platform/scm/ServiceHost.h"

namespace qm::scm {

namespace {

void SetErr(Error* err, const Error& e) {
  if (err) *err = e;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// systemctl failed: its exit code and what it said.
Error CommandError(const CommandResult& r) {
  std::string text = Trim(r.output);
  if (text.empty()) text = "systemctl: Exit-Code " + std::to_string(r.exitCode);
  return Error{r.exitCode < 0 ? 1 : r.exitCode, text};
}

// Specifiers ('%') are doubled in every unit setting.
std::string EscapePercent(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

class SystemdService : public Service {
 public:
  SystemdService(CommandRunner& run, std::string unitDir, std::string name)
      : run_(run), unitDir_(std::move(unitDir)), unit_(std::move(name) + ".service") {}

  bool Control(std::uint32_t control, Error* err) override {
    auto state = QueryState(err);
    if (!state) return false;
    if (control == SERVICE_CONTROL_INTERROGATE) {
      if (*state == SERVICE_STOPPED) return SetErr(err, MakeError(ERROR_SERVICE_NOT_ACTIVE)), false;
      return true;
    }
    std::vector<std::string> cmd;
    switch (control) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN: cmd = {"systemctl", "stop", "--no-block", unit_}; break;
      case SERVICE_CONTROL_PAUSE: cmd = {"systemctl", "kill", "--kill-who=main", "--signal=SIGUSR1", unit_}; break;
      case SERVICE_CONTROL_CONTINUE: cmd = {"systemctl", "kill", "--kill-who=main", "--signal=SIGUSR2", unit_}; break;
      default: return SetErr(err, MakeError(ERROR_INVALID_SERVICE_CONTROL)), false;
    }
    if (*state == SERVICE_STOPPED) return SetErr(err, MakeError(ERROR_SERVICE_NOT_ACTIVE)), false;
    return Run(cmd, err);
  }

  std::optional<std::uint32_t> QueryState(Error* err) override {
    CommandResult r = run_({"systemctl", "show", "--property=ActiveState", "--property=StatusText", unit_});
    if (r.exitCode != 0) {
      SetErr(err, CommandError(r));
      return std::nullopt;
    }
    return SystemdStateFromShow(r.output);
  }

  bool ChangeStartType(std::uint32_t startType, Error* err) override {
    switch (startType) {
      case SERVICE_NO_CHANGE: return true;
      case SERVICE_AUTO_START: return Run({"systemctl", "enable", unit_}, err);
      case SERVICE_DEMAND_START:
      case SERVICE_DISABLED: return Run({"systemctl", "disable", unit_}, err);
      default: return SetErr(err, MakeError(ERROR_INVALID_PARAMETER)), false;
    }
  }

  bool Start(const std::vector<std::string>& args, Error* err) override {
    // A unit has no start arguments; refusing is honest, ignoring is not.
    if (!args.empty()) return SetErr(err, MakeError(ERROR_INVALID_PARAMETER)), false;
    auto state = QueryState(err);
    if (!state) return false;
    if (*state != SERVICE_STOPPED) return SetErr(err, MakeError(ERROR_SERVICE_ALREADY_RUNNING)), false;
    return Run({"systemctl", "start", "--no-block", unit_}, err);
  }

  bool Delete(Error* err) override {
    // Disable and stop first; their failures (a unit that is neither
    // enabled nor running) do not stop the removal.
    run_({"systemctl", "disable", unit_});
    run_({"systemctl", "stop", "--no-block", unit_});
    std::string path = unitDir_ + "/" + unit_;
    if (::unlink(path.c_str()) != 0) {
      if (errno == ENOENT) return SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST)), false;
      return SetErr(err, ErrnoError(errno)), false;
    }
    return Run({"systemctl", "daemon-reload"}, err);
  }

  std::optional<ServiceConfig> QueryConfig(Error* err) override {
    CommandResult r = run_({"systemctl", "show", "--property=Description", "--property=ExecStart",
                            "--property=UnitFileState", unit_});
    if (r.exitCode != 0) {
      SetErr(err, CommandError(r));
      return std::nullopt;
    }
    ServiceConfig c;
    c.name = unit_.substr(0, unit_.size() - 8);
    std::size_t pos = 0;
    while (pos < r.output.size()) {
      std::size_t end = r.output.find('\n', pos);
      if (end == std::string::npos) end = r.output.size();
      std::string line = r.output.substr(pos, end - pos);
      if (line.rfind("Description=", 0) == 0) c.displayName = line.substr(12);
      // ExecStart={ path=/x/y ; argv[]=/x/y ; ... }
      if (line.rfind("ExecStart=", 0) == 0) {
        auto p = line.find("path=");
        if (p != std::string::npos) c.binaryPath = Trim(line.substr(p + 5, line.find(" ;", p) - p - 5));
      }
      if (line.rfind("UnitFileState=", 0) == 0) {
        std::string s = line.substr(14);
        c.startType = s == "enabled" ? SERVICE_AUTO_START : s == "masked" ? SERVICE_DISABLED : SERVICE_DEMAND_START;
      }
      pos = end + 1;
    }
    return c;
  }

 private:
  bool Run(const std::vector<std::string>& cmd, Error* err) {
    CommandResult r = run_(cmd);
    if (r.exitCode == 0) return true;
    SetErr(err, CommandError(r));
    return false;
  }
  CommandRunner& run_;
  std::string unitDir_;
  std::string unit_;
};

class SystemdManager : public Manager {
 public:
  SystemdManager(CommandRunner& run, std::string unitDir) : run_(run), unitDir_(std::move(unitDir)) {}

  std::unique_ptr<Service> OpenService(const std::string& name, std::uint32_t, Error* err) override {
    if (!local::ValidName(name) || !Loaded(name)) {
      SetErr(err, MakeError(ERROR_SERVICE_DOES_NOT_EXIST));
      return nullptr;
    }
    return std::make_unique<SystemdService>(run_, unitDir_, name);
  }

  std::unique_ptr<Service> CreateService(const ServiceConfig& config, std::uint32_t, Error* err) override {
    if (!local::ValidName(config.name) || config.binaryPath.empty() || config.binaryPath.front() != '/' ||
        config.binaryPath.find('\n') != std::string::npos || config.displayName.find('\n') != std::string::npos) {
      SetErr(err, MakeError(ERROR_INVALID_PARAMETER));
      return nullptr;
    }
    std::string path = unitDir_ + "/" + config.name + ".service";
    if (::access(path.c_str(), F_OK) == 0 || Loaded(config.name)) {
      SetErr(err, MakeError(ERROR_SERVICE_EXISTS));
      return nullptr;
    }
    std::string text = SystemdUnitText(config);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      SetErr(err, errno == EEXIST ? MakeError(ERROR_SERVICE_EXISTS) : ErrnoError(errno));
      return nullptr;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int e = errno;
    ::close(fd);
    if (!ok) {
      ::unlink(path.c_str());
      SetErr(err, ErrnoError(e));
      return nullptr;
    }
    CommandResult r = run_({"systemctl", "daemon-reload"});
    if (r.exitCode == 0 && config.startType == SERVICE_AUTO_START)
      r = run_({"systemctl", "enable", config.name + ".service"});
    if (r.exitCode != 0) {
      ::unlink(path.c_str());
      run_({"systemctl", "daemon-reload"});
      SetErr(err, CommandError(r));
      return nullptr;
    }
    return std::make_unique<SystemdService>(run_, unitDir_, config.name);
  }

 private:
  bool Loaded(const std::string& name) {
    CommandResult r = run_({"systemctl", "show", "--property=LoadState", "--value", name + ".service"});
    std::string state = Trim(r.output);
    return r.exitCode == 0 && state != "not-found" && !state.empty();
  }
  CommandRunner& run_;
  std::string unitDir_;
};

class SystemdServiceControl : public ServiceControl {
 public:
  SystemdServiceControl(CommandRunner runner, std::string unitDir) : run_(std::move(runner)), unitDir_(std::move(unitDir)) {}

  std::unique_ptr<Manager> OpenManager(const std::string& machine, const std::string& database, std::uint32_t,
                                       Error* err) override {
    if (!machine.empty() || !database.empty()) {
      SetErr(err, MakeError(ERROR_INVALID_PARAMETER));
      return nullptr;
    }
    // The manager is reachable when systemctl answers at all.
    CommandResult r = run_({"systemctl", "is-system-running"});
    if (r.exitCode < 0) {
      SetErr(err, CommandError(r));
      return nullptr;
    }
    return std::make_unique<SystemdManager>(run_, unitDir_);
  }

  std::string Kind() const override { return "systemd"; }

 private:
  CommandRunner run_;
  std::string unitDir_;
};

}  // namespace

std::string SystemdQuote(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
              c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '=' || c == '@' ||
              static_cast<unsigned char>(c) >= 0x80;
    if (!ok) plain = false;
  }
  std::string out;
  if (!plain) out += '"';
  for (char c : word) {
    switch (c) {
      case '%': out += "%%"; break;
      case '$': out += "$$"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default: out += c;
    }
  }
  if (!plain) out += '"';
  return out;
}

std::string SystemdUnitText(const ServiceConfig& c) {
  std::string description = c.displayName.empty() ? c.name : c.displayName;
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapePercent(description) + "\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + SystemdQuote(c.binaryPath) + "\n";
  text += "Restart=no\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::unique_ptr<ServiceControl> MakeSystemdServiceControl(CommandRunner runner, const std::string& unitDir) {
  return std::make_unique<SystemdServiceControl>(std::move(runner), unitDir);
}

}  // namespace qm::scm
