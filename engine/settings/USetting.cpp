#include "settings/USetting.h"
#include "base/Texts.h"

#include "directory/UDBUtil.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

TFSettings* FSettings = nullptr;

// ---- TFSettings --------------------------------------------------------

TFSettings::TFSettings(UserInterface& ui, TFDBUtil& directory) : ui_(ui), db_(directory) {}

TFSettings::~TFSettings() = default;

void TFSettings::LoadSettings(const std::string& path) {
  if (!store_.ReadProfile(path)) return;
  try {
    SettingsToDialog();
    if (rebuildCatalogue_) rebuildCatalogue_();
  } catch (const EDataSourceError&) {
    ::WriteLog(qm::text::kDataSourceFailure, ltError);
  } catch (const qm::EInOutError&) {
    ::WriteLog(qm::text::kFileReadFailurePrefix + path, ltError);
  } catch (const std::exception&) {
    ::WriteLog(qm::text::kRuntimeError, ltError);
  }
}

void TFSettings::SaveSettings() {
  const std::string name = CB_profil;
  if (store_.WriteProfile(name)) SetStateValue(qm::text::kStateProfileNameWritten, name);
}

void TFSettings::FormCreate() {
  db_.GetOdbcDataSources(CB_OdbcItems);
  std::string name = GetStateValue(qm::text::kStateProfileNameRead);
  if (name.empty()) name = "default";
  CB_profil = name;
  // An unsafe remembered name is never looked up; SaveSettings refuses it.
  if (IsSafeProfileName(name) && qm::FileExists(ProfilePath(name)))
    LoadSettings(ProfilePath(name));
  else
    SaveSettings();
  if (rebuildCatalogue_) rebuildCatalogue_();
}
