#pragma once
// Helpers for the service program's tests: a program directory holding a
// copy of QuillmarkService (its program directory is where it lies), a
// local service-manager state directory of the test's own, a child process
// with its output in a file, a free loopback port, a profile writer and a
// bounded wait for a service state.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSocket.h"
#include "TestDir.h"
#include "settings/USetting.h"
#include "platform/scm/ServiceControl.h"

extern char** environ;

namespace svctest {

namespace fs = std::filesystem;

/// Writes "<dir>/<name>.config" with the records given.
inline void WriteProfile(const std::string& path, const MailSettings& mail, const DirectorySettings& directory,
                         const GeneralSettings& general) {
  auto bytes = EncodeProfile(mail, directory, general);
  WriteFileBytes(path, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

/// A child process started with posix_spawn, standard output and error in a
/// file; killed (SIGKILL) and reaped by the destructor if still running.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outputPath) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t Pid() const { return pid_; }
  void Signal(int sig) { ::kill(pid_, sig); }
  /// Waits for the end; the exit code, or 128 + signal.
  int Wait() {
    if (exited_) return code_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return code_;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

/// Polls `done` every 20 ms for at most a minute (a bound against hanging,
/// not a timing requirement); true when it came true.
template <class F>
bool WaitUntil(F done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

/// A program directory with a copy of the service program, and a state
/// directory for the local service backend, chosen through the environment
/// for this process and every process it starts.
class ProgramDir {
 public:
  ProgramDir() {
    root_ = fs::canonical(dir_.Path()).string() + "/";
    prog_ = root_ + "prog/";
    state_ = root_ + "state";
    fs::create_directories(prog_ + "temp");
    fs::copy_file(QM_SERVICE_PROGRAM, Exe());
    fs::copy_file(QM_SOURCE_DIR "/packaging/ResponsePage.htm", prog_ + "ResponsePage.htm");
    ::setenv("QM_SCM_BACKEND", "local", 1);
    ::setenv("QM_SCM_STATE_DIR", state_.c_str(), 1);
  }
  ~ProgramDir() {
    // Leave no service process behind.
    if (auto m = qm::scm::MakeLocalServiceControl(state_)->OpenManager("", "", qm::scm::SC_MANAGER_ALL_ACCESS)) {
      if (auto s = m->OpenService("QuillmarkService1", qm::scm::SERVICE_ALL_ACCESS)) {
        s->Control(qm::scm::SERVICE_CONTROL_STOP);
        WaitUntil([&] { return s->QueryState().value_or(qm::scm::SERVICE_STOPPED) == qm::scm::SERVICE_STOPPED; });
      }
    }
    ::unsetenv("QM_SCM_BACKEND");
    ::unsetenv("QM_SCM_STATE_DIR");
  }
  /// The program directory, with '/'.
  const std::string& Prog() const { return prog_; }
  const std::string& State() const { return state_; }
  const std::string& Root() const { return root_; }
  std::string Exe() const { return prog_ + "QuillmarkService"; }
  /// Runs the service program with arguments to its end.
  qm::scm::CommandResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), Exe());
    return qm::scm::RunCommand(args);
  }

 private:
  TestDir dir_;
  std::string root_, prog_, state_;
};

}  // namespace svctest
