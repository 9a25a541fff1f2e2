#include "app/Engine.h"

#include <gtest/gtest.h>

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

// The objects exist in their order while the engine lives, each reachable
// through its global, and are gone (globals cleared) after it.
TEST(Engine, CreatesObjectsInOrderAndDestroysThemAll) {
  ClearState();
  TestDir dir;
  RecordingUserInterface ui;
  std::vector<std::string> seen;
  qm::Engine::Hooks hooks;
  hooks.mainConstructed = [&](TForm_main& main) {
    EXPECT_EQ(Form_main, &main);
    // Nothing after the controller exists yet.
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
  EXPECT_EQ(Frm_Info, nullptr);
  EXPECT_EQ(KomponentModule, nullptr);
}

// A failing creation step is reported through the error display and the
// objects after it are still created; a guard hook replaces the reporting.
TEST(Engine, FailingStepIsReportedAndTheRestIsCreated) {
  ClearState();
  TestDir dir;
  RecordingUserInterface ui;
  int steps = 0;
  qm::Engine::Hooks hooks;
  hooks.guard = [&](const std::function<void()>& step) {
    ++steps;
    try {
      step();
      if (steps == 1) throw std::runtime_error("Fehler im Schritt");
    } catch (const std::exception& e) {
      ui.ShowError(e.what());
    }
  };
  qm::Engine engine(dir.Path(), ui, ProgramKind::Desktop, hooks);
  EXPECT_GE(steps, 3);
  EXPECT_EQ(ui.errors, std::vector<std::string>{"Fehler im Schritt"});
  EXPECT_NE(FSettings, nullptr);
  EXPECT_NE(Frm_Info, nullptr);
  EXPECT_NE(KomponentModule, nullptr);
}
