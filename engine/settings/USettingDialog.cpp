// The settings dialog's logic: showing and taking over the records, the
// connection test, the data-source and table pickers, and the profiles.
//
// Two choices of ours where the dialog's behaviour was open:
// - An entry typed into CB_verbosity that matches none of its four items
//   leaves the stored verbosity as it is (no index is selected, so there is
//   nothing to take over).
// - Saving with an empty profile name (the selector is empty after a
//   deletion) saves as "default" and shows "default" in the selector, the
//   name the next start would use anyway; no file named ".config" is made.
// Besides, an interval outside 1-2880 read from a profile is shown clamped
// while the timer gets the stored value; a timer of 0 ms is never enabled.

#include <dirent.h>
#include <sys/stat.h>


#include <algorithm>
#include <climits>

#include "base/UserInterface.h"
#include "base/Texts.h"
#include "directory/UDBUtil.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "base/UUtils.h"

namespace {

constexpr int kDefaultHttpPort = 8081;
constexpr const char* kProfileSuffix = ".config";

// Runs one handler of a user's action; a failure reaches the application's
// error display and the dialog goes on.
template <class F>
void Guarded(UserInterface& ui, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    ui.ShowError(qm::FailureText(e));
  }
}

bool ContainsMail(const std::string& text) { return text.find("mail") != std::string::npos; }

std::string WithMailLineFirst(const std::string& text) { return text.empty() ? "mail" : "mail\r\n" + text; }

std::string Cut(const std::string& s) { return qm::CutUtf8(s, qm::kFixedTextMax); }

// A mail port field: empty or all zeros is the standard port (0), else a
// port 1-65535; -1 for anything else.
int MailPortOfField(const std::string& text) {
  if (text.empty()) return 0;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
  const int port = qm::StrToIntDef(text, -1);
  return port == 0 || qm::IsValidPort(port) ? port : -1;
}

std::string PortField(std::int32_t port) { return port == 0 ? std::string() : std::to_string(port); }

// A combo's index for a stored mode; a mode no item stands for selects none.
int ModeIndex(std::uint8_t mode, const qm::TextList& items) { return mode < items.size() ? mode : -1; }

// The stored mode for a combo's index; no selection keeps the stored mode.
void TakeMode(int index, const qm::TextList& items, std::uint8_t& mode) {
  if (index >= 0 && static_cast<std::size_t>(index) < items.size()) mode = static_cast<std::uint8_t>(index);
}

// How the directory connection is secured; a stored mode no version knows
// connects as older versions did.
DirectoryTransport LdapTransportOf(const GeneralSettings& general) {
  DirectoryTransport t;
  if (general.ldapSecurity == lsStartTls) t.security = DirectoryTransport::kStartTls;
  if (general.ldapSecurity == lsLdaps) t.security = DirectoryTransport::kLdaps;
  t.caFile = general.tlsCaFile;
  t.verifyPeer = general.tlsVerifyPeer;
  return t;
}

// The dialog's plain text controls and the record fields they show: the
// same pairs serve showing the records and taking the values over.
template <class Record>
struct TextBinding {
  std::string SettingsDialogControls::*control;
  std::string Record::*field;
};
using C = SettingsDialogControls;
const TextBinding<MailSettings> kMailTexts[] = {
    {&C::E_pop3Host, &MailSettings::pop3Host},     {&C::E_pop3login, &MailSettings::pop3Login},
    {&C::ME_pop3pass, &MailSettings::pop3Password}, {&C::E_SmtpHost, &MailSettings::smtpHost},
    {&C::E_smtpUserid, &MailSettings::smtpUserId}, {&C::ME_smtppass, &MailSettings::smtpPassword},
    {&C::E_senderadr, &MailSettings::senderAddress}, {&C::EAbsender, &MailSettings::senderName},
    {&C::Esubject, &MailSettings::subject},
};
const TextBinding<DirectorySettings> kDirectoryTexts[] = {
    {&C::CB_Odbc, &DirectorySettings::odbcSource}, {&C::CB_tabelle, &DirectorySettings::table},
    {&C::E_DBUserId, &DirectorySettings::dbUserId}, {&C::E_DBPass, &DirectorySettings::dbPassword},
    {&C::CB_mailField, &DirectorySettings::mailField},
};
const TextBinding<GeneralSettings> kGeneralTexts[] = {
    {&C::E_ADPath, &GeneralSettings::adPath},
    {&C::E_ADUserId, &GeneralSettings::adUserId},
    {&C::E_ADPass, &GeneralSettings::adPassword},
    {&C::M_altText, &GeneralSettings::altText},
};

template <class Record, std::size_t N>
void ShowTexts(const TextBinding<Record> (&bindings)[N], const Record& record, SettingsDialogControls& dialog) {
  for (const auto& b : bindings) dialog.*b.control = record.*b.field;
}

// Each text cut to a field's 255 bytes.
template <class Record, std::size_t N>
void TakeTexts(const TextBinding<Record> (&bindings)[N], const SettingsDialogControls& dialog, Record& record) {
  for (const auto& b : bindings) record.*b.field = Cut(dialog.*b.control);
}

}  // namespace

const std::vector<DialogControl>& SettingsDialogControlTable() {
  static const std::vector<DialogControl> table = {
      // Page "E-Mail Server"
      {"E_pop3Host", &C::E_pop3Host},
      {"E_pop3login", &C::E_pop3login},
      {"ME_pop3pass", &C::ME_pop3pass},
      {"E_SmtpHost", &C::E_SmtpHost},
      {"E_smtpUserid", &C::E_smtpUserid},
      {"ME_smtppass", &C::ME_smtppass},
      {"E_senderadr", &C::E_senderadr},
      {"CB_pop3Security", &C::CB_pop3Security},
      {"E_pop3Port", &C::E_pop3Port},
      {"CB_smtpSecurity", &C::CB_smtpSecurity},
      {"E_smtpPort", &C::E_smtpPort},
      {"E_tlsCaFile", &C::E_tlsCaFile},
      {"CB_tlsVerifyPeer", &C::CB_tlsVerifyPeer},
      // Page "Datenbank"
      {"RG_useAD", &C::RG_useAD},
      {"E_ADPath", &C::E_ADPath},
      {"E_ADUserId", &C::E_ADUserId},
      {"E_ADPass", &C::E_ADPass},
      {"CB_ldapSecurity", &C::CB_ldapSecurity},
      {"M_FieldNames", &C::M_FieldNames},
      {"CB_Odbc", &C::CB_Odbc},
      {"E_DBUserId", &C::E_DBUserId},
      {"E_DBPass", &C::E_DBPass},
      {"CB_tabelle", &C::CB_tabelle},
      {"CB_mailField", &C::CB_mailField},
      // Page "Mail"
      {"RadioGroup_typeContent", &C::RadioGroup_typeContent},
      {"CB_dropEmptyLines", &C::CB_dropEmptyLines},
      {"CheckB_asAnhang", &C::CheckB_asAnhang},
      {"CheckB_asBody", &C::CheckB_asBody},
      {"EAbsender", &C::EAbsender},
      {"Esubject", &C::Esubject},
      {"CB_AltText", &C::CB_AltText},
      {"M_altText", &C::M_altText},
      // Page "Sonstiges"
      {"CheckBoxTimer", &C::CheckBoxTimer},
      {"SpinEdit1", &C::SpinEdit1},
      {"CB_verbosity", &C::CB_verbosity},
      {"CheckBox_service", &C::CheckBox_service},
      {"CB_HTTPServer_active", &C::CB_HTTPServer_active},
      {"Ed_HTTPPort", &C::Ed_HTTPPort},
      {"CB_HTTPS", &C::CB_HTTPS},
      {"E_httpsCertFile", &C::E_httpsCertFile},
      {"E_httpsKeyFile", &C::E_httpsKeyFile},
  };
  return table;
}

void TFSettings::SettingsToDialog() {
  const MailSettings mail = GetMailSettings();
  const DirectorySettings dir = GetDirectorySettings();
  const GeneralSettings general = GetGeneralSettings();
  ShowConnectionTexts(mail, dir);                 // 1., 6. the texts of the records
  // 2. the directory connection
  db_.ConfigureConnection(dir.odbcSource, dir.table, dir.dbUserId, dir.dbPassword, general.adUserId,
                          general.adPassword, LdapTransportOf(general));
  ShowDirectorySource(general);                   // 3.-5.
  ShowMailPage(general);                          // 6.-9.
  ShowTimerVerbosityAndService(general);          // 10.-13.
  ShowHttpServer(general);                        // 14.
  ShowTransportSecurity(general);
  if (apply_) apply_(general);                    // 7., 11., 12., 15. preview page, verbosity, timer
  ShowTableList(general, dir);                    // 16.-17.
}

void TFSettings::ShowConnectionTexts(const MailSettings& mail, const DirectorySettings& dir) {
  ShowTexts(kMailTexts, mail, *this);
  ShowTexts(kDirectoryTexts, dir, *this);
}

void TFSettings::ShowDirectorySource(const GeneralSettings& general) {
  RG_useAD = general.useAD ? 0 : 1;
  RG_useADClick();
  ShowTexts(kGeneralTexts, general, *this);
  // The attribute list always holds "mail".
  M_FieldNames = GetFieldNames(general);
  if (!ContainsMail(M_FieldNames)) M_FieldNames = WithMailLineFirst(M_FieldNames);
}

void TFSettings::ShowMailPage(const GeneralSettings& general) {
  RadioGroup_typeContent = general.contentType <= ctRichText ? general.contentType : -1;
  CB_dropEmptyLines = general.dropEmptyLines;
  CheckB_asAnhang = general.sendAs == "anhang" || general.sendAs == "both";
  CheckB_asBody = general.sendAs == "body" || general.sendAs == "both";
  CB_AltText = general.altTextEnabled;
  M_altTextEnabled = CB_AltText;
}

void TFSettings::ShowTimerVerbosityAndService(const GeneralSettings& general) {
  SpinEdit1 = std::clamp<std::int32_t>(general.intervalMinutes, kIntervalMin, kIntervalMax);
  CheckBoxTimer = general.timerEnabled;
  SpinEdit1Enabled = general.timerEnabled;
  CB_verbosity = general.verbosity < kVerbosityItems.size() ? kVerbosityItems[general.verbosity] : std::string();
  CheckBox_service = GetStateValue("service") == "true";
}

void TFSettings::ShowHttpServer(const GeneralSettings& general) {
  CB_HTTPServer_active = general.httpServerActive;
  int port = general.httpPort;
  // A port no server can use is corrected in the record.
  if (!qm::IsValidPort(port)) {
    port = kDefaultHttpPort;
    GeneralSettings stored = GetGeneralSettings();
    stored.httpPort = kDefaultHttpPort;
    SetGeneralSettings(stored);
  }
  Ed_HTTPPort = std::to_string(port);
}

void TFSettings::ShowTransportSecurity(const GeneralSettings& general) {
  CB_pop3Security = ModeIndex(general.pop3Security, kPop3SecurityItems);
  E_pop3Port = PortField(general.pop3Port);
  CB_smtpSecurity = ModeIndex(general.smtpSecurity, kSmtpSecurityItems);
  E_smtpPort = PortField(general.smtpPort);
  E_tlsCaFile = general.tlsCaFile;
  CB_tlsVerifyPeer = general.tlsVerifyPeer;
  CB_ldapSecurity = ModeIndex(general.ldapSecurity, kLdapSecurityItems);
  CB_HTTPS = general.httpSecurity == hsTls;
  E_httpsCertFile = general.httpsCertFile;
  E_httpsKeyFile = general.httpsKeyFile;
  ShowSecurityDependents();
}

void TFSettings::TakeTransportSecurity(GeneralSettings& general) const {
  TakeMode(CB_pop3Security, kPop3SecurityItems, general.pop3Security);
  TakeMode(CB_smtpSecurity, kSmtpSecurityItems, general.smtpSecurity);
  TakeMode(CB_ldapSecurity, kLdapSecurityItems, general.ldapSecurity);
  // A field that holds no port (refused by "&OK") stands for the standard port.
  general.pop3Port = std::max(MailPortOfField(E_pop3Port), 0);
  general.smtpPort = std::max(MailPortOfField(E_smtpPort), 0);
  general.tlsCaFile = Cut(E_tlsCaFile);
  general.tlsVerifyPeer = CB_tlsVerifyPeer;
  general.httpSecurity = CB_HTTPS ? hsTls : hsNone;
  general.httpsCertFile = Cut(E_httpsCertFile);
  general.httpsKeyFile = Cut(E_httpsKeyFile);
}

void TFSettings::ShowSecurityDependents() {
  // No selection shows the plain connection's port.
  E_pop3PortHint = std::to_string(StandardPop3Port(static_cast<std::uint8_t>(std::max(CB_pop3Security, 0))));
  E_smtpPortHint = std::to_string(StandardSmtpPort(static_cast<std::uint8_t>(std::max(CB_smtpSecurity, 0))));
  L_noVerifyVisible = !CB_tlsVerifyPeer;
  HttpsFilesEnabled = CB_HTTPS;
}

void TFSettings::ShowTableList(const GeneralSettings& general, const DirectorySettings& dir) {
  if (!general.useAD) {
    try {
      qm::TextList tables;
      db_.ListOdbcTables(tables);
      CB_tabelleItems = std::move(tables);
    } catch (...) {
      // an unreachable data source leaves the list as it was
    }
  }
  CB_tabelle = dir.table;
}

void TFSettings::DialogToSettings() {
  // 1. texts, each cut to a field's 255 bytes
  MailSettings mail;
  TakeTexts(kMailTexts, *this, mail);
  SetMailSettings(mail);
  DirectorySettings dir;
  TakeTexts(kDirectoryTexts, *this, dir);
  SetDirectorySettings(dir);

  GeneralSettings general = GetGeneralSettings();
  // 2. timer
  general.intervalMinutes = SpinEdit1;
  general.timerEnabled = CheckBoxTimer;
  // 3. verbosity: an entry matching no item keeps the stored value
  auto item = std::find(kVerbosityItems.begin(), kVerbosityItems.end(), CB_verbosity);
  if (item != kVerbosityItems.end()) general.verbosity = static_cast<std::uint8_t>(item - kVerbosityItems.begin());
  // 4. signature type
  if (RadioGroup_typeContent >= 0 && RadioGroup_typeContent <= ctRichText)
    general.contentType = static_cast<std::uint8_t>(RadioGroup_typeContent);
  general.dropEmptyLines = CB_dropEmptyLines;
  // 5. delivery form
  general.sendAs = CheckB_asAnhang && CheckB_asBody ? "both" : CheckB_asAnhang ? "anhang" : CheckB_asBody ? "body" : "none";
  // 6. alternative text
  general.altTextEnabled = CB_AltText;
  // 7. directory (and 6.'s text)
  general.useAD = RG_useAD == 0;
  TakeTexts(kGeneralTexts, *this, general);
  TakeTransportSecurity(general);
  // 8.-9. attribute list
  if (general.useAD && !ContainsMail(M_FieldNames)) {
    ui_.ShowMessage(
          "Der Active Directory-Feldname \"mail\" steht für die E-Mail Adressen der Benutzer.\n"
          "Dieses Attribut muss in der Liste enthalten sein und wurde automatisch hinzugefügt.");
    M_FieldNames = WithMailLineFirst(M_FieldNames);
  }
  PutFieldNames(general, M_FieldNames);
  SetGeneralSettings(general);
  // Timer, verbosity and preview page take effect before the port is read.
  if (apply_) apply_(general);

  // 10. HTTP port (a text that is no whole number ends the take-over here)
  general.httpPort = qm::StrToInt(Ed_HTTPPort);
  general.httpServerActive = CB_HTTPServer_active;
  SetGeneralSettings(general);

  // 11. restart the HTTP server
  if (serverRestart_) serverRestart_(general.httpPort, general.httpServerActive);
}

void TFSettings::EditSettings() {
  Guarded(ui_, [this] { SettingsToDialog(); });
  const ModalResult result = ui_.ShowModalDialog(qm::text::kWindowSettings);
  if (result == ModalResult::Ok) {
    Guarded(ui_, [this] {
      DialogToSettings();
      // The service box is no part of a profile but is taken over with the
      // dialog's other values; cancel leaves the state value as it was.
      SetStateValue("service", CheckBox_service ? "true" : "false");
      if (CB_profil.empty()) CB_profil = "default";
      SaveSettings();
      ::WriteLog("Einstellungen gespeichert.", ltInformation);
    });
    return;
  }
  // Cancel: the directory connection goes back to the stored records.
  Guarded(ui_, [this] {
    const DirectorySettings dir = GetDirectorySettings();
    const GeneralSettings general = GetGeneralSettings();
    db_.ConfigureConnection(dir.odbcSource, dir.table, dir.dbUserId, dir.dbPassword, general.adUserId,
                            general.adPassword, LdapTransportOf(general));
  });
}

std::string TFSettings::BtnOKClick() {
  // Read as taking over reads it; a text that is no number is no port.
  if (!qm::IsValidPort(qm::StrToIntDef(Ed_HTTPPort, 0))) {
    ui_.ShowError(kInvalidPortText);
    return "Ed_HTTPPort";
  }
  const struct {
    const std::string& field;
    const char* control;
    const char* message;
  } ports[] = {{E_pop3Port, "E_pop3Port", kInvalidPop3PortText}, {E_smtpPort, "E_smtpPort", kInvalidSmtpPortText}};
  for (const auto& p : ports) {
    if (MailPortOfField(p.field) >= 0) continue;
    ui_.ShowError(p.message);
    return p.control;
  }
  const std::pair<const std::string&, const char*> files[] = {
      {E_tlsCaFile, "E_tlsCaFile"}, {E_httpsCertFile, "E_httpsCertFile"}, {E_httpsKeyFile, "E_httpsKeyFile"}};
  for (const auto& [file, control] : files) {
    if (file.size() <= qm::kFixedTextMax) continue;
    ui_.ShowError(kFileNameTooLongText);
    return control;
  }
  return {};
}

void TFSettings::BtnDBTestClick() {
  Guarded(ui_, [this] {
    if (GetGeneralSettings().useAD && !ContainsMail(M_FieldNames)) {
      ui_.ShowMessage(
            "Der Active Directory- Feldname \"mail\" steht für die E-Mail Adressen der Benutzer.\n"
            "Dieses Attribut muss in der Liste enthalten sein und wurde automatisch hinzugefügt.");
      M_FieldNames = WithMailLineFirst(M_FieldNames);
    }
    const MailSettings mail = GetMailSettings();
    const DirectorySettings dir = GetDirectorySettings();
    const GeneralSettings general = GetGeneralSettings();
    // The test takes the dialog's values over for its duration only; the
    // records are put back whatever happens.
    struct Restore {
      TFSettings& s;
      const MailSettings& m;
      const DirectorySettings& d;
      const GeneralSettings& g;
      ~Restore() {
        s.SetMailSettings(m);
        s.SetDirectorySettings(d);
        s.SetGeneralSettings(g);
      }
    } restore{*this, mail, dir, general};

    DialogToSettings();
    db_.ConfigureConnection(CB_Odbc, CB_tabelle, E_DBUserId, E_DBPass, E_ADUserId, E_ADPass,
                            LdapTransportOf(GetGeneralSettings()));
    const bool found = db_.FindUser("");
    if (RG_useAD == 0) {
      // The address column follows the directory: "mail".
      CB_mailField = "mail";
      ui_.ShowMessage(found ? "Verbindung zum Active Directory erfolgreich hergestellt."
                              : "Fehler! Bitte überprüfen Sie die Einstellungen und Feldnamen.");
      db_.CloseConnection();
    } else {
      // The test window takes this test's lookup cycle over and ends it
      // (CloseConnection) when it is closed.
      db_.ShowTestWindow();
    }
  });
}

void TFSettings::CB_OdbcSelect() {
  Guarded(ui_, [this] {
    CB_tabelle.clear();
    CB_tabelleItems.clear();
    db_.ConfigureConnection(CB_Odbc, CB_tabelle, E_DBUserId, E_DBPass, E_ADUserId, E_ADPass,
                            LdapTransportOf(GetGeneralSettings()));
    db_.ListOdbcTables(CB_tabelleItems);
    DirectorySettings dir = GetDirectorySettings();
    dir.table.clear();
    dir.odbcSource = Cut(CB_Odbc);
    SetDirectorySettings(dir);
  });
}

void TFSettings::CB_tabelleSelect() {
  Guarded(ui_, [this] {
    DirectorySettings dir = GetDirectorySettings();
    dir.table = Cut(CB_tabelle);
    SetDirectorySettings(dir);
    CB_mailField.clear();
    CB_mailFieldItems.clear();
    try {
      db_.ListOdbcColumns(CB_tabelle, CB_mailFieldItems);
    } catch (...) {
      ::WriteLog(qm::text::kDataSourceFailure, ltWarning);
    }
  });
}

void TFSettings::RG_useADClick() {
  GB_ADVisible = RG_useAD == 0;
  GB_ODBCVisible = !GB_ADVisible;
}

void TFSettings::Btn_resetClick() { M_FieldNames = kDefaultFieldNames; }

void TFSettings::CB_AltTextClick() { M_altTextEnabled = CB_AltText; }

void TFSettings::CheckBoxTimerClick() { SpinEdit1Enabled = CheckBoxTimer; }

void TFSettings::CB_pop3SecurityChange() { ShowSecurityDependents(); }

void TFSettings::CB_smtpSecurityChange() { ShowSecurityDependents(); }

void TFSettings::CB_tlsVerifyPeerClick() { ShowSecurityDependents(); }

void TFSettings::CB_HTTPSClick() { ShowSecurityDependents(); }

void TFSettings::CheckBox_serviceClick() {
  // Nothing happens at the click: EditSettings takes the box over on OK.
}

char TFSettings::Ed_HTTPPortKeyPress(char key) { return (key >= '0' && key <= '9') || key == 8 ? key : '\0'; }

void TFSettings::BtnNewProfileClick() {
  Guarded(ui_, [this] {
    auto name = ui_.InputBox("Neues Profil", "Geben Sie einen Namen für das Profil an:", "");
    if (name && !name->empty()) CB_profil = *name;
  });
}

void TFSettings::CB_profilDropDown() {
  CB_profil.clear();
  CB_profilItems.clear();
  const std::string dir = qm::ProgramDirectory();
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const std::string suffix = kProfileSuffix;
  while (dirent* e = ::readdir(d)) {
    const std::string file = e->d_name;
    if (file.size() < suffix.size() || !qm::EndsWithIgnoreCase(file, suffix)) continue;
    if (!qm::FileExists(dir + file)) continue;  // regular files (or links to them) only
    std::string name = file.substr(0, file.size() - suffix.size());
    if (!name.empty()) CB_profilItems.push_back(std::move(name));
  }
  ::closedir(d);
}

void TFSettings::CB_profilSelect() {
  Guarded(ui_, [this] {
    if (!IsSafeProfileName(CB_profil)) return;
    LoadSettings(ProfilePath(CB_profil));
  });
}

void TFSettings::CB_profilCloseUp() {
  if (CB_profil.empty()) CB_profil = "default";
}

void TFSettings::BtnDeleteProfileClick() {
  Guarded(ui_, [this] {
    if (!ui_.ConfirmYesNo("Wollen Sie das Profil \"" + CB_profil + "\" wirklich löschen?")) return;
    if (!IsSafeProfileName(CB_profil) || !qm::DeleteFile(ProfilePath(CB_profil)))
      ui_.ShowMessage("Das Profil konnte nicht gelöscht werden!");
    CB_profilDropDown();
  });
}
