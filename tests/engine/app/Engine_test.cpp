#include "app/Engine.h"

#include <gtest/gtest.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "directory/UDBUtil.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"
#include "app/infoForm.h"
#include "mail/UMailTools.h"
#include "platform/instance/InstanceLock.h"

// The objects exist while the engine lives, each reachable through its
// global once the assembly has wired them all, and are gone (globals
// cleared) after it.
TEST(Engine, CreatesObjectsInOrderAndDestroysThemAll) {
  ClearState();
  TestDir dir;
  RecordingUserInterface ui;
  std::vector<std::string> seen;
  qm::Engine::Hooks hooks;
  hooks.mainConstructed = [&](TForm_main& main) {
    EXPECT_EQ(main.Kind(), ProgramKind::Service);
    // The pointers are set only once every object is wired.
    EXPECT_EQ(Form_main, nullptr);
    EXPECT_EQ(FDBUtil, nullptr);
    EXPECT_EQ(FSettings, nullptr);
    EXPECT_EQ(Frm_Info, nullptr);
    EXPECT_EQ(KomponentModule, nullptr);
    seen.push_back("main");
  };
  {
    qm::Engine engine(dir.Path(), ui, ProgramKind::Service, hooks);
    EXPECT_EQ(seen, std::vector<std::string>{"main"});
    EXPECT_EQ(Form_main, &engine.Main());
    EXPECT_EQ(FDBUtil, &engine.DBUtil());
    EXPECT_EQ(FSettings, &engine.Settings());
    EXPECT_EQ(FMailTools, &engine.MailTools());
    EXPECT_EQ(Frm_Info, &engine.Info());
    EXPECT_EQ(KomponentModule, &engine.Komponent());
    // The fresh profile leaves the HTTP server off.
    EXPECT_FALSE(engine.Komponent().IdHTTPServer1.Active());
    EXPECT_EQ(engine.Main().Kind(), ProgramKind::Service);
    EXPECT_EQ(qm::ProgramDirectory(), dir.Path());
    // The settings holder ran its creation steps: no profile was there, so
    // the default one was written.
    EXPECT_TRUE(qm::FileExists(dir / "default.config"));
    EXPECT_EQ(engine.Info().Lbl_product, kDesktopTitle);
    EXPECT_TRUE(ui.errors.empty());
  }
  EXPECT_EQ(Form_main, nullptr);
  EXPECT_EQ(FDBUtil, nullptr);
  EXPECT_EQ(FSettings, nullptr);
  EXPECT_EQ(FMailTools, nullptr);
  EXPECT_EQ(Frm_Info, nullptr);
  EXPECT_EQ(KomponentModule, nullptr);
}

namespace {

// A service manager whose connection fails with something that is no
// std::exception, so the controller's start-up cannot catch it itself.
class ThrowingServiceControl : public qm::scm::ServiceControl {
 public:
  std::unique_ptr<qm::scm::Manager> OpenManager(const std::string&, const std::string&, std::uint32_t,
                                                qm::scm::Error*) override {
    throw 42;
  }
  std::string Kind() const override { return "throwing"; }
};

}  // namespace

// Makes the controller's start-up (the first creation step) fail with a
// foreign exception.
qm::Engine::Hooks ThrowingStartUp(ThrowingServiceControl& throwing) {
  qm::Engine::Hooks hooks;
  hooks.mainConstructed = [&throwing](TForm_main& main) {
    ServiceControlHooks service;
    service.scm = &throwing;
    main.SetServiceControlHooks(service);
  };
  return hooks;
}

// A creation step that fails is reported through the error display, once,
// and the objects after it are still created and run their steps.
TEST(Engine, FailingStepIsReportedAndTheRestIsCreated) {
  ThrowingServiceControl throwing;
  ClearState();
  TestDir dir;
  RecordingUserInterface ui;
  qm::Engine engine(dir.Path(), ui, ProgramKind::Desktop, ThrowingStartUp(throwing));
  EXPECT_EQ(ui.errors, std::vector<std::string>{"Ein Laufzeitfehler ist aufgetreten!"});
  // The steps after the failing one ran.
  EXPECT_TRUE(qm::FileExists(dir / "default.config"));
  EXPECT_EQ(engine.Info().Lbl_product, kDesktopTitle);
  EXPECT_EQ(KomponentModule, &engine.Komponent());
  ClearState();
}

// A guard hook runs every step instead of the default reporting.
TEST(Engine, GuardHookRunsEachStepInsteadOfTheReporting) {
  ThrowingServiceControl throwing;
  ClearState();
  TestDir dir;
  RecordingUserInterface ui;
  int steps = 0, failures = 0;
  qm::Engine::Hooks hooks = ThrowingStartUp(throwing);
  hooks.guard = [&](const std::function<void()>& step) {
    ++steps;
    try {
      step();
    } catch (...) {
      ++failures;
    }
  };
  qm::Engine engine(dir.Path(), ui, ProgramKind::Desktop, hooks);
  EXPECT_EQ(steps, 5);
  EXPECT_EQ(failures, 1) << "the controller's start-up failed";
  EXPECT_TRUE(ui.errors.empty());
  ClearState();
}

// A second start of the desktop program in an installation whose program
// runs: the refusal, then (the creation steps run on) the HTTP server's
// port held by the first program, both in the system's own words; the
// socket's failure with the system's text, not the library's class name.
TEST(Engine, SecondStartShowsTheRefusalAndTheTakenPortInTheSystemsWords) {
  ClearState();
  TestDir dir;
  Poco::Net::ServerSocket firstServer;
  firstServer.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
  firstServer.listen();
  const std::uint16_t port = firstServer.address().port();
  GeneralSettings g;
  g.httpPort = port;
  g.httpServerActive = true;
  const auto profile = EncodeProfile({}, {}, g);
  WriteFileBytes(dir / "default.config", std::string(profile.begin(), profile.end()));
  auto firstProgram = qm::InstanceLock::Claim(qm::InstanceLockName(dir.Path()));
  ASSERT_NE(firstProgram, nullptr);

  RecordingUserInterface ui;
  {
    qm::Engine engine(dir.Path(), ui, ProgramKind::Desktop);
    EXPECT_EQ(ui.messages, std::vector<std::string>{InstanceRefusalText()});
    EXPECT_EQ(ui.terminated, 1);
    EXPECT_EQ(ui.errors, std::vector<std::string>{"Der HTTP-Server konnte nicht auf Port " + std::to_string(port) +
                                                  " gestartet werden: Address already in use"});
    EXPECT_FALSE(engine.Komponent().IdHTTPServer1.Active());
  }
  ClearState();
}
