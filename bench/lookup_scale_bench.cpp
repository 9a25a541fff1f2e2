// How "/make" scales with the size of the directory: requests per second and
// p50/p99 latency at 16 concurrent clients, for SQLite tables through ODBC
// (index on the address column) and for slapd directories of the sizes
// given, HTML signature; then the resident memory of this process (server
// and clients) before and after 100,000 "/make". Each client sends requests
// for random known users, one connection per request; every answer is
// checked.
//
//   build-bench/bench/bench_lookup_scale [seconds-per-size] [case ...]
//
// A case is "sql:<rows>", "ldap:<entries>" or "memory" (a bare number is
// "sql:<number>"). Without cases: sql:1000 sql:10000 sql:100000
// sql:1000000 ldap:1000 ldap:100000 memory. When both sql:1000 and
// sql:1000000 ran, the ratio of their throughputs closes the output.
//
// bench/lookup_scale_bench.sh builds and runs it (two builds side by side on
// request).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
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
constexpr int kMemoryWarmUp = 2000;
constexpr int kMemoryRequests = 100000;

struct Stats {
  std::size_t requests = 0;
  double perSecond = 0, p50 = 0, p99 = 0;
  int failures = 0;
};

/// Resident set size of this process in KiB (VmRSS), 0 when unreadable.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

/// The users MakeTestUser(1) ... MakeTestUser(rows) in one statement, so
/// that SQLite fills the table in one transaction without a round trip per
/// row (a million rows take seconds); the index is built afterwards.
void FillTable(OdbcFixture& odbc, int rows) {
  odbc.CreateUsersTable();
  odbc.Execute(
      "INSERT INTO users WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < " +
      std::to_string(rows) +
      ") SELECT printf('user%05d@example.test', i), 'Given' || i, 'Surname' || i, '+49 30 ' || i, "
      "'+49 40 ' || i || ' / +49 41 ' || i, 'Testfirma GmbH' FROM c");
  odbc.Execute("CREATE INDEX users_mail ON users (mail)");
}

/// One directory of `rows` users and an engine serving "/make" from it on
/// 127.0.0.1.
class Server {
 public:
  Server(bool ldap, int rows) : rows_(rows) {
    const auto t0 = Clock::now();
    DirectorySettings d;
    GeneralSettings g;
    g.contentType = ctHtml;
    g.verbosity = 2;  // errors only
    if (ldap) {
      ldap_ = std::make_unique<SlapdFixture>();
      ldap_->AddUsers(rows);  // before Start: slapadd
      ldap_->Start();
      g.useAD = true;
      g.adPath = ldap_->AdsPath();
      g.adUserId = ldap_->BindDn();
      g.adPassword = ldap_->BindPassword();
      g.fieldNames1 = "mail,givenName,sn,telephoneNumber,otherTelephone,company";
    } else {
      odbc_ = std::make_unique<OdbcFixture>();
      FillTable(*odbc_, rows);
      d.odbcSource = odbc_->Dsn();
      d.table = "users";
      d.mailField = "mail";
    }
    std::fprintf(stderr, "%s with %d users ready in %.1f s\n", ldap ? "slapd" : "SQLite", rows,
                 std::chrono::duration<double>(Clock::now() - t0).count());

    e_ = std::make_unique<TestEngine>(ProgramKind::Desktop, &ui_);
    TForm_main& form = *e_->main;
    TFSettings& settings = *e_->settings;
    WriteFileBytes(e_->dir / "ResponsePage.htm", "<html><body>#ResponseText#</body></html>\n");
    WriteFileBytes(e_->dir / "temp/logo.gif", std::string(2048, 'g'));
    settings.SetDirectorySettings(d);
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

    TKomponentModule& module = *e_->http;
    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port_ = module.IdHTTPServer1.ListeningPorts().at(0);
  }
  ~Server() { e_->http->DataModuleDestroy(); }

  /// 16 clients asking for random users until `seconds` have passed or,
  /// when `requests` is not 0, until that many requests have been sent.
  Stats Load(double seconds, int requests = 0) {
    std::vector<std::vector<double>> lat(kClients);
    std::atomic<int> failures{0};
    std::atomic<int> left{requests};
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
      threads.emplace_back([&, c] {
        std::mt19937 rng(c * 7919 + 1);
        for (;;) {
          if (requests ? left.fetch_sub(1) <= 0 : Clock::now() >= end) break;
          const std::string mail = MakeTestUser(static_cast<int>(rng() % rows()) + 1).mail;
          auto t0 = Clock::now();
          RawHttpReply r = RawHttpExchange(port_, RawHttpGet("/make?" + mail));
          lat[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          if (r.body != mail + ".txt\nlogo.gif\n") ++failures;
        }
      });
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    Stats s;
    s.requests = all.size();
    if (all.empty()) return s;
    s.perSecond = all.size() / secs;
    s.p50 = all[all.size() / 2];
    s.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    s.failures = failures;
    return s;
  }

  int rows() const { return rows_; }

 private:
  std::unique_ptr<OdbcFixture> odbc_;
  std::unique_ptr<SlapdFixture> ldap_;
  QuietRecording ui_;
  std::unique_ptr<TestEngine> e_;
  std::uint16_t port_ = 0;
  int rows_ = 0;
};

void Print(const char* kind, int rows, const Stats& s) {
  std::printf(
      "/make, %-6s %8d users, %2d clients: %8.1f req/s   p50 %8.2f ms   p99 %8.2f ms (%4.1fx p50)   requests %zu   "
      "failures %d\n",
      kind, rows, kClients, s.perSecond, s.p50, s.p99, s.p50 > 0 ? s.p99 / s.p50 : 0.0, s.requests, s.failures);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  qm::LimitMemoryPools();  // as both programs do
  const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
  std::vector<std::string> cases(argv + std::min(argc, 2), argv + argc);
  if (cases.empty())
    cases = {"sql:1000", "sql:10000", "sql:100000", "sql:1000000", "ldap:1000", "ldap:100000", "memory"};

  std::map<int, double> sqlThroughput;
  for (const std::string& c : cases) {
    if (c == "memory") {
      // Memory of the whole process over 100,000 lookups and generations,
      // after a warm-up that fills the pools, caches and the connection.
      Server server(false, 1000);
      server.Load(0, kMemoryWarmUp);
      const long before = ResidentKiB();
      const Stats s = server.Load(0, kMemoryRequests);
      const long after = ResidentKiB();
      std::printf(
          "memory, SQLite 1000 users: VmRSS %.1f MiB after %d warm-up /make, %.1f MiB after %zu more "
          "(%d failures): growth %+.2f MiB\n",
          before / 1024.0, kMemoryWarmUp, after / 1024.0, s.requests, s.failures, (after - before) / 1024.0);
      std::fflush(stdout);
      continue;
    }
    const bool ldap = c.rfind("ldap:", 0) == 0;
    const int rows = std::atoi(c.c_str() + (ldap || c.rfind("sql:", 0) == 0 ? c.find(':') + 1 : 0));
    if (rows <= 0) {
      std::fprintf(stderr, "unknown case %s\n", c.c_str());
      return 2;
    }
    Server server(ldap, rows);
    server.Load(std::min(2.0, seconds / 5));  // warm-up: connection, caches, page cache
    const Stats s = server.Load(seconds);
    Print(ldap ? "slapd" : "SQLite", rows, s);
    if (!ldap) sqlThroughput[rows] = s.perSecond;
  }
  if (sqlThroughput.count(1000) && sqlThroughput.count(1000000) && sqlThroughput[1000] > 0)
    std::printf("throughput 1,000,000 rows / 1,000 rows: %.2f (goal at least 0.5)\n",
                sqlThroughput[1000000] / sqlThroughput[1000]);
  return 0;
}
