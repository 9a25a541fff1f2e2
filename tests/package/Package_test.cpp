// The installed package: built by CPack from this build, installed with
// dpkg, and removed again (purged) at the end. The service runs as the
// package's user "quillmark" with the unit's restrictions and answers /make;
// an administrator who is a member of the group "quillmark" runs the
// desktop program and the settings on the same files; a user outside the
// group reads none of them. Needs root and a machine where no quillmark
// package is installed; skips otherwise.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "RawHttp.h"
#include "ServiceTestSupport.h"
#include "TestDir.h"
#include "platform/scm/ServiceControl.h"

namespace fs = std::filesystem;
using qm::scm::CommandResult;
using qm::scm::RunCommand;
using svctest::Child;

namespace {

const std::string kData = "/var/lib/quillmark/";
const std::string kProg = "/opt/quillmark/";
const std::string kAdmin = "qmtest-admin";
const std::string kOther = "qmtest-other";
const std::string kAddress = "anna.mueller@example.org";

CommandResult Sh(const std::string& script) { return RunCommand({"/bin/sh", "-c", script}); }

struct FileInfo {
  bool exists = false;
  std::string owner, group;
  unsigned mode = 0;
};

FileInfo Info(const std::string& path) {
  FileInfo f;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return f;
  f.exists = true;
  if (passwd* pw = ::getpwuid(st.st_uid)) f.owner = pw->pw_name;
  if (group* gr = ::getgrgid(st.st_gid)) f.group = gr->gr_name;
  f.mode = st.st_mode & 07777;
  return f;
}

// The value of a line "Name:\t..." of /proc/<pid>/status.
std::string ProcStatus(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name + ":", 0) == 0) {
      std::string v = line.substr(name.size() + 1);
      return v.substr(v.find_first_not_of(" \t"));
    }
  return {};
}

// The command that runs argv as `user` the way the unit runs the service:
// its own and supplementary groups, no new privileges, no capabilities,
// umask 0007, in its home directory (the service's is the data directory),
// with the demo's ODBC data source.
std::vector<std::string> AsUser(const std::string& user, const std::string& group, const std::string& home,
                                const std::string& command) {
  return {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + group, "--init-groups", "--no-new-privs", "--inh-caps=-all",
          "--bounding-set=-all", "--", "/bin/sh", "-c",
          "umask 0007 && cd " + home + " && exec env HOME=" + home + " ODBCSYSINI=" + kData + " ODBCINI=" + kData +
              "odbc.ini " + command};
}

// Removes what the test installed, whatever happened before.
struct Cleanup {
  ~Cleanup() {
    Sh("dpkg -P quillmark >/dev/null 2>&1; userdel " + kAdmin + " 2>/dev/null; userdel " + kOther +
       " 2>/dev/null; true");
  }
};

}  // namespace

TEST(Package, ServiceAsItsUserAndAdministratorsThroughTheGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (Sh("command -v dpkg && command -v cpack && command -v setpriv && command -v useradd").exitCode != 0)
    GTEST_SKIP() << "dpkg, cpack, setpriv or useradd missing";
  if (Sh("dpkg-query -W -f='${Status}' quillmark 2>/dev/null | grep -q 'ok installed'").exitCode == 0)
    GTEST_SKIP() << "a quillmark package is installed here already";
  if (Sh("getent passwd " + kAdmin + " || getent passwd " + kOther).exitCode == 0)
    GTEST_SKIP() << "the test users exist already";

  TestDir dir;
  Cleanup cleanup;

  // ---- build and install (twice: the maintainer scripts run again) -------
  CommandResult pack = Sh("cd '" + dir.Path() + "' && cpack --config '" QM_BINARY_DIR "/CPackConfig.cmake' -B '" +
                          dir.Path() + "pkg' 2>&1");
  ASSERT_EQ(pack.exitCode, 0) << pack.output;
  std::string deb;
  for (const auto& e : fs::directory_iterator(dir / "pkg"))
    if (e.path().extension() == ".deb") deb = e.path().string();
  ASSERT_FALSE(deb.empty()) << pack.output;
  for (int round = 0; round < 2; ++round) {
    CommandResult install = Sh("dpkg -i '" + deb + "' 2>&1");
    ASSERT_EQ(install.exitCode, 0) << install.output;
  }

  // ---- what the package laid out ----------------------------------------
  EXPECT_EQ(Sh("getent passwd quillmark | cut -d: -f6,7").output, "/var/lib/quillmark:/usr/sbin/nologin\n");
  FileInfo data = Info(kData);
  EXPECT_EQ(data.owner, "quillmark");
  EXPECT_EQ(data.group, "quillmark");
  EXPECT_EQ(data.mode, 02770u);
  for (const std::string& path : {kProg, kProg + "QuillmarkService"}) {
    FileInfo f = Info(path);
    EXPECT_EQ(f.owner, "root") << path;
    EXPECT_EQ(f.mode & 022, 0u) << path;
  }
  EXPECT_EQ(fs::read_symlink(kProg + "quillmark.conf"), "/etc/quillmark/quillmark.conf");
  EXPECT_NE(Sh("dpkg-query -W -f='${Conffiles}' quillmark").output.find("/etc/quillmark/quillmark.conf"),
            std::string::npos);
  const std::string unit = "/lib/systemd/system/QuillmarkService1.service";
  ASSERT_TRUE(fs::exists(unit));
  if (Sh("command -v systemd-analyze").exitCode == 0) {
    CommandResult verify = Sh("systemd-analyze verify " + unit + " 2>&1");
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
  }

  // ---- the demo's files as an administrator puts them there ------------
  const std::uint16_t port = FreeLoopbackPort();
  CommandResult setup = Sh("'" QM_BINARY_DIR "/packaging/qm_demo_setup' " + kData + " " + std::to_string(port) +
                           " && sqlite3 " + kData + "users.db < " + kData + "users.sql && chown -R quillmark:quillmark " +
                           kData + " && chmod -R g+rw,o-rwx " + kData + " && chmod 0600 " + kData + "default.config");
  ASSERT_EQ(setup.exitCode, 0) << setup.output;
  // The service user cannot replace its program.
  EXPECT_NE(Sh("setpriv --reuid=quillmark --regid=quillmark --init-groups -- sh -c ': > " + kProg +
               "QuillmarkService' 2>/dev/null")
                .exitCode,
            0);
  // Settings through the service program as its user: the profile comes out
  // for owner and group.
  CommandResult config = RunCommand(AsUser("quillmark", "quillmark", kData, kProg + "QuillmarkService /CONFIG senderName=Dienst"));
  EXPECT_EQ(config.exitCode, 0) << config.output;
  EXPECT_EQ(Info(kData + "default.config").mode, 0660u);

  // ---- the service as "quillmark" answers /make -------------------------
  {
    ::unsetenv("QM_SCM_SERVICE");
    Child service(AsUser("quillmark", "quillmark", kData, kProg + "QuillmarkService"), dir / "service.txt");
    RawHttpReply make;
    ASSERT_TRUE(svctest::WaitUntil([&] {
      make = RawHttpExchange(port, RawHttpGet("/make?" + kAddress));
      return make.answered;
    })) << ReadFileBytes(dir / "service.txt");
    EXPECT_EQ(make.status, 200);
    EXPECT_EQ(make.body, kAddress + ".txt\nlogo.gif\n") << ReadFileBytes(kData + "signatur.log");
    const std::string uid = std::to_string(::getpwnam("quillmark")->pw_uid);
    EXPECT_EQ(ProcStatus(service.Pid(), "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(ProcStatus(service.Pid(), "CapEff"), "0000000000000000");
    EXPECT_EQ(ProcStatus(service.Pid(), "NoNewPrivs"), "1");
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0) << ReadFileBytes(dir / "service.txt");
  }
  for (const std::string& name : {std::string("signatur.log"), "temp/" + kAddress + ".htm"}) {
    FileInfo f = Info(kData + name);
    EXPECT_EQ(f.owner, "quillmark") << name;
    EXPECT_EQ(f.group, "quillmark") << name;
    EXPECT_EQ(f.mode, 0660u) << name;
  }

  // ---- an administrator in the group, a user outside it ----------------
  ASSERT_EQ(Sh("useradd --no-create-home --shell /usr/sbin/nologin --groups quillmark " + kAdmin +
               " && useradd --no-create-home --shell /usr/sbin/nologin " + kOther)
                .exitCode,
            0);
  const std::string adminHome = dir / "admin";
  const std::string otherHome = dir / "other";
  ASSERT_EQ(Sh("chmod 755 " + dir.Path() + " && install -d -o " + kAdmin + " -m 700 " + adminHome + " && install -d -o " +
               kOther + " -m 700 " + otherHome)
                .exitCode,
            0);
  auto primaryGroup = [](const std::string& user) {
    std::string g = Sh("id -gn " + user).output;
    return g.substr(0, g.find('\n'));
  };
  const std::string adminGroup = primaryGroup(kAdmin);
  const std::string otherGroup = primaryGroup(kOther);

  if (!fs::exists(kProg + "Quillmark")) {
    std::cout << "[   NOTE   ] the package has no desktop program: its part is left out\n";
  } else {
    // The desktop program reads the profile, the program state and the
    // project of the service's files and serves the same signature, which
    // it writes over the service's generated file. (A file that already
    // holds the signature is left alone, so the service's copy is made
    // stale first; it keeps its owner.)
    ASSERT_EQ(Sh("echo stale >> " + kData + "temp/" + kAddress + ".htm").exitCode, 0);
    ASSERT_EQ(Info(kData + "temp/" + kAddress + ".htm").owner, "quillmark");
    Child desktop(AsUser(kAdmin, adminGroup, adminHome,
                         "QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + adminHome + " QM_SCM_BACKEND=local QM_SCM_STATE_DIR=" +
                             adminHome + "/scm " + kProg + "Quillmark"),
                  dir / "desktop.txt");
    RawHttpReply make;
    ASSERT_TRUE(svctest::WaitUntil([&] {
      make = RawHttpExchange(port, RawHttpGet("/make?" + kAddress));
      return make.answered;
    })) << ReadFileBytes(dir / "desktop.txt");
    EXPECT_EQ(make.body, kAddress + ".txt\nlogo.gif\n") << ReadFileBytes(kData + "signatur.log");
    FileInfo htm = Info(kData + "temp/" + kAddress + ".htm");
    EXPECT_EQ(htm.owner, kAdmin);
    EXPECT_EQ(htm.group, "quillmark");
    EXPECT_EQ(htm.mode, 0660u);
    desktop.Signal(SIGTERM);
    desktop.Wait();
  }

  // The member changes the profile through the settings store; the service
  // user sees the change; the file stays for owner and group.
  CommandResult change = RunCommand(AsUser(kAdmin, adminGroup, adminHome, kProg + "QuillmarkService /CONFIG senderName=Admin"));
  EXPECT_EQ(change.exitCode, 0) << change.output;
  FileInfo profile = Info(kData + "default.config");
  EXPECT_EQ(profile.owner, kAdmin);
  EXPECT_EQ(profile.group, "quillmark");
  EXPECT_EQ(profile.mode, 0660u);
  CommandResult seen = RunCommand(AsUser("quillmark", "quillmark", kData, kProg + "QuillmarkService /CONFIG"));
  EXPECT_NE(seen.output.find("\nsenderName=Admin\n"), std::string::npos) << seen.output;

  // Outside the group: no profile to read, and the program says why
  // instead of showing an empty configuration.
  EXPECT_NE(RunCommand({"/usr/bin/setpriv", "--reuid=" + kOther, "--regid=" + otherGroup, "--init-groups", "--", "cat",
                        kData + "default.config"})
                .exitCode,
            0);
  CommandResult outsider = RunCommand(AsUser(kOther, otherGroup, otherHome, kProg + "QuillmarkService /CONFIG"));
  EXPECT_EQ(outsider.exitCode, 1) << outsider.output;
  EXPECT_NE(outsider.output.find("Kein Zugriff auf das Datenverzeichnis /var/lib/quillmark/"), std::string::npos)
      << outsider.output;
  EXPECT_EQ(outsider.output.find("senderName="), std::string::npos) << outsider.output;

  // ---- purge ------------------------------------------------------------
  CommandResult purge = Sh("dpkg -P quillmark 2>&1");
  EXPECT_EQ(purge.exitCode, 0) << purge.output;
  EXPECT_FALSE(fs::exists(kData));
  EXPECT_FALSE(fs::exists("/etc/quillmark"));
}
