// The HTTP signature server under load on 127.0.0.1, beside mailbox polling:
// many connections open at once, then many /make requests from several
// client threads, while the main thread polls a real Dovecot mailbox and
// replies over a real SMTP server; users come from SQLite through unixODBC.
// Every request must get its answer; the answers that carry a file list, the
// "Signatur erstellt für:" lines and the LStatusHTTP counter must agree; every
// request mail must be answered; the process's memory must come back near
// its idle figure.
//
// Sizes: QM_LOAD_CONNECTIONS (default 1000 open at once) and
// QM_LOAD_REQUESTS (default 2000 /make requests; the full run uses 10000).
// Figures go to the test's output (no timed assertion).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "RawHttp.h"
#include "base/UProgState.h"
#include "http/USocketServer.h"

namespace {

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      in >> kib;
      return kib;
    }
    in.ignore(4096, '\n');
  }
  return 0;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
  return n;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

class HttpLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    // Both ends of every connection live in this process.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t want = static_cast<rlim_t>(connections) * 2 + 256;
    if (lim.rlim_cur < want) {
      lim.rlim_cur = std::min(want, lim.rlim_max);
      ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < want) connections = static_cast<int>((lim.rlim_cur - 256) / 2);

    ClearState();
    odbc.CreateUsersTable();
    odbc.AddUsers(kUsers);
    e.UseOdbcUsers(odbc.Dsn());
    GeneralSettings g;
    g.contentType = ctText;
    g.sendAs = "body";
    e.settings->SetGeneralSettings(g);
    e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur."};
    e.main->M_Signatur_HTML = {"#givenName# #sn#", "#telephoneNumber#"};
    e.main->LB_shortNames = {"logo.gif"};
    WriteFileBytes(e.dir / "ResponsePage.htm",
                   ReadFileBytes(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm"));
    WriteFileBytes(e.dir / "temp/logo.gif", logo);
    smtp.Start();

    module->IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module->IdHTTPServer1.SetActive(true);
    port = module->IdHTTPServer1.ListeningPorts().at(0);
  }
  void TearDown() override {
    module->DataModuleDestroy();
    ClearState();
  }

  // Every fourth address is not in the directory.
  static std::string Address(int i) {
    return i % 4 == 3 ? "nobody" + std::to_string(i) + "@example.test" : MakeTestUser(1 + i % kUsers).mail;
  }
  static bool Known(int i) { return i % 4 != 3; }
  static std::string MakeTarget(int i) {
    std::string a = Address(i);
    return "/make?" + a.replace(a.find('@'), 1, "%40");
  }

  // The answer expected for request i ("" for the logo): the file list for
  // a known address, the "unknown" page otherwise.
  bool Expected(const RawHttpReply& r, int i, bool logoRequest) const {
    if (!r.answered || r.status != 200) return false;
    if (logoRequest) return r.body == logo;
    if (Known(i)) return r.body == Address(i) + ".txt\nlogo.gif\n";
    return r.body.find(" ist unbekannt.") != std::string::npos;
  }

  static constexpr int kUsers = 50;
  int connections = EnvInt("QM_LOAD_CONNECTIONS", 1000);
  int requests = EnvInt("QM_LOAD_REQUESTS", 2000);
  OdbcFixture odbc;
  TestEngine e;
  Pop3Fixture pop;
  SmtpFixture smtp;
  TKomponentModule* const module = e.http;
  std::uint16_t port = 0;
  const std::string logo = "GIF89a logo bytes";
};

TEST_F(HttpLoad, ConcurrentConnectionsAndMakeRequestsBesidePollingAreAllCounted) {
  // Request mails from known users wait in the mailbox; the main thread polls
  // while the clients load the server.
  constexpr int kMails = 20;
  for (int m = 0; m < kMails; ++m)
    pop.Deliver("From: <" + MakeTestUser(1 + m).mail + ">\r\nTo: requests@example.test\r\nSubject: m" +
                std::to_string(m) + "\r\n\r\nBitte.\r\n");
  pop.Start();
  e.UseLocalServers(pop.Port(), smtp.Port());

  std::atomic<int> knownSent{0};
  // Warm up with one burst as wide as the thread pool (every pool thread
  // and its allocator arena exist afterwards), then take the idle figure.
  {
    std::atomic<int> warm{0};
    std::vector<std::thread> burst;
    for (int i = 0; i < 64; ++i)
      burst.emplace_back([&, i] { warm += Expected(RawHttpExchange(port, RawHttpGet(MakeTarget(i))), i, false); });
    for (auto& t : burst) t.join();
    ASSERT_EQ(warm.load(), 64);
    for (int i = 0; i < 64; ++i) knownSent += Known(i);
  }
  ::malloc_trim(0);
  const long idleKiB = RssKiB();

  std::atomic<bool> loadDone{false};
  std::atomic<int> good{0}, opened{0}, makeGood{0};
  std::chrono::steady_clock::duration phase1{}, phase2{};
  std::thread load([&] {
    const auto t0 = std::chrono::steady_clock::now();
    // Phase 1: every connection open at the same time, then all requests
    // sent, then all answers read.
    constexpr int kClients = 8;
    {
      std::latch allOpen(kClients);
      std::vector<std::thread> clients;
      for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
          std::vector<std::pair<int, int>> mine;  // fd, request number
          for (int i = c; i < connections; i += kClients) {
            int fd = RawHttpConnect(port);
            if (fd < 0) continue;
            ++opened;
            mine.emplace_back(fd, i);
          }
          allOpen.arrive_and_wait();
          for (auto [fd, i] : mine) {
            const bool logoRequest = i % 2 == 1;
            if (!logoRequest && Known(i)) ++knownSent;
            RawHttpSend(fd, RawHttpGet(logoRequest ? "/logo.gif" : MakeTarget(i)));
          }
          for (auto [fd, i] : mine) good += Expected(RawHttpReadAll(fd), i, i % 2 == 1);
        });
      for (auto& t : clients) t.join();
    }
    const auto t1 = std::chrono::steady_clock::now();
    // Phase 2: /make requests from 16 clients, one connection each.
    constexpr int kRequestClients = 16;
    {
      std::vector<std::thread> clients;
      for (int c = 0; c < kRequestClients; ++c)
        clients.emplace_back([&, c] {
          for (int i = c; i < requests; i += kRequestClients) {
            if (Known(i)) ++knownSent;
            makeGood += Expected(RawHttpExchange(port, RawHttpGet(MakeTarget(i))), i, false);
          }
        });
      for (auto& t : clients) t.join();
    }
    phase1 = t1 - t0;
    phase2 = std::chrono::steady_clock::now() - t1;
    loadDone = true;
  });
  int polls = 0;
  while (!loadDone) {
    e.mail->ReceiveMails();
    ++polls;
  }
  load.join();
  e.mail->ReceiveMails();  // one more after the load, as the timer would

  EXPECT_EQ(opened.load(), connections);
  EXPECT_EQ(good.load(), connections);
  EXPECT_EQ(makeGood.load(), requests);

  const std::string log = ReadFileBytes(e.dir / "signatur.log");
  const std::size_t known = static_cast<std::size_t>(knownSent.load());
  EXPECT_EQ(Count(log, "HTTP Request erhalten von: 127.0.0.1 -> "), static_cast<std::size_t>(64 + connections + requests));
  EXPECT_EQ(Count(log, "Signatur erstellt für: "), known);
  EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(known));
  EXPECT_EQ(GetStateValue("LStatusGesand"), std::to_string(kMails)) << "every request mail answered";
  EXPECT_EQ(smtp.Messages().size(), static_cast<std::size_t>(kMails));
  EXPECT_EQ(pop.MessageCount(), 0) << "answered requests are deleted, none is lost";

  ::malloc_trim(0);
  const long afterKiB = RssKiB();
  using ms = std::chrono::milliseconds;
  const auto p2 = std::chrono::duration_cast<ms>(phase2).count();
  std::printf("[ load ] %d connections at once: %lld ms; %d /make requests (%zu known): %lld ms (%.0f/s); "
              "%d polls beside; RSS idle %ld KiB, after %ld KiB\n",
              connections, static_cast<long long>(std::chrono::duration_cast<ms>(phase1).count()), requests, known,
              static_cast<long long>(p2), requests * 1000.0 / std::max<long long>(1, p2), polls, idleKiB, afterKiB);
  if (!kSanitized) {
    EXPECT_LT(afterKiB, idleKiB + 64 * 1024) << "memory comes back near its idle figure";
  }
}
