#include "base/ULog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/UText.h"
#include "base/UUtils.h"

namespace {
std::chrono::system_clock::time_point Pinned() {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 9;
  tm.tm_hour = 8;
  tm.tm_min = 5;
  tm.tm_sec = 3;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}
}  // namespace

TEST(EventLog, VerbosityTable) {
  struct {
    int verbosity;
    bool error, warning, info;
  } cases[] = {{0, true, true, true}, {1, true, true, false}, {2, true, false, false},
               {3, false, false, false}, {200, false, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verbosity);
    TestDir dir;
    RecordingUserInterface ui;
    TEventLog log(dir.Path(), &ui);
    log.SetVerbosity(static_cast<uint8_t>(c.verbosity));
    log.WriteLog("e", 1);
    log.WriteLog("w", 2);
    log.WriteLog("i", 3);
    int expected = c.error + c.warning + c.info;
    EXPECT_EQ(ui.LogLines().size(), static_cast<size_t>(expected));
    if (expected == 0) {
      EXPECT_FALSE(qm::FileExists(log.LogFilePath())) << "file must not even be opened";
    } else {
      EXPECT_EQ(qm::SplitLines(ReadFileBytes(log.LogFilePath())).size(), static_cast<size_t>(expected));
    }
  }
}

TEST(EventLog, LineFormatAppendsWithCrLf) {
  TestDir dir;
  WriteFileBytes(dir / "signatur.log", "old line\r\n");
  RecordingUserInterface ui;
  TEventLog log(dir.Path(), &ui);
  log.SetClock(Pinned);
  log.WriteLog("Service beendet.", 3);
  log.WriteLog("", 1);
  EXPECT_EQ(ReadFileBytes(dir / "signatur.log"),
            "old line\r\n09.12.2026 08:05:03: Service beendet.\r\n09.12.2026 08:05:03: \r\n");
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{"09.12.2026 08:05:03: Service beendet.", "09.12.2026 08:05:03: "}));
}

TEST(EventLog, ScreenAndFileLineShareOneClockReading) {
  // A clock that moves on by a second at every reading: a second reading for
  // the file line would show a later time than the screen line.
  TestDir dir;
  RecordingUserInterface ui;
  TEventLog log(dir.Path(), &ui);
  auto now = Pinned();
  log.SetClock([&now] { return now += std::chrono::seconds(1); });
  log.WriteLog("erste", 3);
  log.WriteLog("zweite", 3);
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{"09.12.2026 08:05:04: erste", "09.12.2026 08:05:05: zweite"}));
  EXPECT_EQ(ReadFileBytes(log.LogFilePath()), "09.12.2026 08:05:04: erste\r\n09.12.2026 08:05:05: zweite\r\n");
}

TEST(EventLog, UnwritableFileKeepsScreenLinesShowsFailureOnceAndReleasesLock) {
  // A directory in the file's place cannot be opened for writing, by root
  // neither.
  TestDir dir;
  ASSERT_EQ(mkdir((dir / "signatur.log").c_str(), 0755), 0);
  RecordingUserInterface ui;
  TEventLog log(dir.Path(), &ui);
  log.SetClock(Pinned);
  const std::string failure = "09.12.2026 08:05:03: I/O Fehler: Is a directory (" + dir / "signatur.log)";
  EXPECT_NO_THROW(log.WriteLog("x", 1));
  EXPECT_NO_THROW(log.WriteLog("y", 1));
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{"09.12.2026 08:05:03: x", failure, "09.12.2026 08:05:03: y"}));
  std::thread other([&] {
    EXPECT_TRUE(log.LogLock().try_lock());
    log.LogLock().unlock();
  });
  other.join();

  // Writable again: the next line reaches the file; a new failure is shown
  // again.
  ASSERT_EQ(rmdir((dir / "signatur.log").c_str()), 0);
  log.WriteLog("z", 1);
  EXPECT_EQ(ReadFileBytes(log.LogFilePath()), "09.12.2026 08:05:03: z\r\n");
  ASSERT_EQ(unlink((dir / "signatur.log").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "signatur.log").c_str(), 0755), 0);
  log.WriteLog("w", 1);
  EXPECT_EQ(ui.LogLines().size(), 6u);
  EXPECT_EQ(ui.LogLines().back(), failure);
}

TEST(EventLog, ManyThreadsKeepWholeLinesInOneOrder) {
  TestDir dir;
  RecordingUserInterface ui;
  TEventLog log(dir.Path(), &ui);
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) log.WriteLog("thread " + std::to_string(t) + " line " + std::to_string(i), 3);
    });
  for (auto& t : threads) t.join();
  auto fileLines = qm::SplitLines(ReadFileBytes(log.LogFilePath()));
  auto screen = ui.LogLines();
  ASSERT_EQ(fileLines.size(), size_t(kThreads * kLines));
  ASSERT_EQ(screen.size(), fileLines.size());
  EXPECT_EQ(screen, fileLines) << "same lines, same time stamps, same order";
}
