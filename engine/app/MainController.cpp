// TForm_main: the start-up and closing sequences, the single-instance rule
// and the counters.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>
#include <filesystem>

#include "app/Main.h"
#include "base/Texts.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

namespace {

// State values of the counters and the labels that show them.
struct Counter {
  const char* state;
  const char* label;
};
constexpr Counter kCounters[] = {
    {qm::text::kReceivedCounter, qm::text::kLabelReceived},
    {qm::text::kLabelSent, qm::text::kLabelSent},
    {qm::text::kLabelHttp, qm::text::kLabelHttp},
};

}  // namespace

std::string InstanceRefusalText() {
  return "Das Programm wird bereits ausgeführt!\r\n"
         "Um mehrere Quillmarkinstanzen gleichzeitig zu verwenden\r\n"
         "installieren Sie Quillmark ein zweites Mal in ein anderes Verzeichnis.";
}

std::unique_ptr<qm::InstanceLock> ClaimSingleInstance(const std::string& programDir, UserInterface& ui,
                                                      bool* refused) {
  bool taken = false;
  auto lock = qm::InstanceLock::Claim(qm::InstanceLockName(programDir), &taken);
  if (refused) *refused = taken;
  if (taken) {
    ui.ShowMessage(InstanceRefusalText());
    ui.Terminate();
  }
  return lock;
}

void TForm_main::FormCreate() {
  // The three locks are members: they exist from construction on and live
  // as long as the controller.
  const bool desktop = kind_ == ProgramKind::Desktop;
  if (!desktop) SetVerbosity(1);
  try {
    if (desktop) {
      StopRunningService(serviceHooks_);
      InstanceMutex = ClaimSingleInstance(programDir_, ui_, &instanceRefused_);
      SetVerbosity(1);
      SetTitle(kDesktopTitle);
    } else {
      SetTitle(kServiceTitle);
    }

    LoadState(programDir_ + "progstate.qms");
    for (const auto& c : kCounters) {
      std::string value = GetStateValue(c.state);
      if (!value.empty()) SetLabel(c.label, value);
    }

    std::string last = GetStateValue(qm::text::kStateLastOpenedFile);
    if (!last.empty()) {
      try {
        LoadProjectFile(last);
        mailTextModified = false;
        signatureModified = false;
        SetTitle(std::string(kDesktopTitle) + " - " + qm::ExtractFileName(last));
      } catch (const qm::EInOutError&) {
        // Present but not readable: the project stays empty, the remembered
        // path stays the current file, the title stays.
        WriteLog("Fehler beim Öffnen der Datei:" + last, ltWarning);
      }
    }
  } catch (const std::exception& e) {
    // A damaged project file and the like: shown; the steps above that
    // follow it are skipped and the window opens all the same.
    ui_.ShowError(qm::FailureText(e));
  }

  // The attachment store is made sure of even after an error above: without
  // it no signature could be generated and no attachment stored.
  if (desktop) {
    std::string temp = programDir_ + "temp";
    if (!qm::DirectoryExists(temp) && ::mkdir(temp.c_str(), 0777) != 0 && !qm::DirectoryExists(temp)) {
      WriteLog("Temporäres Verzeichnis temp konnte nicht erstellt werden.", ltError);
      Close();
    }
  }
}

void TForm_main::Close() {
  if (FormCloseQuery()) ui_.Terminate();
}

bool TForm_main::FormCloseQuery() {
  // 1. The save-changes question; "Abbrechen", or a save that could not
  //    write the file, keeps the window open.
  if (IsModified()) {
    projectSaveFailed_ = false;
    if (!AskSaveChanges() || projectSaveFailed_) return false;
  }

  // 2. From here on the service program can claim the installation. The
  //    HTTP port goes with it: a service started below binds the same port,
  //    and would find it taken while this program still listens. Requests
  //    being answered finish on their threads.
  InstanceMutex.reset();
  if (releaseHttpServer_) releaseHttpServer_();

  // 3. Hand over to the service when so configured (exactly "true").
  if (GetStateValue("service") == "true") HandOverToService(qm::InstallDirectory(), serviceHooks_);

  // 4. Remove generated signatures from the attachment store: "*.htm", then
  //    "*.txt", except files named in the attachment list.
  const qm::TextList attachments = AttachmentNames();
  const std::string store = programDir_ + "temp";
  for (const char* ext : {".htm", ".txt"}) {
    std::error_code ec;
    std::vector<std::filesystem::path> doomed;
    for (const auto& entry : std::filesystem::directory_iterator(store, ec)) {
      std::error_code typeEc;
      if (entry.is_directory(typeEc)) continue;
      std::string name = entry.path().filename().string();
      if (!qm::EndsWithIgnoreCase(name, ext)) continue;
      bool listed = false;
      for (const auto& a : attachments)
        if (qm::EqualsIgnoreCase(a, name)) listed = true;
      if (!listed) doomed.push_back(entry.path());
    }
    for (const auto& path : doomed) qm::DeleteFile(path.string());
  }

  // 5. Keep the program state.
  SaveState();
  return true;
}

void TForm_main::Btn_resetCountersClick() {
  for (const auto& c : kCounters) SetStateValue(c.state, "0");
  SaveState();
  for (const auto& c : kCounters) SetLabel(c.label, "0");
}

void TForm_main::ApplySettings(const GeneralSettings& general) {
  const long long ms = static_cast<long long>(general.intervalMinutes) * 60000;
  const unsigned interval = static_cast<unsigned>(std::clamp<long long>(ms, 0, UINT_MAX));
  SetTimer(interval, general.timerEnabled && interval > 0);
  SetLabel(qm::text::kLabelTimer, general.timerEnabled ? "ein" : "aus");
  SetVerbosity(general.verbosity);
  ui_.SetPageVisible("TabS_preview", general.contentType != ctText);
}
