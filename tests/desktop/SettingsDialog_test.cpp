// The settings dialog opened from the menu: OK takes the controls over and
// applies them, cancel keeps the records; the controls follow the model.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "DesktopTestSupport.h"
#include "LoopbackSocket.h"
#include "MainWindow.h"
#include "SettingsDialog.h"
#include "settings/USetting.h"
#include "base/UProgState.h"
#include "base/UUtils.h"
#include "http/USocketServer.h"

namespace {

struct SettingsDialogTest : ::testing::Test, DesktopFixture {};

TEST_F(SettingsDialogTest, PagesAndCaptions) {
  SettingsDialog& d = app->Settings();
  EXPECT_EQ(d.windowTitle(), "Einstellungen");
  QStringList tabs;
  for (int i = 0; i < d.Pages()->count(); ++i) tabs << d.Pages()->tabText(i);
  EXPECT_EQ(tabs, QStringList({"E-Mail Server", "Datenbank", "Mail", "Sonstiges", "Profile"}));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());  // fixed size
  EXPECT_EQ(Find<QPushButton>(&d, "BtnOK")->text(), "&OK");
  EXPECT_EQ(Find<QPushButton>(&d, "BtnCancel")->text(), "&Abbrechen");
  EXPECT_EQ(Find<QLineEdit>(&d, "E_pop3login")->toolTip(),
            "Login oder Benutzername des EMail Kontos, ggf. EMailadresse.");
  EXPECT_EQ(Find<QLineEdit>(&d, "ME_pop3pass")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Find<QCheckBox>(&d, "CB_AltText")->text(), "Im Fehlerfall Ersatz-E-Mail versenden");
  EXPECT_EQ(Find<QSpinBox>(&d, "SpinEdit1")->maximum(), 2880);
  EXPECT_EQ(Find<QLineEdit>(&d, "Ed_HTTPPort")->maxLength(), 5);
}

TEST_F(SettingsDialogTest, OkTakesOverAndAppliesCancelKeeps) {
  OpenSettings([&](QWidget* d) {
    auto* host = Find<QLineEdit>(d, "E_pop3Host");
    host->setText("pop.example.test");
    Find<QCheckBox>(d, "CheckBoxTimer")->setChecked(true);
    EXPECT_TRUE(Find<QSpinBox>(d, "SpinEdit1")->isEnabled());
    Find<QSpinBox>(d, "SpinEdit1")->setValue(3);
    auto* port = Find<QLineEdit>(d, "Ed_HTTPPort");
    port->setFocus();
    port->clear();
    QTest::keyClicks(port, "80a81x");
    EXPECT_EQ(port->text(), "8081");  // letters are discarded
    Find<QRadioButton>(d, "RadioGroup_typeContent_2")->setChecked(true);
    ClickButton(d, "&OK");
  });
  EXPECT_EQ(FSettings->GetMailSettings().pop3Host, "pop.example.test");
  EXPECT_EQ(FSettings->GetGeneralSettings().httpPort, 8081);
  EXPECT_EQ(FSettings->GetGeneralSettings().contentType, 2);
  EXPECT_EQ(Window().Timer1()->interval(), 180000);
  EXPECT_TRUE(Window().Timer1()->isActive());
  EXPECT_EQ(Find<QLabel>(&Window(), "LStatusTimer")->text(), "ein");
  EXPECT_TRUE(Find<QTabWidget>(&Window(), "PageControl1")->isTabVisible(2));

  OpenSettings([&](QWidget* d) {
    auto* host = Find<QLineEdit>(d, "E_pop3Host");
    EXPECT_EQ(host->text(), "pop.example.test");
    host->setText("anders.example.test");
    ClickButton(d, "&Abbrechen");
  });
  EXPECT_EQ(FSettings->GetMailSettings().pop3Host, "pop.example.test");
}

// "Leere Zeilen weglassen" stands beside the signature type and reaches the
// profile on OK only.
TEST_F(SettingsDialogTest, DropEmptyLinesBox) {
  OpenSettings([&](QWidget* d) {
    auto* box = Find<QCheckBox>(d, "CB_dropEmptyLines");
    EXPECT_EQ(box->text(), "Leere Zeilen weglassen");
    auto* pages = Find<QTabWidget>(d, "PageControl_settings");
    EXPECT_TRUE(pages->widget(2)->isAncestorOf(box)) << "on the page \"Mail\"";
    EXPECT_FALSE(box->isChecked());
    box->setChecked(true);
    ClickButton(d, "&OK");
  });
  EXPECT_TRUE(FSettings->GetGeneralSettings().dropEmptyLines);

  OpenSettings([&](QWidget* d) {
    auto* box = Find<QCheckBox>(d, "CB_dropEmptyLines");
    EXPECT_TRUE(box->isChecked());
    box->setChecked(false);
    ClickButton(d, "&Abbrechen");
  });
  EXPECT_TRUE(FSettings->GetGeneralSettings().dropEmptyLines) << "cancel keeps the record";
}

// Answers the next modal message box with its default button and keeps its
// text.
void AnswerNextMessage(std::string& text) {
  OnNextModal([&text](QWidget* box) {
    text = box->property("text").toString().toStdString();
    static_cast<QDialog*>(box)->accept();
  });
}

// A port no server can use, typed into "Sonstiges" and confirmed with OK:
// the dialog stays open on that page with the focus in the port field and
// says why; cancelling then leaves the stored port and saves nothing.
TEST_F(SettingsDialogTest, OkWithAPortOutOfRangeKeepsTheDialogOpen) {
  // The fresh profile's port 0 becomes 8081 when the dialog shows it.
  const int storedPort = 8081;
  const std::size_t logBefore = Find<QPlainTextEdit>(&Window(), "M_info")->toPlainText().size();
  for (const char* typed : {"99999", "0", ""}) {
    SCOPED_TRACE(typed);
    OpenSettings([&](QWidget* d) {
      auto* pages = Find<QTabWidget>(d, "PageControl_settings");
      pages->setCurrentIndex(0);
      auto* port = Find<QLineEdit>(d, "Ed_HTTPPort");
      port->clear();
      QTest::keyClicks(port, typed);
      std::string message;
      AnswerNextMessage(message);
      ClickButton(d, "&OK");
      EXPECT_EQ(message, kInvalidPortText);
      EXPECT_TRUE(d->isVisible()) << "the dialog stays open";
      EXPECT_EQ(pages->tabText(pages->currentIndex()), "Sonstiges");
      EXPECT_EQ(d->focusWidget(), port);
      EXPECT_EQ(port->text().toStdString(), typed) << "the text stays to be corrected";
      ClickButton(d, "&Abbrechen");
    });
    EXPECT_EQ(FSettings->GetGeneralSettings().httpPort, storedPort);
  }
  ProcessEvents();
  EXPECT_EQ(Find<QPlainTextEdit>(&Window(), "M_info")->toPlainText().size(), logBefore)
      << "no \"Einstellungen gespeichert.\"";

  // Corrected, the same dialog closes with OK.
  OpenSettings([&](QWidget* d) {
    auto* port = Find<QLineEdit>(d, "Ed_HTTPPort");
    port->clear();
    QTest::keyClicks(port, "99999");
    std::string message;
    AnswerNextMessage(message);
    ClickButton(d, "&OK");
    EXPECT_FALSE(message.empty());
    port->clear();
    QTest::keyClicks(port, "8082");
    ClickButton(d, "&OK");
    EXPECT_FALSE(d->isVisible());
  });
  EXPECT_EQ(FSettings->GetGeneralSettings().httpPort, 8082);
}

// The transport-security controls: a fresh profile shows plain connections
// on the standard ports with verification on; the user's changes follow at
// once in the dialog (port hints, note, HTTPS fields) and reach the record
// on OK, a mail port out of range keeps the dialog open on its field.
TEST_F(SettingsDialogTest, TransportSecurityControls) {
  OpenSettings([&](QWidget* d) {
    auto* pop3 = Find<QComboBox>(d, "CB_pop3Security");
    auto* smtp = Find<QComboBox>(d, "CB_smtpSecurity");
    auto* ldap = Find<QComboBox>(d, "CB_ldapSecurity");
    auto* pop3Port = Find<QLineEdit>(d, "E_pop3Port");
    auto* smtpPort = Find<QLineEdit>(d, "E_smtpPort");
    auto* verify = Find<QCheckBox>(d, "CB_tlsVerifyPeer");
    auto* note = Find<QLabel>(d, "L_noVerify");
    auto* https = Find<QCheckBox>(d, "CB_HTTPS");
    auto* cert = Find<QLineEdit>(d, "E_httpsCertFile");
    auto* key = Find<QLineEdit>(d, "E_httpsKeyFile");
    EXPECT_EQ(pop3->currentText(), "Keine");
    EXPECT_EQ(smtp->currentText(), "Keine");
    EXPECT_EQ(ldap->currentText(), "Keine");
    EXPECT_EQ(pop3Port->text(), "");
    EXPECT_EQ(pop3Port->placeholderText(), "110");
    EXPECT_EQ(smtpPort->placeholderText(), "25");
    EXPECT_TRUE(verify->isChecked());
    EXPECT_TRUE(note->isHidden());
    EXPECT_FALSE(https->isChecked());
    EXPECT_FALSE(cert->isEnabled());
    EXPECT_FALSE(Find<QPushButton>(d, "Btn_httpsKeyFile")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>(d, "Btn_tlsCaFile")->isEnabled());

    pop3->setCurrentIndex(2);
    emit pop3->activated(2);
    EXPECT_EQ(pop3Port->placeholderText(), "995");
    smtp->setCurrentIndex(1);
    emit smtp->activated(1);
    EXPECT_EQ(smtp->currentText(), "STARTTLS");
    EXPECT_EQ(smtpPort->placeholderText(), "587");
    ldap->setCurrentIndex(2);
    verify->setChecked(false);
    EXPECT_FALSE(note->isHidden());
    EXPECT_EQ(note->text(), "Achtung: ohne Prüfung ist die Verbindung nicht vor Angreifern geschützt.");
    https->setChecked(true);
    EXPECT_TRUE(cert->isEnabled());
    EXPECT_TRUE(key->isEnabled());
    cert->setText("/srv/cert.pem");
    key->setText("/srv/key.pem");
    Find<QLineEdit>(d, "E_tlsCaFile")->setText("/srv/ca.pem");
    QTest::keyClicks(pop3Port, "1995");
    QTest::keyClicks(smtpPort, "70000");
    EXPECT_EQ(smtpPort->text(), "70000");

    auto* pages = Find<QTabWidget>(d, "PageControl_settings");
    pages->setCurrentIndex(3);
    std::string message;
    AnswerNextMessage(message);
    ClickButton(d, "&OK");
    EXPECT_EQ(message, kInvalidSmtpPortText);
    EXPECT_TRUE(d->isVisible()) << "the dialog stays open";
    EXPECT_EQ(pages->tabText(pages->currentIndex()), "E-Mail Server");
    EXPECT_EQ(d->focusWidget(), smtpPort);
    smtpPort->clear();
    ClickButton(d, "&OK");
    EXPECT_FALSE(d->isVisible());
  });
  const GeneralSettings g = FSettings->GetGeneralSettings();
  EXPECT_EQ(g.pop3Security, msImplicitTls);
  EXPECT_EQ(g.pop3Port, 1995);
  EXPECT_EQ(g.smtpSecurity, msStartTls);
  EXPECT_EQ(g.smtpPort, 0);
  EXPECT_EQ(g.ldapSecurity, lsLdaps);
  EXPECT_FALSE(g.tlsVerifyPeer);
  EXPECT_EQ(g.tlsCaFile, "/srv/ca.pem");
  EXPECT_EQ(g.httpSecurity, hsTls);
  EXPECT_EQ(g.httpsCertFile, "/srv/cert.pem");
  EXPECT_EQ(g.httpsKeyFile, "/srv/key.pem");

  // Opened again, the dialog shows what was stored.
  OpenSettings([&](QWidget* d) {
    EXPECT_EQ(Find<QComboBox>(d, "CB_pop3Security")->currentText(), "SSL/TLS (POP3S)");
    EXPECT_EQ(Find<QLineEdit>(d, "E_pop3Port")->text(), "1995");
    EXPECT_FALSE(Find<QLabel>(d, "L_noVerify")->isHidden());
    EXPECT_TRUE(Find<QLineEdit>(d, "E_httpsKeyFile")->isEnabled());
    ClickButton(d, "&Abbrechen");
  });
}

// The status area tells whether the HTTP server listens: switched on at a
// taken port it reads "nicht gestartet", at a free port "Port <n>", switched
// off "aus".
TEST_F(SettingsDialogTest, StatusAreaShowsWhetherTheHttpServerListens) {
  std::uint16_t takenPort = 0;
  const int taken = ListenLoopback(takenPort);
  ASSERT_GE(taken, 0);
  const std::uint16_t freePort = FreeLoopbackPort();
  struct {
    bool on;
    std::uint16_t port;
    bool failure;
    std::string shown;
  } cases[] = {
      {true, takenPort, true, kServerFailedText},
      {true, freePort, false, "Port " + std::to_string(freePort)},
      {false, freePort, false, kServerOffText},
  };
  auto* state = Find<QLabel>(&Window(), "LStatusHTTPServer");
  EXPECT_EQ(state->text(), kServerOffText) << "the fresh profile leaves the server off";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string message;
    OpenSettings([&](QWidget* d) {
      Find<QCheckBox>(d, "CB_HTTPServer_active")->setChecked(c.on);
      Find<QLineEdit>(d, "Ed_HTTPPort")->setText(QString::number(c.port));
      if (c.failure) AnswerNextMessage(message);
      ClickButton(d, "&OK");
    });
    ProcessEvents();
    EXPECT_EQ(!message.empty(), c.failure) << message;
    EXPECT_EQ(state->text().toStdString(), c.shown);
  }
  ::close(taken);
}

// "Quillmark als Dienst starten" is taken over on OK like the other
// controls; "Abbrechen" leaves the hand-over as it was.
TEST_F(SettingsDialogTest, ServiceBoxCountsOnlyOnOk) {
  struct {
    const char* button;
    const char* after;
  } cases[] = {{"&Abbrechen", "false"}, {"&OK", "true"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.button);
    SetStateValue("service", "false");
    OpenSettings([&](QWidget* d) {
      auto* box = Find<QCheckBox>(d, "CheckBox_service");
      EXPECT_FALSE(box->isChecked());
      box->click();
      EXPECT_EQ(GetStateValue("service"), "false") << "nothing at the click";
      ClickButton(d, c.button);
    });
    EXPECT_EQ(GetStateValue("service"), c.after);
  }
}

TEST_F(SettingsDialogTest, DirectoryChoiceSwitchesGroupsAndResetFillsAttributes) {
  OpenSettings([&](QWidget* d) {
    auto* ad = Find<QGroupBox>(d, "GB_AD");
    auto* odbc = Find<QGroupBox>(d, "GB_ODBC");
    Find<QTabWidget>(d, "PageControl_settings")->setCurrentIndex(1);
    Find<QRadioButton>(d, "RG_useAD_1")->setChecked(true);
    EXPECT_FALSE(ad->isVisibleTo(d));
    EXPECT_TRUE(odbc->isVisibleTo(d));
    Find<QRadioButton>(d, "RG_useAD_0")->setChecked(true);
    EXPECT_TRUE(ad->isVisibleTo(d));
    EXPECT_FALSE(odbc->isVisibleTo(d));
    Find<QPushButton>(d, "Btn_reset")->click();
    EXPECT_EQ(d->findChild<QPlainTextEdit*>("M_FieldNames")->toPlainText(),
              "givenName,sn,telephoneNumber,mail,wWWHomePage,streetAddress,postalcode,facsimileTelephoneNumber,"
              "company");
    ClickButton(d, "&OK");
  });
  EXPECT_TRUE(FSettings->GetGeneralSettings().useAD);
  EXPECT_EQ(GetFieldNames(FSettings->GetGeneralSettings()),
            "givenName,sn,telephoneNumber,mail,wWWHomePage,streetAddress,postalcode,facsimileTelephoneNumber,company");
  // The catalogue is rebuilt after the dialog.
  EXPECT_EQ(Find<QListWidget>(&Window(), "LB_Felder")->count(), 9);
}

}  // namespace

namespace {

TEST_F(SettingsDialogTest, NewProfileIsSavedUnderItsNameOnOk) {
  OpenSettings([&](QWidget* d) {
    OnNextModal([](QWidget* input) {
      EXPECT_EQ(input->windowTitle(), "Neues Profil");
      input->findChild<QLineEdit*>()->setText("vertrieb");
      ClickButton(input, "OK");
    });
    Find<QPushButton>(d, "BtnNewProfile")->click();
    EXPECT_EQ(Find<QComboBox>(d, "CB_profil")->currentText(), "vertrieb");
    ClickButton(d, "&OK");
  });
  EXPECT_TRUE(qm::FileExists(dir / "vertrieb.config"));
  EXPECT_EQ(FSettings->CB_profil, "vertrieb");
}

}  // namespace
