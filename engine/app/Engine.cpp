#include "app/Engine.h"

#include <exception>

#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "app/infoForm.h"

namespace qm {

Engine::Engine(const std::string& programDir, UserInterface& ui, ProgramKind kind, Hooks hooks)
    : ui_(ui), hooks_(std::move(hooks)) {
  main_ = std::make_unique<TForm_main>(programDir, ui, kind);
  if (hooks_.mainConstructed) hooks_.mainConstructed(*main_);
  Run([this] { main_->FormCreate(); });
  // The settings holder is created after the directory; the directory reads
  // it only for lookups, which start after the engine is built.
  dbUtil_ = std::make_unique<TFDBUtil>([this] { return settings_->GetLookupSettings(); }, ui);
  Run([this] { dbUtil_->FormCreate(); });
  settings_ = std::make_unique<TFSettings>(ui);
  settings_->SetRunningSystem([this](const GeneralSettings& general) { main_->ApplySettings(general); },
                              [this] { main_->BuildPlaceholderList(); });
  Run([this] { settings_->FormCreate(); });
  mailTools_ = std::make_unique<TFMailTools>();
  info_ = std::make_unique<TFrm_Info>();
  Run([this] { info_->FormCreate(); });
  komponent_ = std::make_unique<TKomponentModule>();
  settings_->SetServerRestart([this](int port, bool active) { komponent_->RestartServer(port, active); });
  main_->SetHttpServerRelease([this] { komponent_->DataModuleDestroy(); });
  Run([this] { komponent_->DataModuleCreate(); });
}

Engine::~Engine() {
  komponent_.reset();
  info_.reset();
  mailTools_.reset();
  settings_.reset();
  dbUtil_.reset();
  main_.reset();
}

void Engine::Run(const std::function<void()>& step) {
  if (hooks_.guard) {
    hooks_.guard(step);
    return;
  }
  try {
    step();
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  } catch (...) {
    ui_.ShowError("Ein Laufzeitfehler ist aufgetreten!");
  }
}

}  // namespace qm
