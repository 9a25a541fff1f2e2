#pragma once
// The engine assembled: the long-lived objects of one program, created and
// wired with their collaborators, then their creation steps in a fixed
// order, and destroyed in the reverse order. Both programs (and the tests'
// TestEngine) build the engine through this class:
//   TForm_main (FormCreate, desktop or service variant), TFDBUtil
//   (FormCreate), TFSettings (FormCreate), TFMailTools, TFrm_Info
//   (FormCreate), TKomponentModule (DataModuleCreate).
// The assembly is the only place that sets the process-wide pointers
// (Form_main, FDBUtil, FSettings, FMailTools, Frm_Info, KomponentModule);
// engine objects get their collaborators by reference instead.
// The service program adds its service module after the engine.

#include <functional>
#include <memory>
#include <string>

#include "app/Main.h"

class TFDBUtil;
class TFSettings;
class TFMailTools;
class TFrm_Info;
class TKomponentModule;

namespace qm {

class Engine {
 public:
  struct Hooks {
    /// Runs right after TForm_main is constructed, before its start-up
    /// steps (the desktop binds its window to the controller here).
    std::function<void(TForm_main&)> mainConstructed;
    /// Runs one creation step. The default catches any failure and shows
    /// its text through the user interface's error display, then goes on
    /// with the next object, as for any failure nothing else caught.
    std::function<void(const std::function<void()>&)> guard;
  };

  /// Whether the creation steps run: All for the programs; None for tests
  /// that run the steps they need themselves (the objects are wired alike).
  enum class Start { All, None };

  /// Creates and wires every object for a program directory (with or
  /// without a trailing '/'), sets the process-wide pointers, and runs their
  /// creation steps in order. A failing step is reported (see Hooks::guard)
  /// and the next one still runs.
  Engine(const std::string& programDir, UserInterface& ui, ProgramKind kind, Hooks hooks = {},
         Start start = Start::All);
  /// Destroys the objects in the reverse order of their creation. Runs no
  /// closing sequence: the desktop runs FormCloseQuery before this.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  TForm_main& Main() { return *main_; }
  TFDBUtil& DBUtil() { return *dbUtil_; }
  TFSettings& Settings() { return *settings_; }
  TFMailTools& MailTools() { return *mailTools_; }
  TFrm_Info& Info() { return *info_; }
  TKomponentModule& Komponent() { return *komponent_; }
  UserInterface& UI() { return ui_; }

 private:
  void Run(const std::function<void()>& step);

  UserInterface& ui_;
  Hooks hooks_;
  std::unique_ptr<TForm_main> main_;
  std::unique_ptr<TFDBUtil> dbUtil_;
  std::unique_ptr<TFSettings> settings_;
  std::unique_ptr<TFMailTools> mailTools_;
  std::unique_ptr<TFrm_Info> info_;
  std::unique_ptr<TKomponentModule> komponent_;
};

}  // namespace qm
