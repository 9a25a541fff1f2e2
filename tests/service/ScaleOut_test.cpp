// Two service programs behind a private nginx with the shipped upstream
// configuration (packaging/nginx/quillmark.conf): each is a demo
// installation of its own (its own data directory, database and port), the
// second with polling switched off through /CONFIG. /make for many users and
// the download of each user's files go through nginx; every file must come
// from the instance that made it, and both instances must have made some.
//
// Every client call has a short time-out, and every process is killed at the
// end of the test, so that a fault shows as a failure instead of a hang.

#include <gtest/gtest.h>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/Timespan.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "ServiceTestSupport.h"
#include "TestDir.h"
#include "TestSupport.h"
#include "base/UUtils.h"
#include "platform/scm/ServiceControl.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNginx = "/usr/sbin/nginx";

struct Reply {
  int status = 0;  // 0: no answer within the time-out
  std::string body;
};

// One GET on a connection of its own, at most 5 s for each step.
Reply Get(std::uint16_t port, const std::string& target) {
  try {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(5, 0));
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, target, Poco::Net::HTTPMessage::HTTP_1_1);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    Reply r;
    Poco::StreamCopier::copyToString(in, r.body);
    r.status = response.getStatus();
    return r;
  } catch (const Poco::Exception&) {
    return {};
  }
}

bool AnswersWithin(std::uint16_t port, std::chrono::seconds limit) {
  return Eventually([&] { return Get(port, "/logo.gif").status == 200; }, limit);
}

// One demo installation serving HTTP on `port`.
struct Instance {
  std::string dir;  // with '/'
  std::uint16_t port = 0;
  std::unique_ptr<svctest::Child> process;

  std::string Stored(const std::string& name) const { return dir + "temp/" + name; }
};

}  // namespace

TEST(ScaleOut, TwoInstancesBehindNginxServeEachUserFromTheInstanceThatMadeTheFiles) {
  if (!fs::exists(kNginx)) GTEST_SKIP() << "nginx is not installed";
  TestDir dir;
  const std::string root = fs::canonical(dir.Path()).string() + "/";

  Instance instances[2];
  for (int i = 0; i < 2; ++i) {
    Instance& in = instances[i];
    in.dir = root + "instance" + std::to_string(i + 1) + "/";
    in.port = FreeLoopbackPort();
    qm::scm::CommandResult layout =
        qm::scm::RunCommand({QM_SOURCE_DIR "/scripts/demo-layout", QM_BINARY_DIR, in.dir, std::to_string(in.port)});
    ASSERT_EQ(layout.exitCode, 0) << layout.output;
  }
  // The first instance polls the mailbox, every other one does not.
  for (int i = 0; i < 2; ++i) {
    const std::string flag = i == 0 ? "yes" : "no";
    qm::scm::CommandResult set =
        qm::scm::RunCommand({instances[i].dir + "QuillmarkService", "/CONFIG", "timerEnabled=" + flag});
    ASSERT_EQ(set.exitCode, 0) << set.output;
    qm::scm::CommandResult shown = qm::scm::RunCommand({instances[i].dir + "QuillmarkService", "/CONFIG"});
    EXPECT_NE(shown.output.find("timerEnabled=" + flag + "\n"), std::string::npos) << shown.output;
  }

  ::unsetenv("QM_SCM_SERVICE");
  for (Instance& in : instances) {
    // The environment the run script exports for the service program.
    ::setenv("ODBCSYSINI", in.dir.c_str(), 1);
    ::setenv("ODBCINI", (in.dir + "odbc.ini").c_str(), 1);
    in.process = std::make_unique<svctest::Child>(std::vector<std::string>{in.dir + "QuillmarkService"},
                                                  in.dir + "out.txt");
    ASSERT_GT(in.process->Pid(), 0);
  }
  ::unsetenv("ODBCSYSINI");
  ::unsetenv("ODBCINI");

  // nginx in the foreground, one process, everything below the test
  // directory; the shipped upstream block with this test's ports.
  const std::string ngx = root + "nginx/";
  fs::create_directories(ngx + "temp");
  const std::uint16_t front = FreeLoopbackPort();
  std::string upstream = ReadFileBytes(QM_SOURCE_DIR "/packaging/nginx/quillmark.conf");
  for (auto [from, to] : {std::pair<std::string, std::string>{"server 127.0.0.1:8081;", "server 127.0.0.1:" +
                                                                                            std::to_string(instances[0].port) + ";"},
                          {"server 127.0.0.1:8082;", "server 127.0.0.1:" + std::to_string(instances[1].port) + ";"},
                          {"listen 80;", "listen 127.0.0.1:" + std::to_string(front) + ";"}}) {
    ASSERT_NE(upstream.find(from), std::string::npos) << from;
    upstream = qm::ReplaceAll(upstream, from, to);
  }
  WriteFileBytes(ngx + "nginx.conf",
                 "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + ngx + "nginx.pid;\nerror_log " + ngx +
                     "error.log;\nevents { worker_connections 64; }\nhttp {\n"
                     "  log_format route '$request_uri $upstream_addr $status';\n"
                     "  access_log " + ngx + "access.log route;\n"
                     "  client_body_temp_path " + ngx + "temp/body;\n  proxy_temp_path " + ngx + "temp/proxy;\n"
                     "  fastcgi_temp_path " + ngx + "temp/fastcgi;\n  uwsgi_temp_path " + ngx + "temp/uwsgi;\n"
                     "  scgi_temp_path " + ngx + "temp/scgi;\n" + upstream + "}\n");
  svctest::Child nginx({kNginx, "-p", ngx, "-e", ngx + "error.log", "-c", ngx + "nginx.conf"}, ngx + "out.txt");
  ASSERT_GT(nginx.Pid(), 0);

  for (const Instance& in : instances)
    ASSERT_TRUE(AnswersWithin(in.port, std::chrono::seconds(10))) << ReadFileBytes(in.dir + "out.txt");
  ASSERT_TRUE(AnswersWithin(front, std::chrono::seconds(10)))
      << ReadFileBytes(ngx + "out.txt") << ReadFileBytes(ngx + "error.log");

  // Twenty users spread over the sample table, with their names.
  const std::string sql = ReadFileBytes(instances[0].dir + "users.sql");
  const std::regex row(R"(INSERT INTO users VALUES \('([^']+)', '([^']+)', '([^']+)')");
  struct User {
    std::string mail, name;
  };
  std::vector<User> users;
  int n = 0;
  for (auto it = std::sregex_iterator(sql.begin(), sql.end(), row); it != std::sregex_iterator(); ++it, ++n)
    if (n % 50 == 7) users.push_back({(*it)[1], (*it)[2].str() + " " + (*it)[3].str()});
  ASSERT_EQ(users.size(), 20u);

  int made[2] = {0, 0};
  for (std::size_t u = 0; u < users.size(); ++u) {
    const User& user = users[u];
    SCOPED_TRACE(user.mail);
    // Every third request spells the "@" as %40, as a URL encoder would.
    const std::string query = u % 3 == 2 ? qm::ReplaceAll(user.mail, "@", "%40") : user.mail;
    const Reply make = Get(front, "/make?" + query);
    ASSERT_EQ(make.status, 200);
    ASSERT_EQ(make.body, user.mail + ".txt\nlogo.gif\n");

    // The files lie on exactly one instance: the one that made them.
    int owner = -1;
    for (int i = 0; i < 2; ++i)
      if (fs::exists(instances[i].Stored(user.mail + ".htm"))) {
        EXPECT_EQ(owner, -1) << "made on both instances";
        owner = i;
      }
    ASSERT_NE(owner, -1);
    ++made[owner];

    for (const std::string ext : {".htm", ".txt"}) {
      const Reply file = Get(front, "/" + user.mail + ext);
      EXPECT_EQ(file.status, 200) << ext;
      EXPECT_EQ(file.body, ReadFileBytes(instances[owner].Stored(user.mail + ext))) << ext;
    }
    EXPECT_NE(Get(front, "/" + user.mail + ".htm").body.find("<b>" + user.name + "</b>"), std::string::npos);
  }
  const Reply logo = Get(front, "/logo.gif");
  EXPECT_EQ(logo.status, 200);
  EXPECT_EQ(logo.body, ReadFileBytes(instances[0].Stored("logo.gif")));

  EXPECT_GT(made[0], 0) << ReadFileBytes(ngx + "access.log");
  EXPECT_GT(made[1], 0) << ReadFileBytes(ngx + "access.log");
  for (const Instance& in : instances)
    EXPECT_EQ(ReadFileBytes(in.dir + "signatur.log").find("Fehler"), std::string::npos)
        << ReadFileBytes(in.dir + "signatur.log");
}
