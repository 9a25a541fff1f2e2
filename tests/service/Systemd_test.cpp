// The service program with the systemd backend, without a running systemd:
// INSTALL and UNINSTALL against a stand-in systemctl that records its
// command lines (unit directory moved to the test's own), and the program
// run as systemd runs a Type=notify service, its reports read from a
// notification socket of the test's own.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>

#include "RawHttp.h"
#include "ServiceTestSupport.h"
#include "base/UUtils.h"
#include "platform/scm/ServiceControl.h"

using namespace qm::scm;
using svctest::ProgramDir;

namespace {

// A systemctl stand-in: appends its arguments to calls.log; "show
// --property=LoadState" answers from the unit directory.
void WriteFakeSystemctl(const std::string& binDir, const std::string& unitDir) {
  std::filesystem::create_directories(binDir);
  std::ofstream f(binDir + "/systemctl");
  f << "#!/bin/sh\n"
       "echo \"$*\" >> '" << binDir << "/calls.log'\n"
       "if [ \"$1\" = show ] && [ \"$2\" = --property=LoadState ]; then\n"
       "  if [ -e '" << unitDir << "'/\"$4\" ]; then echo loaded; else echo not-found; fi\n"
       "fi\n"
       "exit 0\n";
  f.close();
  std::filesystem::permissions(binDir + "/systemctl", std::filesystem::perms::owner_all);
}

}  // namespace

TEST(ServiceProgramSystemd, InstallWritesTheUnitAndUninstallRemovesIt) {
  ProgramDir p;
  const std::string bin = p.Root() + "bin", units = p.Root() + "units";
  std::filesystem::create_directories(units);
  WriteFakeSystemctl(bin, units);
  const std::string oldPath = ::getenv("PATH") ? ::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  ::setenv("QM_SCM_BACKEND", "systemd", 1);
  ::setenv("QM_SCM_UNIT_DIR", units.c_str(), 1);

  CommandResult first = p.Run({"-install"});
  CommandResult second = p.Run({"/INSTALL", "/SILENT"});
  const std::string unit = ReadFileBytes(units + "/QuillmarkService1.service");
  const std::string installCalls = ReadFileBytes(bin + "/calls.log");
  std::filesystem::remove(bin + "/calls.log");
  CommandResult removed = p.Run({"/uninstall", "/silent"});
  const bool unitGone = !qm::FileExists(units + "/QuillmarkService1.service");
  const std::string uninstallCalls = ReadFileBytes(bin + "/calls.log");

  ::setenv("PATH", oldPath.c_str(), 1);
  ::unsetenv("QM_SCM_UNIT_DIR");
  ::setenv("QM_SCM_BACKEND", "local", 1);

  EXPECT_EQ(first.output, "Service erfolgreich installiert\n");
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(second.output, "Service \"QuillmarkService1\" konnte nicht installiert werden; Fehler: \"" +
                               ErrorText(ERROR_SERVICE_EXISTS) + "\"\n");
  EXPECT_EQ(unit, SystemdUnitText({"QuillmarkService1", "QuillmarkService1", 0x110, SERVICE_AUTO_START,
                                   SERVICE_ERROR_NORMAL, p.Exe()}));
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(installCalls.find("daemon-reload\nenable QuillmarkService1.service\n"), std::string::npos)
      << installCalls;
  EXPECT_EQ(removed.output, "");
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_TRUE(unitGone);
  EXPECT_NE(uninstallCalls.find("disable QuillmarkService1.service\n"), std::string::npos) << uninstallCalls;
}

// Run as systemd runs a Type=notify unit: the state reports arrive on
// $NOTIFY_SOCKET, the controls come as signals (SIGUSR1 pause, SIGUSR2
// continue, SIGTERM stop), and HTTP keeps answering while paused.
TEST(ServiceProgramSystemd, ReportsItsStatesThroughTheNotifySocket) {
  ProgramDir p;
  const std::uint16_t port = FreeLoopbackPort();
  GeneralSettings g;
  g.httpServerActive = true;
  g.httpPort = port;
  svctest::WriteProfile(p.Prog() + "default.config", {}, {}, g);

  const std::string path = p.Root() + "notify";
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{60, 0};  // a bound against hanging only
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto next = [&] {
    char buf[512];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("(nothing)");
  };

  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::unsetenv("QM_SCM_SERVICE");
  svctest::Child service({p.Exe()}, p.Root() + "out.txt");
  ::unsetenv("NOTIFY_SOCKET");
  ASSERT_GT(service.Pid(), 0);

  EXPECT_EQ(next(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=5000000");
  EXPECT_EQ(next(), "READY=1\nSTATUS=Running");
  service.Signal(SIGUSR1);
  EXPECT_EQ(next(), "STATUS=Pausing");
  EXPECT_EQ(next(), "STATUS=Paused");
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?nobody@example.test"));
  EXPECT_TRUE(r.answered);
  EXPECT_EQ(r.status, 200);
  service.Signal(SIGUSR2);
  EXPECT_EQ(next(), "STATUS=Continuing");
  EXPECT_EQ(next(), "READY=1\nSTATUS=Running");
  service.Signal(SIGTERM);
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=Stopped");
  EXPECT_EQ(service.Wait(), 0);
  ::close(fd);
  EXPECT_EQ(ReadFileBytes(p.Root() + "out.txt"), "");
}
