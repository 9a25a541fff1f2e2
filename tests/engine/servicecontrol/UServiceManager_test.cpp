// StopRunningService and HandOverToService over a scripted backend: which
// calls they make, how long they wait, what they log.

#include "servicecontrol/UServiceManager.h"

#include <gtest/gtest.h>

#include "FakeServiceControl.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/ULog.h"
#include "base/UProgState.h"

using namespace qm::scm;

namespace {

class ServiceSteps : public ::testing::Test {
 protected:
  void SetUp() override { SetCurrentLog(&log); }
  void TearDown() override { SetCurrentLog(nullptr); }
  ServiceControlHooks Hooks() {
    ServiceControlHooks h;
    h.scm = &fake;
    h.sleep = [this](unsigned ms) { sleeps.push_back(ms); };
    h.launch = [this](const std::vector<std::string>& argv) {
      launches.push_back(argv);
      if (installOnLaunch) fake.installed = true;
      return true;
    };
    return h;
  }
  int ServiceBeendetLines() {
    int n = 0;
    for (const auto& l : ui.LogLines())
      if (l.size() >= 18 && l.substr(l.size() - 18) == ": Service beendet.") ++n;
    return n;
  }
  TestDir dir;
  RecordingUserInterface ui;
  TEventLog log{dir.Path(), &ui};
  FakeServiceControl fake;
  std::vector<unsigned> sleeps;
  std::vector<std::vector<std::string>> launches;
  bool installOnLaunch = true;
};

TEST_F(ServiceSteps, StopRunningServiceWaitsOnlyWhileTheServiceRuns) {
  struct {
    const char* what;
    bool reachable, installed;
    std::deque<std::uint32_t> states;
    int logged, sleeps, queries;
  } cases[] = {
      {"no manager", false, false, {}, 0, 0, 0},
      // A failed state question counts as stopped: no wait.
      {"not installed", true, false, {}, 1, 0, 26},
      {"installed, stopped", true, true, {SERVICE_STOPPED}, 1, 0, 26},
      {"stops after three answers", true, true, {4, 3, 3, 1}, 1, 3, 26},
      {"never stops", true, true, {SERVICE_RUNNING}, 1, 26, 26},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake = FakeServiceControl{};
    fake.managerReachable = c.reachable;
    fake.installed = c.installed;
    fake.states = c.states;
    sleeps.clear();
    int before = ServiceBeendetLines();
    StopRunningService(Hooks());
    EXPECT_EQ(ServiceBeendetLines() - before, c.logged);
    EXPECT_EQ(sleeps, std::vector<unsigned>(c.sleeps, 500u));
    EXPECT_EQ(fake.Count("query"), c.installed ? c.queries : 0);
    if (c.reachable) {
      EXPECT_EQ(fake.Count("open QuillmarkService1"), 1);
      EXPECT_EQ(fake.Count("control 1"), c.installed ? 1 : 0) << "stop sent whatever the selection gave";
    }
  }
}

TEST_F(ServiceSteps, ServiceBeendetReachesTheLogFileAtStartUpVerbosity) {
  // Information passes only at verbosity 0, which is what the controller
  // has while it stops the service.
  log.SetVerbosity(0);
  fake.installed = true;
  fake.states = {SERVICE_RUNNING, SERVICE_STOPPED};
  StopRunningService(Hooks());
  EXPECT_EQ(ServiceBeendetLines(), 1);
  EXPECT_NE(ReadFileBytes(dir / "signatur.log").find(": Service beendet.\r\n"), std::string::npos);
}

TEST_F(ServiceSteps, HandOverInstallsWhenMissingThenSetsAutomaticAndStarts) {
  struct {
    const char* what;
    bool reachable, installed, installOnLaunch;
    int launches;
    std::vector<std::string> tail;  // the calls after the 2 s pause
  } cases[] = {
      {"no manager", false, false, true, 0, {"connect"}},
      {"not installed", true, false, true, 1, {"connect", "open QuillmarkService1", "starttype 2", "start", "close"}},
      {"installed, manual start", true, true, true, 0,
       {"connect", "open QuillmarkService1", "starttype 2", "start", "close"}},
      {"installation fails", true, false, false, 1, {"connect", "open QuillmarkService1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake = FakeServiceControl{};
    fake.managerReachable = c.reachable;
    fake.installed = c.installed;
    installOnLaunch = c.installOnLaunch;
    sleeps.clear();
    launches.clear();
    std::size_t callsBeforePause = 0;
    ServiceControlHooks h = Hooks();
    h.sleep = [&](unsigned ms) {
      sleeps.push_back(ms);
      callsBeforePause = fake.calls.size();
    };
    HandOverToService("/opt/quillmark", h);
    EXPECT_EQ(sleeps, std::vector<unsigned>{2000});
    ASSERT_EQ(launches.size(), static_cast<std::size_t>(c.launches));
    if (c.launches) {
      EXPECT_EQ(launches[0], (std::vector<std::string>{"/opt/quillmark/QuillmarkService", "/INSTALL"}));
    }
    std::vector<std::string> tail(fake.calls.begin() + static_cast<long>(callsBeforePause), fake.calls.end());
    EXPECT_EQ(tail, c.tail);
    if (c.reachable && c.installed) {
      EXPECT_EQ(fake.startType, SERVICE_AUTO_START);
    }
  }
}

TEST_F(ServiceSteps, ManagerOperationsWithoutConnectionOrSelection) {
  TServiceManager sm(fake);
  EXPECT_FALSE(sm.SelectService("QuillmarkService1")) << "not connected";
  EXPECT_FALSE(sm.Start());
  EXPECT_FALSE(sm.SetAutoStart());
  EXPECT_EQ(sm.QueryState(), 0u);
  EXPECT_TRUE(sm.IsStopped());
  EXPECT_FALSE(sm.SendStop());
  EXPECT_EQ(ServiceBeendetLines(), 1) << "logged even without a service";
  fake.installed = true;
  ASSERT_TRUE(sm.Connect());
  ASSERT_TRUE(sm.SelectService("QuillmarkService1"));
  EXPECT_EQ(sm.QueryState(), SERVICE_STOPPED);
  EXPECT_TRUE(sm.StartWithArgs(1, "-debug"));
  EXPECT_EQ(fake.calls.back(), "start -debug");
  EXPECT_EQ(sm.QueryState(), SERVICE_RUNNING);
  EXPECT_FALSE(sm.IsStopped());
  sm.Disconnect();
  EXPECT_EQ(sm.QueryState(), 0u);
}

}  // namespace

namespace {

// Puts the process's default hooks back when the test ends, however it ends.
struct RestoreDefaultHooks {
  ServiceControlHooks saved = DefaultServiceControlHooks();
  ~RestoreDefaultHooks() { SetDefaultServiceControlHooks(saved); }
};

}  // namespace

// The process's default hooks reach the steps called without hooks, a
// manager made without a backend, and controllers created after they are
// set; hooks set on a controller replace them.
TEST_F(ServiceSteps, DefaultHooksReachEveryStepThatIsGivenNone) {
  RestoreDefaultHooks restore;
  SetDefaultServiceControlHooks(Hooks());
  fake.installed = true;
  fake.states = {SERVICE_RUNNING, SERVICE_STOPPED};

  StopRunningService();
  EXPECT_EQ(fake.Count("control 1"), 1);
  EXPECT_EQ(sleeps, std::vector<unsigned>{kStopQueryPauseMs});

  HandOverToService("/opt/quillmark");
  EXPECT_EQ(fake.Count("start"), 1);
  EXPECT_TRUE(launches.empty()) << "installed: nothing to launch";

  TServiceManager sm;
  EXPECT_TRUE(sm.Connect());
  EXPECT_EQ(fake.Count("connect"), 4);

  RecordingUserInterface other;
  TForm_main form(dir.Path(), other, ProgramKind::Service);
  EXPECT_EQ(form.ServiceHooks().scm, &fake);
  FakeServiceControl own;
  ServiceControlHooks ownHooks = Hooks();
  ownHooks.scm = &own;
  form.SetServiceControlHooks(ownHooks);
  SetStateValue("service", "true");
  form.FormCloseQuery();
  ClearState();
  EXPECT_EQ(own.Count("connect"), 2) << "the controller's own hooks";
  EXPECT_EQ(fake.Count("connect"), 4) << "the default is not used";
}
