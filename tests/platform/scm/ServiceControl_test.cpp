// The service-control layer's contract, run against every backend that can
// run on this machine (the local backend; systemd's unit text and command
// lines are checked in SystemdBackend_test.cpp), plus the local backend's own
// promises (dead processes, start arguments, records).

#include "platform/scm/ServiceControl.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "TestDir.h"
#include "platform/scm/LocalRecord.h"
#include "platform/scm/ServiceHost.h"

using namespace qm::scm;

namespace {

// Waits (bounded, generously) until the service reports `state`; returns
// the last state seen.
std::uint32_t WaitForState(Service& s, std::uint32_t state) {
  std::uint32_t last = 0;
  for (int i = 0; i < 1000; ++i) {
    last = s.QueryState().value_or(0);
    if (last == state) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return last;
}

struct Backend {
  const char* name;
  std::function<std::unique_ptr<ServiceControl>(const std::string& dir)> make;
};

class ServiceControlContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    scm = GetParam().make(dir.Path() + "state");
    manager = scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
    ASSERT_NE(manager, nullptr) << err.text;
  }
  void TearDown() override {
    // Leave no helper running.
    if (!manager) return;
    if (auto s = manager->OpenService(kName, SERVICE_ALL_ACCESS)) {
      s->Control(SERVICE_CONTROL_STOP);
      WaitForState(*s, SERVICE_STOPPED);
      s->Delete();
    }
  }
  std::unique_ptr<Service> CreateHelper(std::uint32_t startType = SERVICE_DEMAND_START) {
    ServiceConfig c{kName, kName, SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, startType,
                    SERVICE_ERROR_NORMAL, QM_SERVICE_HELPER};
    return manager->CreateService(c, SERVICE_ALL_ACCESS, &err);
  }
  static constexpr const char* kName = "QmContractService";
  TestDir dir;
  std::unique_ptr<ServiceControl> scm;
  std::unique_ptr<Manager> manager;
  Error err;
};

TEST_P(ServiceControlContract, ManagerOpensOnlyTheLocalActiveDatabase) {
  EXPECT_EQ(scm->OpenManager("otherhost", "", SC_MANAGER_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(scm->OpenManager("", "ServicesActive2", SC_MANAGER_ALL_ACCESS, &err), nullptr);
}

TEST_P(ServiceControlContract, MissingServiceIsNotInstalled) {
  EXPECT_EQ(manager->OpenService(kName, SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(err.text, "Der angegebene Dienst ist kein installierter Dienst.");
  for (const char* bad : {"", "..", "a/b"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(manager->OpenService(bad, SERVICE_ALL_ACCESS, &err), nullptr);
    EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
  }
}

TEST_P(ServiceControlContract, CreateOpenConfigureDelete) {
  auto created = CreateHelper();
  ASSERT_NE(created, nullptr) << err.text;
  auto config = created->QueryConfig(&err);
  ASSERT_TRUE(config) << err.text;
  EXPECT_EQ(config->binaryPath, QM_SERVICE_HELPER);
  EXPECT_EQ(config->startType, SERVICE_DEMAND_START);
  EXPECT_EQ(config->serviceType, 0x110u);

  // A second creation fails with the system's text and changes nothing.
  EXPECT_EQ(CreateHelper(SERVICE_AUTO_START), nullptr);
  EXPECT_EQ(err.code, ERROR_SERVICE_EXISTS);
  EXPECT_EQ(err.text, "Der angegebene Dienst ist bereits vorhanden.");

  auto opened = manager->OpenService(kName, SERVICE_ALL_ACCESS, &err);
  ASSERT_NE(opened, nullptr) << err.text;
  EXPECT_EQ(opened->QueryConfig()->startType, SERVICE_DEMAND_START);
  EXPECT_EQ(opened->QueryState(), SERVICE_STOPPED);
  EXPECT_TRUE(opened->ChangeStartType(SERVICE_NO_CHANGE, &err));
  EXPECT_TRUE(opened->ChangeStartType(SERVICE_AUTO_START, &err)) << err.text;
  auto after = opened->QueryConfig();
  EXPECT_EQ(after->startType, SERVICE_AUTO_START);
  EXPECT_EQ(after->serviceType, 0x110u) << "only the start type changes";
  EXPECT_EQ(after->errorControl, SERVICE_ERROR_NORMAL);

  EXPECT_FALSE(opened->Control(SERVICE_CONTROL_STOP, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_NOT_ACTIVE);

  EXPECT_TRUE(opened->Delete(&err)) << err.text;
  EXPECT_EQ(manager->OpenService(kName, SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(opened->Delete(&err));
  EXPECT_EQ(err.code, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_P(ServiceControlContract, StartPauseContinueStop) {
  auto s = CreateHelper();
  ASSERT_NE(s, nullptr) << err.text;
  ASSERT_TRUE(s->Start({}, &err)) << err.text;
  ASSERT_EQ(WaitForState(*s, SERVICE_RUNNING), SERVICE_RUNNING);
  EXPECT_FALSE(s->Start({}, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_TRUE(s->Control(SERVICE_CONTROL_INTERROGATE, &err)) << err.text;

  ASSERT_TRUE(s->Control(SERVICE_CONTROL_PAUSE, &err)) << err.text;
  EXPECT_EQ(WaitForState(*s, SERVICE_PAUSED), SERVICE_PAUSED);
  ASSERT_TRUE(s->Control(SERVICE_CONTROL_CONTINUE, &err)) << err.text;
  EXPECT_EQ(WaitForState(*s, SERVICE_RUNNING), SERVICE_RUNNING);
  EXPECT_FALSE(s->Control(99, &err));
  EXPECT_EQ(err.code, ERROR_INVALID_SERVICE_CONTROL);

  ASSERT_TRUE(s->Control(SERVICE_CONTROL_STOP, &err)) << err.text;
  EXPECT_EQ(WaitForState(*s, SERVICE_STOPPED), SERVICE_STOPPED);
  EXPECT_FALSE(s->Control(SERVICE_CONTROL_STOP, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_NOT_ACTIVE);

  // It can be started again after a stop.
  ASSERT_TRUE(s->Start({}, &err)) << err.text;
  EXPECT_EQ(WaitForState(*s, SERVICE_RUNNING), SERVICE_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServiceControlContract,
                         ::testing::Values(Backend{"local", [](const std::string& d) {
                                                     return MakeLocalServiceControl(d);
                                                   }}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the local backend's own promises --------------------------------------

class LocalBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    scm = MakeLocalServiceControl(stateDir);
    manager = scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err);
    ASSERT_NE(manager, nullptr);
  }
  void TearDown() override {
    if (auto s = manager->OpenService("QmLocal", SERVICE_ALL_ACCESS)) {
      s->Control(SERVICE_CONTROL_STOP);
      WaitForState(*s, SERVICE_STOPPED);
    }
  }
  std::unique_ptr<Service> Create(const std::string& binary) {
    return manager->CreateService({"QmLocal", "QmLocal", 0x10, SERVICE_DEMAND_START, 1, binary}, SERVICE_ALL_ACCESS,
                                  &err);
  }
  TestDir dir;
  std::string stateDir = dir.Path() + "var/lib/quillmark";
  std::unique_ptr<ServiceControl> scm;
  std::unique_ptr<Manager> manager;
  Error err;
};

TEST_F(LocalBackend, KilledServiceReadsAsStoppedAndCanStartAgain) {
  auto s = Create(QM_SERVICE_HELPER);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(s->Start({"eins", "zwei drei"}, &err)) << err.text;
  ASSERT_EQ(WaitForState(*s, SERVICE_RUNNING), SERVICE_RUNNING);
  auto record = local::ReadState(stateDir, "QmLocal");
  ASSERT_TRUE(record);
  ASSERT_GT(record->pid, 0);
  ASSERT_EQ(::kill(static_cast<pid_t>(record->pid), SIGKILL), 0);
  EXPECT_EQ(WaitForState(*s, SERVICE_STOPPED), SERVICE_STOPPED);
  EXPECT_EQ(local::ReadState(stateDir, "QmLocal")->state, SERVICE_RUNNING) << "the record itself was never updated";
  EXPECT_FALSE(s->Control(SERVICE_CONTROL_STOP, &err));
  EXPECT_EQ(err.code, ERROR_SERVICE_NOT_ACTIVE);
  // The start arguments reached the main routine after the service name.
  std::string out = ReadFileBytes(stateDir + "/QmLocal.out");
  EXPECT_EQ(out, "QmLocal\neins\nzwei drei\n");
  ASSERT_TRUE(s->Start({}, &err)) << err.text;
  EXPECT_EQ(WaitForState(*s, SERVICE_RUNNING), SERVICE_RUNNING);
}

TEST_F(LocalBackend, StateDirectoryIsMadeByTheFirstCreation) {
  EXPECT_FALSE(std::filesystem::exists(stateDir)) << "connecting and asking leave no trace";
  EXPECT_EQ(manager->OpenService("QmLocal", SERVICE_ALL_ACCESS, &err), nullptr);
  ASSERT_NE(Create(QM_SERVICE_HELPER), nullptr) << err.text;
  EXPECT_TRUE(std::filesystem::exists(stateDir + "/QmLocal.service"));
}

TEST_F(LocalBackend, StartFailuresCarryTheSystemText) {
  auto s = Create(dir.Path() + "no-such-program");
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->Start({}, &err));
  EXPECT_EQ(err.text, "No such file or directory");
  EXPECT_EQ(s->QueryState(), SERVICE_STOPPED);
  EXPECT_EQ(manager->CreateService({"QmRel", "QmRel", 0x10, 3, 1, "relative/path"}, SERVICE_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_INVALID_PARAMETER);
}

TEST_F(LocalBackend, ProgramNotStartedByAManagerCannotDispatch) {
  ::unsetenv(kLocalServiceEnv);
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(RunServiceDispatcher("QmLocal", [](const std::vector<std::string>&) {}, &err));
  EXPECT_EQ(err.code, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandler("QmLocal", [](std::uint32_t) {}, &err), nullptr);
}

TEST_F(LocalBackend, ReadOnlyStateDirectoryRefusesChanges) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
  std::filesystem::create_directories(stateDir);
  ::chmod(stateDir.c_str(), 0555);
  EXPECT_EQ(scm->OpenManager("", "", SC_MANAGER_ALL_ACCESS, &err), nullptr);
  EXPECT_EQ(err.code, ERROR_ACCESS_DENIED);
  EXPECT_NE(scm->OpenManager("", "", SC_MANAGER_CONNECT, &err), nullptr);
  ::chmod(stateDir.c_str(), 0755);
}

}  // namespace
