#pragma once
// Child processes: started with posix_spawn (argv, environment additions,
// working directory, where the standard streams go, optionally a process
// group of their own), waited for with a deadline, and stopped by signal,
// alone or with their whole process group. A Child owns its process: when
// it is destroyed while the process may still run, the process (or its
// group) is killed with SIGKILL and reaped.
//
// The end of a process is observed without reaping it (waitid with
// WNOWAIT); the zombie is reaped only when the Child is done with it (Kill,
// Terminate, Reap or the destructor). Until then the process id cannot be
// reused, so signalling the process or its group after it was seen to end
// can never reach a stranger.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qm::process {

using Clock = std::chrono::steady_clock;

/// Where one standard stream of the child goes.
struct Stream {
  enum class Kind {
    Inherit,     // the same as ours
    Null,        // /dev/null
    File,        // a file: read for stdin; for output created and truncated
    AppendFile,  // output only: created and appended to
    Pipe,        // output only: a pipe this process reads (Child::ReadOutput)
    ToStdout,    // stderr only: wherever stdout goes
  };
  Kind kind = Kind::Inherit;
  std::string path;
  unsigned mode = 0644;  // permissions of a file the child's output creates

  static Stream Inherit() { return {}; }
  static Stream Null() { return {Kind::Null, {}, 0}; }
  static Stream File(std::string path, unsigned mode = 0644) { return {Kind::File, std::move(path), mode}; }
  static Stream Append(std::string path, unsigned mode = 0644) { return {Kind::AppendFile, std::move(path), mode}; }
  static Stream Pipe() { return {Kind::Pipe, {}, 0}; }
  static Stream ToStdout() { return {Kind::ToStdout, {}, 0}; }
};

/// What to start and how.
struct SpawnOptions {
  /// argv[0] is the program; without a '/' it is looked up in PATH unless
  /// searchPath is false (then it is taken from the working directory).
  std::vector<std::string> argv;
  bool searchPath = true;
  /// "KEY=value" entries added to our environment, each replacing an
  /// inherited KEY.
  std::vector<std::string> environment;
  /// The child's working directory; empty keeps ours.
  std::string workingDirectory;
  Stream in = Stream::Inherit();
  Stream out = Stream::Inherit();
  Stream err = Stream::Inherit();
  /// A process group of its own (its id is the child's pid), so that
  /// KillGroup and the group scope reach whatever the child starts.
  bool ownProcessGroup = false;
};

/// The child could not be started (a missing or non-executable program, an
/// output file that cannot be opened, bad options). what() names the
/// program and the reason; Errno() is the system's error number.
class SpawnError : public std::runtime_error {
 public:
  SpawnError(const std::string& program, int errnum);
  int Errno() const { return errno_; }

 private:
  int errno_;
};

/// How a process ended: an exit code, or the signal that ended it.
struct ExitStatus {
  int code = -1;   // the exit code; -1 when a signal ended the process
  int signal = 0;  // the signal that ended it; 0 when it exited
  bool Exited() const { return signal == 0; }
  bool Succeeded() const { return signal == 0 && code == 0; }
  /// The exit code, or 128 + the signal, as a shell reports it.
  int ShellStatus() const { return signal != 0 ? 128 + signal : code; }
  bool operator==(const ExitStatus&) const = default;
};

/// Which processes a signal reaches: the child alone, or its process group
/// (only meaningful for a child started with ownProcessGroup) and the child.
enum class Scope { Process, Group };

/// What the child wrote into its output pipes.
struct CapturedOutput {
  std::string out, err;
  bool complete = false;  // false when the deadline came before both pipes ended
};

/// A started child process, owned until it is reaped or released. Move-only;
/// not for concurrent use from several threads.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  /// Kills (SIGKILL, the group too when it has its own) and reaps a process
  /// still owned; closes the output pipes.
  ~Child();

  /// Takes over a child of this process started elsewhere (fork), which
  /// nobody else waits for; `ownGroup` says it leads a process group.
  static Child Adopt(pid_t pid, bool ownGroup = false);

  /// The process id; -1 for an empty Child.
  pid_t Pid() const { return pid_; }
  /// True while a process is owned (it may have ended but not been reaped).
  bool Owns() const { return pid_ > 0; }

  /// Reads both output pipes until they end or the deadline comes (no
  /// deadline: until they end), draining both at once so that neither
  /// blocks the child. A pipe ends when every process holding it (the
  /// child's own children too) has closed it. Streams not sent to a pipe
  /// read as empty.
  CapturedOutput ReadOutput(std::optional<Clock::time_point> deadline = std::nullopt);

  /// How the process ended, if it has; does not block and does not reap. A
  /// process that is not (or no longer) our child to wait for reads as ended
  /// with code -1 and no signal.
  std::optional<ExitStatus> Poll();
  /// Waits until the process ends, without reaping it.
  ExitStatus Wait();
  /// Waits until the process ends or the deadline passes (then nullopt; the
  /// process keeps running). Does not reap.
  std::optional<ExitStatus> WaitUntil(Clock::time_point deadline);
  std::optional<ExitStatus> WaitFor(Clock::duration timeout) { return WaitUntil(Clock::now() + timeout); }

  /// Sends a signal to the process, or to its group and the process. False
  /// when nothing was reached.
  bool Signal(int sig, Scope scope = Scope::Process);

  /// Kills the process (or its group and the process) with SIGKILL at once
  /// and reaps it; a process that already ended is only reaped (its group's
  /// leftovers still killed). The Child is empty afterwards.
  ExitStatus Kill(Scope scope = Scope::Process);
  /// Asks the process (or its group) to end with SIGTERM (and SIGCONT, so
  /// that a stopped one can act on it), waits up to `grace`, then kills with
  /// SIGKILL; with the group scope, leftovers of the group are killed too.
  /// Reaps; the Child is empty afterwards.
  ExitStatus Terminate(Clock::duration grace, Scope scope = Scope::Process);
  /// Waits for the end and reaps without signalling. The Child is empty
  /// afterwards.
  ExitStatus Reap();

  /// Gives up ownership without stopping the process; returns its id. The
  /// caller must reap it (for instance through Adopt).
  pid_t Release();

 private:
  friend Child Spawn(const SpawnOptions& options);
  void ClosePipes();
  ExitStatus ReapNow();

  pid_t pid_ = -1;
  bool ownGroup_ = false;
  std::optional<ExitStatus> ended_;
  int outPipe_ = -1;
  int errPipe_ = -1;
};

/// Starts a child as the options say. The child's signal mask is empty and
/// every signal has its default action. Throws SpawnError when it cannot be
/// started; the program's exec failing (missing, not executable) counts.
Child Spawn(const SpawnOptions& options);

/// Our environment with `additions` ("KEY=value") laid over it: an added
/// KEY replaces the inherited one.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& additions);

}  // namespace qm::process
