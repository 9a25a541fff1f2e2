// "/make" over HTTPS beside "/make" over plain HTTP, in one run against one
// engine and project: the same settings, directory (SQLite through ODBC),
// signature and attachment store serve two listeners on loopback, one plain
// and one with the test CA's certificate. Rounds alternate between the two.
// Every request opens a new connection (the server answers one request per
// connection and closes it; it offers no keep-alive), so every HTTPS request
// pays a full handshake. The clients use the same POCO client code for both
// sides; HTTPS clients check the chain and the host name. Clients and server
// share the machine, so the client's TLS work is in the figures too.
//
//   build-bench/bench/http_tls_bench [requests-per-client]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DirectoryFixtures.h"
#include "HttpsClient.h"
#include "RecordingUserInterface.h"
#include "TestCa.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "app/Main.h"
#include "http/USocketServer.h"
#include "settings/USetting.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kUsers = 2000;

std::string Mail(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "user%05d@example.test", i);
  return buf;
}

struct Stats {
  double seconds = 0;
  int requests = 0;
  int failures = 0;
  std::vector<double> latencies;  // ms
  double PerSecond() const { return requests / seconds; }
  double Percentile(int p) {
    std::sort(latencies.begin(), latencies.end());
    return latencies[std::min(latencies.size() - 1, latencies.size() * static_cast<std::size_t>(p) / 100)];
  }
};

// `clients` threads, `perClient` requests each, a new connection per request.
template <class Fetch>
void Load(Stats& into, int clients, int perClient, bool make, Fetch fetch) {
  std::vector<std::vector<double>> lat(static_cast<std::size_t>(clients));
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      std::mt19937 rng(static_cast<unsigned>(c) * 7919u + 1u);
      for (int i = 0; i < perClient; ++i) {
        const std::string mail = Mail(static_cast<int>(rng() % kUsers) + 1);
        const auto t0 = Clock::now();
        try {
          const HttpsReply r = fetch(make ? "/make?" + mail : std::string("/logo.gif"));
          const bool ok = make ? r.body == mail + ".txt\nlogo.gif\n" : r.status == 200 && r.body.size() > 100;
          if (!ok) ++failures;
        } catch (...) {
          ++failures;
        }
        lat[static_cast<std::size_t>(c)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
    });
  for (auto& t : threads) t.join();
  into.seconds += std::chrono::duration<double>(Clock::now() - start).count();
  into.requests += clients * perClient;
  into.failures += failures;
  for (auto& v : lat) into.latencies.insert(into.latencies.end(), v.begin(), v.end());
}

void Print(const char* what, Stats& s) {
  std::printf("%-38s %8.1f req/s   p50 %7.2f ms   p99 %7.2f ms   failures %d\n", what, s.PerSecond(), s.Percentile(50),
              s.Percentile(99), s.failures);
}

}  // namespace

int main(int argc, char** argv) try {
  const int perClient = argc > 1 ? std::atoi(argv[1]) : 100;
  const int rounds = 3;
  const TestCa& ca = TestCa::Shared();
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(kUsers);

  QuietRecording ui;
  TestEngine e{ProgramKind::Desktop, &ui};
  WriteFileBytes(e.dir / "ResponsePage.htm", "<html><body>#ResponseText#</body></html>\n");
  WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage() + std::string(4096, '\0'));
  e.UseOdbcUsers(odbc.Dsn());
  GeneralSettings g = e.settings->GetGeneralSettings();
  g.contentType = ctHtml;
  g.verbosity = 2;  // errors only: the per-request log line weighs on neither side
  e.settings->SetGeneralSettings(g);
  e.settings->SettingsToDialog();
  e.main->M_Signatur_HTML = {"<html><body><table>", "<tr><td>#givenName# #sn#</td></tr>",
                             "<tr><td>Tel. #telephoneNumber#</td></tr>", "<tr><td>#company#</td></tr>",
                             "<tr><td><img src=\"cid:logo.gif\"></td></tr>", "</table></body></html>"};
  e.main->LB_shortNames = {"logo.gif"};
  e.main->BuildPlaceholderList();

  // Two listeners of the one engine: the engine's own module plain, a
  // second module on the same settings, directory and signatures with TLS.
  TKomponentModule& plain = *e.http;
  plain.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  plain.IdHTTPServer1.SetActive(true);
  TKomponentModule secured(e.settings->Store(), *e.db, *e.main, ui);
  secured.IdHTTPServer1.SetTls({true, ca.server.cert, ca.server.key});
  secured.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  secured.IdHTTPServer1.SetActive(true);
  const std::uint16_t httpPort = plain.IdHTTPServer1.ListeningPorts().at(0);
  const std::uint16_t httpsPort = secured.IdHTTPServer1.ListeningPorts().at(0);
  auto overHttp = [&](const std::string& t) { return HttpGet(httpPort, t); };
  auto overHttps = [&](const std::string& t) { return HttpsGet(httpsPort, t, ca.caFile, "localhost"); };

  std::printf("/make over HTTP and HTTPS, one engine: %d users (SQLite through ODBC), HTML signature, one logo;\n"
              "a new connection per request (the server has no keep-alive), %d rounds alternating, "
              "%d requests per client per round\n\n",
              kUsers, rounds, perClient);
  for (bool make : {true, false}) {
    for (int clients : {1, 8}) {
      Stats http, https;
      for (int round = 0; round < rounds; ++round) {
        Load(http, clients, perClient, make, overHttp);
        Load(https, clients, perClient, make, overHttps);
      }
      char label[80];
      const char* what = make ? "/make" : "4 KiB download";
      std::snprintf(label, sizeof label, "%s over HTTP,  %d clients", what, clients);
      Print(label, http);
      std::snprintf(label, sizeof label, "%s over HTTPS, %d clients", what, clients);
      Print(label, https);
      std::printf("  ratio: HTTPS at %.0f%% of the HTTP rate\n\n", 100.0 * https.PerSecond() / http.PerSecond());
    }
  }
  secured.DataModuleDestroy();
  plain.DataModuleDestroy();
  return 0;
} catch (const std::exception& ex) {
  std::fprintf(stderr, "%s\n", ex.what());
  return 1;
}
