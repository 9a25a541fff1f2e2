#pragma once
// TFSettings: the settings dialog's model over the settings store. It owns
// the store (records and profiles, settings/SettingsStore.h), shows the
// records in the dialog's controls, takes them back and has them applied to
// the running system. Its copy accessors forward to the store.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "directory/UDBUtil.h"
#include "settings/SettingsStore.h"
#include "settings/USettingDialog.h"
#include "settings/USettingsRecords.h"
#include "base/UText.h"

class UserInterface;

class TFSettings : public SettingsDialogControls {
 public:
  /// The dialog shows its messages and runs modally through `ui`; the
  /// directory lists data sources, tables and columns and tests the
  /// connection.
  TFSettings(UserInterface& ui, TFDBUtil& directory);
  ~TFSettings();
  TFSettings(const TFSettings&) = delete;
  TFSettings& operator=(const TFSettings&) = delete;

  /// The records and profiles this dialog model edits.
  qm::SettingsStore& Store() { return store_; }
  const qm::SettingsStore& Store() const { return store_; }

  /// Copies of the whole records (the store's); callable from any thread.
  MailSettings GetMailSettings() const { return store_.GetMailSettings(); }
  DirectorySettings GetDirectorySettings() const { return store_.GetDirectorySettings(); }
  GeneralSettings GetGeneralSettings() const { return store_.GetGeneralSettings(); }
  std::string GetAddressField() const { return store_.GetAddressField(); }
  DirectoryLookupSettings GetLookupSettings() const { return store_.GetLookupSettings(); }
  void SetMailSettings(const MailSettings& s) { store_.SetMailSettings(s); }
  void SetDirectorySettings(const DirectorySettings& s) { store_.SetDirectorySettings(s); }
  void SetGeneralSettings(const GeneralSettings& s) { store_.SetGeneralSettings(s); }
  static std::string ProfilePath(const std::string& name) { return qm::SettingsStore::ProfilePath(name); }

  /// Reads a profile file and makes it current, then shows and applies it
  /// (SettingsToDialog) and rebuilds the placeholder catalogue. A missing
  /// file logs "Die Datei wurde nicht gefunden: " + path and changes
  /// nothing; a file shorter than one record yields all-zero records.
  /// Failures are logged as errors, never thrown.
  void LoadSettings(const std::string& path);

  /// Writes the records (passwords scrambled) to the profile named in
  /// CB_profil, readable by the owner only, and on success remembers the
  /// name as "profilename". Failures (an unwritable file, a name that would
  /// leave the program directory) log "I/O Fehler: " + the system's text.
  void SaveSettings();

  /// Creation steps: data-source names into CB_OdbcItems, the remembered
  /// profile (or "default") into CB_profil, load its file or write a new
  /// all-zero one, rebuild the placeholder catalogue.
  void FormCreate();

  // ---- the settings dialog (USettingDialog.cpp) ----------------------
  // The controls are the fields of SettingsDialogControls. Handlers that
  // the dialog calls for a user's action catch every failure and show it
  // through the user interface's error display; SettingsToDialog and
  // DialogToSettings let failures through to their caller.

  /// Shows the records in the dialog and applies them to the running system:
  /// directory connection, timer and its label, verbosity, preview page. A
  /// port outside 1-65535 becomes 8081 in the record.
  void SettingsToDialog();
  /// Takes the dialog's values into the records and applies them: timer,
  /// verbosity, preview page, HTTP server restart. Throws qm::EConvertError
  /// for a port field that is not a whole number (values taken over before
  /// stay), and what the server restart throws.
  void DialogToSettings();
  /// Runs the dialog: SettingsToDialog, the modal dialog "TFSettings", then
  /// on OK DialogToSettings, the service box into the state value "service",
  /// SaveSettings and "Einstellungen gespeichert."; on cancel the directory
  /// connection goes back to the stored records and "service" is unchanged.
  void EditSettings();

  /// "&OK" asks this before the dialog closes: the port field must hold a
  /// port (qm::IsValidPort), whether or not the server is switched on, so
  /// that OK never saves a port no server can use. Otherwise shows
  /// kInvalidPortText and returns the control to correct ("Ed_HTTPPort");
  /// the dialog then stays open and nothing is taken over. The mail port
  /// fields must be empty or 0 (standard port) or hold a port
  /// (kInvalidPop3PortText, kInvalidSmtpPortText), and the file fields fit
  /// 255 bytes (kFileNameTooLongText). Empty when the dialog may close.
  /// Changes nothing.
  std::string BtnOKClick();
  void BtnDBTestClick();      // "Verbindung testen"
  void CB_OdbcSelect();       // a data source was picked into CB_Odbc
  void CB_tabelleSelect();    // a table was picked into CB_tabelle
  void RG_useADClick();       // RG_useAD changed
  void Btn_resetClick();      // "Zurücksetzen"
  void CB_AltTextClick();     // CB_AltText changed
  void CheckBoxTimerClick();  // CheckBoxTimer changed
  void CheckBox_serviceClick();  // CheckBox_service changed (taken over on OK)
  void CB_pop3SecurityChange();  // CB_pop3Security changed: its standard port as the hint
  void CB_smtpSecurityChange();  // CB_smtpSecurity changed: its standard port as the hint
  void CB_tlsVerifyPeerClick();  // CB_tlsVerifyPeer changed: the note shown or hidden
  void CB_HTTPSClick();          // CB_HTTPS changed: the certificate fields enabled or not
  /// The character to insert for a key typed into Ed_HTTPPort: digits and
  /// backspace (8) pass, anything else becomes 0 (discarded).
  static char Ed_HTTPPortKeyPress(char key);
  void BtnNewProfileClick();     // "Neu anlegen"
  void CB_profilDropDown();      // the profile list opens
  void CB_profilSelect();        // a profile was picked into CB_profil
  void CB_profilCloseUp();       // the profile list closed
  void BtnDeleteProfileClick();  // "Profil löschen"

  /// Restarts the HTTP server on a port, or stops it (active false); what
  /// taking over the dialog's values calls last. Wired at assembly; without
  /// one the server is left as it is.
  using ServerRestart = std::function<void(int port, bool active)>;
  void SetServerRestart(ServerRestart restart) { serverRestart_ = std::move(restart); }
  /// The controller's part of applying the records to the running system
  /// (timer and its label, verbosity, preview page), and the rebuilding of
  /// the placeholder catalogue after a profile was read. Wired at assembly;
  /// without them only the records and the dialog change.
  using ApplySettings = std::function<void(const GeneralSettings&)>;
  void SetRunningSystem(ApplySettings apply, std::function<void()> rebuildCatalogue) {
    apply_ = std::move(apply);
    rebuildCatalogue_ = std::move(rebuildCatalogue);
  }

  /// The dialog's profile selector: the name of the active profile.
  std::string CB_profil;
  /// The item list of the dialog's data-source selector.
  qm::TextList CB_OdbcItems;

 private:
  // The steps of SettingsToDialog, in its order.
  void ShowConnectionTexts(const MailSettings& mail, const DirectorySettings& dir);
  void ShowDirectorySource(const GeneralSettings& general);
  void ShowMailPage(const GeneralSettings& general);
  void ShowTimerVerbosityAndService(const GeneralSettings& general);
  void ShowHttpServer(const GeneralSettings& general);
  void ShowTransportSecurity(const GeneralSettings& general);
  void TakeTransportSecurity(GeneralSettings& general) const;
  /// What follows the security controls: port hints, the no-verify note,
  /// the HTTPS file fields' state.
  void ShowSecurityDependents();
  void ShowTableList(const GeneralSettings& general, const DirectorySettings& dir);

  qm::SettingsStore store_;
  UserInterface& ui_;
  TFDBUtil& db_;
  ServerRestart serverRestart_;
  ApplySettings apply_;
  std::function<void()> rebuildCatalogue_;
};

/// A failure of the data source while settings are applied
/// ("Quillmark konnte sich nicht mit der Datenquelle verbinden.").
class EDataSourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The process's one settings dialog model, set by the engine assembly for
/// the programs' edges; null outside its lifetime.
extern TFSettings* FSettings;
