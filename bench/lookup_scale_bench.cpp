// How "/make" scales with the size of the user table: requests per second
// and p50/p99 latency at 16 concurrent clients for each table size given,
// SQLite through ODBC with an index on the address column, HTML signature.
// Each client sends requests for random known users, one connection per
// request, for a fixed time; every answer is checked.
//
//   build-bench/bench/bench_lookup_scale [seconds-per-size] [rows ...]
//
// bench/lookup_scale_bench.sh runs it for two builds side by side.

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
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "app/Main.h"
#include "base/UUtils.h"
#include "directory/UDBUtil.h"
#include "http/USocketServer.h"
#include "settings/USetting.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 16;

struct Stats {
  std::size_t requests = 0;
  double perSecond = 0, p50 = 0, p99 = 0;
  int failures = 0;
};

Stats Run(int rows, double seconds) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.Execute("CREATE INDEX users_mail ON users (mail)");
  for (int first = 1; first <= rows; first += 10000) odbc.AddUsers(std::min(10000, rows - first + 1), "users", first);

  QuietRecording ui;
  TestEngine e{ProgramKind::Desktop, &ui};
  TForm_main& form = *e.main;
  TFSettings& settings = *e.settings;
  TKomponentModule& module = *e.http;
  WriteFileBytes(e.dir / "ResponsePage.htm", "<html><body>#ResponseText#</body></html>\n");
  WriteFileBytes(e.dir / "temp/logo.gif", std::string(2048, 'g'));

  DirectorySettings d;
  d.odbcSource = odbc.Dsn();
  d.table = "users";
  d.mailField = "mail";
  settings.SetDirectorySettings(d);
  GeneralSettings g;
  g.contentType = ctHtml;
  g.verbosity = 2;  // errors only
  settings.SetGeneralSettings(g);
  settings.SettingsToDialog();
  form.M_Signatur_HTML = {"<html><body><table>",
                          "<tr><td>#givenName# #sn#</td></tr>",
                          "<tr><td>Tel. #telephoneNumber#</td></tr>",
                          "<tr><td>#otherTelephone#</td></tr>",
                          "<tr><td>#company#</td></tr>",
                          "<tr><td><img src=\"cid:logo.gif\"></td></tr>",
                          "</table></body></html>"};
  form.LB_shortNames = {"logo.gif"};
  form.BuildPlaceholderList();

  module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  module.IdHTTPServer1.SetActive(true);
  const std::uint16_t port = module.IdHTTPServer1.ListeningPorts().at(0);

  std::vector<std::vector<double>> lat(kClients);
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      std::mt19937 rng(c * 7919 + 1);
      do {
        const std::string mail = MakeTestUser(static_cast<int>(rng() % rows) + 1).mail;
        auto t0 = Clock::now();
        RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?" + mail));
        lat[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (r.body != mail + ".txt\nlogo.gif\n") ++failures;
      } while (Clock::now() < end);
    });
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  module.DataModuleDestroy();

  std::vector<double> all;
  for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  Stats s;
  s.requests = all.size();
  s.perSecond = all.size() / secs;
  s.p50 = all[all.size() / 2];
  s.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  s.failures = failures;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  qm::LimitMemoryPools();  // as both programs do
  const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 100000};
  for (int rows : sizes) {
    Stats s = Run(rows, seconds);
    std::printf(
        "/make, %7d rows, %2d clients: %8.1f req/s   p50 %9.2f ms   p99 %9.2f ms   requests %zu   "
        "failures %d\n",
        rows, kClients, s.perSecond, s.p50, s.p99, s.requests, s.failures);
    std::fflush(stdout);
  }
  return 0;
}
