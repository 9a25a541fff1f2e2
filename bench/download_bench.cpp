// Downloads of a generated 4 KiB file from the HTTP signature server beside a
// private nginx serving the same attachment store, measured with wrk in one
// run: 16 clients on two wrk threads, one request per connection
// ("Connection: close"), the two servers in alternating rounds so that other
// load on the machine hits both. Prints requests/s of every round, the
// medians and their ratio.
//
// nginx runs with worker_processes 2: one worker per core of this two-core
// machine, as "auto" would choose, the same two cores our thread pool may
// use. sendfile and tcp_nopush are on as in Debian's packaged configuration.
// By default neither server writes a line per request (our log at "errors
// only", nginx's access log off); with "log" both do (our log at
// "everything", nginx's access log to a file).
//
//   build-bench/bench/download_bench [rounds] [seconds-per-round] [log]

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "base/UUtils.h"
#include "http/USocketServer.h"
#include "platform/process/Process.h"
#include "settings/USetting.h"

namespace {

constexpr int kClients = 16;
constexpr int kWrkThreads = 2;

struct WrkResult {
  double perSecond = 0;
  long requests = 0;
  std::string errors;  // wrk's "Socket errors" / "Non-2xx" lines, if any
};

WrkResult RunWrk(std::uint16_t port, int seconds) {
  qm::process::SpawnOptions options;
  options.argv = {"/usr/bin/wrk",
                  "-t" + std::to_string(kWrkThreads),
                  "-c" + std::to_string(kClients),
                  "-d" + std::to_string(seconds) + "s",
                  "-H",
                  "Connection: close",
                  "http://127.0.0.1:" + std::to_string(port) + "/file4k.txt"};
  options.out = qm::process::Stream::Pipe();
  options.err = qm::process::Stream::ToStdout();
  qm::process::Child wrk = qm::process::Spawn(options);
  const std::string out = wrk.ReadOutput().out;
  wrk.Reap();
  WrkResult r;
  std::size_t at = out.find("Requests/sec:");
  if (at != std::string::npos) r.perSecond = std::atof(out.c_str() + at + 13);
  at = out.find(" requests in ");
  if (at != std::string::npos) {
    std::size_t begin = out.rfind('\n', at);
    r.requests = std::atol(out.c_str() + (begin == std::string::npos ? 0 : begin + 1));
  }
  for (const char* key : {"Socket errors:", "Non-2xx or 3xx responses:"}) {
    at = out.find(key);
    if (at != std::string::npos) r.errors += out.substr(at, out.find('\n', at) - at) + "; ";
  }
  if (r.perSecond <= 0) std::fprintf(stderr, "wrk said:\n%s\n", out.c_str());
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool WaitForListener(std::uint16_t port) {
  for (int i = 0; i < 250; ++i) {
    int fd = RawHttpConnect(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    ::usleep(20000);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  qm::LimitMemoryPools();  // as both programs do
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const bool logEach = argc > 3 && std::string(argv[3]) == "log";

  QuietRecording ui;
  TestEngine e{ProgramKind::Service, &ui};
  const TestDir& dir = e.dir;
  WriteFileBytes(dir / "ResponsePage.htm", "<html><body>#ResponseText#</body></html>\n");
  std::string file4k;
  for (int i = 0; file4k.size() < 4096; ++i) file4k += "line " + std::to_string(i) + "\r\n";
  file4k.resize(4096);
  WriteFileBytes(dir / "temp/file4k.txt", file4k);

  GeneralSettings g = e.settings->GetGeneralSettings();
  g.verbosity = logEach ? 0 : 2;  // everything, or errors only (no line per request)
  e.settings->SetGeneralSettings(g);
  e.main->SetVerbosity(g.verbosity);  // what applying the settings does
  TKomponentModule& module = *e.http;
  module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
  module.IdHTTPServer1.SetActive(true);
  const std::uint16_t ours = module.IdHTTPServer1.ListeningPorts().at(0);

  const std::uint16_t nginxPort = FreeLoopbackPort();
  const std::string n = dir / "nginx";
  ::mkdir(n.c_str(), 0755);
  WriteFileBytes(dir / "nginx/nginx.conf",
                 std::string(::geteuid() == 0 ? "user root root;\n" : "") +  // the store is the owner's only
                     "worker_processes 2;\n"
                     "error_log " + n + "/error.log;\n"
                     "pid " + n + "/nginx.pid;\n"
                     "events { worker_connections 1024; }\n"
                     "http {\n"
                     "  access_log " + (logEach ? n + "/access.log" : std::string("off")) + ";\n"
                     "  sendfile on;\n"
                     "  tcp_nopush on;\n"
                     "  client_body_temp_path " + n + "/body;\n"
                     "  proxy_temp_path " + n + "/proxy;\n"
                     "  fastcgi_temp_path " + n + "/fastcgi;\n"
                     "  uwsgi_temp_path " + n + "/uwsgi;\n"
                     "  scgi_temp_path " + n + "/scgi;\n"
                     "  keepalive_timeout 0;\n"
                     "  default_type text/html;\n"
                     "  server { listen 127.0.0.1:" + std::to_string(nginxPort) + "; root " + dir / "temp" + "; }\n"
                     "}\n");
  qm::process::SpawnOptions options;
  options.argv = {"/usr/sbin/nginx", "-p", n + "/", "-c", n + "/nginx.conf", "-g", "daemon off;"};
  qm::process::Child nginx = qm::process::Spawn(options);
  if (!WaitForListener(nginxPort)) {
    std::fprintf(stderr, "nginx did not start listening on port %u\n", nginxPort);
    return 1;
  }

  // Both serve the same bytes before anything is timed.
  for (std::uint16_t port : {ours, nginxPort}) {
    RawHttpReply r = RawHttpExchange(port, RawHttpGet("/file4k.txt"));
    if (r.body != file4k) {
      std::fprintf(stderr, "port %u did not answer the 4 KiB file\n", port);
      return 1;
    }
  }

  std::printf("4 KiB download, wrk -t%d -c%d, \"Connection: close\", %d rounds of %d s each, alternating, %s\n",
              kWrkThreads, kClients, rounds, seconds,
              logEach ? "a log line per request on both sides" : "no log line per request");
  std::printf("%5s %14s %14s %8s\n", "round", "ours req/s", "nginx req/s", "ratio");
  std::vector<double> oursRates, nginxRates, ratios;
  for (int round = 1; round <= rounds; ++round) {
    // The order flips each round, so neither side always runs first.
    WrkResult a, b;
    if (round % 2) {
      a = RunWrk(ours, seconds);
      b = RunWrk(nginxPort, seconds);
    } else {
      b = RunWrk(nginxPort, seconds);
      a = RunWrk(ours, seconds);
    }
    oursRates.push_back(a.perSecond);
    nginxRates.push_back(b.perSecond);
    ratios.push_back(b.perSecond > 0 ? a.perSecond / b.perSecond : 0);
    std::printf("%5d %14.0f %14.0f %8.2f", round, a.perSecond, b.perSecond, ratios.back());
    if (!a.errors.empty()) std::printf("   ours: %s", a.errors.c_str());
    if (!b.errors.empty()) std::printf("   nginx: %s", b.errors.c_str());
    std::printf("\n");
    std::fflush(stdout);
  }
  const double mo = Median(oursRates), mn = Median(nginxRates);
  std::printf("median %13.0f %14.0f\n", mo, mn);
  std::printf("ratio of the medians (ours / nginx): %.2f   median of the round ratios: %.2f\n", mo / mn,
              Median(ratios));

  nginx.Terminate(std::chrono::seconds(10));
  module.DataModuleDestroy();
  return 0;
}
