// The run command's demo: the same layout script builds a demo directory
// (with a port chosen at run time instead of 8081), the service program runs
// it in the foreground, and a real /make over HTTP answers the sample user's
// file list, whose files can then be fetched.

#include <gtest/gtest.h>

#include "RawHttp.h"
#include "ServiceTestSupport.h"
#include "TestDir.h"
#include "base/UUtils.h"
#include "platform/scm/ServiceControl.h"

TEST(Demo, AnswersMakeOverHttpForASampleUser) {
  TestDir dir;
  const std::string demo = dir.Path() + "demo";
  const std::uint16_t port = FreeLoopbackPort();
  qm::scm::CommandResult layout =
      qm::scm::RunCommand({QM_SOURCE_DIR "/scripts/demo-layout", QM_BINARY_DIR, demo, std::to_string(port)});
  ASSERT_EQ(layout.exitCode, 0) << layout.output;
  const std::string address = "anna.mueller@example.org";
  ASSERT_EQ(layout.output, address + "\n");

  const std::string stateBefore = ReadFileBytes(demo + "/progstate.qms");

  // The environment the run script exports for the service program.
  ::setenv("ODBCSYSINI", demo.c_str(), 1);
  ::setenv("ODBCINI", (demo + "/odbc.ini").c_str(), 1);
  ::unsetenv("QM_SCM_SERVICE");
  svctest::Child service({demo + "/QuillmarkService"}, dir.Path() + "out.txt");
  ::unsetenv("ODBCSYSINI");
  ::unsetenv("ODBCINI");
  ASSERT_GT(service.Pid(), 0);

  RawHttpReply make;
  ASSERT_TRUE(svctest::WaitUntil([&] {
    make = RawHttpExchange(port, RawHttpGet("/make?" + address));
    return make.answered;
  })) << ReadFileBytes(dir.Path() + "out.txt");
  EXPECT_EQ(make.status, 200);
  EXPECT_EQ(make.body, address + ".txt\nlogo.gif\n") << ReadFileBytes(demo + "/signatur.log");

  RawHttpReply htm = RawHttpExchange(port, RawHttpGet("/" + address + ".htm"));
  EXPECT_EQ(htm.status, 200);
  EXPECT_NE(htm.body.find("<b>Anna Müller</b>"), std::string::npos) << htm.body;
  EXPECT_NE(htm.body.find("Vertrieb"), std::string::npos);
  EXPECT_NE(htm.body.find("<img src=\"logo.gif\""), std::string::npos);
  RawHttpReply logo = RawHttpExchange(port, RawHttpGet("/logo.gif"));
  EXPECT_EQ(logo.body, ReadFileBytes(demo + "/temp/logo.gif"));

  // The answered request raised "LStatusHTTP" in memory only: the stop
  // leaves the program state file as it was.
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_EQ(ReadFileBytes(demo + "/progstate.qms"), stateBefore);
  EXPECT_NE(ReadFileBytes(demo + "/signatur.log").find("Signatur erstellt für: " + address), std::string::npos);
}
