// The systemd backend without a running systemd: the unit it writes and the
// systemctl command lines it runs, through a scripted command runner.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TestDir.h"
#include "platform/scm/ServiceControl.h"
#include "platform/scm/ServiceHost.h"

using namespace qm::scm;

namespace {

// Answers commands from a script (joined with blanks); unscripted commands
// succeed with no output. Records every command.
struct FakeSystemctl {
  std::map<std::string, CommandResult> answers;
  std::vector<std::string> calls;
  CommandRunner Runner() {
    return [this](const std::vector<std::string>& argv) {
      std::string line;
      for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
      calls.push_back(line);
      auto it = answers.find(line);
      return it != answers.end() ? it->second : CommandResult{0, ""};
    };
  }
};

const std::string kLoad = "systemctl show --property=LoadState --value QuillmarkService1.service";
const std::string kShow = "systemctl show --property=ActiveState --property=StatusText QuillmarkService1.service";

class SystemdBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    scm = MakeSystemdServiceControl(fake.Runner(), dir.Path() + "units");
    std::filesystem::create_directories(dir.Path() + "units");
    manager = scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
    ASSERT_NE(manager, nullptr);
    fake.calls.clear();
  }
  std::unique_ptr<Service> Installed(const std::string& activeState) {
    fake.answers[kLoad] = {0, "loaded\n"};
    fake.answers[kShow] = {0, "ActiveState=" + activeState + "\nStatusText=\n"};
    auto s = manager->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS, &err);
    fake.calls.clear();
    return s;
  }
  TestDir dir;
  FakeSystemctl fake;
  std::unique_ptr<ServiceControl> scm;
  std::unique_ptr<Manager> manager;
  Error err;
};

TEST(SystemdUnit, TextAndQuoting) {
  ServiceConfig c{"QuillmarkService1", "QuillmarkService1", 0x110, SERVICE_AUTO_START, 1,
                  "/opt/quillmark/QuillmarkService"};
  EXPECT_EQ(SystemdUnitText(c),
            "[Unit]\n"
            "Description=QuillmarkService1\n"
            "\n[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "ExecStart=/opt/quillmark/QuillmarkService\n"
            "Restart=no\n"
            "\n[Install]\n"
            "WantedBy=multi-user.target\n");
  struct {
    std::string in, out;
  } cases[] = {
      {"/opt/quillmark/QuillmarkService", "/opt/quillmark/QuillmarkService"},
      {"/opt/Mein Programm/QuillmarkService", "\"/opt/Mein Programm/QuillmarkService\""},
      {"/opt/100%/QuillmarkService", "\"/opt/100%%/QuillmarkService\""},
      {"/opt/a$b/Q", "\"/opt/a$$b/Q\""},
      {"/opt/a\"b\\c/Q", "\"/opt/a\\\"b\\\\c/Q\""},
      {"/opt/Größe/Q", "/opt/Größe/Q"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.in);
    EXPECT_EQ(SystemdQuote(k.in), k.out);
  }
}

TEST_F(SystemdBackend, CreateWritesTheUnitReloadsAndEnables) {
  fake.answers[kLoad] = {0, "not-found\n"};
  ServiceConfig c{"QuillmarkService1", "QuillmarkService1", 0x110, SERVICE_AUTO_START, 1, "/opt/q/QuillmarkService"};
  ASSERT_NE(manager->CreateService(c, SERVICE_ALL_ACCESS, &err), nullptr) << err.text;
  EXPECT_EQ(ReadFileBytes(dir.Path() + "units/QuillmarkService1.service"), SystemdUnitText(c));
  EXPECT_EQ(fake.calls,
            (std::vector<std::string>{kLoad, "systemctl daemon-reload", "systemctl enable QuillmarkService1.service"}));

  // A second creation finds the unit.
  EXPECT_EQ(manager->CreateService(c, SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_SERVICE_EXISTS);
}

TEST_F(SystemdBackend, FailedEnableRemovesTheUnitAndCarriesSystemctlsText) {
  fake.answers[kLoad] = {0, "not-found\n"};
  fake.answers["systemctl enable QuillmarkService1.service"] = {1, "Failed to enable unit: Access denied\n"};
  ServiceConfig c{"QuillmarkService1", "QuillmarkService1", 0x110, SERVICE_AUTO_START, 1, "/opt/q/QuillmarkService"};
  EXPECT_EQ(manager->CreateService(c, SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.text, "Failed to enable unit: Access denied");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "units/QuillmarkService1.service"));
}

TEST_F(SystemdBackend, OpenNotInstalled) {
  fake.answers[kLoad] = {0, "not-found\n"};
  EXPECT_EQ(manager->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SystemdBackend, StateCodesFromSystemctl) {
  struct {
    std::string show;
    std::uint32_t state;
  } cases[] = {
      {"ActiveState=active\nStatusText=Running\n", SERVICE_RUNNING},
      {"ActiveState=active\nStatusText=Paused\n", SERVICE_PAUSED},
      {"ActiveState=active\nStatusText=Pausing\n", SERVICE_PAUSE_PENDING},
      {"ActiveState=active\nStatusText=Continuing\n", SERVICE_CONTINUE_PENDING},
      {"ActiveState=activating\nStatusText=Starting\n", SERVICE_START_PENDING},
      {"ActiveState=deactivating\nStatusText=\n", SERVICE_STOP_PENDING},
      {"ActiveState=inactive\nStatusText=\n", SERVICE_STOPPED},
      {"ActiveState=failed\nStatusText=Running\n", SERVICE_STOPPED},
  };
  auto s = Installed("active");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.show);
    fake.answers[kShow] = {0, c.show};
    EXPECT_EQ(s->QueryState(&err), c.state);
  }
  fake.answers[kShow] = {1, "Failed to connect to bus\n"};
  EXPECT_EQ(s->QueryState(&err), std::nullopt);
  EXPECT_EQ(err.text, "Failed to connect to bus");
}

TEST_F(SystemdBackend, ControlStartAndStartTypeCommands) {
  auto s = Installed("active");
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->Control(SERVICE_CONTROL_STOP, &err));
  EXPECT_TRUE(s->Control(SERVICE_CONTROL_PAUSE, &err));
  EXPECT_TRUE(s->Control(SERVICE_CONTROL_CONTINUE, &err));
  EXPECT_TRUE(s->ChangeStartType(SERVICE_AUTO_START, &err));
  EXPECT_TRUE(s->ChangeStartType(SERVICE_DEMAND_START, &err));
  EXPECT_EQ(fake.calls, (std::vector<std::string>{
                            kShow, "systemctl stop --no-block QuillmarkService1.service",
                            kShow, "systemctl kill --kill-who=main --signal=SIGUSR1 QuillmarkService1.service",
                            kShow, "systemctl kill --kill-who=main --signal=SIGUSR2 QuillmarkService1.service",
                            "systemctl enable QuillmarkService1.service",
                            "systemctl disable QuillmarkService1.service"}));
  EXPECT_FALSE(s->Start({}, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_ALREADY_RUNNING);

  fake.answers[kShow] = {0, "ActiveState=inactive\n"};
  fake.calls.clear();
  EXPECT_FALSE(s->Control(SERVICE_CONTROL_STOP, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_TRUE(s->Start({}, &err));
  EXPECT_FALSE(s->Start({"arg"}, &err)) << "units take no start arguments";
  EXPECT_EQ(fake.calls, (std::vector<std::string>{kShow, kShow, "systemctl start --no-block QuillmarkService1.service"}));
}

TEST_F(SystemdBackend, DeleteDisablesStopsRemovesAndReloads) {
  WriteFileBytes(dir.Path() + "units/QuillmarkService1.service", "x");
  auto s = Installed("active");
  ASSERT_TRUE(s->Delete(&err)) << err.text;
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "units/QuillmarkService1.service"));
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"systemctl disable QuillmarkService1.service",
                                                  "systemctl stop --no-block QuillmarkService1.service",
                                                  "systemctl daemon-reload"}));
  EXPECT_FALSE(s->Delete(&err));
  EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(SystemdNotify, StateReports) {
  struct {
    std::uint32_t state;
    std::uint32_t waitHint;
    std::string text;
  } cases[] = {
      {SERVICE_START_PENDING, 5000, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=5000000"},
      {SERVICE_RUNNING, 0, "READY=1\nSTATUS=Running"},
      {SERVICE_PAUSE_PENDING, 5000, "STATUS=Pausing"},
      {SERVICE_PAUSED, 0, "STATUS=Paused"},
      {SERVICE_CONTINUE_PENDING, 5000, "STATUS=Continuing"},
      {SERVICE_STOP_PENDING, 5000, "STOPPING=1\nSTATUS=Stopping"},
      {SERVICE_STOPPED, 0, "STOPPING=1\nSTATUS=Stopped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    ServiceStatus st;
    st.currentState = c.state;
    st.waitHint = c.waitHint;
    EXPECT_EQ(SystemdNotifyText(st), c.text);
    // What the service reports reads back as the same state.
    if (c.state != SERVICE_STOPPED && c.state != SERVICE_START_PENDING) {
      std::string status = c.text.substr(c.text.find("STATUS=") + 7);
      EXPECT_EQ(SystemdStateFromShow("ActiveState=active\nStatusText=" + status + "\n"), c.state);
    }
  }
}

}  // namespace
