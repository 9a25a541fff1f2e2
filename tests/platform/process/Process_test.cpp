// The process helper: where the standard streams go, how an end is
// reported, waiting with a deadline, stopping a child alone or with its
// process group, clear start failures, and the owner that kills and reaps.

#include "platform/process/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "TestDir.h"

namespace {

using namespace std::chrono_literals;
using qm::process::Child;
using qm::process::ExitStatus;
using qm::process::Scope;
using qm::process::SpawnError;
using qm::process::SpawnOptions;
using qm::process::Stream;

SpawnOptions Shell(const std::string& script) {
  SpawnOptions o;
  o.argv = {"/bin/sh", "-c", script};
  o.in = Stream::Null();
  return o;
}

// True while `pid` exists and is not a zombie.
bool Alive(pid_t pid) {
  std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Waits (a bound against hanging) until a file has a whole line; its text.
std::string WaitForLine(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    std::string text = std::filesystem::exists(path) ? ReadFileBytes(path) : "";
    if (!text.empty() && text.back() == '\n') return text.substr(0, text.size() - 1);
    std::this_thread::sleep_for(10ms);
  }
  return "";
}

// Orphans of the processes a test starts are handed to the test, so that it
// can see how they end.
struct ChildSubreaper {
  ChildSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~ChildSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

TEST(Process, StreamsGoWhereTheOptionsSay) {
  TestDir dir;
  const std::string in = dir.Path() + "in.txt", out = dir.Path() + "out.txt";
  WriteFileBytes(in, "line one\nline two\n");
  struct Case {
    const char* name;
    std::function<void(SpawnOptions&)> setup;
    std::string expectOut, expectErr, expectFile;
  } cases[] = {
      {"stdin from a file, stdout to a pipe",
       [&](SpawnOptions& o) {
         o.argv = {"cat"};
         o.in = Stream::File(in);
         o.out = Stream::Pipe();
       },
       "line one\nline two\n", "", ""},
      {"stdin from /dev/null ends at once",
       [&](SpawnOptions& o) {
         o.argv = {"cat"};
         o.in = Stream::Null();
         o.out = Stream::Pipe();
       },
       "", "", ""},
      {"stderr joins stdout in one pipe, in order",
       [&](SpawnOptions& o) {
         o = Shell("echo out; echo err >&2; echo out2");
         o.out = Stream::Pipe();
         o.err = Stream::ToStdout();
       },
       "out\nerr\nout2\n", "", ""},
      {"stdout and stderr in pipes of their own",
       [&](SpawnOptions& o) {
         o = Shell("echo out; echo err >&2");
         o.out = Stream::Pipe();
         o.err = Stream::Pipe();
       },
       "out\n", "err\n", ""},
      {"both pipes are drained at once: a large stderr first does not block",
       [&](SpawnOptions& o) {
         o = Shell("head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o");
         o.out = Stream::Pipe();
         o.err = Stream::Pipe();
       },
       std::string(300000, 'o'), std::string(300000, 'e'), ""},
      {"a file is truncated",
       [&](SpawnOptions& o) {
         WriteFileBytes(out, "old contents\n");
         o = Shell("echo new; echo err >&2");
         o.out = Stream::File(out);
         o.err = Stream::ToStdout();
       },
       "", "", "new\nerr\n"},
      {"an appended file keeps what it had",
       [&](SpawnOptions& o) {
         WriteFileBytes(out, "old\n");
         o = Shell("echo new");
         o.out = Stream::Append(out);
       },
       "", "", "old\nnew\n"},
      {"environment additions replace inherited values, the rest stays",
       [&](SpawnOptions& o) {
         ::setenv("QM_PROCESS_KEPT", "kept", 1);
         ::setenv("QM_PROCESS_REPLACED", "old", 1);
         o = Shell("echo $QM_PROCESS_KEPT-$QM_PROCESS_REPLACED-$QM_PROCESS_NEW");
         o.environment = {"QM_PROCESS_REPLACED=new", "QM_PROCESS_NEW=added"};
         o.out = Stream::Pipe();
       },
       "kept-new-added\n", "", ""},
      {"working directory",
       [&](SpawnOptions& o) {
         o = Shell("pwd -P");
         o.workingDirectory = dir.Path();
         o.out = Stream::Pipe();
       },
       std::filesystem::canonical(dir.Path()).string() + "\n", "", ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpawnOptions options;
    c.setup(options);
    Child child = qm::process::Spawn(options);
    auto captured = child.ReadOutput(std::chrono::steady_clock::now() + 30s);
    EXPECT_TRUE(captured.complete);
    EXPECT_EQ(child.Reap(), (ExitStatus{0, 0}));
    EXPECT_EQ(captured.out, c.expectOut);
    EXPECT_EQ(captured.err, c.expectErr);
    if (!c.expectFile.empty()) {
      EXPECT_EQ(ReadFileBytes(out), c.expectFile);
    }
  }
  ::unsetenv("QM_PROCESS_KEPT");
  ::unsetenv("QM_PROCESS_REPLACED");
}

TEST(Process, ExitCodeOrSignalIsReported) {
  struct {
    const char* script;
    ExitStatus expected;
    int shellStatus;
  } cases[] = {
      {"exit 0", {0, 0}, 0},
      {"exit 3", {3, 0}, 3},
      {"exit 255", {255, 0}, 255},
      {"kill -TERM $$", {-1, SIGTERM}, 128 + SIGTERM},
      {"kill -KILL $$", {-1, SIGKILL}, 128 + SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Child child = qm::process::Spawn(Shell(c.script));
    ExitStatus seen = child.Wait();
    EXPECT_EQ(seen, c.expected);
    EXPECT_EQ(seen.ShellStatus(), c.shellStatus);
    EXPECT_EQ(seen.Succeeded(), c.shellStatus == 0);
    EXPECT_EQ(child.Reap(), c.expected) << "the status seen before reaping is the one reaped";
    EXPECT_FALSE(child.Owns());
  }
}

// The end is observed without reaping, so the process id stays ours (a
// zombie) and a group kill afterwards cannot reach a stranger.
TEST(Process, WaitingLeavesTheEndedChildUnreapedUntilReaped) {
  Child child = qm::process::Spawn(Shell("exit 7"));
  auto status = child.WaitFor(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 7);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.Pid()), &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(info.si_pid, child.Pid()) << "still waitable: not reaped";
  EXPECT_EQ(child.Poll(), status);
  pid_t pid = child.Pid();
  EXPECT_EQ(child.Reap().code, 7);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(Process, DeadlinePassingLeavesTheChildRunningUntilKilled) {
  SpawnOptions options = Shell("echo started; exec sleep 30");
  options.out = Stream::Pipe();
  Child child = qm::process::Spawn(options);
  auto captured = child.ReadOutput(std::chrono::steady_clock::now() + 2s);
  EXPECT_FALSE(captured.complete) << "the pipe stays open while the child runs";
  EXPECT_EQ(captured.out, "started\n");

  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(child.WaitFor(200ms).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - before, 200ms);
  EXPECT_FALSE(child.WaitUntil(std::chrono::steady_clock::now() - 1s).has_value()) << "a past deadline only looks";
  EXPECT_FALSE(child.Poll().has_value());
  EXPECT_TRUE(Alive(child.Pid()));

  pid_t pid = child.Pid();
  EXPECT_EQ(child.Kill(), (ExitStatus{-1, SIGKILL}));
  EXPECT_FALSE(child.Owns());
  EXPECT_EQ(::kill(pid, 0), -1) << "killed and reaped";
}

TEST(Process, TerminateAsksFirstAndKillsAfterTheGrace) {
  struct {
    const char* name;
    const char* trap;
    bool stopFirst;
    ExitStatus expected;
  } cases[] = {
      {"ends on SIGTERM", "", false, {-1, SIGTERM}},
      {"a stopped child is continued to act on SIGTERM", "", true, {-1, SIGTERM}},
      {"handles SIGTERM and exits with its own code", "trap 'exit 5' TERM;", false, {5, 0}},
      {"ignores SIGTERM: killed after the grace", "trap '' TERM;", false, {-1, SIGKILL}},
  };
  TestDir dir;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The shell has set its trap once it writes its line.
    const std::string readyFile = dir.Path() + "ready" + std::to_string(++n);
    const bool trapped = *c.trap != '\0';
    Child child = qm::process::Spawn(Shell(std::string(c.trap) + " echo ready > " + readyFile + "; " +
                                           (trapped ? "while :; do sleep 0.05; done" : "exec sleep 30")));
    ASSERT_EQ(WaitForLine(readyFile), "ready");
    if (c.stopFirst) {
      ASSERT_TRUE(child.Signal(SIGSTOP));
      siginfo_t info{};
      ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.Pid()), &info, WSTOPPED | WNOWAIT), 0);
    }
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(child.Terminate(500ms), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
    EXPECT_FALSE(child.Owns());
  }
}

// The child starts a grandchild and waits for it. Killing the group takes
// the grandchild along; killing the child alone leaves it running.
TEST(Process, GroupKillTakesTheGrandchildAlong) {
  ChildSubreaper subreaper;
  TestDir dir;
  struct {
    const char* name;
    bool terminate;
    Scope scope;
    bool grandchildSurvives;
  } cases[] = {
      {"kill the group", false, Scope::Group, false},
      {"terminate the group", true, Scope::Group, false},
      {"kill the child alone", false, Scope::Process, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pidFile = dir.Path() + "grandchild" + std::to_string(++n);
    SpawnOptions options = Shell("sleep 60 & echo $! > " + pidFile + "; wait");
    options.ownProcessGroup = true;
    Child child = qm::process::Spawn(options);
    EXPECT_EQ(::getpgid(child.Pid()), child.Pid()) << "leads a group of its own";
    const pid_t grandchild = std::atoi(WaitForLine(pidFile).c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(::getpgid(grandchild), child.Pid());

    ExitStatus st = c.terminate ? child.Terminate(5s, c.scope) : child.Kill(c.scope);
    EXPECT_FALSE(st.Exited());
    // Handed to us as an orphan; it ends by SIGKILL (the group's) or runs on.
    int status = 0;
    if (c.grandchildSurvives) {
      EXPECT_EQ(::waitpid(grandchild, &status, WNOHANG), 0);
      ::kill(grandchild, SIGKILL);
    }
    ASSERT_EQ(::waitpid(grandchild, &status, 0), grandchild);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
}

TEST(Process, StartFailuresAreClearErrors) {
  TestDir dir;
  struct Case {
    const char* name;
    std::function<void(SpawnOptions&)> setup;
    int errnum;
    std::string inMessage;
  } cases[] = {
      {"missing program by path",
       [](SpawnOptions& o) {
         o.argv = {"/nonexistent/qm-program", "x"};
       },
       ENOENT, "cannot start /nonexistent/qm-program: No such file or directory"},
      {"missing program in PATH", [](SpawnOptions& o) { o.argv = {"qm-no-such-program"}; }, ENOENT,
       "qm-no-such-program"},
      {"not executable",
       [&](SpawnOptions& o) {
         WriteFileBytes(dir.Path() + "plain", "#!/bin/sh\n");
         o.argv = {dir.Path() + "plain"};
       },
       EACCES, "Permission denied"},
      {"output into a missing directory",
       [&](SpawnOptions& o) {
         o.argv = {"/bin/true"};
         o.out = Stream::File(dir.Path() + "none/out.txt");
       },
       ENOENT, "/bin/true"},
      {"missing working directory",
       [&](SpawnOptions& o) {
         o.argv = {"/bin/true"};
         o.workingDirectory = dir.Path() + "none";
       },
       ENOENT, "/bin/true"},
      {"no program", [](SpawnOptions& o) { o.argv = {}; }, EINVAL, "cannot start"},
      {"stdin cannot be a pipe",
       [](SpawnOptions& o) {
         o.argv = {"/bin/true"};
         o.in = Stream::Pipe();
       },
       EINVAL, "Invalid argument"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpawnOptions options;
    c.setup(options);
    try {
      Child child = qm::process::Spawn(options);
      ADD_FAILURE() << "started pid " << child.Pid();
    } catch (const SpawnError& e) {
      EXPECT_EQ(e.Errno(), c.errnum);
      EXPECT_NE(std::string(e.what()).find(c.inMessage), std::string::npos) << e.what();
    }
  }
}

// A Child that goes out of scope kills and reaps what it still owns: one it
// started (with its group) and one it adopted from a fork. A moved-from or
// released Child leaves the process alone.
TEST(Process, OwnerKillsAndReapsOnDestruction) {
  ChildSubreaper subreaper;
  TestDir dir;
  const std::string pidFile = dir.Path() + "grandchild";
  pid_t spawned = -1, grandchild = -1;
  {
    SpawnOptions options = Shell("sleep 60 & echo $! > " + pidFile + "; wait");
    options.ownProcessGroup = true;
    Child outer;
    {
      Child inner = qm::process::Spawn(options);
      spawned = inner.Pid();
      outer = std::move(inner);
    }
    EXPECT_TRUE(Alive(spawned)) << "the moved-from owner did not kill it";
    grandchild = std::atoi(WaitForLine(pidFile).c_str());
    ASSERT_GT(grandchild, 0);
  }
  EXPECT_EQ(::waitpid(spawned, nullptr, WNOHANG), -1) << "reaped by the owner";
  int status = 0;
  ASSERT_EQ(::waitpid(grandchild, &status, 0), grandchild);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the group went with it";

  pid_t forked = ::fork();
  ASSERT_GE(forked, 0);
  if (forked == 0) {
    ::pause();
    ::_exit(0);
  }
  { Child adopted = Child::Adopt(forked); }
  EXPECT_EQ(::waitpid(forked, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  pid_t released = -1;
  {
    Child child = qm::process::Spawn(Shell("exec sleep 30"));
    released = child.Release();
  }
  EXPECT_TRUE(Alive(released));
  EXPECT_EQ(Child::Adopt(released).Kill().signal, SIGKILL);
}

}  // namespace
