#include "app/Engine.h"
#include "base/Texts.h"

#include <exception>

#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "app/infoForm.h"
#include "base/UUtils.h"

namespace qm {

Engine::Engine(const std::string& programDir, UserInterface& ui, ProgramKind kind, Hooks hooks, Start start)
    : ui_(ui), hooks_(std::move(hooks)) {
  // Every object is constructed and wired first (constructors connect,
  // bind and read nothing); then the creation steps run in their order.
  main_ = std::make_unique<TForm_main>(programDir, ui, kind);
  if (hooks_.mainConstructed) hooks_.mainConstructed(*main_);
  // The directory reads the settings store only for lookups, which start
  // after the engine is built.
  dbUtil_ = std::make_unique<TFDBUtil>([this] { return settings_->Store().GetLookupSettings(); }, ui);
  settings_ = std::make_unique<TFSettings>(ui, *dbUtil_);
  mailTools_ = std::make_unique<TFMailTools>(settings_->Store(), *dbUtil_, *main_, ui);
  info_ = std::make_unique<TFrm_Info>();
  komponent_ = std::make_unique<TKomponentModule>(settings_->Store(), *dbUtil_, *main_, ui);

  main_->Wire({dbUtil_.get(), &settings_->Store(), mailTools_.get()});
  settings_->SetRunningSystem([this](const GeneralSettings& general) { main_->ApplySettings(general); },
                              [this] { main_->BuildPlaceholderList(); });
  settings_->SetServerRestart([this](int port, bool active) { komponent_->RestartServer(port, active); });
  main_->SetHttpServerRelease([this] { komponent_->DataModuleDestroy(); });

  // The process-wide pointers, for the programs' edges (windows, service
  // loop); no engine object reads them.
  Form_main = main_.get();
  FDBUtil = dbUtil_.get();
  FSettings = settings_.get();
  FMailTools = mailTools_.get();
  Frm_Info = info_.get();
  KomponentModule = komponent_.get();

  if (start == Start::None) return;
  Run([this] { main_->FormCreate(); });
  Run([this] { dbUtil_->FormCreate(); });
  Run([this] { settings_->FormCreate(); });
  Run([this] { info_->FormCreate(); });
  Run([this] { komponent_->DataModuleCreate(); });
}

Engine::~Engine() {
  if (KomponentModule == komponent_.get()) KomponentModule = nullptr;
  if (Frm_Info == info_.get()) Frm_Info = nullptr;
  if (FMailTools == mailTools_.get()) FMailTools = nullptr;
  if (FSettings == settings_.get()) FSettings = nullptr;
  if (FDBUtil == dbUtil_.get()) FDBUtil = nullptr;
  if (Form_main == main_.get()) Form_main = nullptr;
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
    ui_.ShowError(FailureText(e));
  } catch (...) {
    ui_.ShowError(qm::text::kRuntimeError);
  }
}

}  // namespace qm
