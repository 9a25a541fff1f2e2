// The user table's SQLite file locked by another program: the lookup fails
// with the documented log lines within the driver's wait, releases the
// directory lock, and the next lookup succeeds once the lock is gone.

#include <fcntl.h>
#include <gtest/gtest.h>
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
#include "directory/UDBUtil.h"
#include "settings/USetting.h"

namespace {

// Holds an exclusive transaction on a SQLite file in a child process (the
// sqlite3 shell) until Release().
class ExclusiveLock {
 public:
  explicit ExclusiveLock(const std::string& db) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[0], 0);
      ::close(fds[1]);
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, 1);
      ::execlp("sqlite3", "sqlite3", db.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[0]);
    in_ = fds[1];
    const std::string sql = "BEGIN EXCLUSIVE;\nSELECT 1;\n";
    (void)!::write(in_, sql.data(), sql.size());
  }
  void Release() {
    if (in_ >= 0) {
      const std::string sql = "COMMIT;\n.quit\n";
      (void)!::write(in_, sql.data(), sql.size());
      ::close(in_);
      in_ = -1;
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
};

bool LockIsFree(TFDBUtil& db) {
  bool free = false;
  std::thread t([&] {
    free = db.DirectoryLock().try_lock();
    if (free) db.DirectoryLock().unlock();
  });
  t.join();
  return free;
}

}  // namespace

TEST(SqliteLocked, LookupFailsWithTheLogLinesAndSucceedsAfterwards) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main main{dir.Path(), ui};
  TFSettings settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
  DirectorySettings d;
  d.odbcSource = odbc.Dsn();
  d.table = "users";
  d.mailField = "mail";
  settings.SetDirectorySettings(d);
  db.ConfigureConnection(d.odbcSource, d.table, "", "", "", "");

  ExclusiveLock lock(odbc.DatabasePath());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the shell takes the lock
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
  EXPECT_TRUE(LockIsFree(db));

  lock.Release();
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "givenName"), "Given1");
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db));
}
