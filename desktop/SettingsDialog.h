#pragma once
// The settings dialog TFSettings ("Einstellungen"): five pages of controls
// named like the settings holder's fields. The dialog mirrors the engine's
// settings model: it shows the model's values when it opens, hands every
// change and click to the model's handlers, and reads the controls back
// when the model asks for them.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class DropDownComboBox;
class RadioGroup;
class TFSettings;

class SettingsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SettingsDialog(QWidget* parent = nullptr);

  /// Binds the dialog to the settings holder, whose fields are the controls.
  void Bind(TFSettings* model) { model_ = model; }

  /// Shows the model's values, runs the dialog modally and leaves the
  /// controls' values in the model; OK or cancel as the buttons say.
  int exec() override;

  /// "&OK" (and Enter): closes only when the model accepts the values;
  /// otherwise the model has shown why, and the page with the control to
  /// correct comes up with the focus on that control.
  void accept() override;

  /// Model to controls, and controls to model.
  void LoadFromModel();
  void StoreToModel();

  QTabWidget* Pages() const { return pages_; }

 private:
  QWidget* BuildServerPage();
  QWidget* BuildDatabasePage();
  QWidget* BuildMailPage();
  QWidget* BuildMiscPage();
  QWidget* BuildProfilePage();

  /// A user's action: the controls go to the model, the model's handler
  /// runs, and the controls show the model again.
  void Handle(void (TFSettings::*handler)());
  bool eventFilter(QObject* watched, QEvent* event) override;
  /// The widget of a control of the model's table, found by its name.
  QWidget* Control(const char* name) const;
  /// A file field with its "..." button that opens a file chooser.
  QLayout* FileRow(QWidget* parent, QLineEdit*& edit, const char* name, const QString& title);

  TFSettings* model_ = nullptr;
  bool updating_ = false;
  QTabWidget* pages_;
  // E-Mail Server
  QLineEdit *E_pop3Host, *E_pop3login, *ME_pop3pass, *E_SmtpHost, *E_smtpUserid, *ME_smtppass, *E_senderadr;
  QComboBox *CB_pop3Security, *CB_smtpSecurity;
  QLineEdit *E_pop3Port, *E_smtpPort, *E_tlsCaFile;
  QCheckBox* CB_tlsVerifyPeer;
  QLabel* L_noVerify;
  // Datenbank
  RadioGroup* RG_useAD;
  QPushButton *BtnDBTest, *Btn_reset;
  QWidget *GB_AD, *GB_ODBC;
  QLineEdit *E_ADPath, *E_ADUserId, *E_ADPass, *E_DBUserId, *E_DBPass;
  QComboBox* CB_ldapSecurity;
  QPlainTextEdit* M_FieldNames;
  DropDownComboBox *CB_Odbc, *CB_tabelle, *CB_mailField;
  // Mail
  RadioGroup* RadioGroup_typeContent;
  QCheckBox *CB_dropEmptyLines, *CheckB_asAnhang, *CheckB_asBody, *CB_AltText;
  QLineEdit *EAbsender, *Esubject;
  QPlainTextEdit* M_altText;
  // Sonstiges
  QCheckBox *CheckBoxTimer, *CheckBox_service, *CB_HTTPServer_active;
  QSpinBox* SpinEdit1;
  DropDownComboBox* CB_verbosity;
  QLineEdit* Ed_HTTPPort;
  QCheckBox* CB_HTTPS;
  QLineEdit *E_httpsCertFile, *E_httpsKeyFile;
  QPushButton *Btn_httpsCertFile, *Btn_httpsKeyFile;
  // Profile
  QPushButton *BtnNewProfile, *BtnDeleteProfile;
  DropDownComboBox* CB_profil;
};
