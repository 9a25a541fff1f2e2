// The desktop program's closing hands over to the real service program under
// the local backend: the service must be able to serve HTTP on the port the
// desktop program served, and says so in signatur.log when it cannot.

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "ServiceTestSupport.h"
#include "app/Engine.h"
#include "base/UProgState.h"
#include "base/UUtils.h"
#include "servicecontrol/UServiceManager.h"

using namespace qm::scm;
using svctest::ProgramDir;
using svctest::WaitUntil;

namespace {

// A profile that serves HTTP on `port` with mail polling off.
void PrepareHttpProfile(const ProgramDir& p, std::uint16_t port) {
  GeneralSettings g;
  g.httpServerActive = true;
  g.httpPort = port;
  g.sendAs = "body";
  svctest::WriteProfile(p.Prog() + "default.config", {}, {}, g);
  ClearState();
  SetStateValue("profileName", "default");
  qm::SetProgramDirectory(p.Prog());
  SaveState();
}

bool Answers(std::uint16_t port) {
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?nobody@example.test"));
  return r.answered && r.status == 200;
}

std::string FailureLine(std::uint16_t port) { return "HTTP-Server: Port " + std::to_string(port) + " konnte nicht"; }

}  // namespace

// The service is installed and started while the desktop program is still
// closing; it has its engine (and its HTTP server) before it reports
// running. Only after that does the desktop program end, so a port still
// held at the hand-over would stay with the ended program.
TEST(HandOver, ServiceServesTheHttpPortAfterTheDesktopProgramCloses) {
  ProgramDir p;
  const std::uint16_t port = FreeLoopbackPort();
  PrepareHttpProfile(p, port);
  auto scm = MakeLocalServiceControl(p.State());
  {
    RecordingUserInterface ui;
    qm::Engine desktop(p.Prog(), ui, ProgramKind::Desktop);
    ASSERT_TRUE(Answers(port)) << "the desktop program serves first";

    // The installer is started for real; the pause after it (2 s, meant for
    // the installer to finish) ends here when the installer has ended.
    std::optional<svctest::Child> installer;
    ServiceControlHooks hooks;
    hooks.scm = scm.get();
    hooks.launch = [&](const std::vector<std::string>& argv) {
      installer.emplace(argv, p.Root() + "installer.txt");
      return installer->Pid() > 0;
    };
    hooks.sleep = [&](unsigned) {
      if (installer) installer->Wait();
    };
    desktop.Main().SetServiceControlHooks(hooks);
    SetStateValue("service", "true");
    ASSERT_TRUE(desktop.Main().FormCloseQuery());

    auto service = scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS)->OpenService(kServiceName, SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr) << "installed by the hand-over";
    ASSERT_TRUE(WaitUntil([&] { return service->QueryState().value_or(0) == SERVICE_RUNNING; }));
    ASSERT_TRUE(installer) << "the service was not installed yet";
    EXPECT_EQ(installer->Wait(), 0) << ReadFileBytes(p.Root() + "installer.txt");
  }
  // The service had its engine before it reported running: a port it could
  // not open is in the log by now.
  ASSERT_EQ(ReadFileBytes(p.Prog() + "signatur.log").find(FailureLine(port)), std::string::npos)
      << ReadFileBytes(p.Prog() + "signatur.log");
  EXPECT_TRUE(WaitUntil([&] { return Answers(port); }));
  ClearState();
}

// A service whose port is taken goes on without HTTP and writes why into
// signatur.log, the only place an administrator of a service looks.
TEST(HandOver, ServiceThatCannotListenNamesThePortInItsLog) {
  ProgramDir p;
  std::uint16_t port = 0;
  const int taken = ListenLoopback(port);
  ASSERT_GE(taken, 0);
  PrepareHttpProfile(p, port);
  ::unsetenv("QM_SCM_SERVICE");
  svctest::Child child({p.Exe()}, p.Root() + "out.txt");
  ASSERT_GT(child.Pid(), 0);
  const std::string log = p.Prog() + "signatur.log";
  EXPECT_TRUE(WaitUntil([&] {
    return qm::FileExists(log) && ReadFileBytes(log).find(FailureLine(port)) != std::string::npos;
  })) << (qm::FileExists(log) ? ReadFileBytes(log) : "no signatur.log");
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(), 0);
  ::close(taken);
  ClearState();
}
