// The HTTP signature server over real HTTP on 127.0.0.1 (port chosen at run
// time): the protocol table, bad input, limits and concurrency.

#include "http/USocketServer.h"

#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "app/Main.h"
#include "RawHttp.h"
#include "platform/process/Process.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "base/UUtils.h"

namespace {

std::string PageWith(const std::string& message) {
  // packaging/ResponsePage.htm with its placeholder filled, lines in CR LF
  std::string page = ReadFileBytes(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm");
  std::string out;
  std::size_t start = 0;
  while (start < page.size()) {
    auto e = page.find('\n', start);
    std::string line = page.substr(start, e == std::string::npos ? std::string::npos : e - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto p = line.find("#ResponseText#");
    if (p != std::string::npos) line.replace(p, 14, message);
    out += line + "\r\n";
    if (e == std::string::npos) break;
    start = e + 1;
  }
  return out;
}

const std::string kBadRequestPage = PageWith(kBadRequestText);
std::string UnknownPage(const std::string& address) {
  return PageWith("ERROR - Brenlo Quillmark: Die Mail-Adresse " + address + " ist unbekannt.");
}

}  // namespace

class HttpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    ::mkdir((dir / "temp").c_str(), 0755);
    ::mkdir((dir / "temp/sub").c_str(), 0755);
    WriteFileBytes(dir / "ResponsePage.htm", ReadFileBytes(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm"));
    WriteFileBytes(dir / "temp/logo.gif", logo);
    WriteFileBytes(dir / "temp/sub/a.txt", "in sub");
    WriteFileBytes(dir / "temp/a%20b.txt", "literal name");
    WriteFileBytes(dir / "temp/make", "a file named make");
    WriteFileBytes(dir / "temp/empty.txt", "");
    WriteFileBytes(dir / "secret.txt", "outside the store");
    ::symlink((dir / "secret.txt").c_str(), (dir / "temp/link.txt").c_str());
  }
  void TearDown() override { ClearState(); }

  void Start(HttpServerLimits limits = {}) {
    module.IdHTTPServer1.SetLimits(limits);
    module.IdHTTPServer1.ClearBindings();
    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port = module.IdHTTPServer1.ListeningPorts().at(0);
  }

  TestEngine e;
  TestDir& dir = e.dir;
  RecordingUserInterface& ui = e.ui;
  TForm_main& form = *e.main;
  TKomponentModule& module = *e.http;
  std::uint16_t port = 0;
  const std::string logo = std::string("GIF89a\0\x01\x02\r\n\xff", 12);
};

TEST_F(HttpServer, ProtocolTable) {
  Start();
  const std::string secret = "outside the store";
  struct {
    std::string request;
    std::string body;  // expected answer body
  } cases[] = {
      {RawHttpGet("/logo.gif"), logo},
      {RawHttpGet("/sub/a.txt"), "in sub"},
      {RawHttpGet("\\sub\\a.txt"), "in sub"},
      {RawHttpGet("http://example.org:8081/logo.gif"), logo},
      {RawHttpGet("/logo.gif#top"), logo},
      {RawHttpGet("/logo.gif?a@b.c"), logo},
      {RawHttpGet("/a%20b.txt"), "literal name"},  // the path is not decoded
      {RawHttpGet("/empty.txt"), ""},
      {RawHttpGet("/make"), "a file named make"},
      {RawHttpGet("/make?"), "a file named make"},
      {RawHttpGet("/make?&a@b.c"), "a file named make"},  // the first piece is empty
      {RawHttpGet("/make#?a@b.c"), UnknownPage("a@b.c")},  // the query starts at the first '?'
      {RawHttpGet("/missing.txt"), kBadRequestPage},
      {RawHttpGet("/Make?a@b.c"), kBadRequestPage},  // case-sensitive
      {RawHttpGet("/lo%67o.gif"), kBadRequestPage},
      {RawHttpGet("/"), kBadRequestPage},
      {RawHttpGet("/sub"), kBadRequestPage},
      {RawHttpGet("/make?nobody@example.org"), UnknownPage("nobody@example.org")},
      {RawHttpGet("/make?a%40b.c&a%40b.c"), UnknownPage("a@b.c")},
      {RawHttpGet("/make?name=a@b.c"), UnknownPage("name=a@b.c")},
      {RawHttpGet("/make?a+b%2"), UnknownPage("a b%2")},
      {RawHttpGet("/make?a@b.c#frag"), UnknownPage("a@b.c#frag")},
      {RawHttpGet("http://h/make?x@y.z"), UnknownPage("x@y.z")},
      {RawHttpGet("/make?%3Cb%3Ex@y.z"), UnknownPage("&lt;b&gt;x@y.z")},
      {"POST /make HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\nb%40x.y&z", UnknownPage("b@x.y")},
      {"POST /make?q@x.y HTTP/1.1\r\nHost: h\r\nContent-Length: 7\r\n\r\nb@x.y&z", UnknownPage("b@x.y")},
      {"POST /make?q@x.y HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nb@x.y", UnknownPage("b@x.y\r\nq@x.y")},
      {"POST /make?q@x.y HTTP/1.1\r\nHost: h\r\n\r\n", UnknownPage("q@x.y")},
      {"POST /make HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nc@d\r\n0\r\n\r\n",
       UnknownPage("c@d")},
      {"GET /logo.gif HTTP/1.0\r\n\r\n", logo},
      // climbing out of the store, encoded or not, or through a link
      {RawHttpGet("/../secret.txt"), kBadRequestPage},
      {RawHttpGet("/sub/../../secret.txt"), kBadRequestPage},
      {RawHttpGet("\\..\\secret.txt"), kBadRequestPage},
      {RawHttpGet("/%2e%2e/secret.txt"), kBadRequestPage},
      {RawHttpGet("/..%2fsecret.txt"), kBadRequestPage},
      {RawHttpGet("http://h/../secret.txt"), kBadRequestPage},
      {RawHttpGet("/link.txt"), kBadRequestPage},
      {RawHttpGet("/a%00.txt"), kBadRequestPage},
      {RawHttpGet(dir / "secret.txt"), kBadRequestPage},
      {RawHttpGet("/../ResponsePage.htm"), kBadRequestPage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    RawHttpReply r = RawHttpExchange(port, c.request);
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.reason, "OK");
    EXPECT_EQ(r.Header("content-type"), "text/html");
    EXPECT_EQ(r.Header("content-length"), std::to_string(c.body.size()));
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.body.find(secret), std::string::npos);
  }
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "") << "downloads and error answers are not counted";
}

TEST_F(HttpServer, HeadAnswersHeadersOnlyAndOtherMethodsGetNothing) {
  Start();
  RawHttpReply head = RawHttpExchange(port, RawHttpGet("/logo.gif", "HEAD"));
  ASSERT_TRUE(head.answered);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("content-length"), std::to_string(logo.size()));
  EXPECT_EQ(head.body, "");

  for (const char* method : {"PUT", "DELETE", "OPTIONS", "BREW", "get", "TRACE"}) {
    SCOPED_TRACE(method);
    RawHttpReply r = RawHttpExchange(port, RawHttpGet("/logo.gif", method));
    EXPECT_EQ(r.raw, "") << "closed without an answer";
  }
  // The server still answers afterwards.
  EXPECT_EQ(RawHttpExchange(port, RawHttpGet("/logo.gif")).body, logo);
}

// Header and body leave in one piece whatever the size: around the 4 KiB
// of POCO's stream buffer, and far beyond what one send takes at once.
TEST_F(HttpServer, FilesOfAnySizeArriveWholeAfterTheirHeader) {
  Start();
  for (std::size_t size : {std::size_t{4095}, std::size_t{4096}, std::size_t{4097}, std::size_t{65543},
                           std::size_t{3} * 1024 * 1024 + 1}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xff);
    WriteFileBytes(dir / "temp/sized.bin", bytes);

    RawHttpReply r = RawHttpExchange(port, RawHttpGet("/sized.bin"));
    ASSERT_TRUE(r.answered);
    EXPECT_EQ(r.raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(r.Header("connection"), "Close");
    EXPECT_EQ(r.Header("content-type"), "text/html");
    EXPECT_EQ(r.Header("content-length"), std::to_string(size));
    EXPECT_FALSE(r.Header("date").empty());
    EXPECT_TRUE(r.body == bytes) << "body of " << r.body.size() << " bytes differs";

    RawHttpReply head = RawHttpExchange(port, RawHttpGet("/sized.bin", "HEAD"));
    ASSERT_TRUE(head.answered);
    EXPECT_EQ(head.Header("content-length"), std::to_string(size));
    EXPECT_EQ(head.raw.size(), head.raw.find("\r\n\r\n") + 4) << "nothing after the header";
  }
}

TEST_F(HttpServer, OneRequestPerConnection) {
  Start();
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/sub/a.txt") + RawHttpGet("/logo.gif"));
  ASSERT_TRUE(r.answered);
  EXPECT_EQ(r.body, "in sub") << "the second request on the connection is not answered";
  EXPECT_EQ(r.Header("connection"), "Close");
}

TEST_F(HttpServer, LogsEveryRequestWithAddressAndPath) {
  Start();
  RawHttpExchange(port, RawHttpGet("\\sub\\a.txt?x"));
  auto lines = ui.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(": HTTP Request erhalten von: 127.0.0.1 -> /sub/a.txt"), std::string::npos)
      << lines.back();
}

TEST_F(HttpServer, MissingResponsePageAnswers500WithTheFailure) {
  Start();
  qm::DeleteFile(dir / "ResponsePage.htm");
  struct {
    std::string request;
  } cases[] = {{RawHttpGet("/missing.txt")}, {RawHttpGet("/make?nobody@example.org")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    RawHttpReply r = RawHttpExchange(port, c.request);
    ASSERT_TRUE(r.answered);
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "Fehler beim Auslesen der Datei " + dir / "ResponsePage.htm");
    EXPECT_EQ(r.Header("content-length"), std::to_string(r.body.size()));
  }
  EXPECT_EQ(RawHttpExchange(port, RawHttpGet("/logo.gif")).body, logo) << "files are still served";
}

TEST_F(HttpServer, BodiesOverTheLimitGetTheBadRequestPage) {
  HttpServerLimits limits;
  limits.maxBody = 64 * 1024;
  Start(limits);
  const std::string atLimit(limits.maxBody, 'a');
  const std::string mib(1024 * 1024, 'a');
  struct {
    std::string name;
    std::string request;
    std::string body;
  } cases[] = {
      {"at the limit", "POST /make HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + atLimit, UnknownPage(atLimit)},
      {"1 MiB declared and sent", "POST /make HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + mib, kBadRequestPage},
      {"1 MiB chunked", "POST /make HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n" + mib + "\r\n0\r\n\r\n",
       kBadRequestPage},
      {"huge length declared", "POST /make HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nabc", kBadRequestPage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpReply r = RawHttpExchange(port, c.request);
    ASSERT_TRUE(r.answered) << r.raw.size() << " " << strerror(errno);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.body);
  }
  EXPECT_EQ(RawHttpExchange(port, RawHttpGet("/logo.gif")).body, logo);
}

TEST_F(HttpServer, StalledClientsAreDisconnectedWithoutBlockingOthers) {
  HttpServerLimits limits;
  limits.maxThreads = 4;
  limits.readTimeout = std::chrono::milliseconds(300);
  Start(limits);
  // More stalled clients than threads: a complete request is still answered
  // once their time-outs free the threads.
  std::vector<int> stalled;
  for (int i = 0; i < 3; ++i) {
    int fd = RawHttpConnect(port);
    ASSERT_GE(fd, 0);
    RawHttpSend(fd, "GET /logo.gif HTTP/1.1\r\nHost: h\r\n");  // headers never end
    stalled.push_back(fd);
  }
  for (int i = 0; i < 3; ++i) {
    int fd = RawHttpConnect(port);
    ASSERT_GE(fd, 0);
    RawHttpSend(fd, "POST /make HTTP/1.1\r\nContent-Length: 20\r\n\r\nabc");  // body never completes
    stalled.push_back(fd);
  }
  EXPECT_EQ(RawHttpExchange(port, RawHttpGet("/logo.gif")).body, logo);
  for (int fd : stalled) {
    RawHttpReply r = RawHttpReadAll(fd);  // returns once the server closed
    EXPECT_TRUE(!r.answered || r.status != 200) << r.raw;
  }
}

TEST_F(HttpServer, ManyConcurrentConnectionsAreAllAnswered) {
  Start();
  constexpr int kConnections = 500;
  std::vector<int> fds;
  for (int i = 0; i < kConnections; ++i) {
    int fd = RawHttpConnect(port);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  for (int fd : fds) ASSERT_TRUE(RawHttpSend(fd, RawHttpGet("/logo.gif")));
  int ok = 0;
  for (int fd : fds) ok += RawHttpReadAll(fd).body == logo;
  EXPECT_EQ(ok, kConnections);
}

TEST_F(HttpServer, RestartRebindsAndStopsListening) {
  Start();
  const std::uint16_t first = port;
  EXPECT_TRUE(module.IdHTTPServer1.Active());
  module.IdHTTPServer1.SetActive(false);
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  EXPECT_LT(RawHttpConnect(first), 0) << "nothing listens after deactivation";

  module.RestartServer(first, false);
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  ASSERT_EQ(module.IdHTTPServer1.Bindings().size(), 1u);
  EXPECT_EQ(module.IdHTTPServer1.Bindings()[0].ip, "0.0.0.0");
  EXPECT_EQ(module.IdHTTPServer1.Bindings()[0].port, first);
  EXPECT_EQ(module.IdHTTPServer1.DefaultPort(), first);

  module.RestartServer(first, true);
  EXPECT_TRUE(module.IdHTTPServer1.Active());
  EXPECT_EQ(RawHttpExchange(first, RawHttpGet("/logo.gif")).body, logo);

  for (int bad : {0, -1, 70000}) {
    SCOPED_TRACE(bad);
    EXPECT_ANY_THROW(module.RestartServer(bad, true));
    EXPECT_FALSE(module.IdHTTPServer1.Active());
  }
  module.DataModuleDestroy();
  EXPECT_TRUE(module.IdHTTPServer1.Bindings().empty());
}

// Stopping does not wait for a connection a thread is already answering:
// the port refuses new connections at once and can be bound again while
// that request is still open, and the request is then answered in full.
TEST_F(HttpServer, StoppingLetsARequestInFlightFinishAndFreesThePort) {
  Start();
  const std::uint16_t first = port;
  int fd = RawHttpConnect(first);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(RawHttpSend(fd, "GET /logo.gif HTTP/1.1\r\nHost: h\r\n"));  // the header block not ended yet
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // taken by a thread meanwhile
  module.IdHTTPServer1.SetActive(false);
  EXPECT_LT(RawHttpConnect(first), 0) << "nothing listens after deactivation";

  module.RestartServer(first, true);
  EXPECT_EQ(RawHttpExchange(first, RawHttpGet("/logo.gif")).body, logo);
  ASSERT_TRUE(RawHttpSend(fd, "\r\n"));
  RawHttpReply inFlight = RawHttpReadAll(fd);
  EXPECT_EQ(inFlight.status, 200);
  EXPECT_EQ(inFlight.body, logo);
  module.DataModuleDestroy();
}

// A child process started while the server listens (as the word processor
// is) does not keep the port: once the server stops, nothing listens there.
TEST_F(HttpServer, ChildProcessesDoNotInheritTheListeningSocket) {
  Start();
  qm::process::SpawnOptions options;
  options.argv = {"/bin/sleep", "60"};
  options.searchPath = false;
  qm::process::Child child = qm::process::Spawn(options);
  module.IdHTTPServer1.SetActive(false);
  EXPECT_LT(RawHttpConnect(port), 0) << "the child holds the listening socket";
}

namespace {
// A port that was free a moment ago (bound on all addresses, then closed).
std::uint16_t FreePort() {
  Poco::Net::ServerSocket s;
  s.bind(Poco::Net::SocketAddress("0.0.0.0", 0), false, false);
  return s.address().port();
}
}  // namespace

class HttpServerCreate : public HttpServer {
 protected:
  TFSettings& settings = *e.settings;
  void Configure(int port, bool active) {
    GeneralSettings g;
    g.httpPort = port;
    g.httpServerActive = active;
    settings.SetGeneralSettings(g);
  }
};

TEST_F(HttpServerCreate, PortOutsideTheRangeBinds8081WithAWarningAndKeepsTheRecord) {
  for (int port : {0, -1, 65536, 99999}) {
    SCOPED_TRACE(port);
    const std::size_t before = ui.LogLines().size();
    Configure(port, false);
    module.DataModuleCreate();
    ASSERT_EQ(module.IdHTTPServer1.Bindings().size(), 1u);
    EXPECT_EQ(module.IdHTTPServer1.Bindings()[0].ip, "0.0.0.0");
    EXPECT_EQ(module.IdHTTPServer1.Bindings()[0].port, 8081);
    EXPECT_FALSE(module.IdHTTPServer1.Active());
    EXPECT_EQ(settings.GetGeneralSettings().httpPort, port);
    auto lines = ui.LogLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find(": HTTP-Server Port automaticly set to 8081."), std::string::npos) << lines.back();
  }
}

TEST_F(HttpServerCreate, ConfiguredPortServesWhenActive) {
  const std::uint16_t p = FreePort();
  Configure(p, true);
  module.DataModuleCreate();
  EXPECT_TRUE(module.IdHTTPServer1.Active());
  EXPECT_TRUE(ui.LogLines().empty()) << "no warning for a configured port";
  EXPECT_EQ(RawHttpExchange(p, RawHttpGet("/logo.gif")).body, logo);
  module.DataModuleDestroy();
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  EXPECT_TRUE(module.IdHTTPServer1.Bindings().empty());
  EXPECT_LT(RawHttpConnect(p), 0);
}

// The failure is shown in the system's words with the system's text for the
// socket's error, not the library's class name ("Net Exception") or its
// address notation; the same text comes from the settings dialog's restart.
TEST_F(HttpServerCreate, TakenPortIsReportedAndLeavesTheServerInactive) {
  Poco::Net::ServerSocket taken;  // another program on the port
  taken.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
  taken.listen();
  const std::string port = std::to_string(taken.address().port());
  const std::string shown = "Der HTTP-Server konnte nicht auf Port " + port + " gestartet werden: Address already in use";
  Configure(taken.address().port(), true);
  module.DataModuleCreate();
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  EXPECT_EQ(ui.errors, std::vector<std::string>{shown});
  // The log says it too, naming the port and the reason.
  auto lines = ui.LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": HTTP-Server: Port " + port + " konnte nicht geöffnet werden (Address already in use). "
                          "HTTP-Anfragen werden nicht beantwortet."),
            std::string::npos)
      << lines[0];

  try {
    module.RestartServer(taken.address().port(), true);
    ADD_FAILURE() << "the restart bound a taken port";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), shown);
  }
  EXPECT_FALSE(module.IdHTTPServer1.Active());
}
