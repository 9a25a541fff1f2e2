// The settings dialog's model: what showing and taking over the records do
// to the controls, the records and the running system, and the profiles.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <Poco/Net/ServerSocket.h>

#include <algorithm>
#include <future>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "directory/UDBUtil.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"

namespace {

const char* kMailMessageDialog =
    "Der Active Directory-Feldname \"mail\" steht für die E-Mail Adressen der Benutzer.\n"
    "Dieses Attribut muss in der Liste enthalten sein und wurde automatisch hinzugefügt.";
const char* kMailMessageTest =
    "Der Active Directory- Feldname \"mail\" steht für die E-Mail Adressen der Benutzer.\n"
    "Dieses Attribut muss in der Liste enthalten sein und wurde automatisch hinzugefügt.";

bool LogHas(const RecordingUserInterface& ui, const std::string& text) {
  for (const auto& l : ui.LogLines())
    if (l.find(": " + text) != std::string::npos) return true;
  return false;
}

// The host of the modal dialog: lets a test act as the user while the
// dialog is shown.
struct DialogHost : RecordingUserInterface {
  std::function<void()> whileShown;
  ModalResult ShowModalDialog(const std::string& dialog) override {
    if (whileShown) whileShown();
    return RecordingUserInterface::ShowModalDialog(dialog);
  }
};

using C = SettingsDialogControls;

// The general record's transport fields, to compare as one.
auto Transport(const GeneralSettings& g) {
  return std::tie(g.pop3Security, g.smtpSecurity, g.ldapSecurity, g.httpSecurity, g.pop3Port, g.smtpPort,
                  g.tlsVerifyPeer, g.tlsCaFile, g.httpsCertFile, g.httpsKeyFile);
}

}  // namespace

class SettingsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    settings.SettingsToDialog();  // the dialog as first shown
  }
  void TearDown() override { ClearState(); }

  GeneralSettings General() { return settings.GetGeneralSettings(); }
  void SetGeneral(const std::function<void(GeneralSettings&)>& change) {
    GeneralSettings g = settings.GetGeneralSettings();
    change(g);
    settings.SetGeneralSettings(g);
  }
  // True when another thread can take DirectoryLock right now.
  bool DirectoryLockIsFree() { return LockIsFree(dbutil.DirectoryLock()); }
  // Shows the records and takes them over again (the server stays off).
  void ShowThenTakeOver() {
    settings.SettingsToDialog();
    settings.CB_HTTPServer_active = false;
    settings.DialogToSettings();
  }

  // Wired as in the programs: taking over restarts this engine's server,
  // and applying the records reaches the controller.
  DialogHost ui;
  TestEngine engine{ProgramKind::Desktop, &ui};
  TestDir& dir = engine.dir;
  TForm_main& form = *engine.main;
  TFSettings& settings = *engine.settings;
  TFDBUtil& dbutil = *engine.db;
  TKomponentModule& module = *engine.http;
};

TEST_F(SettingsDialog, PortOutsideTheRangeShows8081AndStoresIt) {
  struct {
    int stored;
    std::string shown;
  } cases[] = {{0, "8081"}, {-5, "8081"}, {65536, "8081"}, {1, "1"}, {65535, "65535"}, {443, "443"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    SetGeneral([&](GeneralSettings& g) { g.httpPort = c.stored; });
    settings.SettingsToDialog();
    EXPECT_EQ(settings.Ed_HTTPPort, c.shown);
    EXPECT_EQ(General().httpPort, std::stoi(c.shown));
  }
  SetGeneral([](GeneralSettings& g) { g.httpPort = 0; });
  settings.SettingsToDialog();
  settings.CB_profil = "p";
  settings.SaveSettings();
  std::string file = ReadFileBytes(dir / "p.config");
  ASSERT_EQ(file.size(), kProfileSize);
  EXPECT_EQ(qm::GetInt32LE(reinterpret_cast<const std::uint8_t*>(file.data()) + kGeneralOffset + 1804), 8081);
}

TEST_F(SettingsDialog, AttributeListAlwaysHoldsMail) {
  struct {
    std::string stored;
    std::string shown;
  } cases[] = {
      {"", "mail"},
      {"email", "email"},  // "email" contains "mail"
      {"givenName\r\nsn", "mail\r\ngivenName\r\nsn"},
      {"Mail,sn", "mail\r\nMail,sn"},  // case-sensitive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    SetGeneral([&](GeneralSettings& g) { PutFieldNames(g, c.stored); });
    settings.SettingsToDialog();
    EXPECT_EQ(settings.M_FieldNames, c.shown);
  }

  // Taking over with Active Directory and "mail" removed: message, "mail" first.
  settings.RG_useAD = 0;
  settings.M_FieldNames = "givenName\r\nsn";
  settings.DialogToSettings();
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0], kMailMessageDialog);
  EXPECT_EQ(settings.M_FieldNames, "mail\r\ngivenName\r\nsn");
  EXPECT_EQ(GetFieldNames(General()), "mail\r\ngivenName\r\nsn");

  // With a database nothing is added.
  settings.RG_useAD = 1;
  settings.M_FieldNames = "sn";
  settings.DialogToSettings();
  EXPECT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(GetFieldNames(General()), "sn");

  // A long list is split 254 + 255 bytes; the rest is dropped.
  settings.M_FieldNames = std::string(600, 'x') + "mail";
  settings.DialogToSettings();
  EXPECT_EQ(General().fieldNames1, std::string(254, 'x'));
  EXPECT_EQ(General().fieldNames2, std::string(255, 'x'));
}

TEST_F(SettingsDialog, DeliveryBoxes) {
  struct {
    bool anhang, body;
    std::string sendAs;
  } cases[] = {{false, false, "none"}, {true, false, "anhang"}, {false, true, "body"}, {true, true, "both"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sendAs);
    settings.CheckB_asAnhang = c.anhang;
    settings.CheckB_asBody = c.body;
    settings.DialogToSettings();
    EXPECT_EQ(General().sendAs, c.sendAs);
    settings.CheckB_asAnhang = !c.anhang;
    settings.CheckB_asBody = !c.body;
    settings.SettingsToDialog();
    EXPECT_EQ(settings.CheckB_asAnhang, c.anhang);
    EXPECT_EQ(settings.CheckB_asBody, c.body);
  }
}

TEST_F(SettingsDialog, TimerVerbosityAndPreviewReachTheRunningSystem) {
  settings.CheckBoxTimer = true;
  settings.SpinEdit1 = 3;
  settings.RadioGroup_typeContent = ctRichText;
  settings.CB_verbosity = "Fehler";
  settings.DialogToSettings();
  EXPECT_EQ(form.Timer1().interval, 180000u);
  EXPECT_TRUE(form.Timer1().enabled);
  EXPECT_EQ(ui.Label("LStatusTimer"), "ein");
  ASSERT_FALSE(ui.pages.empty());
  EXPECT_EQ(ui.pages.back(), std::make_pair(std::string("TabS_preview"), true));
  EXPECT_EQ(form.Verbosity(), 2);
  EXPECT_EQ(General().intervalMinutes, 3);
  EXPECT_TRUE(General().timerEnabled);
  EXPECT_EQ(General().contentType, ctRichText);

  settings.CheckBoxTimer = false;
  settings.RadioGroup_typeContent = ctText;
  settings.CB_verbosity = "nichts davon";  // matches no item: the stored value stays
  settings.DialogToSettings();
  EXPECT_FALSE(form.Timer1().enabled);
  EXPECT_EQ(ui.Label("LStatusTimer"), "aus");
  EXPECT_EQ(ui.pages.back(), std::make_pair(std::string("TabS_preview"), false));
  EXPECT_EQ(General().verbosity, 2);

  // Shown: the item of the stored verbosity, the interval clamped to the
  // field's range while the timer gets the stored value.
  struct {
    int minutes;
    int shown;
    unsigned ms;
    bool enabled;
  } cases[] = {{0, 1, 0, false}, {5, 5, 300000, true}, {5000, 2880, 300000000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    SetGeneral([&](GeneralSettings& g) {
      g.intervalMinutes = c.minutes;
      g.timerEnabled = true;
      g.verbosity = 1;
    });
    settings.SettingsToDialog();
    EXPECT_EQ(settings.SpinEdit1, c.shown);
    EXPECT_TRUE(settings.SpinEdit1Enabled);
    EXPECT_EQ(form.Timer1().interval, c.ms);
    EXPECT_EQ(form.Timer1().enabled, c.enabled);
    EXPECT_EQ(ui.Label("LStatusTimer"), "ein");
    EXPECT_EQ(settings.CB_verbosity, "Fehler & Warnungen");
    EXPECT_EQ(form.Verbosity(), 1);
  }
}

TEST_F(SettingsDialog, TextsAreCutTo255BytesAndRoundTrip) {
  settings.E_pop3Host = std::string(300, 'h');
  settings.ME_smtppass = "geheim";
  settings.CB_Odbc = "dsn";
  settings.CB_mailField = "email";
  settings.M_altText = "Zeile 1\r\nZeile 2";
  settings.CB_AltText = true;
  settings.RG_useAD = 1;
  settings.DialogToSettings();
  EXPECT_EQ(settings.GetMailSettings().pop3Host, std::string(255, 'h'));
  EXPECT_EQ(settings.GetMailSettings().smtpPassword, "geheim");
  EXPECT_EQ(settings.GetDirectorySettings().odbcSource, "dsn");
  EXPECT_EQ(settings.GetAddressField(), "email");
  EXPECT_FALSE(General().useAD);

  settings.E_pop3Host.clear();
  settings.M_altTextEnabled = false;
  settings.SettingsToDialog();
  EXPECT_EQ(settings.E_pop3Host, std::string(255, 'h'));
  EXPECT_EQ(settings.M_altText, "Zeile 1\r\nZeile 2");
  EXPECT_TRUE(settings.M_altTextEnabled);
  EXPECT_EQ(settings.RG_useAD, 1);
  EXPECT_FALSE(settings.GB_ADVisible);
  EXPECT_TRUE(settings.GB_ODBCVisible);
}

TEST_F(SettingsDialog, EditSettingsTakesOverAndSavesOnOkOnly) {
  settings.CB_profil = "default";
  ui.whileShown = [&] { settings.E_pop3Host = "pop.example.test"; };
  ui.modalAnswers.push_back(ModalResult::Cancel);
  settings.EditSettings();
  EXPECT_EQ(ui.modalDialogs, std::vector<std::string>{"TFSettings"});
  EXPECT_FALSE(qm::FileExists(dir / "default.config"));
  EXPECT_EQ(settings.GetMailSettings().pop3Host, "");
  EXPECT_EQ(settings.E_pop3Host, "pop.example.test") << "the controls keep the edited values";

  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  EXPECT_EQ(settings.GetMailSettings().pop3Host, "pop.example.test");
  EXPECT_TRUE(qm::FileExists(dir / "default.config"));
  EXPECT_TRUE(LogHas(ui, "Einstellungen gespeichert."));
  EXPECT_EQ(GetStateValue("profilename"), "default");
  EXPECT_TRUE(ui.errors.empty());
}

// "Leere Zeilen weglassen": shown from the record, taken over and saved on
// OK only, stored in the profile's byte 5393.
TEST_F(SettingsDialog, DropEmptyLinesBoxIsTakenOverOnOk) {
  settings.CB_profil = "default";
  EXPECT_FALSE(settings.CB_dropEmptyLines) << "a new profile keeps every line";
  struct {
    ModalResult answer;
    bool checked, stored;
  } cases[] = {{ModalResult::Cancel, true, false},
               {ModalResult::Ok, true, true},
               {ModalResult::Cancel, false, true},
               {ModalResult::Ok, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.answer == ModalResult::Ok ? "OK, " : "cancel, ") + (c.checked ? "on" : "off"));
    ui.whileShown = [&] { settings.CB_dropEmptyLines = c.checked; };
    ui.modalAnswers.push_back(c.answer);
    settings.EditSettings();
    EXPECT_EQ(General().dropEmptyLines, c.stored);
    settings.SettingsToDialog();
    EXPECT_EQ(settings.CB_dropEmptyLines, c.stored) << "shown again as stored";
    if (c.answer == ModalResult::Ok) {
      EXPECT_EQ(ReadFileBytes(dir / "default.config").at(5393), c.stored ? 1 : 0);
    }
  }
  EXPECT_TRUE(ui.errors.empty());
}

TEST_F(SettingsDialog, PortThatIsNoNumberStopsTheTakeOverBeforeSaving) {
  settings.CB_profil = "default";
  for (const char* port : {"", "12a"}) {
    SCOPED_TRACE(port);
    ui.errors.clear();
    ui.whileShown = [&] {
      settings.E_pop3Host = "pop.example.test";
      settings.CheckBoxTimer = true;
      settings.Ed_HTTPPort = port;
    };
    ui.modalAnswers.push_back(ModalResult::Ok);
    settings.EditSettings();
    ASSERT_EQ(ui.errors.size(), 1u);
    EXPECT_EQ(ui.errors[0], std::string("'") + port + "' ist kein gültiger Integerwert");
    EXPECT_FALSE(qm::FileExists(dir / "default.config"));
    EXPECT_FALSE(LogHas(ui, "Einstellungen gespeichert."));
    // What came before the port is taken over and in effect.
    EXPECT_EQ(settings.GetMailSettings().pop3Host, "pop.example.test");
    EXPECT_TRUE(form.Timer1().enabled);
    EXPECT_EQ(General().httpPort, 8081) << "the port stays as shown";
  }
}

TEST_F(SettingsDialog, TakingOverRestartsTheHttpServer) {
  Poco::Net::ServerSocket probe;
  probe.bind(Poco::Net::SocketAddress("0.0.0.0", 0), false, false);
  const std::uint16_t port = probe.address().port();
  probe.close();
  ::mkdir((dir / "temp").c_str(), 0755);
  WriteFileBytes(dir / "temp/f.txt", "file");

  settings.Ed_HTTPPort = std::to_string(port);
  settings.CB_HTTPServer_active = true;
  settings.DialogToSettings();
  EXPECT_TRUE(module.IdHTTPServer1.Active());
  EXPECT_EQ(module.IdHTTPServer1.DefaultPort(), port);
  EXPECT_EQ(RawHttpExchange(port, RawHttpGet("/f.txt")).body, "file");
  EXPECT_EQ(General().httpPort, port);
  EXPECT_TRUE(General().httpServerActive);

  settings.CB_HTTPServer_active = false;
  settings.DialogToSettings();
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  EXPECT_LT(RawHttpConnect(port), 0);
}

// OK with a port that another program holds: the failure is shown in the
// system's words with the system's text for it, the server stays off and
// the profile is not saved.
TEST_F(SettingsDialog, TakenPortOnOkIsShownInTheSystemsWords) {
  Poco::Net::ServerSocket other;
  other.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
  other.listen();
  const std::uint16_t port = other.address().port();
  settings.CB_profil = "default";
  ui.whileShown = [&] {
    settings.Ed_HTTPPort = std::to_string(port);
    settings.CB_HTTPServer_active = true;
  };
  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  EXPECT_EQ(ui.errors, std::vector<std::string>{"Der HTTP-Server konnte nicht auf Port " + std::to_string(port) +
                                                " gestartet werden: Address already in use"});
  EXPECT_FALSE(module.IdHTTPServer1.Active());
  EXPECT_FALSE(LogHas(ui, "Einstellungen gespeichert."));
  EXPECT_FALSE(qm::FileExists(dir / "default.config"));
}

// "&OK" keeps the dialog open for a port field that holds no port, whether
// the server is on or off, and names the field to correct.
TEST_F(SettingsDialog, OkRefusesAFieldThatHoldsNoPort) {
  struct {
    const char* field;
    bool accepted;
  } cases[] = {{"1", true}, {"8081", true},   {"65535", true},  {"00080", true}, {"0", false},
               {"", false}, {"65536", false}, {"99999", false}, {"00000", false}};
  for (bool serverOn : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.field) + (serverOn ? ", server on" : ", server off"));
      settings.SettingsToDialog();
      settings.CB_HTTPServer_active = serverOn;
      settings.Ed_HTTPPort = c.field;
      ui.errors.clear();
      const GeneralSettings before = General();
      EXPECT_EQ(settings.BtnOKClick(), c.accepted ? "" : "Ed_HTTPPort");
      EXPECT_EQ(ui.errors, c.accepted ? std::vector<std::string>{} : std::vector<std::string>{kInvalidPortText});
      EXPECT_EQ(General().httpPort, before.httpPort) << "nothing taken over";
      EXPECT_EQ(settings.Ed_HTTPPort, c.field) << "the field keeps the text to correct";
    }
  }
}

// The transport-security controls show the general record's fields, the
// empty port fields the chosen mode's standard port as their hint, and
// taking over gives the record back unchanged.
TEST_F(SettingsDialog, TransportSecurityShownAndTakenBack) {
  const std::string longPath = "/" + std::string(254, 'p');
  struct {
    std::uint8_t pop3, smtp, ldap, http;
    std::int32_t pop3Port, smtpPort;
    bool verify;
    std::string ca, cert, key;
    const char *pop3Shown, *pop3Hint, *smtpShown, *smtpHint;
  } cases[] = {
      {msNone, msNone, lsNone, hsNone, 0, 0, true, "", "", "", "", "110", "", "25"},
      {msStartTls, msStartTls, lsStartTls, hsTls, 0, 0, false, "/etc/ca.pem", "/srv/c.pem", "/srv/k.pem", "", "110", "",
       "587"},
      {msImplicitTls, msImplicitTls, lsLdaps, hsTls, 0, 0, true, "", "", "", "", "995", "", "465"},
      {msImplicitTls, msStartTls, lsNone, hsNone, 1995, 65535, true, longPath, longPath, longPath, "1995", "995",
       "65535", "587"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pop3Shown) + "/" + c.smtpShown + " " + std::to_string(c.pop3) + std::to_string(c.smtp));
    SetGeneral([&](GeneralSettings& g) {
      g.httpPort = 8081;
      g.pop3Security = c.pop3;
      g.smtpSecurity = c.smtp;
      g.ldapSecurity = c.ldap;
      g.httpSecurity = c.http;
      g.pop3Port = c.pop3Port;
      g.smtpPort = c.smtpPort;
      g.tlsVerifyPeer = c.verify;
      g.tlsCaFile = c.ca;
      g.httpsCertFile = c.cert;
      g.httpsKeyFile = c.key;
    });
    const GeneralSettings before = General();
    settings.SettingsToDialog();
    EXPECT_EQ(settings.CB_pop3Security, c.pop3);
    EXPECT_EQ(settings.CB_smtpSecurity, c.smtp);
    EXPECT_EQ(settings.CB_ldapSecurity, c.ldap);
    EXPECT_EQ(settings.CB_HTTPS, c.http == hsTls);
    EXPECT_EQ(settings.HttpsFilesEnabled, c.http == hsTls);
    EXPECT_EQ(settings.E_pop3Port, c.pop3Shown);
    EXPECT_EQ(settings.E_pop3PortHint, c.pop3Hint);
    EXPECT_EQ(settings.E_smtpPort, c.smtpShown);
    EXPECT_EQ(settings.E_smtpPortHint, c.smtpHint);
    EXPECT_EQ(settings.CB_tlsVerifyPeer, c.verify);
    EXPECT_EQ(settings.L_noVerifyVisible, !c.verify);
    EXPECT_EQ(settings.E_tlsCaFile, c.ca);
    EXPECT_EQ(settings.E_httpsCertFile, c.cert);
    EXPECT_EQ(settings.E_httpsKeyFile, c.key);
    // Another record's values in between, so that taking over must write them.
    SetGeneral([](GeneralSettings& g) {
      g.pop3Security = g.smtpSecurity = g.ldapSecurity = 7;
      g.pop3Port = g.smtpPort = 9;
      g.tlsVerifyPeer = !g.tlsVerifyPeer;
      g.tlsCaFile = g.httpsCertFile = g.httpsKeyFile = "x";
      g.httpSecurity = g.httpSecurity == hsTls ? hsNone : hsTls;
    });
    settings.CB_HTTPServer_active = before.httpServerActive;
    settings.DialogToSettings();
    EXPECT_EQ(Transport(General()), Transport(before));
  }
}

// Changing a mode shows its standard port as the hint; the verification box
// shows or hides the note; HTTPS enables its file fields.
TEST_F(SettingsDialog, SecurityControlsUpdateWhatFollowsThem) {
  const char* pop3Hints[] = {"110", "110", "995"};
  const char* smtpHints[] = {"25", "587", "465"};
  for (int mode = 0; mode < 3; ++mode) {
    settings.CB_pop3Security = settings.CB_smtpSecurity = mode;
    settings.CB_pop3SecurityChange();
    EXPECT_EQ(settings.E_pop3PortHint, pop3Hints[mode]);
    settings.CB_smtpSecurityChange();
    EXPECT_EQ(settings.E_smtpPortHint, smtpHints[mode]);
  }
  for (bool on : {false, true}) {
    settings.CB_tlsVerifyPeer = on;
    settings.CB_tlsVerifyPeerClick();
    EXPECT_EQ(settings.L_noVerifyVisible, !on);
    settings.CB_HTTPS = on;
    settings.CB_HTTPSClick();
    EXPECT_EQ(settings.HttpsFilesEnabled, on);
  }
}

// "&OK" takes a mail port field that is empty or 0 (the standard port) or
// holds a port, and names the field to correct otherwise; a file name must
// fit its 255 bytes.
TEST_F(SettingsDialog, OkChecksMailPortsAndFileNames) {
  struct {
    const char* field;
    bool accepted;
  } ports[] = {{"", true},       {"0", true},      {"000", true},  {"1", true}, {"995", true},
               {"65535", true},  {"65536", false}, {"99999", false}, {"9a", false}, {" 25", false}};
  const struct {
    std::string SettingsDialogControls::*field;
    const char* control;
    const char* message;
  } portFields[] = {{&C::E_pop3Port, "E_pop3Port", kInvalidPop3PortText},
                    {&C::E_smtpPort, "E_smtpPort", kInvalidSmtpPortText}};
  for (const auto& f : portFields) {
    for (const auto& p : ports) {
      SCOPED_TRACE(std::string(f.control) + " \"" + p.field + "\"");
      settings.SettingsToDialog();
      settings.*f.field = p.field;
      ui.errors.clear();
      const GeneralSettings before = General();
      EXPECT_EQ(settings.BtnOKClick(), p.accepted ? "" : f.control);
      EXPECT_EQ(ui.errors, p.accepted ? std::vector<std::string>{} : std::vector<std::string>{f.message});
      EXPECT_EQ(General(), before) << "nothing taken over";
    }
  }
  for (auto field : {&C::E_tlsCaFile, &C::E_httpsCertFile, &C::E_httpsKeyFile}) {
    for (std::size_t size : {std::size_t{255}, std::size_t{256}}) {
      settings.SettingsToDialog();
      settings.*field = std::string(size, 'f');
      ui.errors.clear();
      const std::string control = settings.BtnOKClick();
      EXPECT_EQ(control.empty(), size == 255) << control;
      EXPECT_EQ(ui.errors.size(), size == 255 ? 0u : 1u);
      if (size == 256) {
        EXPECT_EQ(ui.errors.front(), kFileNameTooLongText);
      }
    }
  }
}

// A profile of an older version (zero where the transport fields are) shows
// plain connections on the standard ports with verification on, and OK
// without an edit writes it back byte for byte, its reserved bytes included.
TEST_F(SettingsDialog, OlderProfileShowsPlainAndOkWritesItBackUnchanged) {
  settings.CB_profil = "old";
  SetGeneral([](GeneralSettings& g) { g.httpPort = 8081; });
  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  const std::string path = dir / "old.config";
  std::string older = ReadFileBytes(path);
  ASSERT_EQ(older.size(), kProfileSize);
  EXPECT_EQ(older.substr(5394, 6175 - 5394), std::string(6175 - 5394, '\0')) << "no transport field set";
  for (std::size_t i = 6175; i < older.size(); ++i) older[i] = static_cast<char>((i * 7 + 3) % 251 + 1);
  WriteFileBytes(path, older);
  settings.LoadSettings(path);

  ui.whileShown = [&] {
    EXPECT_EQ(kPop3SecurityItems.at(settings.CB_pop3Security), "Keine");
    EXPECT_EQ(kSmtpSecurityItems.at(settings.CB_smtpSecurity), "Keine");
    EXPECT_EQ(kLdapSecurityItems.at(settings.CB_ldapSecurity), "Keine");
    EXPECT_EQ(settings.E_pop3Port, "");
    EXPECT_EQ(settings.E_smtpPort, "");
    EXPECT_TRUE(settings.CB_tlsVerifyPeer);
    EXPECT_FALSE(settings.L_noVerifyVisible);
    EXPECT_FALSE(settings.CB_HTTPS);
    EXPECT_EQ(settings.BtnOKClick(), "");
  };
  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(ReadFileBytes(path), older);
}

// The service box is taken over like every other control: on OK only, and
// only when the take-over got through (a bad port saves nothing).
TEST_F(SettingsDialog, ServiceBoxIsTakenOverOnOkOnly) {
  struct {
    const char* what;
    const char* before;
    bool box;
    const char* port;
    ModalResult answer;
    const char* after;
  } cases[] = {
      {"ticked, OK", "false", true, "8081", ModalResult::Ok, "true"},
      {"cleared, OK", "true", false, "8081", ModalResult::Ok, "false"},
      {"ticked, Abbrechen", "false", true, "8081", ModalResult::Cancel, "false"},
      {"cleared, Abbrechen", "true", false, "8081", ModalResult::Cancel, "true"},
      {"ticked, never set before, Abbrechen", "", true, "8081", ModalResult::Cancel, ""},
      {"ticked, OK with a port that is no number", "false", true, "", ModalResult::Ok, "false"},
  };
  settings.CB_profil = "default";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetStateValue("service", c.before);
    ui.whileShown = [&] {
      settings.CheckBox_service = c.box;
      settings.CheckBox_serviceClick();
      EXPECT_EQ(GetStateValue("service"), c.before) << "nothing at the click";
      settings.Ed_HTTPPort = c.port;
    };
    ui.modalAnswers.push_back(c.answer);
    settings.EditSettings();
    EXPECT_EQ(GetStateValue("service"), c.after);
  }
}

TEST_F(SettingsDialog, SmallHandlers) {
  settings.RG_useAD = 1;
  settings.RG_useADClick();
  EXPECT_FALSE(settings.GB_ADVisible);
  EXPECT_TRUE(settings.GB_ODBCVisible);
  settings.RG_useAD = 0;
  settings.RG_useADClick();
  EXPECT_TRUE(settings.GB_ADVisible);
  EXPECT_FALSE(settings.GB_ODBCVisible);

  settings.Btn_resetClick();
  EXPECT_EQ(settings.M_FieldNames,
            "givenName,sn,telephoneNumber,mail,wWWHomePage,streetAddress,postalcode,facsimileTelephoneNumber,company");

  settings.CB_AltText = true;
  settings.CB_AltTextClick();
  EXPECT_TRUE(settings.M_altTextEnabled);
  settings.CheckBoxTimer = false;
  settings.CheckBoxTimerClick();
  EXPECT_FALSE(settings.SpinEdit1Enabled);
}

// The port field takes digits and backspace; every other key is discarded
// (0), including the neighbours of the digit range, signs, space, delete
// and bytes of a UTF-8 sequence.
TEST(SettingsPortKeys, DigitsAndBackspacePassEverythingElseIsDiscarded) {
  const struct {
    char key;
    char result;
  } cases[] = {
      {'0', '0'},   {'5', '5'},  {'9', '9'},   {'\b', '\b'},   {'/', '\0'},    {':', '\0'},
      {'-', '\0'},  {'+', '\0'}, {' ', '\0'},  {'a', '\0'},    {'O', '\0'},    {'\t', '\0'},
      {'\r', '\0'}, {127, '\0'}, {'\0', '\0'}, {'\xC3', '\0'}, {'\xB9', '\0'},
  };
  for (const auto& c : cases) EXPECT_EQ(TFSettings::Ed_HTTPPortKeyPress(c.key), c.result) << int(c.key);
}

TEST_F(SettingsDialog, ConnectionTestKeepsTheRecordsAndReports) {
  // Active Directory stored, "mail" missing: the test's own message.
  SetGeneral([](GeneralSettings& g) { g.useAD = true; });
  settings.RG_useAD = 0;
  settings.M_FieldNames = "sn";
  settings.E_pop3Host = "not taken over";
  settings.Ed_HTTPPort = "8081";
  settings.CB_mailField = "email";
  settings.BtnDBTestClick();
  EXPECT_EQ(settings.CB_mailField, "mail") << "the address column follows the directory";
  ASSERT_GE(ui.messages.size(), 2u);
  EXPECT_EQ(ui.messages[0], kMailMessageTest);
  EXPECT_EQ(settings.M_FieldNames, "mail\r\nsn");
  EXPECT_EQ(ui.messages.back(), "Fehler! Bitte überprüfen Sie die Einstellungen und Feldnamen.");
  EXPECT_EQ(settings.GetMailSettings().pop3Host, "") << "the records are put back";
  EXPECT_TRUE(ui.windows.empty());

  // A database: the test window is shown instead of a message, and it holds
  // the test's lookup cycle (its FindUser failed here: no data source) until
  // it is closed; a second test while it is shown adds its own cycle.
  ui.messages.clear();
  settings.RG_useAD = 1;
  settings.BtnDBTestClick();
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(ui.windows, std::vector<std::string>{"TFDBUtil"});
  EXPECT_TRUE(General().useAD) << "the records are put back";
  EXPECT_TRUE(dbutil.Visible());
  EXPECT_EQ(dbutil.HeldCycles(), 1);
  settings.BtnDBTestClick();
  EXPECT_EQ(dbutil.HeldCycles(), 2);
  EXPECT_FALSE(DirectoryLockIsFree());
  dbutil.Button_FDBUtil_closeClick();
  EXPECT_FALSE(dbutil.Visible());
  EXPECT_TRUE(DirectoryLockIsFree());
}

// The directory connection carries the security chosen: the stored one when
// the dialog shows the records, the dialog's own for "Verbindung testen".
TEST_F(SettingsDialog, DirectoryConnectionCarriesTheChosenSecurity) {
  SetGeneral([](GeneralSettings& g) {
    g.useAD = true;
    g.ldapSecurity = lsStartTls;
    g.adUserId = "reader";
  });
  ui.whileShown = [&] {
    EXPECT_NE(dbutil.ADOConnection_AD.ConnectionString().find(";ADSI Flag=-2147483520"), std::string::npos)
        << dbutil.ADOConnection_AD.ConnectionString();
    settings.CB_ldapSecurity = 2;  // LDAPS
    settings.E_tlsCaFile = "/etc/quillmark/ca;1.pem";
    settings.CB_tlsVerifyPeer = false;
    settings.BtnDBTestClick();
    const std::string tested = dbutil.ADOConnection_AD.ConnectionString();
    EXPECT_NE(tested.find(";ADSI Flag=-2147483646;TLS CA File=\"/etc/quillmark/ca;1.pem\";TLS Verify Peer=False"),
              std::string::npos)
        << tested;
  };
  ui.modalAnswers.push_back(ModalResult::Cancel);
  settings.EditSettings();
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages.back(), "Fehler! Bitte überprüfen Sie die Einstellungen und Feldnamen.") << "the test ran";
  // Cancel: back to the stored records.
  const std::string stored = dbutil.ADOConnection_AD.ConnectionString();
  EXPECT_EQ(stored.substr(stored.find("ADSI Flag")), "ADSI Flag=-2147483520") << stored;
  EXPECT_EQ(General().ldapSecurity, lsStartTls);
}

TEST_F(SettingsDialog, PickingADataSourceEmptiesTheTableAtOnceAndListsItsTables) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.Execute("CREATE VIEW staff AS SELECT mail FROM users");
  DirectorySettings d;
  d.odbcSource = "old";
  d.table = "old_table";
  settings.SetDirectorySettings(d);
  settings.SettingsToDialog();

  settings.CB_Odbc = odbc.Dsn();
  settings.CB_OdbcSelect();
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(settings.CB_tabelle, "");
  std::sort(settings.CB_tabelleItems.begin(), settings.CB_tabelleItems.end());
  EXPECT_EQ(settings.CB_tabelleItems, (qm::TextList{"staff", "users"}));
  EXPECT_EQ(settings.GetDirectorySettings().table, "") << "at once, before OK or cancel";
  EXPECT_EQ(settings.GetDirectorySettings().odbcSource, odbc.Dsn());

  settings.CB_mailField = "stale";
  settings.CB_tabelle = "users";
  settings.CB_tabelleSelect();
  EXPECT_EQ(settings.GetDirectorySettings().table, "users");
  EXPECT_EQ(settings.CB_mailField, "");
  EXPECT_EQ(settings.CB_mailFieldItems,
            (qm::TextList{"mail", "givenName", "sn", "telephoneNumber", "otherTelephone", "company"}));

  // Cancelling keeps the record changes.
  ui.modalAnswers.push_back(ModalResult::Cancel);
  settings.EditSettings();
  EXPECT_EQ(settings.GetDirectorySettings().table, "users");

  // A data source that cannot be reached: the failure reaches the error
  // display and the record stays as it was.
  settings.CB_Odbc = "nosuch";
  settings.CB_OdbcSelect();
  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0].rfind("ODBC-Verbindung fehlgeschlagen: [IM002] ", 0), 0u) << ui.errors[0];
  EXPECT_EQ(settings.GetDirectorySettings().odbcSource, odbc.Dsn());
  settings.CB_tabelle = "users";
  settings.CB_tabelleSelect();
  EXPECT_TRUE(LogHas(ui, "Quillmark konnte sich nicht mit der Datenquelle verbinden."));
  EXPECT_TRUE(settings.CB_mailFieldItems.empty());
}

TEST_F(SettingsDialog, ShowingADatabaseProfileListsItsTables) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  DirectorySettings d;
  d.odbcSource = odbc.Dsn();
  d.table = "users";
  settings.SetDirectorySettings(d);
  SetGeneral([](GeneralSettings& g) { g.useAD = false; });
  settings.SettingsToDialog();
  EXPECT_EQ(settings.CB_tabelleItems, qm::TextList{"users"});
  EXPECT_EQ(settings.CB_tabelle, "users");

  d.odbcSource = "nosuch";  // a failure while listing is ignored
  settings.SetDirectorySettings(d);
  settings.SettingsToDialog();
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(settings.CB_tabelle, "users");
}

class SettingsProfiles : public SettingsDialog {
 protected:
  void SetUp() override {
    SettingsDialog::SetUp();
    for (const char* f : {"a.config", "b.config", ".config", "C.CONFIG", "notes.txt", "config"})
      WriteFileBytes(dir / f, std::string(kProfileSize, '\0'));
    ::mkdir((dir / "folder.config").c_str(), 0755);
  }
  std::vector<std::string> SortedItems() {
    auto items = settings.CB_profilItems;
    std::sort(items.begin(), items.end());
    return items;
  }
};

TEST_F(SettingsProfiles, ListCloseUpAndDelete) {
  settings.CB_profil = "a";
  settings.CB_profilDropDown();
  EXPECT_EQ(settings.CB_profil, "");
  EXPECT_EQ(SortedItems(), (std::vector<std::string>{"C", "a", "b"}));
  settings.CB_profilCloseUp();
  EXPECT_EQ(settings.CB_profil, "default");

  // Delete on No: nothing happens.
  settings.CB_profil = "a";
  ui.confirmAnswers.push_back(false);
  settings.BtnDeleteProfileClick();
  EXPECT_TRUE(qm::FileExists(dir / "a.config"));
  EXPECT_EQ(ui.confirms.back(), "Wollen Sie das Profil \"a\" wirklich löschen?");

  // Delete on Yes: the file is gone and the list is read again.
  ui.confirmAnswers.push_back(true);
  settings.BtnDeleteProfileClick();
  EXPECT_FALSE(qm::FileExists(dir / "a.config"));
  EXPECT_EQ(SortedItems(), (std::vector<std::string>{"C", "b"}));
  EXPECT_EQ(settings.CB_profil, "");
  EXPECT_TRUE(ui.messages.empty());

  // A profile that is not there cannot be deleted.
  settings.CB_profil = "missing";
  ui.confirmAnswers.push_back(true);
  settings.BtnDeleteProfileClick();
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Das Profil konnte nicht gelöscht werden!"});
  EXPECT_EQ(SortedItems(), (std::vector<std::string>{"C", "b"}));
}

TEST_F(SettingsProfiles, CloseUpWithoutPickKeepsTheSettingsAndOkSavesThemAsDefault) {
  SetGeneral([](GeneralSettings& g) { g.adPath = "dc=kept"; });
  ui.whileShown = [&] {
    settings.CB_profilDropDown();
    settings.CB_profilCloseUp();
  };
  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  EXPECT_EQ(settings.CB_profil, "default");
  ASSERT_TRUE(qm::FileExists(dir / "default.config"));
  settings.SetGeneralSettings(GeneralSettings{});
  settings.LoadSettings(dir / "default.config");
  EXPECT_EQ(General().adPath, "dc=kept");
}

TEST_F(SettingsProfiles, OkAfterDeletingSavesAsDefaultNotAsDotConfig) {
  qm::DeleteFile(dir / ".config");
  ui.whileShown = [&] {
    settings.CB_profil = "b";
    ui.confirmAnswers.push_back(true);
    settings.BtnDeleteProfileClick();  // leaves the selector empty
  };
  ui.modalAnswers.push_back(ModalResult::Ok);
  settings.EditSettings();
  EXPECT_FALSE(qm::FileExists(dir / ".config"));
  EXPECT_TRUE(qm::FileExists(dir / "default.config"));
  EXPECT_EQ(settings.CB_profil, "default");
  EXPECT_EQ(GetStateValue("profilename"), "default");
}

TEST_F(SettingsProfiles, NewProfileAndSelect) {
  ui.inputAnswers.push_back(std::string("neu"));
  settings.CB_profil = "default";
  settings.BtnNewProfileClick();
  EXPECT_EQ(ui.inputs.back(), "Neues Profil|Geben Sie einen Namen für das Profil an:");
  EXPECT_EQ(settings.CB_profil, "neu");
  EXPECT_FALSE(qm::FileExists(dir / "neu.config")) << "saved only on OK";
  for (std::optional<std::string> answer : {std::optional<std::string>(), std::optional<std::string>("")}) {
    ui.inputAnswers.push_back(answer);
    settings.BtnNewProfileClick();
    EXPECT_EQ(settings.CB_profil, "neu");
  }

  // Picking a profile loads and applies it at once.
  GeneralSettings g;
  g.httpPort = 9999;
  g.timerEnabled = true;
  g.intervalMinutes = 2;
  settings.SetGeneralSettings(g);
  settings.CB_profil = "stored";
  settings.SaveSettings();
  settings.SetGeneralSettings(GeneralSettings{});
  settings.CB_profil = "stored";
  settings.CB_profilSelect();
  EXPECT_EQ(General().httpPort, 9999);
  EXPECT_EQ(settings.Ed_HTTPPort, "9999");
  EXPECT_EQ(form.Timer1().interval, 120000u);
  EXPECT_EQ(ui.Label("LStatusTimer"), "ein");
}
