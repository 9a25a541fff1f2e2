#include "base/UProgState.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/ULog.h"
#include "base/UUtils.h"

class ProgState : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    qm::SetProgramDirectory(dir.Path());
    SetCurrentLog(&log);
  }
  void TearDown() override {
    SetCurrentLog(nullptr);
    ClearState();
  }
  TestDir dir;
  RecordingUserInterface ui;
  TEventLog log{dir.Path(), &ui};
};

TEST_F(ProgState, NamesMatchWithoutCaseAndKeepLatestSpelling) {
  EXPECT_EQ(GetStateValue("profileName"), "");
  SetStateValue("profilename", "x");
  EXPECT_EQ(GetStateValue("profileName"), "x");
  EXPECT_EQ(FindStateSlot("PROFILENAME"), 0);
  SetStateValue("service", "");
  EXPECT_EQ(FindStateSlot("service"), 1) << "an empty value keeps the slot";
  SaveState();
  std::string file = ReadFileBytes(dir / "progstate.qms");
  ASSERT_EQ(file.size(), 13312u);
  EXPECT_EQ(file.substr(0, 12), std::string("\x0bprofilename"));
  EXPECT_EQ(file.substr(256, 2), std::string("\x01x"));
  EXPECT_EQ(file.substr(512, 8), std::string("\x07service"));
  EXPECT_EQ(file[512 + 256], '\0');
}

TEST_F(ProgState, TruncatesTo255AndRefusesTheTwentySeventhName) {
  SetStateValue("long", std::string(300, 'v'));
  EXPECT_EQ(GetStateValue("long"), std::string(255, 'v'));
  for (int i = 1; i < 26; ++i) SetStateValue(std::string("n").append(std::to_string(i)), "v");
  EXPECT_EQ(FindStateSlot("n25"), 25);
  auto before = StateImage();
  SetStateValue("one-too-many", "v");
  EXPECT_EQ(StateImage(), before);
  auto lines = ui.LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": Zu viele Werte in der Configurationsdatei. Bitte wenden Sie sich an den Hersteller."),
            std::string::npos);
  SetStateValue("n7", "updated");
  EXPECT_EQ(GetStateValue("n7"), "updated");
}

TEST_F(ProgState, LoadTakesOnlyWholeUnitsAndKeepsLeftoverBytes) {
  // Slot 3 with name "LStatusGesand", value "17" and garbage after the value.
  std::string image(13312, '\0');
  image[3 * 512] = 13;
  image.replace(3 * 512 + 1, 13, "LStatusGesand");
  image[3 * 512 + 256] = 2;
  image.replace(3 * 512 + 257, 5, "17zzz");
  struct {
    std::string file;
    std::string want;
  } cases[] = {
      {image.substr(0, 13311), ""},       // short: not read
      {image + std::string(6688, 'x'), "17"},  // 20,000 bytes: first 13,312
      {image, "17"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.size());
    ClearState();
    WriteFileBytes(dir / "progstate.qms", c.file);
    LoadState(dir / "progstate.qms");
    EXPECT_EQ(GetStateValue("lstatusgesand"), c.want);
  }
  SaveState();
  EXPECT_EQ(ReadFileBytes(dir / "progstate.qms"), image) << "round trip keeps insignificant bytes";
}

TEST_F(ProgState, MissingFileAndUnwritableTarget) {
  LoadState(dir / "nothing.qms");
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "");
  qm::SetProgramDirectory(dir / "no-such-dir");
  SaveState();
  auto lines = ui.LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": I/O Fehler: No such file or directory"), std::string::npos) << lines[0];
}

TEST_F(ProgState, ConcurrentWritersLoseNoSlotAndNoCount) {
  constexpr int kThreads = 8, kAdds = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      SetStateValue("name" + std::to_string(t), "v");
      for (int i = 0; i < kAdds; ++i) AddToStateCounter("LStatusHTTP", 1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(kThreads * kAdds));
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(GetStateValue("name" + std::to_string(t)), "v");
  std::set<int> slots;
  for (int t = 0; t < kThreads; ++t) slots.insert(FindStateSlot("name" + std::to_string(t)));
  EXPECT_EQ(slots.size(), size_t(kThreads));
}
