#pragma once
// The settings dialog "Einstellungen" as an engine model: one field per
// control, named like the control. TFSettings is this model; the Qt dialog
// mirrors the fields (widget object names equal the field names) and calls
// TFSettings' handlers, which live in USettingDialog.cpp.
//
// Multi-line texts (M_FieldNames, M_altText) hold their lines joined by
// CR LF, without a line end after the last line.

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "base/UText.h"

/// The four entries of CB_verbosity, index = stored verbosity.
inline const qm::TextList kVerbosityItems = {"Fehler & Warnungen & Informationen", "Fehler & Warnungen", "Fehler",
                                             "keine Protokollierung"};
/// The attribute list that "Zurücksetzen" puts into M_FieldNames.
inline constexpr const char* kDefaultFieldNames =
    "givenName,sn,telephoneNumber,mail,wWWHomePage,streetAddress,postalcode,facsimileTelephoneNumber,company";
/// What M_altText shows before any text is defined.
inline constexpr const char* kNoAltText = "<Es wurde bisher kein Text definiert>";
/// Longest text Ed_HTTPPort takes.
inline constexpr std::size_t kHttpPortMaxLength = 5;
/// The message of "&OK" for a port field that holds no port.
inline constexpr const char* kInvalidPortText =
    "Bitte geben Sie als Port des HTTP-Servers eine Zahl von 1 bis 65535 ein.";
/// The messages of "&OK" for a mail port field that holds no port (empty
/// or 0 means the security mode's standard port).
inline constexpr const char* kInvalidPop3PortText =
    "Bitte geben Sie als Port des Pop3-Servers eine Zahl von 1 bis 65535 ein oder lassen Sie das Feld für den "
    "Standard-Port leer.";
inline constexpr const char* kInvalidSmtpPortText =
    "Bitte geben Sie als Port des Smtp-Servers eine Zahl von 1 bis 65535 ein oder lassen Sie das Feld für den "
    "Standard-Port leer.";
/// The message of "&OK" for a file name longer than its field's 255 bytes.
inline constexpr const char* kFileNameTooLongText = "Der Dateiname ist zu lang: höchstens 255 Bytes sind möglich.";
/// The entries of the security combo boxes, index = stored mode.
inline const qm::TextList kPop3SecurityItems = {"Keine", "STLS", "SSL/TLS (POP3S)"};
inline const qm::TextList kSmtpSecurityItems = {"Keine", "STARTTLS", "SSL/TLS (SMTPS)"};
inline const qm::TextList kLdapSecurityItems = {"Keine", "StartTLS", "LDAPS"};
/// The note beside CB_tlsVerifyPeer while it is off.
inline constexpr const char* kNoVerifyNote = "Achtung: ohne Prüfung ist die Verbindung nicht vor Angreifern geschützt.";
/// SpinEdit1's range.
inline constexpr int kIntervalMin = 1;
inline constexpr int kIntervalMax = 2880;

struct SettingsDialogControls {
  // Page "E-Mail Server"
  std::string E_pop3Host;
  std::string E_pop3login;
  std::string ME_pop3pass;
  std::string E_SmtpHost;
  std::string E_smtpUserid;
  std::string ME_smtppass;
  std::string E_senderadr;
  int CB_pop3Security = 0;     // index into kPop3SecurityItems
  std::string E_pop3Port;      // empty: the mode's standard port
  std::string E_pop3PortHint;  // the standard port, shown in the empty field
  int CB_smtpSecurity = 0;     // index into kSmtpSecurityItems
  std::string E_smtpPort;
  std::string E_smtpPortHint;
  std::string E_tlsCaFile;
  bool CB_tlsVerifyPeer = true;  // "Serverzertifikate prüfen"
  bool L_noVerifyVisible = false;  // kNoVerifyNote, while the check is off

  // Page "Datenbank"
  int RG_useAD = 0;  // 0 "Windows Active Directory", 1 "Datenbankverbindung"
  bool GB_ADVisible = true;
  bool GB_ODBCVisible = false;
  std::string E_ADPath;
  std::string E_ADUserId;
  std::string E_ADPass;
  int CB_ldapSecurity = 0;  // index into kLdapSecurityItems
  std::string M_FieldNames = "mail";
  std::string CB_Odbc;  // its items: TFSettings::CB_OdbcItems
  std::string E_DBUserId;
  std::string E_DBPass;
  std::string CB_tabelle;
  qm::TextList CB_tabelleItems;
  std::string CB_mailField;
  qm::TextList CB_mailFieldItems;

  // Page "Mail"
  int RadioGroup_typeContent = 0;  // 0 "Text", 1 "HTML", 2 "Rich-Text"
  bool CB_dropEmptyLines = false;  // "Leere Zeilen weglassen"
  bool CheckB_asAnhang = false;
  bool CheckB_asBody = false;
  std::string EAbsender;
  std::string Esubject;
  bool CB_AltText = false;
  std::string M_altText = kNoAltText;
  bool M_altTextEnabled = false;

  // Page "Sonstiges"
  bool CheckBoxTimer = false;
  int SpinEdit1 = 5;
  bool SpinEdit1Enabled = false;
  std::string CB_verbosity;  // text; its items are kVerbosityItems
  bool CheckBox_service = false;
  bool CB_HTTPServer_active = false;
  std::string Ed_HTTPPort;
  bool CB_HTTPS = false;
  std::string E_httpsCertFile;
  std::string E_httpsKeyFile;
  bool HttpsFilesEnabled = false;  // the two file fields, while CB_HTTPS is on

  // Page "Profile": CB_profil (text) is TFSettings::CB_profil.
  qm::TextList CB_profilItems;
};

/// One control whose value the dialog shows and takes back: its name (the
/// Qt widget's object name) and its field of the model.
struct DialogControl {
  const char* name;
  std::variant<std::string SettingsDialogControls::*, bool SettingsDialogControls::*, int SettingsDialogControls::*>
      field;
};
/// Every such control in page order; the Qt dialog copies values by this
/// table, so a widget's object name is its control's name by construction.
/// Item lists, visibility and the profile selector are copied apart.
const std::vector<DialogControl>& SettingsDialogControlTable();
