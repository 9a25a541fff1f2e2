// Error texts, running commands and starting detached processes. Commands
// run through the process helper; a detached start forks twice itself (a new
// session, then the real child, whose parent leaves at once so that it is
// adopted and never waits as our zombie), which posix_spawn cannot express.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/process/Process.h"
#include "platform/scm/ServiceControl.h"

extern char** environ;

namespace qm::scm {

std::string ErrorText(int code) {
  static const std::map<int, std::string> texts = {
      {ERROR_ACCESS_DENIED, "Zugriff verweigert"},
      {ERROR_INVALID_PARAMETER, "Falscher Parameter."},
      {ERROR_INVALID_SERVICE_CONTROL, "Das angeforderte Steuerelement ist für diesen Dienst nicht gültig."},
      {ERROR_SERVICE_REQUEST_TIMEOUT,
       "Der Dienst antwortete nicht rechtzeitig auf die Start- oder Steuerungsanforderung."},
      {ERROR_SERVICE_ALREADY_RUNNING, "Eine Instanz des Dienstes wird bereits ausgeführt."},
      {ERROR_SERVICE_DOES_NOT_EXIST, "Der angegebene Dienst ist kein installierter Dienst."},
      {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "Der Dienst kann zurzeit keine Steuerelemente annehmen."},
      {ERROR_SERVICE_NOT_ACTIVE, "Der Dienst wurde nicht gestartet."},
      {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
       "Der Dienstprozess konnte keine Verbindung zum Dienstcontroller herstellen."},
      {ERROR_SERVICE_EXISTS, "Der angegebene Dienst ist bereits vorhanden."},
  };
  auto it = texts.find(code);
  if (it != texts.end()) return it->second;
  if (code >= kErrnoBase) return ErrnoError(code - kErrnoBase).text;
  return "Fehler " + std::to_string(code);
}

Error ErrnoError(int errnum) {
  char buf[256];
  const char* msg = strerror_r(errnum, buf, sizeof buf);  // GNU variant
  return Error{kErrnoBase + errnum, msg};
}

Error MakeError(int code) { return Error{code, ErrorText(code)}; }

CommandResult RunCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  process::SpawnOptions options;
  options.argv = argv;
  options.in = process::Stream::Null();
  options.out = process::Stream::Pipe();
  options.err = process::Stream::ToStdout();
  try {
    process::Child child = process::Spawn(options);
    result.output = child.ReadOutput().out;
    result.exitCode = child.Reap().code;
  } catch (const process::SpawnError& e) {
    result.output = ErrnoError(e.Errno()).text;
  }
  return result;
}

namespace {

// Messages from the launching children: a tag and a value.
struct LaunchMessage {
  int tag;  // 'P' the grandchild's pid, 'E' errno of a failed fork or exec
  int value;
};

void WriteMessage(int fd, int tag, int value) {
  LaunchMessage m{tag, value};
  while (::write(fd, &m, sizeof m) < 0 && errno == EINTR) {
  }
}

std::string SearchPath(const std::string& file) {
  if (file.find('/') != std::string::npos) return file;
  const char* path = ::getenv("PATH");
  std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= p.size()) {
    std::size_t end = p.find(':', pos);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(pos, end - pos);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + file;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return file;
}

}  // namespace

long LaunchDetached(const std::vector<std::string>& argv, Error* err, const std::vector<std::string>& extraEnv,
                    const std::string& outputPath) {
  if (argv.empty()) {
    if (err) *err = MakeError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // Everything the children need is prepared here: after fork only
  // async-signal-safe calls are made.
  std::string program = SearchPath(argv[0]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore = process::MergedEnvironment(extraEnv);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string out = outputPath.empty() ? std::string("/dev/null") : outputPath;

  int pfd[2];
  if (::pipe2(pfd, O_CLOEXEC) != 0) {
    if (err) *err = ErrnoError(errno);
    return -1;
  }
  pid_t mid = ::fork();
  if (mid < 0) {
    int e = errno;
    ::close(pfd[0]);
    ::close(pfd[1]);
    if (err) *err = ErrnoError(e);
    return -1;
  }
  if (mid == 0) {
    // Intermediate child: a new session, then the real child, then leave so
    // the real child is adopted and never becomes our zombie.
    ::close(pfd[0]);
    ::setsid();
    pid_t g = ::fork();
    if (g < 0) {
      WriteMessage(pfd[1], 'E', errno);
      ::_exit(1);
    }
    if (g == 0) {
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s = 1; s < 32; ++s) {
        if (s == SIGKILL || s == SIGSTOP) continue;
        ::signal(s, SIG_DFL);
      }
      int in = ::open("/dev/null", O_RDONLY);
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (o < 0) o = ::open("/dev/null", O_WRONLY);
      if (in >= 0) ::dup2(in, 0);
      if (o >= 0) {
        ::dup2(o, 1);
        ::dup2(o, 2);
      }
      ::execve(program.c_str(), args.data(), envp.data());
      WriteMessage(pfd[1], 'E', errno);
      ::_exit(127);
    }
    WriteMessage(pfd[1], 'P', g);
    ::_exit(0);
  }
  ::close(pfd[1]);
  long pid = -1;
  int execErr = 0;
  LaunchMessage m{};
  while (true) {
    ssize_t n = ::read(pfd[0], &m, sizeof m);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof m)) break;
    if (m.tag == 'P') pid = m.value;
    if (m.tag == 'E') execErr = m.value;
  }
  ::close(pfd[0]);
  int status = 0;
  while (::waitpid(mid, &status, 0) < 0 && errno == EINTR) {
  }
  if (execErr != 0 || pid <= 0) {
    if (err) *err = ErrnoError(execErr != 0 ? execErr : ECHILD);
    return -1;
  }
  return pid;
}

}  // namespace qm::scm
