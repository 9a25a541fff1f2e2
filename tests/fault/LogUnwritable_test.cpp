// signatur.log cannot be written (here: a directory stands in its place).
// The I/O error leaves WriteLog and reaches the HTTP handler, which fails:
// the server answers status 500 with the failure's text, stays up, and
// answers normally once the log can be written again.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "directory/UDBUtil.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"

TEST(LogUnwritable, HttpRequestsFailWith500AndRecover) {
  TestDir dir;
  ClearState();
  ::mkdir((dir / "temp").c_str(), 0755);
  WriteFileBytes(dir / "ResponsePage.htm", ReadFileBytes(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm"));
  WriteFileBytes(dir / "temp/logo.gif", "GIF89a");
  RecordingUserInterface ui;
  TForm_main form(dir.Path(), ui, ProgramKind::Service);
  TFSettings settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
  TKomponentModule module;
  module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  module.IdHTTPServer1.SetActive(true);
  const auto port = module.IdHTTPServer1.ListeningPorts().at(0);

  ASSERT_EQ(::mkdir((dir / "signatur.log").c_str(), 0755), 0);
  for (const char* target : {"/logo.gif", "/make?user%40example.test", "/nothing"}) {
    SCOPED_TRACE(target);
    RawHttpReply r = RawHttpExchange(port, RawHttpGet(target));
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "Is a directory");
  }

  ASSERT_EQ(::rmdir((dir / "signatur.log").c_str()), 0);
  RawHttpReply ok = RawHttpExchange(port, RawHttpGet("/logo.gif"));
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "GIF89a");
  EXPECT_NE(ReadFileBytes(dir / "signatur.log").find("HTTP Request erhalten von: 127.0.0.1 -> /logo.gif\r\n"),
            std::string::npos);
  module.IdHTTPServer1.SetActive(false);
  ClearState();
}
