// The HTTP signature server under load, in one run:
//  1. "/make" requests per second and p50/p99 latency at 1 and 16 concurrent
//     clients (10,000 users in an SQLite table through ODBC, HTML signature),
//     beside the two lookup cycles of one request alone (IsKnownUser and the
//     lookup of the generation);
//  2. downloads of a generated 4 KiB file at 16 concurrent clients, from our
//     server and from a private nginx serving the same directory on loopback;
//  3. the process's peak memory (VmHWM; clients and fixture included, so an
//     upper bound for the server).
//
//   build-bench/bench/bench_http [requests-per-client]

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DirectoryFixtures.h"
#include "LoopbackSocket.h"
#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"
#include "platform/process/Process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kUsers = 10000;

std::string Mail(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "user%05d@example.test", i);
  return buf;
}

struct Stats {
  double perSecond = 0, p50 = 0, p99 = 0;
  int failures = 0;
};

// `clients` threads each send `perClient` requests made by `target(i)`,
// one connection per request, and check the body with `ok`.
template <class Target, class Ok>
Stats Load(std::uint16_t port, int clients, int perClient, Target target, Ok ok) {
  std::vector<std::vector<double>> lat(clients);
  std::atomic<int> failures{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      std::mt19937 rng(c * 7919 + 1);
      for (int i = 0; i < perClient; ++i) {
        int n = static_cast<int>(rng() % kUsers) + 1;
        auto t0 = Clock::now();
        RawHttpReply r = RawHttpExchange(port, RawHttpGet(target(n)));
        lat[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!ok(n, r)) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  Stats s;
  s.perSecond = all.size() / secs;
  s.p50 = all[all.size() / 2];
  s.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  s.failures = failures;
  return s;
}

long PeakKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

void Print(const char* what, const Stats& s) {
  std::printf("%-44s %9.0f req/s   p50 %7.2f ms   p99 %7.2f ms   failures %d\n", what, s.perSecond, s.p50, s.p99,
              s.failures);
}

}  // namespace

int main(int argc, char** argv) {
  qm::LimitMemoryPools();  // as both programs do
  const int perClient = argc > 1 ? std::atoi(argv[1]) : 200;
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(kUsers);

  QuietRecording ui;
  TestEngine e{ProgramKind::Desktop, &ui};
  const TestDir& dir = e.dir;
  TForm_main& form = *e.main;
  TFSettings& settings = *e.settings;
  TFDBUtil& dbutil = *e.db;
  TKomponentModule& module = *e.http;
  WriteFileBytes(dir / "ResponsePage.htm", "<html><body>#ResponseText#</body></html>\n");
  WriteFileBytes(dir / "temp/logo.gif", std::string(2048, 'g'));
  std::string file4k;
  for (int i = 0; file4k.size() < 4096; ++i) file4k += "line " + std::to_string(i) + "\r\n";
  file4k.resize(4096);
  WriteFileBytes(dir / "temp/file4k.txt", file4k);

  DirectorySettings d;
  d.odbcSource = odbc.Dsn();
  d.table = "users";
  d.mailField = "mail";
  settings.SetDirectorySettings(d);
  GeneralSettings g;
  g.contentType = ctHtml;
  g.verbosity = 2;  // errors only: the per-request log line does not weigh on either side
  settings.SetGeneralSettings(g);
  settings.SettingsToDialog();
  form.M_Signatur_HTML = {"<html><body><table>", "<tr><td>#givenName# #sn#</td></tr>",
                          "<tr><td>Tel. #telephoneNumber#</td></tr>", "<tr><td>#otherTelephone#</td></tr>",
                          "<tr><td>#company#</td></tr>", "<tr><td><img src=\"cid:logo.gif\"></td></tr>",
                          "</table></body></html>"};
  form.LB_shortNames = {"logo.gif"};
  form.BuildPlaceholderList();

  module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  module.IdHTTPServer1.SetActive(true);
  const std::uint16_t port = module.IdHTTPServer1.ListeningPorts().at(0);

  const long setupKiB = PeakKiB();
  std::printf("HTTP signature server: %d users (SQLite through ODBC), HTML signature, %d requests per client\n\n",
              kUsers, perClient);

  // The two lookup cycles of one /make alone: IsKnownUser, then the lookup
  // MakeSignature runs (FindUser, one GetFieldValue per catalogue field,
  // CloseConnection).
  auto fields = form.PlaceholderEntries();
  auto lookups = [&](int clients) {
    std::vector<std::vector<double>> lat(clients);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&, c] {
        std::mt19937 rng(c * 7919 + 1);
        for (int i = 0; i < perClient; ++i) {
          std::string a = Mail(static_cast<int>(rng() % kUsers) + 1);
          auto t0 = Clock::now();
          dbutil.IsKnownUser(a);
          if (dbutil.FindUser(a))
            for (const auto& f : fields)
              if (f.kind == PlaceholderEntry::Field) dbutil.GetFieldValue(a, f.name);
          dbutil.CloseConnection();
          lat[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
      });
    for (auto& t : threads) t.join();
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    Stats s;
    s.perSecond = all.size() / secs;
    s.p50 = all[all.size() / 2];
    s.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return s;
  };
  auto make = [&](int n) { return "/make?" + Mail(n); };
  auto makeOk = [&](int n, const RawHttpReply& r) { return r.body == Mail(n) + ".txt\nlogo.gif\n"; };

  for (int clients : {1, 16}) {
    // alternate: lookups, /make, lookups, /make; report the second of each
    Stats lk, mk;
    for (int round = 0; round < 2; ++round) {
      lk = lookups(clients);
      mk = Load(port, clients, perClient, make, makeOk);
    }
    char label[80];
    std::snprintf(label, sizeof label, "two lookup cycles alone, %2d clients", clients);
    Print(label, lk);
    std::snprintf(label, sizeof label, "/make over HTTP, %2d clients", clients);
    Print(label, mk);
    std::printf("%-44s %9.2f x\n\n", "  /make time per request vs lookups", lk.perSecond / mk.perSecond);
  }

  // Downloads of the 4 KiB file: our server beside a private nginx.
  const std::uint16_t nginxPort = FreeLoopbackPort();
  ::mkdir((dir / "nginx").c_str(), 0755);
  ::mkdir((dir / "nginx/logs").c_str(), 0755);
  WriteFileBytes(dir / "nginx/nginx.conf",
                 std::string(::geteuid() == 0 ? "user root root;\n" : "") +  // the store is the owner's only
                 "worker_processes 1;\n"
                 "error_log " + dir / "nginx/logs/error.log" + ";\n"
                 "pid " + dir / "nginx/nginx.pid" + ";\n"
                 "events { worker_connections 1024; }\n"
                 "http {\n"
                 "  access_log off;\n"
                 "  client_body_temp_path " + dir / "nginx/body" + ";\n"
                 "  proxy_temp_path " + dir / "nginx/proxy" + ";\n"
                 "  fastcgi_temp_path " + dir / "nginx/fastcgi" + ";\n"
                 "  uwsgi_temp_path " + dir / "nginx/uwsgi" + ";\n"
                 "  scgi_temp_path " + dir / "nginx/scgi" + ";\n"
                 "  keepalive_timeout 0;\n"
                 "  default_type text/html;\n"
                 "  server { listen 127.0.0.1:" + std::to_string(nginxPort) + "; root " + dir / "temp" + "; }\n"
                 "}\n");
  std::string prefix = dir / "nginx/", conf = dir / "nginx/nginx.conf";
  qm::process::Child nginx;
  try {
    qm::process::SpawnOptions options;
    options.argv = {"/usr/sbin/nginx", "-p", prefix, "-c", conf, "-g", "daemon off;"};
    nginx = qm::process::Spawn(options);
  } catch (const qm::process::SpawnError&) {
  }
  for (int i = 0; i < 200 && nginx.Owns(); ++i) {
    int fd = RawHttpConnect(nginxPort);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    ::usleep(20000);
  }
  auto file = [](int) { return std::string("/file4k.txt"); };
  auto fileOk = [&](int, const RawHttpReply& r) { return r.body == file4k; };
  const int downloads = perClient * 5;
  Stats ours, theirs;
  for (int round = 0; round < 2; ++round) {
    ours = Load(port, 16, downloads, file, fileOk);
    if (nginx.Owns()) theirs = Load(nginxPort, 16, downloads, file, fileOk);
  }
  Print("4 KiB download, our server, 16 clients", ours);
  if (nginx.Owns()) {
    Print("4 KiB download, nginx, 16 clients", theirs);
    std::printf("%-44s %9.2f\n", "  our rate / nginx's rate", ours.perSecond / theirs.perSecond);
    nginx.Terminate(std::chrono::seconds(10));
  } else {
    std::printf("nginx could not be started\n");
  }

  std::printf("\npeak memory of the whole bench process (VmHWM): %.1f MiB (%.1f MiB after building the fixture, "
              "before any request)\n",
              PeakKiB() / 1024.0, setupKiB / 1024.0);
  module.DataModuleDestroy();
  return 0;
}
