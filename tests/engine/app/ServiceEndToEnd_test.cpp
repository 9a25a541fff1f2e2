// The desktop's service steps against the local backend with a real service
// process: the test service program stands in for QuillmarkService in the
// program directory.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "servicecontrol/UServiceManager.h"
#include "platform/scm/ServiceHost.h"

using namespace qm::scm;
namespace fs = std::filesystem;

namespace {

class ServiceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    // The installing process finds the same backend through the environment.
    ::setenv(kLocalStateDirEnv, stateDir.c_str(), 1);
    ::setenv("QM_SCM_BACKEND", "local", 1);
    fs::copy_file(QM_SERVICE_HELPER, dir.Path() + "QuillmarkService");
    scm = MakeLocalServiceControl(stateDir);
    hooks.scm = scm.get();
    // The 2 s pause after starting the installer lets it finish; here the
    // pause ends as soon as the service is registered (bounded).
    hooks.sleep = [this](unsigned ms) {
      sleeps.push_back(ms);
      if (ms != kInstallPauseMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
      }
      for (int i = 0; i < 500 && !Open(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
  }
  void TearDown() override {
    if (auto s = Open()) {
      s->Control(SERVICE_CONTROL_STOP);
      WaitFor(*s, SERVICE_STOPPED);
      s->Delete();
    }
    ::unsetenv(kLocalStateDirEnv);
    ::unsetenv("QM_SCM_BACKEND");
    ClearState();
  }
  std::unique_ptr<Service> Open() {
    auto m = scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS);
    return m ? m->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS) : nullptr;
  }
  static std::uint32_t WaitFor(Service& s, std::uint32_t state) {
    std::uint32_t last = 0;
    for (int i = 0; i < 1000 && (last = s.QueryState().value_or(0)) != state; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return last;
  }

  TestDir dir;
  std::string stateDir = dir.Path() + "scm";
  std::unique_ptr<ServiceControl> scm;
  ServiceControlHooks hooks;
  std::vector<unsigned> sleeps;
};

TEST_F(ServiceEndToEnd, HandOverInstallsAndStartsThenStartUpStopsIt) {
  ASSERT_EQ(Open(), nullptr) << "not installed at first";

  // Closing with "service" = "true": installed by "QuillmarkService /INSTALL",
  // set to automatic start, started.
  HandOverToService(dir.Path(), hooks);
  auto s = Open();
  ASSERT_NE(s, nullptr) << "the installer registered the service";
  auto config = s->QueryConfig();
  EXPECT_EQ(config->startType, SERVICE_AUTO_START);
  EXPECT_EQ(config->serviceType, 0x110u);
  EXPECT_EQ(fs::canonical(config->binaryPath), fs::canonical(dir.Path() + "QuillmarkService"));
  ASSERT_EQ(WaitFor(*s, SERVICE_RUNNING), SERVICE_RUNNING);

  // The next start-up of the desktop program stops it within the wait and
  // then holds the instance lock.
  RecordingUserInterface ui;
  TForm_main form(dir.Path(), ui);
  form.SetServiceControlHooks(hooks);
  sleeps.clear();
  form.FormCreate();
  EXPECT_EQ(s->QueryState(), SERVICE_STOPPED) << "stopped before the start-up went on";
  EXPECT_LT(sleeps.size(), 26u) << "the wait ended when the service reported stopped";
  EXPECT_NE(form.InstanceMutex, nullptr);
  bool logged = false;
  for (const auto& l : ui.LogLines()) logged = logged || l.find(": Service beendet.") != std::string::npos;
  EXPECT_TRUE(logged);

  // Set back to manual start; closing with "service" = "true" makes it
  // automatic again and starts it, without installing a second time.
  ASSERT_TRUE(s->ChangeStartType(SERVICE_DEMAND_START));
  SetStateValue("service", "true");
  ASSERT_TRUE(form.FormCloseQuery());
  EXPECT_EQ(s->QueryConfig()->startType, SERVICE_AUTO_START);
  EXPECT_EQ(WaitFor(*s, SERVICE_RUNNING), SERVICE_RUNNING);
}

}  // namespace
