// The single-instance lock: its name, a second claimant in this process and
// in another process, and release when the holder is killed.

#include "platform/instance/InstanceLock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/process/Process.h"

using qm::InstanceLock;

TEST(InstanceLock, NameIsTheDirectoryWithoutSlashes) {
  struct {
    std::string dir, name;
  } cases[] = {
      {"/opt/Programme/Signatur/", "Quillmark_optProgrammeSignatur"},
      {"/opt/Programme/Signatur", "Quillmark_optProgrammeSignatur"},
      {"/", "Quillmark_"},
      {"/srv/Mein Verzeichnis/", "Quillmark_srvMein Verzeichnis"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(qm::InstanceLockName(c.dir), c.name);
  }
}

TEST(InstanceLock, SecondClaimIsTakenUntilReleased) {
  std::string name = "Quillmark_test" + std::to_string(::getpid());
  struct {
    std::string name;
  } cases[] = {{name}, {name + std::string(300, 'x')}};  // long names are hashed
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.size());
    bool taken = true;
    auto first = InstanceLock::Claim(c.name, &taken);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(taken);
    auto second = InstanceLock::Claim(c.name, &taken);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(taken);
    EXPECT_NE(InstanceLock::Claim(c.name + "2", &taken), nullptr) << "another installation is independent";
    first.reset();
    EXPECT_NE(InstanceLock::Claim(c.name, &taken), nullptr);
  }
}

// A child process claims the lock and reports through a pipe; the parent
// learns it is taken, kills the child with SIGKILL and claims it.
TEST(InstanceLock, OtherProcessHoldsItUntilKilled) {
  std::string name = "Quillmark_kill" + std::to_string(::getpid());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto lock = InstanceLock::Claim(name);
    char ok = lock ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  // Killed and reaped however the test leaves.
  qm::process::Child child = qm::process::Child::Adopt(pid);
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');
  bool taken = false;
  EXPECT_EQ(InstanceLock::Claim(name, &taken), nullptr);
  EXPECT_TRUE(taken);
  child.Kill();
  EXPECT_NE(InstanceLock::Claim(name, &taken), nullptr);
}
