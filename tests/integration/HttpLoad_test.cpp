// The HTTP signature server under load on 127.0.0.1: many connections open
// at once, then many /make requests from several client threads. Every
// request must get its answer, the log must hold one request line per
// request, and the process's memory must come back near its idle figure.
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

#include "Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "UDBUtil.h"
#include "UProgState.h"
#include "USetting.h"
#include "USocketServer.h"

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
    ::mkdir((dir / "temp").c_str(), 0755);
    WriteFileBytes(dir / "ResponsePage.htm", ReadFileBytes(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm"));
    WriteFileBytes(dir / "temp/logo.gif", logo);
    HttpServerLimits limits;
    module.IdHTTPServer1.SetLimits(limits);
    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port = module.IdHTTPServer1.ListeningPorts().at(0);
  }
  void TearDown() override {
    module.IdHTTPServer1.SetActive(false);
    ClearState();
  }

  // One request; true when its answer is the one expected for the target.
  bool Expected(const RawHttpReply& r, const std::string& target) const {
    if (!r.answered || r.status != 200) return false;
    if (target == "/logo.gif") return r.body == logo;
    return r.body.find(" ist unbekannt.") != std::string::npos;
  }

  int connections = EnvInt("QM_LOAD_CONNECTIONS", 1000);
  int requests = EnvInt("QM_LOAD_REQUESTS", 2000);
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form{dir.Path(), ui, ProgramKind::Service};
  TFDBUtil db;
  TFSettings settings;
  TKomponentModule module;
  std::uint16_t port = 0;
  const std::string logo = "GIF89a logo bytes";
};

TEST_F(HttpLoad, ConcurrentConnectionsAndMakeRequestsAreAllAnswered) {
  form.SetVerbosity(0);
  // Warm up (thread pool, page cache), then take the idle figure.
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(Expected(RawHttpExchange(port, RawHttpGet("/logo.gif")), "/logo.gif"));
  ::malloc_trim(0);
  const long idleKiB = RssKiB();
  const auto t0 = std::chrono::steady_clock::now();

  // Phase 1: every connection open at the same time, then all requests sent,
  // then all answers read.
  constexpr int kClients = 8;
  std::atomic<int> good{0}, opened{0};
  {
    std::latch allOpen(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        std::vector<std::pair<int, std::string>> mine;
        for (int i = c; i < connections; i += kClients) {
          int fd = RawHttpConnect(port);
          if (fd < 0) continue;
          ++opened;
          mine.emplace_back(fd, i % 2 ? "/logo.gif" : "/make?open" + std::to_string(i) + "%40example.test");
        }
        allOpen.arrive_and_wait();
        for (auto& [fd, target] : mine) RawHttpSend(fd, RawHttpGet(target));
        for (auto& [fd, target] : mine) good += Expected(RawHttpReadAll(fd), target);
      });
    for (auto& t : clients) t.join();
  }
  EXPECT_EQ(opened.load(), connections);
  EXPECT_EQ(good.load(), connections);
  const auto t1 = std::chrono::steady_clock::now();

  // Phase 2: /make requests from 16 clients, one connection each.
  constexpr int kRequestClients = 16;
  std::atomic<int> makeGood{0};
  {
    std::vector<std::thread> clients;
    for (int c = 0; c < kRequestClients; ++c)
      clients.emplace_back([&, c] {
        for (int i = c; i < requests; i += kRequestClients) {
          const std::string target = "/make?load" + std::to_string(i) + "%40example.test";
          makeGood += Expected(RawHttpExchange(port, RawHttpGet(target)), target);
        }
      });
    for (auto& t : clients) t.join();
  }
  EXPECT_EQ(makeGood.load(), requests);
  const auto t2 = std::chrono::steady_clock::now();

  const std::string log = ReadFileBytes(dir / "signatur.log");
  EXPECT_EQ(Count(log, "HTTP Request erhalten von: 127.0.0.1 -> "), static_cast<std::size_t>(64 + connections + requests));
  EXPECT_EQ(Count(log, "Signatur erstellt für: "), 0u) << "no address is known";
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "") << "unknown addresses are not counted";

  ::malloc_trim(0);
  const long afterKiB = RssKiB();
  using ms = std::chrono::milliseconds;
  std::printf("[ load ] %d connections at once: %lld ms; %d /make requests: %lld ms (%.0f/s); RSS idle %ld KiB, "
              "after %ld KiB\n",
              connections, static_cast<long long>(std::chrono::duration_cast<ms>(t1 - t0).count()), requests,
              static_cast<long long>(std::chrono::duration_cast<ms>(t2 - t1).count()),
              requests * 1000.0 / std::max<long long>(1, std::chrono::duration_cast<ms>(t2 - t1).count()), idleKiB,
              afterKiB);
  if (!kSanitized) {
    EXPECT_LT(afterKiB, idleKiB + 64 * 1024) << "memory comes back near its idle figure";
  }
}
