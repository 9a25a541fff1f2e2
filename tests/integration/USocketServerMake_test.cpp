// "/make" over real HTTP with the SQLite ODBC directory behind the server:
// the file list, the generated files, the counter and concurrent requests.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"

namespace {

std::string Page(const std::string& message) {
  return "<!DOCTYPE html>\r\n<p>" + message + "</p>\r\n";
}

bool Logged(const RecordingUserInterface& ui, const std::string& text) {
  for (const auto& l : ui.LogLines())
    if (l.find(": " + text) != std::string::npos) return true;
  return false;
}

}  // namespace

class HttpMake : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    odbc.CreateUsersTable();
    odbc.AddUsers(20);
    ::mkdir((dir / "temp").c_str(), 0755);
    WriteFileBytes(dir / "ResponsePage.htm", "<!DOCTYPE html>\n<p>#ResponseText#</p>\n");
    WriteFileBytes(dir / "temp/logo.gif", "GIF89a");
    WriteFileBytes(dir / "temp/setup.vbs", "script");

    DirectorySettings d;
    d.odbcSource = odbc.Dsn();
    d.table = "users";
    d.mailField = "mail";
    settings.SetDirectorySettings(d);
    SetContentType(ctHtml);
    settings.SettingsToDialog();  // configures the directory connection
    form.M_Signatur_HTML = {"<p>#givenName# #sn#</p>", "<p>#company#</p>"};
    form.LB_shortNames = {"logo.gif", "missing.pdf", "setup.vbs"};
    form.BuildPlaceholderList();

    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port = module.IdHTTPServer1.ListeningPorts().at(0);
  }
  void TearDown() override {
    module.DataModuleDestroy();
    ClearState();
  }
  void SetContentType(std::uint8_t type) {
    GeneralSettings g = settings.GetGeneralSettings();
    g.contentType = type;
    settings.SetGeneralSettings(g);
  }

  OdbcFixture odbc;
  TestEngine e;
  TestDir& dir = e.dir;
  RecordingUserInterface& ui = e.ui;
  TForm_main& form = *e.main;
  TFSettings& settings = *e.settings;
  TFDBUtil& dbutil = *e.db;
  TKomponentModule& module = *e.http;
  std::uint16_t port = 0;
};

// A PNG logo is listed in its place among the project's files and then
// served with its bytes unchanged.
TEST_F(HttpMake, PngLogoIsListedAndServed) {
  WriteFileBytes(dir / "temp/Logo.PNG", SmallPngImage());
  {
    std::unique_lock lk(form.ProjectMutex());
    form.LB_shortNames = {"logo.gif", "Logo.PNG", "setup.vbs"};
  }
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?user00003@example.test"));
  EXPECT_EQ(r.body, "user00003@example.test.txt\nlogo.gif\nLogo.PNG\nsetup.vbs\n");
  RawHttpReply png = RawHttpExchange(port, RawHttpGet("/Logo.PNG"));
  EXPECT_EQ(png.status, 200);
  EXPECT_EQ(png.body, SmallPngImage());
}

TEST_F(HttpMake, AnswersTable) {
  const std::string list = "user00001@example.test.txt\nlogo.gif\nsetup.vbs\n";
  struct {
    std::string target;
    std::uint8_t contentType;
    std::string body;
    bool counted;
  } cases[] = {
      {"/make?user00001@example.test", ctHtml, list, true},
      {"/make?user00001@example.test", ctText, list, true},
      {"/make?user00001%40example.test&x", ctHtml, list, true},
      {"/make?name=user00001@example.test", ctHtml,
       Page("ERROR - Brenlo Quillmark: Die Mail-Adresse name=user00001@example.test ist unbekannt."), false},
      {"/make?nobody@example.test", ctHtml,
       Page("ERROR - Brenlo Quillmark: Die Mail-Adresse nobody@example.test ist unbekannt."), false},
      {"/make?user00002@example.test", 7,
       Page("Fehler: Abbruch der Methode \"getFileList\".") + "logo.gif\nsetup.vbs\n", true},
  };
  int count = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " type " + std::to_string(c.contentType));
    SetContentType(c.contentType);
    RawHttpReply r = RawHttpExchange(port, RawHttpGet(c.target));
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("content-type"), "text/html");
    EXPECT_EQ(r.body, c.body);
    count += c.counted;
    EXPECT_EQ(GetStateValue("LStatusHTTP"), count ? std::to_string(count) : "");
  }
  EXPECT_EQ(ui.Label("LStatusHTTP"), std::to_string(count));
  EXPECT_TRUE(Logged(ui, "Signatur erstellt für: user00001@example.test"));
  EXPECT_TRUE(Logged(ui, "Anhang-Datei nicht gefunden: " + dir / "temp/missing.pdf"));

  // The listed file is then fetched like any other.
  RawHttpReply txt = RawHttpExchange(port, RawHttpGet("/user00001@example.test.txt"));
  EXPECT_EQ(txt.body, ReadFileBytes(dir / "temp/user00001@example.test.txt"));
  EXPECT_NE(txt.body.find("Given1 Surname1"), std::string::npos);
  EXPECT_EQ(txt.Header("content-type"), "text/html");
}

TEST_F(HttpMake, EmptySignatureAndMissingPage) {
  form.M_Signatur_HTML.clear();
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?user00003@example.test"));
  EXPECT_EQ(r.body,
            Page("ERROR - Brenlo Quillmark: Die Signatur konnte nicht erstellt werden, da der Signaturtext leer ist."));
  EXPECT_TRUE(Logged(ui, "Die Signatur konnte nicht erstellt werden, da der Signaturtext leer ist."));
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "");

  form.M_Signatur_HTML = {"#sn#"};
  qm::DeleteFile(dir / "ResponsePage.htm");
  r = RawHttpExchange(port, RawHttpGet("/make?user00003@example.test"));
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "Fehler beim Auslesen der Datei " + dir / "ResponsePage.htm");
}

TEST_F(HttpMake, SimultaneousRequestsAreAllAnsweredAndCounted) {
  constexpr int kClients = 16;
  std::vector<RawHttpReply> replies(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i)
    threads.emplace_back([&, i] {
      char addr[64];
      std::snprintf(addr, sizeof addr, "user%05d@example.test", i % 2 + 1);  // two users, eight requests each
      replies[i] = RawHttpExchange(port, RawHttpGet(std::string("/make?") + addr));
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE(i);
    char addr[64];
    std::snprintf(addr, sizeof addr, "user%05d@example.test", i % 2 + 1);
    EXPECT_EQ(replies[i].body, std::string(addr) + ".txt\nlogo.gif\nsetup.vbs\n");
  }
  EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(kClients));
  EXPECT_EQ(ui.Label("LStatusHTTP"), std::to_string(kClients)) << "the label never goes back to an older count";
  EXPECT_NE(ReadFileBytes(dir / "temp/user00002@example.test.txt").find("Given2 Surname2"), std::string::npos);
}

TEST_F(HttpMake, RestartDoesNotWaitForARequestBlockedOnTheDirectory) {
  // The main thread holds DirectoryLock (as while the connection-test window
  // is shown); a request waits for it; the settings restart the server.
  dbutil.DirectoryLock().lock();
  RawHttpReply reply;
  std::thread client([&] { reply = RawHttpExchange(port, RawHttpGet("/make?user00004@example.test")); });
  while (!Logged(ui, "HTTP Request erhalten von: 127.0.0.1 -> /make")) std::this_thread::yield();
  module.RestartServer(port, true);  // returns although the request is still waiting
  EXPECT_TRUE(module.IdHTTPServer1.Active());
  dbutil.DirectoryLock().unlock();
  client.join();
  EXPECT_EQ(reply.body, "user00004@example.test.txt\nlogo.gif\nsetup.vbs\n");
}
