#pragma once
// Helpers for the service program's tests: a program directory holding a
// copy of QuillmarkService (its program directory is where it lies), a
// local service-manager state directory of the test's own, a child process
// with its output in a file, a free loopback port, a profile writer and a
// bounded wait for a service state.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSocket.h"
#include "TestSupport.h"
#include "TestDir.h"
#include "settings/USetting.h"
#include "platform/process/Process.h"
#include "platform/scm/ServiceControl.h"

namespace svctest {

namespace fs = std::filesystem;

/// Writes "<dir>/<name>.config" with the records given.
inline void WriteProfile(const std::string& path, const MailSettings& mail, const DirectorySettings& directory,
                         const GeneralSettings& general) {
  auto bytes = EncodeProfile(mail, directory, general);
  WriteFileBytes(path, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

/// A child process, standard output and error in a file; killed (SIGKILL)
/// and reaped by the destructor if still running. Pid() is -1 when it could
/// not be started.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outputPath) {
    qm::process::SpawnOptions options;
    options.argv = argv;
    options.searchPath = false;
    options.in = qm::process::Stream::Null();
    options.out = qm::process::Stream::File(outputPath);
    options.err = qm::process::Stream::ToStdout();
    try {
      child_ = qm::process::Spawn(options);
      pid_ = child_.Pid();
    } catch (const qm::process::SpawnError&) {
    }
  }
  pid_t Pid() const { return pid_; }
  void Signal(int sig) { child_.Signal(sig); }
  /// Waits for the end; the exit code, or 128 + signal.
  int Wait() {
    if (!code_) code_ = child_.Reap().ShellStatus();
    return *code_;
  }

 private:
  qm::process::Child child_;
  pid_t pid_ = -1;
  std::optional<int> code_;
};

/// Polls `done` every 20 ms for at most a minute (a bound against hanging,
/// not a timing requirement); true when it came true.
template <class F>
bool WaitUntil(F done) {
  return Eventually(done, std::chrono::seconds(60));
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
