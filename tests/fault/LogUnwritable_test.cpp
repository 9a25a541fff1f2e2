// signatur.log cannot be written (here: a directory stands in its place).
// Logging never fails its caller: the HTTP server answers as usual, a poll
// answers and deletes every request, the lines still reach the screen, the
// failure is shown there once, and the file gets the lines again as soon as
// it can be written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "directory/UDBUtil.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"

namespace {

// The on-screen line that reports the unwritable file.
std::string FailureLine(const std::string& dir) { return "I/O Fehler: Is a directory (" + dir + "signatur.log)"; }

std::size_t CountLines(const std::vector<std::string>& lines, const std::string& wanted) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), wanted));
}

std::vector<std::string> Messages(const RecordingUserInterface& ui) {
  std::vector<std::string> out;
  for (const auto& line : ui.LogLines()) out.push_back(line.size() > 21 ? line.substr(21) : line);
  return out;
}

}  // namespace

TEST(LogUnwritable, HttpRequestsAreAnsweredAndReachTheScreen) {
  TestEngine e;
  TestDir& dir = e.dir;
  RecordingUserInterface& ui = e.ui;
  TKomponentModule& module = *e.http;
  WriteFileBytes(dir / "ResponsePage.htm", "<p>#ResponseText#</p>\n");
  WriteFileBytes(dir / "temp/logo.gif", "GIF89a");
  module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  module.IdHTTPServer1.SetActive(true);
  const auto port = module.IdHTTPServer1.ListeningPorts().at(0);

  ASSERT_EQ(::mkdir((dir / "signatur.log").c_str(), 0755), 0);
  struct {
    const char* target;
    std::string body;
  } cases[] = {
      {"/logo.gif", "GIF89a"},
      {"/make?user%40example.test",
       "<p>ERROR - Brenlo Quillmark: Die Mail-Adresse user@example.test ist unbekannt.</p>\r\n"},
      {"/nothing", "<p>ERROR 400 - Brenlo Quillmark: Bad Request. Please try again.</p>\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    RawHttpReply r = RawHttpExchange(port, RawHttpGet(c.target));
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.body);
  }
  const auto screen = Messages(ui);
  EXPECT_EQ(CountLines(screen, "HTTP Request erhalten von: 127.0.0.1 -> /logo.gif"), 1u);
  EXPECT_EQ(CountLines(screen, "HTTP Request erhalten von: 127.0.0.1 -> /nothing"), 1u);
  EXPECT_EQ(CountLines(screen, FailureLine(dir.Path())), 1u) << "the failure is shown once, not once per line";

  ASSERT_EQ(::rmdir((dir / "signatur.log").c_str()), 0);
  RawHttpReply ok = RawHttpExchange(port, RawHttpGet("/logo.gif"));
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ReadFileBytes(dir / "signatur.log").find("HTTP Request erhalten von: 127.0.0.1 -> /logo.gif\r\n"), 21u);
  module.IdHTTPServer1.SetActive(false);
  ClearState();
}

// The poll promises never to throw: with the log unwritable it still answers
// every request and deletes each one only after its reply went out.
TEST(LogUnwritable, PollAnswersAndDeletesEveryRequest) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(1);
  TestEngine e;
  e.UseOdbcUsers(odbc.Dsn());
  e.SetAltText(true);
  e.main->M_text = {"Hallo,"};
  e.main->M_Signatur_HTML = {"<p>#givenName#</p>"};
  e.main->BuildPlaceholderList();
  Pop3Fixture pop;
  SmtpFixture smtp;
  for (const char* from : {"user00001@example.test", "stranger@example.test"})
    pop.Deliver(std::string("From: <") + from +
                ">\r\nTo: requests@example.test\r\nSubject: Signatur\r\n\r\nBitte.\r\n");
  pop.Start();
  smtp.Start();
  e.UseLocalServers(pop.Port(), smtp.Port());
  ASSERT_EQ(::mkdir((e.dir / "signatur.log").c_str(), 0755), 0);

  EXPECT_NO_THROW(e.mail->ReceiveMails());

  const auto stored = smtp.Messages();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].envelope, "MAIL FROM noreply@example.test\nRCPT TO user00001@example.test\n");
  EXPECT_EQ(stored[1].envelope, "MAIL FROM noreply@example.test\nRCPT TO stranger@example.test\n");
  EXPECT_EQ(pop.MessageCount(), 0);
  EXPECT_EQ(GetStateValue("LStatusGesand"), "2");
  EXPECT_TRUE(e.LogHasInOrder({"Verbunden mit Mailbox: 127.0.0.1", FailureLine(e.dir.Path()),
                               "2 neue Nachrichten werden empfangen.",
                               "Antwort/ Signatur erfolgreich gesendet an:user00001@example.test",
                               "Antwort/ Signatur erfolgreich gesendet an:stranger@example.test"}))
      << testing::PrintToString(e.LogMessages());
  EXPECT_EQ(CountLines(e.LogMessages(), FailureLine(e.dir.Path())), 1u);

  // Nothing is answered twice.
  EXPECT_NO_THROW(e.mail->ReceiveMails());
  EXPECT_EQ(smtp.Messages().size(), 2u);
}
