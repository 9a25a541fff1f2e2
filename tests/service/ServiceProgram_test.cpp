// The service program as a real process: its switches and messages, its life
// under the local service backend (install, start, pause, continue, stop,
// uninstall), the HTTP server while paused, the instance lock, the foreground
// mode without a manager, and the program state it leaves alone.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "RawHttp.h"
#include "ServiceTestSupport.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "settings/SettingsStore.h"
#include "base/UUtils.h"
#include "platform/instance/InstanceLock.h"
#include "platform/scm/ServiceHost.h"

using namespace qm::scm;
using svctest::ProgramDir;
using svctest::WaitUntil;

namespace {

const std::string kThreeLines =
    "Das Programm wird bereits ausgeführt!\n"
    "Um mehrere Quillmarkinstanzen gleichzeitig zu verwenden\n"
    "installieren Sie Quillmark ein zweites Mal in ein anderes Verzeichnis.\n";

std::string InstallError(int code) {
  return "Service \"QuillmarkService1\" konnte nicht installiert werden; Fehler: \"" + ErrorText(code) + "\"\n";
}
std::string UninstallError(int code) {
  return "Service \"QuillmarkService1\" konnte nicht deinstalliert werden; Fehler: \"" + ErrorText(code) + "\"\n";
}

// A profile that serves HTTP on `port` with mail polling off, and a program
// state with counters and the profile's name; returns the state file's bytes.
std::string PrepareEngineFiles(const ProgramDir& p, std::uint16_t port) {
  GeneralSettings g;
  g.httpServerActive = true;
  g.httpPort = port;
  g.sendAs = "body";
  g.contentType = ctHtml;
  svctest::WriteProfile(p.Prog() + "default.config", {}, {}, g);
  ClearState();
  SetStateValue("profileName", "default");
  SetStateValue("LStatusEmpfangen", "5");
  SetStateValue("LStatusGesand", "6");
  SetStateValue("LStatusHTTP", "17");
  qm::SetProgramDirectory(p.Prog());
  SaveState();
  return ReadFileBytes(p.Prog() + "progstate.qms");
}

bool Answers(std::uint16_t port) {
  RawHttpReply r = RawHttpExchange(port, RawHttpGet("/make?nobody@example.test"));
  return r.answered && r.status == 200;
}

std::unique_ptr<Manager> OpenLocalManager(const ProgramDir& p) {
  return MakeLocalServiceControl(p.State())->OpenManager("", "", SC_MANAGER_ALL_ACCESS);
}

std::uint32_t State(Service& s) { return s.QueryState().value_or(0); }

}  // namespace

// The switches in any case with "/" or "-", their messages on standard
// error, success messages dropped under SILENT and errors always shown.
TEST(ServiceProgram, SwitchesInstallAndRemoveWithTheirMessages) {
  ProgramDir p;
  struct {
    std::vector<std::string> args;
    std::string output;
    int exitCode;
  } cases[] = {
      {{"/install"}, "Service erfolgreich installiert\n", 0},
      {{"-INSTALL"}, InstallError(ERROR_SERVICE_EXISTS), 1},
      {{"/install", "/silent"}, InstallError(ERROR_SERVICE_EXISTS), 1},
      {{"/Uninstall"}, "Service erfolgreich deinstalliert\n", 0},
      {{"-uninstall"}, UninstallError(ERROR_SERVICE_DOES_NOT_EXIST), 1},
      {{"-uninstall", "-SILENT"}, UninstallError(ERROR_SERVICE_DOES_NOT_EXIST), 1},
      {{"-Silent", "/INSTALL"}, "", 0},
      {{"-UNINSTALL", "/SILENT"}, "", 0},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    CommandResult r = p.Run(c.args);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.exitCode, c.exitCode);
  }

  // The identity as installed: names, interactive own process, automatic
  // start, the full path of the executable that ran.
  ASSERT_EQ(p.Run({"/INSTALL"}).exitCode, 0);
  auto service = OpenLocalManager(p)->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  auto config = service->QueryConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name, "QuillmarkService1");
  EXPECT_EQ(config->displayName, "QuillmarkService1");
  EXPECT_EQ(config->serviceType, 0x110u);
  EXPECT_EQ(config->startType, SERVICE_AUTO_START);
  EXPECT_EQ(config->errorControl, SERVICE_ERROR_NORMAL);
  EXPECT_EQ(config->binaryPath, p.Exe());
}

// Installed, started, paused (HTTP still answers), continued, stopped and
// removed; the program state file is the same after the stop as before the
// start, and the instance lock is free once the service reads as stopped.
TEST(ServiceProgram, LocalBackendLifecycle) {
  ProgramDir p;
  const std::uint16_t port = FreeLoopbackPort();
  const std::string stateBefore = PrepareEngineFiles(p, port);
  ASSERT_EQ(p.Run({"/INSTALL", "/SILENT"}).output, "");

  auto service = OpenLocalManager(p)->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  Error err;
  ASSERT_TRUE(service->Start({}, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_RUNNING; }));
  EXPECT_TRUE(Answers(port)) << ReadFileBytes(p.Prog() + "signatur.log");

  ASSERT_TRUE(service->Control(SERVICE_CONTROL_PAUSE, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_PAUSED; }));
  EXPECT_TRUE(Answers(port)) << "paused, the HTTP server goes on";
  EXPECT_TRUE(service->Control(SERVICE_CONTROL_INTERROGATE, &err)) << err.text;
  EXPECT_EQ(State(*service), SERVICE_PAUSED);

  ASSERT_TRUE(service->Control(SERVICE_CONTROL_CONTINUE, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_RUNNING; }));
  EXPECT_TRUE(Answers(port));

  ASSERT_TRUE(service->Control(SERVICE_CONTROL_STOP, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_STOPPED; }));
  bool taken = false;
  EXPECT_NE(qm::InstanceLock::Claim(qm::InstanceLockName(p.Prog()), &taken), nullptr);
  EXPECT_EQ(ReadFileBytes(p.Prog() + "progstate.qms"), stateBefore);
  EXPECT_EQ(ReadFileBytes(p.State() + "/QuillmarkService1.out"), "");

  // It starts again after the stop, and a shutdown ends it as a stop does.
  ASSERT_TRUE(service->Start({}, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_RUNNING; }));
  ASSERT_TRUE(service->Control(SERVICE_CONTROL_SHUTDOWN, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_STOPPED; }));
  EXPECT_EQ(ReadFileBytes(p.Prog() + "progstate.qms"), stateBefore);

  CommandResult r = p.Run({"-uninstall", "-silent"});
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(OpenLocalManager(p)->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS), nullptr);
}

// While another engine of the directory holds the instance lock, every way of
// starting the program refuses with the three lines and does no engine work:
// no log, no profile, no state file appear.
TEST(ServiceProgram, RefusesWhileTheInstanceLockIsHeld) {
  ProgramDir p;
  auto service = OpenLocalManager(p)->CreateService(
      {"QuillmarkService1", "QuillmarkService1", 0x110, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, p.Exe()},
      SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  auto lock = qm::InstanceLock::Claim(qm::InstanceLockName(p.Prog()));
  ASSERT_NE(lock, nullptr);

  Error err;
  ASSERT_TRUE(service->Start({}, &err)) << err.text;
  ASSERT_TRUE(WaitUntil([&] { return State(*service) == SERVICE_STOPPED; }));
  EXPECT_EQ(ReadFileBytes(p.State() + "/QuillmarkService1.out"), kThreeLines);

  struct {
    std::vector<std::string> args;
  } cases[] = {{{}}, {{"/INSTALL"}}, {{"-UNINSTALL", "-SILENT"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no switch" : c.args[0]);
    CommandResult r = p.Run(c.args);
    EXPECT_EQ(r.output, kThreeLines);
    EXPECT_NE(r.exitCode, 0);
  }
  for (const char* name : {"signatur.log", "default.config", "progstate.qms"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(qm::FileExists(p.Prog() + name));
  }
  // The refused UNINSTALL left the service installed.
  EXPECT_NE(OpenLocalManager(p)->OpenService("QuillmarkService1", SERVICE_ALL_ACCESS), nullptr);
}

// Without a service manager the program runs the engine in the foreground
// until SIGINT or SIGTERM, then ends without saving the program state.
TEST(ServiceProgram, ForegroundRunsUntilInterruptedOrTerminated) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    ProgramDir p;
    ::unsetenv("QM_SCM_SERVICE");
    const std::uint16_t port = FreeLoopbackPort();
    const std::string stateBefore = PrepareEngineFiles(p, port);
    svctest::Child child({p.Exe()}, p.Root() + "out.txt");
    ASSERT_GT(child.Pid(), 0);
    ASSERT_TRUE(WaitUntil([&] { return Answers(port); }));
    // A second program of the directory is refused meanwhile.
    EXPECT_EQ(p.Run({}).output, kThreeLines);
    child.Signal(sig);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(ReadFileBytes(p.Prog() + "progstate.qms"), stateBefore);
    EXPECT_NE(qm::InstanceLock::Claim(qm::InstanceLockName(p.Prog())), nullptr);
    EXPECT_EQ(ReadFileBytes(p.Root() + "out.txt"), "");
  }
}

// /CONFIG on the real program: it prints the active profile, changes it only
// when every pair is valid (a password from standard input), keeps the file
// for the owner only, and says when a running program takes the change later.
TEST(ServiceProgram, ConfigPrintsAndChangesTheActiveProfile) {
  ProgramDir p;
  PrepareEngineFiles(p, 18123);
  const std::string profile = p.Prog() + "default.config";

  CommandResult shown = p.Run({"/CONFIG"});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.output.find("\nhttpPort=18123\nhttpServerActive=yes\n"), std::string::npos) << shown.output;
  EXPECT_EQ(shown.output.rfind("pop3Host=\n", 0), 0u) << "record order, mail record first";

  // Refused pairs are named with their reasons; nothing is written.
  const std::string before = ReadFileBytes(profile);
  CommandResult refused = p.Run({"/CONFIG", "httpPort=99999", "smtpHost=mail.example.test", "colour=blue"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.output.find("httpPort: erwartet eine ganze Zahl von 1 bis 65535\n"), std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find("colour: unbekannte Einstellung\n"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(profile), before);

  // A password through standard input, beside plain pairs.
  CommandResult set = qm::scm::RunCommand(
      {"/bin/sh", "-c", "printf 'geheim;1\\n' | '" + p.Exe() + "' /config smtpPassword=- smtpHost=mail.example.test useAD=yes"});
  EXPECT_EQ(set.exitCode, 0) << set.output;
  EXPECT_EQ(set.output, "Einstellungen gespeichert.\n");
  MailSettings mail;
  DirectorySettings dir;
  GeneralSettings general;
  const std::string bytes = ReadFileBytes(profile);
  ASSERT_EQ(bytes.size(), 6952u);
  DecodeProfile(reinterpret_cast<const std::uint8_t*>(bytes.data()), mail, dir, general);
  EXPECT_EQ(mail.smtpPassword, "geheim;1");
  EXPECT_EQ(mail.smtpHost, "mail.example.test");
  EXPECT_TRUE(general.useAD);
  EXPECT_EQ(general.httpPort, 18123) << "fields not named keep their values";
  struct stat st {};
  ASSERT_EQ(::stat(profile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(p.Run({"/CONFIG"}).output.find("\nsmtpPassword=***\n"), std::string::npos);

  // While another program of the installation runs, the change waits for
  // its next start.
  auto lock = qm::InstanceLock::Claim(qm::InstanceLockName(p.Prog()));
  ASSERT_NE(lock, nullptr);
  CommandResult whileRunning = p.Run({"/CONFIG", "verbosity=2"});
  EXPECT_EQ(whileRunning.exitCode, 0);
  EXPECT_NE(whileRunning.output.find("die Einstellungen gelten ab dem nächsten Start"), std::string::npos)
      << whileRunning.output;
}
