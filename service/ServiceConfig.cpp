#include "ServiceConfig.h"

#include <istream>
#include <ostream>
#include <utility>

#include "base/Texts.h"
#include "base/UProgState.h"
#include "base/UUtils.h"
#include "platform/instance/InstanceLock.h"
#include "settings/ProfileConfig.h"
#include "settings/SettingsStore.h"

int RunConfigSwitch(const std::string& programDir, const std::vector<std::string>& pairs, std::istream& in,
                    std::ostream& out, std::ostream& err) {
  qm::SetProgramDirectory(programDir);
  ClearState();
  LoadState(programDir + "progstate.qms");
  std::string profile = GetStateValue(qm::text::kStateProfileNameRead);
  if (profile.empty()) profile = "default";
  if (!IsSafeProfileName(profile)) {
    err << "Der Profilname \"" << profile << "\" ist ungültig.\n";
    return 2;
  }
  const std::string path = qm::SettingsStore::ProfilePath(profile);

  qm::SettingsStore store;
  if (qm::FileExists(path) && !store.ReadProfile(path)) {
    err << qm::text::kFileReadFailurePrefix << path << "\n";
    return 1;
  }
  qm::ProfileRecords records{store.GetMailSettings(), store.GetDirectorySettings(), store.GetGeneralSettings()};

  if (pairs.empty()) {
    for (const auto& line : qm::DescribeProfile(records)) out << line << "\n";
    return 0;
  }

  std::vector<std::pair<std::string, std::string>> changes;
  std::vector<std::string> refused;
  for (const auto& arg : pairs) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      refused.push_back(arg + ": erwartet name=wert");
      continue;
    }
    std::string name = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (value == "-" && qm::IsConfigPassword(name)) {
      // A password from standard input keeps it out of the process list.
      std::getline(in, value);
      if (!value.empty() && value.back() == '\r') value.pop_back();
    }
    changes.emplace_back(std::move(name), std::move(value));
  }
  if (refused.empty()) {
    qm::ProfileRecords changed = records;
    refused = qm::ApplyConfig(changes, changed);
    records = std::move(changed);
  }
  if (!refused.empty()) {
    for (const auto& line : refused) err << line << "\n";
    err << "Es wurde nichts gespeichert.\n";
    return 2;
  }

  // A free instance lock is held while the file is written, so that no
  // program of the installation starts with half of it.
  bool taken = false;
  auto lock = qm::InstanceLock::Claim(qm::InstanceLockName(programDir), &taken);
  store.SetMailSettings(records.mail);
  store.SetDirectorySettings(records.directory);
  store.SetGeneralSettings(records.general);
  if (!store.WriteProfile(profile)) {
    err << "Das Profil " << path << " konnte nicht geschrieben werden.\n";
    return 1;
  }
  out << "Einstellungen gespeichert.\n";
  if (!lock && taken)
    out << "Quillmark läuft gerade in diesem Verzeichnis: die Einstellungen gelten ab dem nächsten Start.\n";
  return 0;
}
