// The settings dialog opened from the menu: OK takes the controls over and
// applies them, cancel keeps the records; the controls follow the model.

#include <gtest/gtest.h>

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
#include "MainWindow.h"
#include "SettingsDialog.h"
#include "settings/USetting.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

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
