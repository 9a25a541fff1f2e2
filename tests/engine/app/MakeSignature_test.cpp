// MakeSignature's files, retry and lock, without a directory object: nothing
// is looked up, so the template goes out as it is written. The substitution
// against real directories is tested in tests/integration.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestSupport.h"
#include "directory/UDBUtil.h"
#include "base/UUtils.h"

namespace {

struct MakeSignatureFixture : ::testing::Test {
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form{dir.Path(), ui};
  std::vector<std::chrono::milliseconds> waits;

  void SetUp() override {
    ASSERT_EQ(FDBUtil, nullptr);
    mkdir((dir / "temp").c_str(), 0755);
    form.SetRetryWait([this](std::chrono::milliseconds d) { waits.push_back(d); });
  }
  std::string Store(const std::string& name) const { return dir / ("temp/" + name); }
  bool SignatureLockFree() { return LockIsFree(form.SignatureLock()); }
};

TEST_F(MakeSignatureFixture, TemplateWithoutLookupGoesOutAsWritten) {
  struct {
    const char* name;
    qm::TextList lines;
    std::string txt, htm;
  } cases[] = {
      {"empty template gives two empty files", {}, "", ""},
      {"every line ends with CR LF", {"a", "", "b"}, "a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n"},
      {"cid prefix removed only in the .htm",
       {"<img src=\"cid:logo.gif\"/>", "<IMG SRC=\"cid:logo.gif\"/>"},
       "<img src=\"cid:logo.gif\"/>\r\n<IMG SRC=\"cid:logo.gif\"/>\r\n",
       "<img src=\"logo.gif\"/>\r\n<IMG SRC=\"cid:logo.gif\"/>\r\n"},
      {"every occurrence, and only with the quote",
       {"src=\"cid:a.gif\" src=\"cid:b.jpg\" src=cid:c.gif src='cid:d.gif'"},
       "src=\"cid:a.gif\" src=\"cid:b.jpg\" src=cid:c.gif src='cid:d.gif'\r\n",
       "src=\"a.gif\" src=\"b.jpg\" src=cid:c.gif src='cid:d.gif'\r\n"},
      {"placeholders stay", {"#givenName# #sn#"}, "#givenName# #sn#\r\n", "#givenName# #sn#\r\n"},
      {"UTF-8 text unchanged", {"Grüße, Jürgen"}, "Grüße, Jürgen\r\n", "Grüße, Jürgen\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    form.M_Signatur_HTML = c.lines;
    form.MakeSignature("anna.berg@example.test");
    EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test.txt")), c.txt);
    EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test.htm")), c.htm);
  }
  EXPECT_TRUE(waits.empty());
  EXPECT_TRUE(SignatureLockFree());
}

TEST_F(MakeSignatureFixture, HugeTemplate) {
  qm::TextList lines(16384, std::string(62, 'x') + "#a");  // 1 MiB with line ends
  lines[100] = "<img src=\"cid:big.gif\"/>";
  form.M_Signatur_HTML = lines;
  form.MakeSignature("big@example.test");
  lines[100] = "<img src=\"big.gif\"/>";
  EXPECT_EQ(ReadFileBytes(Store("big@example.test.htm")), qm::JoinLinesCrLf(lines));
}

// A second generation with the same result leaves the files in place (same
// inode, nothing replaced); a changed result replaces them whole.
TEST_F(MakeSignatureFixture, SameSignatureAgainKeepsTheFilesAndAChangedOneReplacesThem) {
  auto inode = [&](const std::string& name) {
    struct stat st {};
    return ::stat(Store(name).c_str(), &st) == 0 ? st.st_ino : ino_t{0};
  };
  form.M_Signatur_HTML = {"<p>one</p>"};
  form.MakeSignature("c@example.test");
  const ino_t txt = inode("c@example.test.txt"), htm = inode("c@example.test.htm");
  ASSERT_NE(txt, ino_t{0});
  form.MakeSignature("c@example.test");
  EXPECT_EQ(inode("c@example.test.txt"), txt);
  EXPECT_EQ(inode("c@example.test.htm"), htm);

  // Same length, other bytes: compared by content, not by size.
  form.M_Signatur_HTML = {"<p>two</p>"};
  form.MakeSignature("c@example.test");
  EXPECT_EQ(ReadFileBytes(Store("c@example.test.txt")), "<p>two</p>\r\n");
  EXPECT_EQ(ReadFileBytes(Store("c@example.test.htm")), "<p>two</p>\r\n");
  EXPECT_EQ(ReadFileBytes(Store("c@example.test.txt")).size(), std::string("<p>one</p>\r\n").size());
  EXPECT_TRUE(waits.empty());
}

TEST_F(MakeSignatureFixture, StaleRtfIsDeletedOnlyForTheAddress) {
  WriteFileBytes(Store("a@example.test.rtf"), "{\\rtf1 old}");
  WriteFileBytes(Store("b@example.test.rtf"), "{\\rtf1 other}");
  form.MakeSignature("a@example.test");
  EXPECT_FALSE(qm::FileExists(Store("a@example.test.rtf")));
  EXPECT_TRUE(qm::FileExists(Store("b@example.test.rtf")));
  // A missing .rtf is no failure.
  EXPECT_NO_THROW(form.MakeSignature("a@example.test"));
}

TEST_F(MakeSignatureFixture, AddressThatIsNoPlainFileNameIsRefused) {
  form.M_Signatur_HTML = {"x"};
  mkdir((dir / "temp/sub").c_str(), 0755);
  const std::string cases[] = {"../escape", "sub/a@b.de", "..", ".", "", "a\\b@c.de", std::string("a\0b", 3)};
  for (const auto& address : cases) {
    SCOPED_TRACE(address);
    EXPECT_THROW(form.MakeSignature(address), qm::EInOutError);
    EXPECT_TRUE(SignatureLockFree());
  }
  EXPECT_FALSE(qm::FileExists(dir / "escape.txt"));
  EXPECT_FALSE(qm::FileExists(Store("sub/a@b.de.txt")));
  // Nothing at all was written into the store or beside it.
  std::size_t files = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir.Path()))
    if (e.is_regular_file() && e.path().filename() != "signatur.log") ++files;
  EXPECT_EQ(files, 0u);
  auto log = ui.LogLines();
  ASSERT_EQ(log.size(), std::size(cases));
  EXPECT_NE(log[0].find("../escape"), std::string::npos);
  EXPECT_TRUE(waits.empty());
}

TEST_F(MakeSignatureFixture, OneRetryAfterThreeSeconds) {
  struct {
    const char* name;
    std::string blocked;  // made a directory so that writing it fails
    bool clearedByRetry;  // the wait removes the obstacle
    bool throws;
    bool htmWritten;
  } cases[] = {
      {"txt succeeds on retry", "t@x.de.txt", true, false, true},
      {"htm succeeds on retry", "t@x.de.htm", true, false, true},
      {"txt fails twice: no htm, rtf kept", "t@x.de.txt", false, true, false},
      {"htm fails twice: rtf kept", "t@x.de.htm", false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "temp");
    mkdir((dir / "temp").c_str(), 0755);
    WriteFileBytes(Store("t@x.de.rtf"), "old");
    mkdir(Store(c.blocked).c_str(), 0755);
    waits.clear();
    form.SetRetryWait([&](std::chrono::milliseconds d) {
      waits.push_back(d);
      if (c.clearedByRetry) rmdir(Store(c.blocked).c_str());
    });
    form.M_Signatur_HTML = {"line"};
    if (c.throws) {
      EXPECT_THROW(form.MakeSignature("t@x.de"), qm::EInOutError);
    } else {
      EXPECT_NO_THROW(form.MakeSignature("t@x.de"));
    }
    EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>{std::chrono::seconds(3)});
    EXPECT_EQ(qm::FileExists(Store("t@x.de.htm")), c.htmWritten);
    EXPECT_EQ(qm::FileExists(Store("t@x.de.rtf")), c.throws);
    EXPECT_TRUE(SignatureLockFree());
  }
}

TEST_F(MakeSignatureFixture, MissingStoreFailsAfterTheRetry) {
  std::filesystem::remove_all(dir / "temp");
  EXPECT_THROW(form.MakeSignature("a@b.de"), qm::EInOutError);
  EXPECT_EQ(waits.size(), 1u);
  EXPECT_TRUE(SignatureLockFree());
}

TEST_F(MakeSignatureFixture, StuckCallHoldsTheLockAndASecondCallWaits) {
  // The first call's .htm cannot be written, and its retry wait does not end
  // until the test says so; meanwhile a second call must wait, whether for
  // another address or for the same one (whose .txt it would overwrite).
  for (std::string second : {"second@x.de", "first@x.de"}) {
    SCOPED_TRACE(second);
    std::filesystem::remove_all(dir / "temp");
    mkdir((dir / "temp").c_str(), 0755);
    mkdir(Store("first@x.de.htm").c_str(), 0755);
    std::promise<void> inWait, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> waitCalls{0};
    form.SetRetryWait([&](std::chrono::milliseconds) {
      if (waitCalls++ == 0) {
        inWait.set_value();
        released.wait();
        rmdir(Store("first@x.de.htm").c_str());
      }
    });
    form.M_Signatur_HTML = {"first"};
    auto first = std::async(std::launch::async, [&] { form.MakeSignature("first@x.de"); });
    inWait.get_future().wait();
    form.M_Signatur_HTML = {"second"};
    std::atomic<bool> secondDone{false};
    auto secondCall = std::async(std::launch::async, [&] {
      form.MakeSignature(second);
      secondDone = true;
    });
    // Give the second call every chance to run; it must still be waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(secondDone);
    EXPECT_EQ(ReadFileBytes(Store("first@x.de.txt")), "first\r\n");
    EXPECT_FALSE(qm::FileExists(Store("second@x.de.txt")));
    release.set_value();
    first.get();
    secondCall.get();
    EXPECT_EQ(ReadFileBytes(Store(second + ".txt")), "second\r\n");
    EXPECT_EQ(ReadFileBytes(Store(second + ".htm")), "second\r\n");
    EXPECT_EQ(waitCalls, 1);
  }
}

}  // namespace
