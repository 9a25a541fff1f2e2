// ConvertToRtf against a scripted word processor: the calls and their
// arguments, the failure table and the two locks.

#include "signature/URichText.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestSupport.h"
#include "directory/UDBUtil.h"
#include "base/UUtils.h"

namespace {

using qm::wordproc::Application;
using qm::wordproc::WordProcessorError;

// Records every call; fails the call named in `failAt`; SaveAs writes the file
// unless told not to.
struct Script {
  std::vector<std::string> calls;
  std::string failAt;
  bool writeOutput = true;
  bool destroyed = false;
};

class FakeApplication : public Application {
 public:
  explicit FakeApplication(Script& s) : s_(s) {}
  ~FakeApplication() override { s_.destroyed = true; }
  void DocumentsOpen(const std::string& f) override { Call("Open " + f, "Open"); }
  void ActiveDocumentSaveAs(const std::string& f, int format) override {
    Call("SaveAs " + f + " " + std::to_string(format), "SaveAs");
    if (s_.writeOutput) WriteFileBytes(f, "{\\rtf1}");
  }
  void ActiveDocumentClose(int save) override { Call("Close " + std::to_string(save), "Close"); }
  void Quit() override { Call("Quit", "Quit"); }

 private:
  void Call(const std::string& text, const std::string& name) {
    s_.calls.push_back(text);
    if (s_.failAt == name) throw WordProcessorError(name + " ging schief");
  }
  Script& s_;
};

struct RichTextFixture : ::testing::Test {
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form{dir.Path(), ui};
  TFDBUtil db{[] { return DirectoryLookupSettings{}; }, ui};
  Script script;

  // Word-processor instances that follow `script`.
  qm::wordproc::ApplicationFactory ScriptedFactory() {
    return [this]() -> std::unique_ptr<Application> {
      if (script.failAt == "Create") throw WordProcessorError("soffice fehlt");
      return std::make_unique<FakeApplication>(script);
    };
  }
  void SetUp() override {
    form.Wire({&db, nullptr, nullptr});
    form.RichText().SetWordProcessorFactory(ScriptedFactory());
  }

  std::vector<std::string> LogMessages() const {
    std::vector<std::string> out;
    for (const auto& l : ui.LogLines()) out.push_back(l.substr(l.find(": ") + 2));
    return out;
  }
  // Both locks must be free for another thread.
  void ExpectLocksFree() { EXPECT_TRUE(LocksAreFree({&db.DirectoryLock(), &form.ConversionLock()})); }
};

TEST(RtfFileName, OnlyTheLastExtensionIsReplaced) {
  struct {
    std::string in, out;
  } cases[] = {{"/p/temp/first.last.htm", "/p/temp/first.last.rtf"},
               {"/p/temp/a@b.de.htm", "/p/temp/a@b.de.rtf"},
               {"/p/te.mp/noext", "/p/te.mp/noext.rtf"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(RtfFileName(c.in), c.out);
  }
}

TEST_F(RichTextFixture, SuccessMakesTheFourCallsInOrder) {
  const std::string html = dir / "first.last.htm";
  EXPECT_TRUE(form.RichText().ConvertToRtf(html));
  std::vector<std::string> expected = {"Open " + html, "SaveAs " + dir / "first.last.rtf" + " 6", "Close 0", "Quit"};
  EXPECT_EQ(script.calls, expected);
  EXPECT_TRUE(script.destroyed);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"Neue Word-Instanz geöffnet."});
  ExpectLocksFree();
}

TEST_F(RichTextFixture, FailureTable) {
  struct {
    std::string failAt;
    bool writeOutput;
    std::vector<std::string> log;
    std::size_t calls;
  } cases[] = {
      {"Create", true,
       {"MS Word konnte nicht gestartet werden. RTF-Version nicht verfügbar.", "Fehlerdetails: soffice fehlt"}, 0},
      {"Open", true,
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: Open ging schief"},
       1},
      {"SaveAs", false,
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: SaveAs ging schief"},
       2},
      {"Close", true,
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: Close ging schief"},
       3},
      {"Quit", true,
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: Quit ging schief"},
       4},
      // Every call succeeds but no file appears: false, and nothing beyond the
      // information line is logged.
      {"", false, {"Neue Word-Instanz geöffnet."}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failAt);
    RecordingUserInterface localUi;
    TestDir localDir;
    TForm_main localForm(localDir.Path(), localUi);
    localForm.Wire({&db, nullptr, nullptr});
    localForm.RichText().SetWordProcessorFactory(ScriptedFactory());
    script = Script{};
    script.failAt = c.failAt;
    script.writeOutput = c.writeOutput;
    EXPECT_FALSE(localForm.RichText().ConvertToRtf(localDir / "x.htm"));
    std::vector<std::string> log;
    for (const auto& l : localUi.LogLines()) log.push_back(l.substr(l.find(": ") + 2));
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(script.calls.size(), c.calls);
    // No Quit is sent after a failed call.
    if (c.failAt != "Quit" && !c.failAt.empty()) {
      EXPECT_TRUE(script.calls.empty() || script.calls.back() != "Quit");
    }
    EXPECT_TRUE(LocksAreFree({&db.DirectoryLock(), &localForm.ConversionLock()}));
  }
}

TEST_F(RichTextFixture, LibreOfficeNotInstalled) {
  form.RichText().SetWordProcessorFactory([] {
    qm::wordproc::LibreOfficeOptions options;
    options.sofficePath = "/nonexistent/program/soffice";
    return qm::wordproc::CreateLibreOfficeApplication(options);
  });
  WriteFileBytes(dir / "a.htm", "<p>x</p>\r\n");
  EXPECT_FALSE(form.RichText().ConvertToRtf(dir / "a.htm"));
  auto log = LogMessages();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "MS Word konnte nicht gestartet werden. RTF-Version nicht verfügbar.");
  EXPECT_EQ(log[1].rfind("Fehlerdetails: LibreOffice ist nicht installiert", 0), 0u) << log[1];
  EXPECT_FALSE(qm::FileExists(dir / "a.rtf"));
  ExpectLocksFree();
}

TEST_F(RichTextFixture, WaitsForALookupCycleOnAnotherThread) {
  // A directory lookup holds DirectoryLock; the conversion must not start
  // before it is released.
  std::promise<void> held, release;
  std::thread lookup([&] {
    std::lock_guard lk(db.DirectoryLock());
    held.set_value();
    release.get_future().wait();
    script.calls.push_back("lookup done");
  });
  held.get_future().wait();
  auto conversion = std::async(std::launch::async, [&] { return form.RichText().ConvertToRtf(dir / "a.htm"); });
  release.set_value();
  lookup.join();
  EXPECT_TRUE(conversion.get());
  ASSERT_FALSE(script.calls.empty());
  EXPECT_EQ(script.calls.front(), "lookup done");
}

}  // namespace
