// The user table's SQLite file locked by another program: the lookup fails
// with the documented log lines within the driver's wait, releases the
// directory lock, and the next lookup succeeds once the lock is gone.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"

namespace {

// Holds an exclusive transaction on a SQLite file in a child process (the
// sqlite3 shell) until Release(). The shell prints a marker once BEGIN
// EXCLUSIVE has succeeded; WaitHeld() reads it.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(const std::string& db) {
    int in[2], out[2];
    if (::pipe(in) != 0) return;
    if (::pipe(out) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      ::execlp("sqlite3", "sqlite3", db.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    const std::string sql = "BEGIN EXCLUSIVE;\nSELECT 'locked';\n";
    (void)!::write(in_, sql.data(), sql.size());
  }
  // True once the shell has printed the marker, within `limit`; false when it
  // failed first (no shell, the transaction refused) or took longer.
  bool WaitHeld(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string seen;
    while (out_ >= 0 && seen.find("locked\n") == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[64];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<std::size_t>(n));
    }
    return out_ >= 0;
  }
  void Release() {
    if (in_ >= 0) {
      const std::string sql = "COMMIT;\n.quit\n";
      (void)!::write(in_, sql.data(), sql.size());
      ::close(in_);
      in_ = -1;
    }
    if (out_ >= 0) {
      ::close(out_);
      out_ = -1;
    }
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  ~ExclusiveLock() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    Release();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};


}  // namespace

TEST(SqliteLocked, LookupFailsWithTheLogLinesAndSucceedsAfterwards) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  TestEngine e;
  e.UseOdbcUsers(odbc.Dsn());
  TFDBUtil& db = *e.db;
  RecordingUserInterface& ui = e.ui;

  ExclusiveLock lock(odbc.DatabasePath());
  ASSERT_TRUE(lock.WaitHeld(std::chrono::seconds(10))) << "the sqlite3 shell did not take the lock";
  const auto start = std::chrono::steady_clock::now();
  const bool found = db.FindUser("user00001@example.test");
  const auto waited = std::chrono::steady_clock::now() - start;
  db.CloseConnection();
  std::printf("locked lookup returned after %.1f s\n", std::chrono::duration<double>(waited).count());
  EXPECT_FALSE(found);
  // Bounded by the driver's busy wait and the command time-out, never for ever.
  EXPECT_LT(waited, std::chrono::seconds(120));
  auto lines = ui.LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find(": Fehler beim Verbinden mit der Datenbank: " + odbc.Dsn() + ".users"),
            std::string::npos)
      << lines[lines.size() - 2];
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));

  lock.Release();
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "givenName"), "Given1");
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}
