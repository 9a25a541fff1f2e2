// The HTTP signature server speaking HTTPS on 127.0.0.1: "/make" and the
// downloads checked by a client that trusts only the test CA and checks the
// host name, clients that never finish a handshake, and the start failures
// of certificates and keys that cannot be used.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Net/ServerSocket.h>

#include <fstream>
#include <string>
#include <vector>

#include "DirectoryFixtures.h"
#include "HttpsClient.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestCa.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "app/Main.h"
#include "base/Texts.h"
#include "base/UProgState.h"
#include "http/USocketServer.h"
#include "settings/USetting.h"

namespace {

std::string Page(const std::string& message) {
  return "<!DOCTYPE html>\r\n<p>" + message + "</p>\r\n";
}

bool Logged(const RecordingUserInterface& ui, const std::string& text) {
  for (const auto& l : ui.LogLines())
    if (l.find(": " + text) != std::string::npos) return true;
  return false;
}

// True while the peer has neither sent anything nor closed the connection.
bool StillOpenAndSilent(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

}  // namespace

class HttpsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    odbc.CreateUsersTable();
    odbc.AddUsers(5);
    ::mkdir((dir / "temp").c_str(), 0755);
    WriteFileBytes(dir / "ResponsePage.htm", "<!DOCTYPE html>\n<p>#ResponseText#</p>\n");
    WriteFileBytes(dir / "temp/logo.gif", logo);
    // The server's certificate followed by the CA's: a chain file as a CA
    // hands it out.
    WriteFileBytes(dir / "chain.pem", ReadFileBytes(ca.server.cert) + ReadFileBytes(ca.caFile));

    DirectorySettings d;
    d.odbcSource = odbc.Dsn();
    d.table = "users";
    d.mailField = "mail";
    settings.SetDirectorySettings(d);
    GeneralSettings g = settings.GetGeneralSettings();
    g.contentType = ctHtml;
    settings.SetGeneralSettings(g);
    settings.SettingsToDialog();
    form.M_Signatur_HTML = {"<p>#givenName# #sn#</p>"};
    form.LB_shortNames = {"logo.gif"};
    form.BuildPlaceholderList();
  }
  void TearDown() override {
    module.DataModuleDestroy();
    ClearState();
  }

  void Start(HttpServerLimits limits = {}) {
    module.IdHTTPServer1.SetLimits(limits);
    module.IdHTTPServer1.SetTls({true, dir / "chain.pem", ca.server.key});
    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port = module.IdHTTPServer1.ListeningPorts().at(0);
  }

  const TestCa& ca = TestCa::Shared();
  OdbcFixture odbc;
  TestEngine e;
  TestDir& dir = e.dir;
  RecordingUserInterface& ui = e.ui;
  TForm_main& form = *e.main;
  TFSettings& settings = *e.settings;
  TKomponentModule& module = *e.http;
  std::uint16_t port = 0;
  const std::string logo = std::string("GIF89a\0\x01\r\n\xff", 11);
};

// The protocol is the plain server's, only inside TLS; the client checks
// the chain against the test CA and the name, by host name and by address.
TEST_F(HttpsServer, MakeAndDownloadsAnswerOverVerifiedTls) {
  Start();
  struct {
    std::string target;
    std::string host;
    std::string body;  // "" for the generated signature file
  } cases[] = {
      {"/make?user00001@example.test", "localhost", "user00001@example.test.txt\nlogo.gif\n"},
      {"/user00001@example.test.txt", "localhost", ""},
      {"/logo.gif", "127.0.0.1", logo},
      {"/make?nobody@example.test", "localhost",
       Page("ERROR - Brenlo Quillmark: Die Mail-Adresse nobody@example.test ist unbekannt.")},
      {"/missing.txt", "localhost", Page(kBadRequestText)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " as " + c.host);
    HttpsReply r = HttpsGet(port, c.target, ca.caFile, c.host);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "text/html");
    if (c.body.empty()) {
      EXPECT_EQ(r.body, ReadFileBytes(dir / "temp/user00001@example.test.txt"));
      EXPECT_NE(r.body.find("Given1 Surname1"), std::string::npos) << r.body;
    } else {
      EXPECT_EQ(r.body, c.body);
    }
  }
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "1");
  EXPECT_TRUE(Logged(ui, "Signatur erstellt für: user00001@example.test"));
}

// A client that connects and stays silent, and one that speaks plain HTTP
// to the TLS port, are served on worker threads: an HTTPS request made
// while the silent one still waits for its handshake is answered. Both are
// then closed without an HTTP answer; the failed handshakes are
// information lines only, absent from an errors-and-warnings log.
TEST_F(HttpsServer, SilentAndPlainHttpClientsDoNotBlockOthers) {
  HttpServerLimits limits;
  limits.readTimeout = std::chrono::milliseconds(4000);
  Start(limits);

  int silent = RawHttpConnect(port);
  ASSERT_GE(silent, 0);
  int plain = RawHttpConnect(port);
  ASSERT_GE(plain, 0);
  ASSERT_TRUE(RawHttpSend(plain, RawHttpGet("/logo.gif")));

  HttpsReply r = HttpsGet(port, "/logo.gif", ca.caFile);
  EXPECT_EQ(r.body, logo);
  EXPECT_TRUE(StillOpenAndSilent(silent)) << "answered only after the silent client's time-out";

  RawHttpReply plainReply = RawHttpReadAll(plain);  // returns once the server closed
  EXPECT_FALSE(plainReply.answered) << plainReply.raw;
  EXPECT_TRUE(Logged(ui, "HTTPS-Verbindung von 127.0.0.1: TLS-Handshake fehlgeschlagen ("));
  RawHttpReply silentReply = RawHttpReadAll(silent);
  EXPECT_TRUE(silentReply.raw.empty()) << silentReply.raw;
  EXPECT_TRUE(Logged(ui, "HTTPS-Verbindung von 127.0.0.1: TLS-Handshake fehlgeschlagen (Zeitüberschreitung)"));

  form.SetVerbosity(1);  // errors and warnings
  const std::size_t before = ui.LogLines().size();
  int again = RawHttpConnect(port);
  ASSERT_GE(again, 0);
  RawHttpSend(again, RawHttpGet("/logo.gif"));
  EXPECT_FALSE(RawHttpReadAll(again).answered);
  EXPECT_EQ(ui.LogLines().size(), before);
  EXPECT_EQ(HttpsGet(port, "/logo.gif", ca.caFile).body, logo) << "the server still answers";
}

namespace {
// A port that was free a moment ago.
std::uint16_t FreePort() {
  Poco::Net::ServerSocket s;
  s.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
  return s.address().port();
}
}  // namespace

// A certificate or key that cannot be used keeps the server from starting,
// in the start-up and in the settings dialog's restart alike: the system's
// sentence with a reason naming the file, in the error display, the log and
// the status area; nothing listens on the port, not even plain HTTP.
TEST_F(HttpsServer, UnusableCertificateOrKeyKeepsTheServerDown) {
  WriteFileBytes(dir / "notpem.pem", "this is no certificate\n");
  const std::string missing = dir / "missing.pem";
  const std::string notPem = dir / "notpem.pem";
  struct {
    std::string cert, key, reason;
  } cases[] = {
      {missing, ca.server.key,
       "die Zertifikatsdatei " + missing + " kann nicht gelesen werden (No such file or directory)"},
      {ca.server.cert, missing,
       "die Schlüsseldatei " + missing + " kann nicht gelesen werden (No such file or directory)"},
      {notPem, ca.server.key, "die Zertifikatsdatei " + notPem + " enthält kein Zertifikat im PEM-Format"},
      {ca.server.key, ca.server.key,
       "die Zertifikatsdatei " + ca.server.key + " enthält kein Zertifikat im PEM-Format"},
      {ca.server.cert, ca.server.cert,
       "die Schlüsseldatei " + ca.server.cert +
           " enthält keinen privaten Schlüssel im PEM-Format (oder er ist mit einem Passwort geschützt)"},
      {ca.server.cert, ca.wrongName.key,
       "der private Schlüssel in " + ca.wrongName.key + " passt nicht zum Zertifikat in " + ca.server.cert},
      {"", ca.server.key, "für HTTPS ist keine Zertifikatsdatei angegeben (httpsCertFile)"},
      {ca.server.cert, "", "für HTTPS ist keine Datei mit dem privaten Schlüssel angegeben (httpsKeyFile)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::uint16_t p = FreePort();
    const std::string shown =
        "Der HTTP-Server konnte nicht auf Port " + std::to_string(p) + " gestartet werden: " + c.reason;
    GeneralSettings g = settings.GetGeneralSettings();
    g.httpPort = p;
    g.httpServerActive = true;
    g.httpSecurity = hsTls;
    g.httpsCertFile = c.cert;
    g.httpsKeyFile = c.key;
    settings.SetGeneralSettings(g);
    ui.errors.clear();
    const std::size_t before = ui.LogLines().size();

    module.DataModuleCreate();
    EXPECT_FALSE(module.IdHTTPServer1.Active());
    EXPECT_EQ(ui.errors, std::vector<std::string>{shown});
    auto lines = ui.LogLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find(": " + shown), std::string::npos) << lines.back();
    EXPECT_EQ(ui.Label(qm::text::kLabelHttpServer), kServerFailedText);
    EXPECT_LT(RawHttpConnect(p), 0) << "something listens on the port";

    try {
      module.RestartServer(p, true);
      ADD_FAILURE() << "the restart started the server";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), shown);
    }
    EXPECT_FALSE(module.IdHTTPServer1.Active());
    EXPECT_EQ(ui.Label(qm::text::kLabelHttpServer), kServerFailedText);
  }
}
