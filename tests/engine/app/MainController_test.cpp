// The controller's start-up and closing sequences, the single-instance rule
// across processes, and "Werte zurücksetzen".

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "FakeServiceControl.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "signature/USaveSig.h"
#include "base/UUtils.h"
#include "platform/process/Process.h"

namespace fs = std::filesystem;

namespace {

class Controller : public ::testing::Test {
 protected:
  void SetUp() override { ClearState(); }
  void TearDown() override { ClearState(); }

  std::unique_ptr<TForm_main> Make(RecordingUserInterface& on, ProgramKind kind = ProgramKind::Desktop) {
    auto f = std::make_unique<TForm_main>(dir.Path(), on, kind);
    ServiceControlHooks h;
    h.scm = &fake;
    h.sleep = [this](unsigned ms) { sleeps.push_back(ms); };
    h.launch = [this](const std::vector<std::string>& argv) {
      launches.push_back(argv);
      return true;
    };
    f->SetServiceControlHooks(h);
    return f;
  }
  // Writes progstate.qms with these values and leaves the store empty.
  void WriteStateFile(const std::map<std::string, std::string>& values) {
    qm::SetProgramDirectory(dir.Path());
    ClearState();
    for (const auto& [k, v] : values) SetStateValue(k, v);
    SaveState();
    ClearState();
  }
  std::set<std::string> TempFiles() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path() + "temp")) names.insert(e.path().filename().string());
    return names;
  }
  bool LockTakenByOthers() {
    bool taken = false;
    auto probe = qm::InstanceLock::Claim(qm::InstanceLockName(dir.Path()), &taken);
    return taken;
  }

  TestDir dir;
  RecordingUserInterface ui;
  FakeServiceControl fake;
  std::vector<unsigned> sleeps;
  std::vector<std::vector<std::string>> launches;
};

TEST_F(Controller, DesktopStartUp) {
  const std::string project = dir / "Projekt Eins.qm";
  const std::string damaged = dir / "kaputt.qm";
  WriteFileBytes(project, FormatProjectFile({"Hallo"}, {"#mail#"}, {"logo.gif"}));
  WriteFileBytes(damaged, "x\r\n0\r\n0\r\n");
  struct {
    const char* what;
    std::map<std::string, std::string> state;
    std::map<std::string, std::string> labels;  // label -> text; others stay unset
    std::string title;
    std::vector<std::string> errors;
    qm::TextList mailText;
  } cases[] = {
      {"counters",
       {{"LStatusEmpfangen", "17"}, {"LStatusGesand", ""}, {"LStatusHTTP", "3"}},
       {{"LStatusempfangen", "17"}, {"LStatusHTTP", "3"}},
       "Quillmark 2.2",
       {},
       {}},
      {"no state file", {}, {}, "Quillmark 2.2", {}, {}},
      {"last project", {{"lastOpenedFile", project}}, {}, "Quillmark 2.2 - Projekt Eins.qm", {}, {"Hallo"}},
      {"missing project", {{"lastOpenedFile", dir / "weg.qm"}}, {}, "Quillmark 2.2 - weg.qm", {}, {}},
      {"damaged project",
       {{"lastOpenedFile", damaged}},
       {},
       "Quillmark 2.2",
       {"'x' ist kein gültiger Integerwert"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "progstate.qms");
    fs::remove_all(dir / "temp");
    ClearState();  // a process starts with an empty store
    if (!c.state.empty()) WriteStateFile(c.state);
    fake = FakeServiceControl{};
    RecordingUserInterface on;
    auto f = Make(on);
    f->FormCreate();

    EXPECT_EQ(fake.Count("connect"), 1) << "the service is stopped first";
    EXPECT_NE(f->InstanceMutex, nullptr);
    EXPECT_FALSE(f->InstanceRefused());
    EXPECT_EQ(f->Verbosity(), 1);
    EXPECT_EQ(f->Title(), c.title);
    EXPECT_EQ(on.errors, c.errors);
    EXPECT_TRUE(on.messages.empty());
    for (const char* label : {"LStatusempfangen", "LStatusGesand", "LStatusHTTP"}) {
      auto it = c.labels.find(label);
      EXPECT_EQ(on.Label(label), it == c.labels.end() ? "" : it->second) << label;
    }
    EXPECT_EQ(f->M_text, c.mailText);
    EXPECT_FALSE(f->IsModified());
    EXPECT_EQ(GetStateValue("lastOpenedFile"), c.state.count("lastOpenedFile") ? c.state.at("lastOpenedFile") : "");
    // The attachment store exists afterwards, also after an error above.
    EXPECT_TRUE(qm::DirectoryExists(dir / "temp"));
    EXPECT_EQ(on.terminated, 0);
  }
}

TEST_F(Controller, ServiceStartUpStopsNothingClaimsNothingCreatesNoStore) {
  WriteStateFile({{"LStatusGesand", "4"}});
  auto f = Make(ui, ProgramKind::Service);
  f->FormCreate();
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(f->InstanceMutex, nullptr);
  EXPECT_FALSE(LockTakenByOthers());
  EXPECT_FALSE(fs::exists(dir / "temp"));
  EXPECT_EQ(f->Title(), "Quillmark 2.0");
  EXPECT_EQ(f->Verbosity(), 1);
  EXPECT_EQ(ui.Label("LStatusGesand"), "4");
}

TEST_F(Controller, UncreatableStoreLogsAndClosesTheProgram) {
  WriteFileBytes(dir / "temp", "a file where the directory belongs");
  auto f = Make(ui);
  f->FormCreate();
  bool logged = false;
  for (const auto& l : ui.LogLines())
    if (l.find(": Temporäres Verzeichnis temp konnte nicht erstellt werden.") != std::string::npos) logged = true;
  EXPECT_TRUE(logged);
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_EQ(f->InstanceMutex, nullptr) << "the closing sequence released the lock";
  EXPECT_TRUE(fs::exists(dir / "progstate.qms")) << "and saved the state";
}

TEST_F(Controller, SecondInstanceInThisProcessIsRefusedAndTheSequenceRunsOn) {
  auto holder = qm::InstanceLock::Claim(qm::InstanceLockName(dir.Path()));
  ASSERT_NE(holder, nullptr);
  auto f = Make(ui);
  f->FormCreate();
  EXPECT_TRUE(f->InstanceRefused());
  EXPECT_EQ(f->InstanceMutex, nullptr);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0],
            "Das Programm wird bereits ausgeführt!\r\n"
            "Um mehrere Quillmarkinstanzen gleichzeitig zu verwenden\r\n"
            "installieren Sie Quillmark ein zweites Mal in ein anderes Verzeichnis.");
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_EQ(f->Title(), "Quillmark 2.2");
  EXPECT_TRUE(qm::DirectoryExists(dir / "temp"));
}

// The first program runs in a child process; the second (this process) is
// refused; after the first is killed with SIGKILL a new start succeeds.
TEST_F(Controller, SingleInstanceAcrossProcessesAndAfterSigkill) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RecordingUserInterface childUi;
    auto first = Make(childUi);
    first->FormCreate();
    char ok = first->InstanceMutex ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  // Killed and reaped however the test leaves.
  qm::process::Child child = qm::process::Child::Adopt(pid);
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');

  {
    RecordingUserInterface second;
    auto f = Make(second);
    f->FormCreate();
    EXPECT_TRUE(f->InstanceRefused());
    ASSERT_EQ(second.messages.size(), 1u);
    EXPECT_EQ(second.messages[0].rfind("Das Programm wird bereits ausgeführt!\r\n", 0), 0u);
    EXPECT_EQ(second.terminated, 1);
  }

  child.Kill();
  RecordingUserInterface third;
  auto f = Make(third);
  f->FormCreate();
  EXPECT_FALSE(f->InstanceRefused());
  EXPECT_NE(f->InstanceMutex, nullptr);
  EXPECT_TRUE(third.messages.empty());
}

TEST_F(Controller, ClosingHandsOverOnlyForExactlyTrueAndCleansTheStore) {
  struct {
    const char* service;
    bool handOver;
  } cases[] = {{"true", true}, {"True", false}, {"TRUE", false}, {"false", false}, {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.service);
    fs::remove_all(dir / "temp");
    fake = FakeServiceControl{};
    fake.installed = true;
    sleeps.clear();
    launches.clear();
    RecordingUserInterface on;
    auto f = Make(on);
    f->FormCreate();
    ASSERT_NE(f->InstanceMutex, nullptr);
    f->LB_shortNames = {"logo.gif", "liesmich.txt"};
    for (const char* name : {"logo.gif", "liesmich.txt", "a@b.de.htm", "a@b.de.txt", "a@b.de.rtf", "X@Y.HTM",
                             "notiz.doc"})
      WriteFileBytes(dir / "temp/" + name, "x");
    fs::create_directory(dir / "temp/ordner.htm");
    SetStateValue("service", c.service);
    fake.calls.clear();

    EXPECT_TRUE(f->FormCloseQuery());
    EXPECT_EQ(f->InstanceMutex, nullptr);
    EXPECT_FALSE(LockTakenByOthers());
    EXPECT_EQ(fake.Count("starttype 2"), c.handOver ? 1 : 0);
    EXPECT_EQ(fake.Count("start"), c.handOver ? 1 : 0);
    EXPECT_EQ(sleeps, c.handOver ? std::vector<unsigned>{2000} : std::vector<unsigned>{});
    if (!c.handOver) {
      EXPECT_TRUE(fake.calls.empty()) << "no service touched";
    }
    EXPECT_EQ(TempFiles(),
              (std::set<std::string>{"logo.gif", "liesmich.txt", "a@b.de.rtf", "notiz.doc", "ordner.htm"}));
    ClearState();
    LoadState(dir / "progstate.qms");
    EXPECT_EQ(GetStateValue("service"), c.service) << "the state was saved";
  }
}

TEST_F(Controller, ClosingWithServiceTrueInstallsAMissingService) {
  auto f = Make(ui);
  f->FormCreate();
  SetStateValue("service", "true");
  fake.installed = false;
  EXPECT_TRUE(f->FormCloseQuery());
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0], (std::vector<std::string>{dir.Path() + "QuillmarkService", "/INSTALL"}));
  EXPECT_EQ(sleeps.back(), 2000u);
}

TEST_F(Controller, SaveQuestionDecidesWhetherTheWindowCloses) {
  struct {
    const char* what;
    ModalResult answer;
    std::string projectPath;  // the current file
    bool closes;
    bool saved;
  } cases[] = {
      {"Abbrechen", ModalResult::Cancel, "p.qm", false, false},
      {"Nein", ModalResult::No, "p.qm", true, false},
      {"Ja", ModalResult::Yes, "p.qm", true, true},
      {"Ja, file cannot be written", ModalResult::Yes, "kein/Ordner/p.qm", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "p.qm");
    fs::remove(dir / "progstate.qms");
    RecordingUserInterface on;
    auto f = Make(on);
    f->FormCreate();
    WriteFileBytes(dir / "temp/a@b.de.htm", "x");
    SetStateValue("lastOpenedFile", dir / c.projectPath);
    f->M_text = {"geändert"};
    f->MarkMailTextModified();
    on.dialogAnswers = {c.answer};

    EXPECT_EQ(f->FormCloseQuery(), c.closes);
    ASSERT_EQ(on.dialogs.size(), 1u);
    EXPECT_EQ(on.dialogs[0].text, "Wollen Sie die Änderungen am geöffneten Projekt speichern?");
    EXPECT_EQ(fs::exists(dir / "p.qm"), c.saved);
    EXPECT_EQ(f->M_text, qm::TextList{"geändert"}) << "the project is unchanged";
    if (!c.closes) {
      EXPECT_NE(f->InstanceMutex, nullptr);
      EXPECT_TRUE(LockTakenByOthers()) << "the lock is still held";
      EXPECT_TRUE(fs::exists(dir / "temp/a@b.de.htm")) << "nothing cleaned";
      EXPECT_FALSE(fs::exists(dir / "progstate.qms")) << "nothing saved";
    } else {
      EXPECT_FALSE(LockTakenByOthers());
    }
    EXPECT_EQ(on.errors.size(), c.projectPath.find('/') != std::string::npos ? 1u : 0u);
  }
}

TEST_F(Controller, ResetCountersWritesZerosAndSavesAtOnce) {
  WriteStateFile({{"LStatusEmpfangen", "5"}, {"LStatusGesand", "6"}, {"LStatusHTTP", "7"}});
  auto f = Make(ui);
  f->FormCreate();
  f->Btn_resetCountersClick();
  for (const char* label : {"LStatusempfangen", "LStatusGesand", "LStatusHTTP"}) EXPECT_EQ(ui.Label(label), "0");
  ClearState();
  LoadState(dir / "progstate.qms");
  for (const char* name : {"LStatusEmpfangen", "LStatusGesand", "LStatusHTTP"}) EXPECT_EQ(GetStateValue(name), "0");
}

}  // namespace
