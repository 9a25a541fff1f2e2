// Child processes through posix_spawn: glibc's posix_spawn reports a failed
// exec (missing program, no permission) as its own result, so a SpawnError
// covers every way the start can fail and no fork of our own is needed.

#include "platform/process/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace qm::process {

namespace {

std::string ErrnoText(int errnum) {
  char buf[256];
  return strerror_r(errnum, buf, sizeof buf);  // GNU variant
}

std::string Key(const std::string& entry) { return entry.substr(0, entry.find('=')); }

ExitStatus FromSiginfo(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return ExitStatus{info.si_status, 0};
  return ExitStatus{-1, info.si_status};
}

ExitStatus FromWaitStatus(int status) {
  if (WIFEXITED(status)) return ExitStatus{WEXITSTATUS(status), 0};
  if (WIFSIGNALED(status)) return ExitStatus{-1, WTERMSIG(status)};
  return ExitStatus{};
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The spawn attributes and file actions, released however Spawn leaves.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int pipes[4] = {-1, -1, -1, -1};  // stdout read/write, stderr read/write
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int& fd : pipes) CloseFd(fd);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Adds the file action that gives descriptor `fd` (0, 1 or 2) its stream;
// `pipeEnds` receives a pipe made for it. Returns an errno, 0 when fine.
int AddStream(SpawnSetup& setup, int fd, const Stream& stream, int* pipeEnds) {
  using Kind = Stream::Kind;
  const bool input = fd == 0;
  switch (stream.kind) {
    case Kind::Inherit:
      return 0;
    case Kind::Null:
      return posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", input ? O_RDONLY : O_WRONLY, 0);
    case Kind::File:
      return posix_spawn_file_actions_addopen(&setup.actions, fd, stream.path.c_str(),
                                              input ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC,
                                              static_cast<mode_t>(stream.mode));
    case Kind::AppendFile:
      if (input) return EINVAL;
      return posix_spawn_file_actions_addopen(&setup.actions, fd, stream.path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                              static_cast<mode_t>(stream.mode));
    case Kind::Pipe:
      if (input) return EINVAL;
      if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return errno;
      // dup2 onto the standard descriptor clears close-on-exec there only.
      return posix_spawn_file_actions_adddup2(&setup.actions, pipeEnds[1], fd);
    case Kind::ToStdout:
      if (fd != 2) return EINVAL;
      return posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
  }
  return EINVAL;
}

}  // namespace

SpawnError::SpawnError(const std::string& program, int errnum)
    : std::runtime_error("cannot start " + program + ": " + ErrnoText(errnum)), errno_(errnum) {}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& additions) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    const std::string key = Key(entry);
    bool replaced =
        std::any_of(additions.begin(), additions.end(), [&](const std::string& a) { return Key(a) == key; });
    if (!replaced) env.push_back(std::move(entry));
  }
  env.insert(env.end(), additions.begin(), additions.end());
  return env;
}

Child Spawn(const SpawnOptions& options) {
  if (options.argv.empty()) throw SpawnError("(no program)", EINVAL);
  const std::string& program = options.argv[0];

  SpawnSetup setup;
  int rc = AddStream(setup, 0, options.in, nullptr);
  if (rc == 0) rc = AddStream(setup, 1, options.out, &setup.pipes[0]);
  if (rc == 0) rc = AddStream(setup, 2, options.err, &setup.pipes[2]);
  // Last, so that the redirections' paths are taken from where we are.
  if (rc == 0 && !options.workingDirectory.empty())
    rc = posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory.c_str());
  if (rc != 0) throw SpawnError(program, rc);

  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.ownProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&setup.attr, 0);
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setsigdefault(&setup.attr, &all);
  posix_spawnattr_setflags(&setup.attr, flags);

  std::vector<char*> argv;
  for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  std::vector<char*> envp;
  char** env = environ;
  if (!options.environment.empty()) {
    envStore = MergedEnvironment(options.environment);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    env = envp.data();
  }

  pid_t pid = -1;
  const bool search = options.searchPath && program.find('/') == std::string::npos;
  rc = search ? ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env)
              : ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env);
  if (rc != 0) throw SpawnError(program, rc);

  Child child;
  child.pid_ = pid;
  child.ownGroup_ = options.ownProcessGroup;
  std::swap(child.outPipe_, setup.pipes[0]);
  std::swap(child.errPipe_, setup.pipes[2]);
  return child;  // the write ends close with the setup
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      ownGroup_(other.ownGroup_),
      ended_(std::exchange(other.ended_, std::nullopt)),
      outPipe_(std::exchange(other.outPipe_, -1)),
      errPipe_(std::exchange(other.errPipe_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (Owns()) Kill(ownGroup_ ? Scope::Group : Scope::Process);
    ClosePipes();
    pid_ = std::exchange(other.pid_, -1);
    ownGroup_ = other.ownGroup_;
    ended_ = std::exchange(other.ended_, std::nullopt);
    outPipe_ = std::exchange(other.outPipe_, -1);
    errPipe_ = std::exchange(other.errPipe_, -1);
  }
  return *this;
}

Child::~Child() {
  if (Owns()) Kill(ownGroup_ ? Scope::Group : Scope::Process);
  ClosePipes();
}

Child Child::Adopt(pid_t pid, bool ownGroup) {
  Child child;
  child.pid_ = pid > 0 ? pid : -1;
  child.ownGroup_ = ownGroup;
  return child;
}

void Child::ClosePipes() {
  CloseFd(outPipe_);
  CloseFd(errPipe_);
}

CapturedOutput Child::ReadOutput(std::optional<Clock::time_point> deadline) {
  CapturedOutput result;
  char buf[4096];
  while (outPipe_ >= 0 || errPipe_ >= 0) {
    pollfd fds[2];
    std::string* targets[2];
    int* owners[2];
    nfds_t n = 0;
    for (auto [fd, target] : {std::pair{&outPipe_, &result.out}, std::pair{&errPipe_, &result.err}}) {
      if (*fd < 0) continue;
      fds[n] = pollfd{*fd, POLLIN, 0};
      targets[n] = target;
      owners[n++] = fd;
    }
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return result;
      timeout = static_cast<int>(std::min<long long>(left, 60'000));
    }
    int r = ::poll(fds, n, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0)
        CloseFd(*owners[i]);
      else
        targets[i]->append(buf, static_cast<std::size_t>(got));
    }
  }
  result.complete = outPipe_ < 0 && errPipe_ < 0;
  return result;
}

std::optional<ExitStatus> Child::Poll() {
  if (ended_ || !Owns()) return ended_;
  while (true) {
    siginfo_t info{};
    int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (r == 0 && info.si_pid == pid_) ended_ = FromSiginfo(info);
    if (r < 0 && errno == EINTR) continue;
    // Not our child (any more): nothing will ever end, so count it as ended.
    if (r < 0) ended_ = ExitStatus{};
    return ended_;
  }
}

ExitStatus Child::Wait() {
  if (ended_ || !Owns()) return ended_.value_or(ExitStatus{});
  while (true) {
    siginfo_t info{};
    int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    if (r < 0 && errno == EINTR) continue;
    ended_ = r == 0 ? FromSiginfo(info) : ExitStatus{};
    return *ended_;
  }
}

std::optional<ExitStatus> Child::WaitUntil(Clock::time_point deadline) {
  // Polls, first often (short-lived commands), then every 20 ms.
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    if (auto status = Poll()) return status;
    auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool Child::Signal(int sig, Scope scope) {
  if (!Owns()) return false;
  bool reached = false;
  if (scope == Scope::Group && ownGroup_) reached = ::kill(-pid_, sig) == 0;
  // The child itself too: it may have left its group.
  if (::kill(pid_, sig) == 0) reached = true;
  return reached;
}

ExitStatus Child::ReapNow() {
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  if (!ended_) ended_ = r == pid_ ? FromWaitStatus(status) : ExitStatus{};
  ExitStatus result = *ended_;
  pid_ = -1;
  ended_.reset();
  return result;
}

ExitStatus Child::Kill(Scope scope) {
  if (!Owns()) return ExitStatus{};
  if (!Poll()) Signal(SIGKILL, Scope::Process);
  if (scope == Scope::Group && ownGroup_) ::kill(-pid_, SIGKILL);
  return ReapNow();
}

ExitStatus Child::Terminate(Clock::duration grace, Scope scope) {
  if (!Owns()) return ExitStatus{};
  if (!Poll()) {
    Signal(SIGTERM, scope);
    Signal(SIGCONT, scope);  // a stopped process acts on SIGTERM only once it runs
    if (!WaitFor(grace)) Signal(SIGKILL, scope);
  }
  return Kill(scope);
}

ExitStatus Child::Reap() {
  if (!Owns()) return ExitStatus{};
  return ReapNow();
}

pid_t Child::Release() {
  pid_t pid = pid_;
  pid_ = -1;
  ended_.reset();
  return pid;
}

}  // namespace qm::process
