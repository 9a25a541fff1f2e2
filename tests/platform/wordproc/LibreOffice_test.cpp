// The LibreOffice backend of the word-processor layer, run for real.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "TestDir.h"
#include "TestImage.h"
#include "platform/wordproc/WordProcessor.h"

namespace {

using namespace qm::wordproc;

void WriteScript(const std::string& path, const std::string& body) {
  WriteFileBytes(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

TEST(LibreOfficeBackend, CreationFailsClearlyWhenNotInstalled) {
  LibreOfficeOptions options;
  options.sofficePath = "/nonexistent/soffice";
  EXPECT_EQ(FindSoffice(options), "");
  try {
    CreateLibreOfficeApplication(options);
    FAIL() << "no exception";
  } catch (const WordProcessorError& e) {
    EXPECT_NE(std::string(e.what()).find("LibreOffice ist nicht installiert"), std::string::npos) << e.what();
  }
}

TEST(LibreOfficeBackend, FailingCallsThrow) {
  TestDir dir;
  // A stand-in soffice that exits 0 and writes nothing, as soffice does when
  // it has no export filter for the document.
  WriteScript(dir / "soffice", "echo 'Error: no export filter'\nexit 0\n");
  WriteScript(dir / "failing", "echo 'kaputt' >&2\nexit 3\n");
  WriteFileBytes(dir / "in.htm", "<p>x</p>\r\n");
  struct {
    const char* name;
    std::string soffice, input;
    std::string expected;  // part of the message
  } cases[] = {
      {"missing input", dir / "soffice", dir / "missing.htm", "missing.htm"},
      {"directory as input", dir / "soffice", dir.Path(), "kann nicht geöffnet werden"},
      {"nothing written", dir / "soffice", dir / "in.htm", "no export filter"},
      {"non-zero exit", dir / "failing", dir / "in.htm", "kaputt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LibreOfficeOptions options;
    options.sofficePath = c.soffice;
    auto app = CreateLibreOfficeApplication(options);
    try {
      app->DocumentsOpen(c.input);
      app->ActiveDocumentSaveAs(dir / "out.rtf", kFormatRtf);
      FAIL() << "no exception";
    } catch (const WordProcessorError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
  }
}

TEST(LibreOfficeBackend, HangingSofficeIsKilledWithItsChildren) {
  TestDir dir;
  // The stand-in starts a child like soffice starts its office process, notes
  // its id and hangs.
  WriteScript(dir / "soffice", "sleep 300 &\necho $! > " + dir / "child.pid" + "\nwait\n");
  WriteFileBytes(dir / "in.htm", "<p>x</p>\r\n");
  LibreOfficeOptions options;
  options.sofficePath = dir / "soffice";
  options.timeout = std::chrono::seconds(2);
  auto app = CreateLibreOfficeApplication(options);
  app->DocumentsOpen(dir / "in.htm");
  EXPECT_THROW(app->ActiveDocumentSaveAs(dir / "out.rtf", kFormatRtf), WordProcessorError);
  std::string pid = ReadFileBytes(dir / "child.pid");
  ASSERT_FALSE(pid.empty()) << "the stand-in did not start its child in time";
  int child = std::stoi(pid);
  // The kill is delivered asynchronously; the child must be gone (or a zombie
  // until init reaps it) once the signal has landed.
  std::string state;
  for (int i = 0; i < 500; ++i) {
    state = ReadFileBytes("/proc/" + std::to_string(child) + "/stat");
    if (state.empty() || state.find(") Z") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(state.empty() || state.find(") Z") != std::string::npos) << state;
}

TEST(LibreOfficeBackend, ConvertsHtmlWithTableAndImage) {
  if (FindSoffice().empty()) GTEST_SKIP() << "LibreOffice (soffice) is not installed";
  // Each kind of logo a project may carry ends up embedded in the text.
  const struct {
    const char* logo;
    std::string bytes;
  } cases[] = {{"logo.gif", SmallGifImage()}, {"logo.png", SmallPngImage()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logo);
    TestDir dir;
    WriteFileBytes(dir / c.logo, c.bytes);
    WriteFileBytes(dir / "first.last.htm",
                   std::string("<html><body>\r\n<table><tr><td>Anna Berg</td><td><img src=\"") + c.logo +
                       "\"/></td></tr></table>\r\n</body></html>\r\n");
    auto app = CreateLibreOfficeApplication();
    app->DocumentsOpen(dir / "first.last.htm");
    app->ActiveDocumentSaveAs(dir / "first.last.rtf", kFormatRtf);
    app->ActiveDocumentClose(kDoNotSaveChanges);
    app->Quit();
    std::string rtf = ReadFileBytes(dir / "first.last.rtf");
    EXPECT_EQ(rtf.rfind("{\\rtf", 0), 0u);
    EXPECT_NE(rtf.find("Anna Berg"), std::string::npos);
    EXPECT_NE(rtf.find("\\trowd"), std::string::npos) << "table";
    EXPECT_NE(rtf.find("\\pngblip"), std::string::npos) << "embedded image";
  }
}

}  // namespace
