#include "SettingsDialog.h"
#include "base/Texts.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <type_traits>
#include <variant>

#include "app/Main.h"
#include "QtUserInterface.h"
#include "base/UUtils.h"
#include "settings/USetting.h"
#include "Widgets.h"

namespace {

template <typename W>
W* Named(W* w, const char* name, const QString& hint = {}) {
  w->setObjectName(name);
  if (!hint.isEmpty()) w->setToolTip(hint);
  return w;
}

QLineEdit* Edit(QWidget* parent, const char* name, const QString& hint = {}, bool masked = false) {
  auto* e = Named(new QLineEdit(parent), name, hint);
  if (masked) e->setEchoMode(QLineEdit::Password);
  return e;
}

DropDownComboBox* Combo(QWidget* parent, const char* name, const QString& hint = {}) {
  auto* c = Named(new DropDownComboBox(parent), name, hint);
  c->setEditable(true);
  c->setInsertPolicy(QComboBox::NoInsert);
  return c;
}

// A fixed list of choices; its index is the model's value.
QComboBox* Choice(QWidget* parent, const char* name, const qm::TextList& items, const QString& hint = {}) {
  auto* c = Named(new QComboBox(parent), name, hint);
  for (const auto& i : items) c->addItem(Q(i));
  return c;
}

// A port field that takes digits only; empty means the standard port.
QLineEdit* PortEdit(QWidget* parent, const char* name, const QString& hint) {
  auto* e = Edit(parent, name, hint);
  e->setMaxLength(5);
  e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), e));
  e->setFixedWidth(70);
  return e;
}

// A security combo and the port field beside it, as one form row.
QLayout* SecurityRow(QWidget* parent, QComboBox* mode, QLineEdit* port) {
  auto* row = new QHBoxLayout;
  row->addWidget(mode, 1);
  row->addSpacing(12);
  row->addWidget(new QLabel("Port:", parent));
  row->addWidget(port);
  return row;
}

QGroupBox* Group(const QString& title, QWidget* parent, const char* name = nullptr) {
  auto* g = new QGroupBox(title, parent);
  if (name) g->setObjectName(name);
  return g;
}

}  // namespace

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(qm::text::kWindowSettings);
  setWindowTitle("Einstellungen");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl_settings");
  pages_->addTab(BuildServerPage(), "E-Mail Server");
  pages_->addTab(BuildDatabasePage(), "Datenbank");
  pages_->addTab(BuildMailPage(), "Mail");
  pages_->addTab(BuildMiscPage(), "Sonstiges");
  pages_->addTab(BuildProfilePage(), "Profile");

  auto* ok = Named(new QPushButton("&OK", this), "BtnOK");
  auto* cancel = Named(new QPushButton("&Abbrechen", this), "BtnCancel");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* v = new QVBoxLayout(this);
  v->addWidget(pages_);
  v->addLayout(buttons);

  RG_useAD->SetItemIndex(0);
  RadioGroup_typeContent->SetItemIndex(0);
  GB_ODBC->hide();

  // Every user action goes to the model's handler of the same name.
  connect(RG_useAD, &RadioGroup::clicked, this, [this] { Handle(&TFSettings::RG_useADClick); });
  connect(BtnDBTest, &QPushButton::clicked, this, [this] { Handle(&TFSettings::BtnDBTestClick); });
  connect(Btn_reset, &QPushButton::clicked, this, [this] { Handle(&TFSettings::Btn_resetClick); });
  connect(CB_Odbc, &QComboBox::activated, this, [this] { Handle(&TFSettings::CB_OdbcSelect); });
  connect(CB_tabelle, &QComboBox::activated, this, [this] { Handle(&TFSettings::CB_tabelleSelect); });
  connect(CB_AltText, &QCheckBox::toggled, this, [this] { Handle(&TFSettings::CB_AltTextClick); });
  connect(CheckBoxTimer, &QCheckBox::toggled, this, [this] { Handle(&TFSettings::CheckBoxTimerClick); });
  connect(CheckBox_service, &QCheckBox::toggled, this, [this] { Handle(&TFSettings::CheckBox_serviceClick); });
  connect(BtnNewProfile, &QPushButton::clicked, this, [this] { Handle(&TFSettings::BtnNewProfileClick); });
  connect(BtnDeleteProfile, &QPushButton::clicked, this, [this] { Handle(&TFSettings::BtnDeleteProfileClick); });
  connect(CB_profil, &DropDownComboBox::dropDown, this, [this] { Handle(&TFSettings::CB_profilDropDown); });
  connect(CB_profil, &QComboBox::activated, this, [this] { Handle(&TFSettings::CB_profilSelect); });
  connect(CB_profil, &DropDownComboBox::closeUp, this, [this] { Handle(&TFSettings::CB_profilCloseUp); });
  connect(CB_pop3Security, &QComboBox::activated, this, [this] { Handle(&TFSettings::CB_pop3SecurityChange); });
  connect(CB_smtpSecurity, &QComboBox::activated, this, [this] { Handle(&TFSettings::CB_smtpSecurityChange); });
  connect(CB_tlsVerifyPeer, &QCheckBox::toggled, this, [this] { Handle(&TFSettings::CB_tlsVerifyPeerClick); });
  connect(CB_HTTPS, &QCheckBox::toggled, this, [this] { Handle(&TFSettings::CB_HTTPSClick); });
  Ed_HTTPPort->installEventFilter(this);
  // A fixed-size dialog: as large as its largest page needs.
  setFixedSize(sizeHint().expandedTo(QSize(520, 0)));
}

int SettingsDialog::exec() {
  LoadFromModel();
  int result = QDialog::exec();
  StoreToModel();
  return result;
}

void SettingsDialog::accept() {
  if (model_) {
    StoreToModel();
    std::string control;
    try {
      control = model_->BtnOKClick();
    } catch (const std::exception& e) {
      if (Form_main) Form_main->UI().ShowError(e.what());
      return;
    }
    if (!control.empty()) {
      QWidget* w = Control(control.c_str());
      for (int i = 0; i < pages_->count(); ++i)
        if (pages_->widget(i)->isAncestorOf(w)) pages_->setCurrentIndex(i);
      w->setFocus(Qt::OtherFocusReason);
      if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->selectAll();
      return;
    }
  }
  QDialog::accept();
}

void SettingsDialog::Handle(void (TFSettings::*handler)()) {
  if (!model_ || updating_) return;
  StoreToModel();
  try {
    (model_->*handler)();
  } catch (const std::exception& e) {
    // The handlers report their own failures; anything else is shown here.
    if (Form_main) Form_main->UI().ShowError(qm::FailureText(e));
  }
  LoadFromModel();
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Ed_HTTPPort && event->type() == QEvent::KeyPress) {
    QString text = static_cast<QKeyEvent*>(event)->text();
    if (text.size() == 1 && text[0].unicode() < 128 && text[0].unicode() >= 8) {
      char c = static_cast<char>(text[0].unicode());
      if (TFSettings::Ed_HTTPPortKeyPress(c) == 0) return true;  // discarded
    } else if (!text.isEmpty() && text[0].isPrint()) {
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

namespace {

void SetText(QLineEdit* e, const std::string& v) {
  if (e->text() != Q(v)) e->setText(Q(v));
}

// Multi-line model texts hold their lines joined by CR LF.
void SetMemo(QPlainTextEdit* m, const std::string& v) {
  QString text = Q(v).replace("\r\n", "\n");
  if (m->toPlainText() != text) m->setPlainText(text);
}
std::string Memo(const QPlainTextEdit* m) { return S(m->toPlainText().replace('\n', "\r\n")); }

void SetCombo(QComboBox* c, const qm::TextList* items, const std::string& text) {
  if (items) {
    QStringList want;
    for (const auto& i : *items) want << Q(i);
    QStringList have;
    for (int i = 0; i < c->count(); ++i) have << c->itemText(i);
    if (want != have) {
      c->clear();
      c->addItems(want);
    }
  }
  c->setCurrentIndex(c->findText(Q(text), Qt::MatchExactly));
  c->setEditText(Q(text));
}

}  // namespace

void SettingsDialog::LoadFromModel() {
  if (!model_) return;
  updating_ = true;
  TFSettings& m = *model_;
  // Item lists first, so that a combo's text can select its item.
  SetCombo(CB_Odbc, &m.CB_OdbcItems, m.CB_Odbc);
  SetCombo(CB_tabelle, &m.CB_tabelleItems, m.CB_tabelle);
  SetCombo(CB_mailField, &m.CB_mailFieldItems, m.CB_mailField);
  for (const DialogControl& c : SettingsDialogControlTable()) {
    QWidget* w = Control(c.name);
    std::visit(
        [&](auto field) {
          const auto& value = m.*field;
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) {
            if (auto* e = qobject_cast<QLineEdit*>(w)) SetText(e, value);
            else if (auto* memo = qobject_cast<QPlainTextEdit*>(w)) SetMemo(memo, value);
            else if (auto* combo = qobject_cast<QComboBox*>(w)) SetCombo(combo, nullptr, value);
          } else if constexpr (std::is_same_v<T, bool>) {
            qobject_cast<QCheckBox*>(w)->setChecked(value);
          } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            combo->setCurrentIndex(value);
          } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            spin->setValue(value);
          } else {
            static_cast<RadioGroup*>(w)->SetItemIndex(value);
          }
        },
        c.field);
  }
  GB_AD->setVisible(m.GB_ADVisible);
  GB_ODBC->setVisible(m.GB_ODBCVisible);
  M_altText->setEnabled(m.M_altTextEnabled);
  SpinEdit1->setEnabled(m.SpinEdit1Enabled);
  E_pop3Port->setPlaceholderText(Q(m.E_pop3PortHint));
  E_smtpPort->setPlaceholderText(Q(m.E_smtpPortHint));
  L_noVerify->setVisible(m.L_noVerifyVisible);
  for (QWidget* w : {static_cast<QWidget*>(E_httpsCertFile), static_cast<QWidget*>(E_httpsKeyFile),
                     static_cast<QWidget*>(Btn_httpsCertFile), static_cast<QWidget*>(Btn_httpsKeyFile)})
    w->setEnabled(m.HttpsFilesEnabled);
  SetCombo(CB_profil, &m.CB_profilItems, m.CB_profil);
  updating_ = false;
}

void SettingsDialog::StoreToModel() {
  if (!model_) return;
  TFSettings& m = *model_;
  for (const DialogControl& c : SettingsDialogControlTable()) {
    QWidget* w = Control(c.name);
    std::visit(
        [&](auto field) {
          auto& value = m.*field;
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) {
            if (auto* e = qobject_cast<QLineEdit*>(w)) value = S(e->text());
            else if (auto* memo = qobject_cast<QPlainTextEdit*>(w)) value = Memo(memo);
            else if (auto* combo = qobject_cast<QComboBox*>(w)) value = S(combo->currentText());
          } else if constexpr (std::is_same_v<T, bool>) {
            value = qobject_cast<QCheckBox*>(w)->isChecked();
          } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            value = combo->currentIndex();
          } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            value = spin->value();
          } else {
            value = static_cast<RadioGroup*>(w)->ItemIndex();
          }
        },
        c.field);
  }
  m.CB_profil = S(CB_profil->currentText());
}

QWidget* SettingsDialog::Control(const char* name) const {
  auto* w = findChild<QWidget*>(QString::fromLatin1(name));
  // Every control of the model's table has its widget; a missing one is a
  // programming error, not a user's.
  if (!w) qFatal("settings dialog: no widget named %s", name);
  return w;
}

QLayout* SettingsDialog::FileRow(QWidget* parent, QLineEdit*& edit, const char* name, const QString& title) {
  edit = Edit(parent, name, title);
  auto* choose = Named(new QPushButton("...", parent), (QByteArray("Btn_") + QByteArray(name + 2)).constData(),
                       title + " auswählen");
  choose->setFixedWidth(32);
  QLineEdit* field = edit;
  connect(choose, &QPushButton::clicked, this, [this, field, title] {
    const QString file = QFileDialog::getOpenFileName(this, title, QFileInfo(field->text()).path(),
                                                      "PEM-Dateien (*.pem *.crt *.cer *.key);;Alle Dateien (*)");
    if (!file.isEmpty()) field->setText(file);
  });
  auto* row = new QHBoxLayout;
  row->addWidget(edit, 1);
  row->addWidget(choose);
  return row;
}

QWidget* SettingsDialog::BuildServerPage() {
  auto* page = Named(new QWidget, "TabS_server");
  auto* v = new QVBoxLayout(page);

  auto* pop = Group("Pop3-Server", page, "GB_pop3");
  auto* pf = new QFormLayout(pop);
  pf->addRow(InfoText("Der Pop3-Server dient zum Empfangen von E-Mails. Geben Sie hier die Daten des Kontos ein, an "
                      "das die Benutzer ihre Signatur-Anfragen senden.",
                      pop));
  E_pop3Host = Edit(pop, "E_pop3Host", "Name oder Adresse des Pop3-Mailservers, z.B. pop3.example.com");
  E_pop3login = Edit(pop, "E_pop3login", "Login oder Benutzername des EMail Kontos, ggf. EMailadresse.");
  ME_pop3pass = Edit(pop, "ME_pop3pass", "Passwort des EMail Kontos.", true);
  pf->addRow("Mail-Server (Pop3):", E_pop3Host);
  CB_pop3Security = Choice(pop, "CB_pop3Security", kPop3SecurityItems,
                           "Verschlüsselung der Verbindung: STLS nach dem Verbindungsaufbau oder SSL/TLS von Anfang an.");
  E_pop3Port = PortEdit(pop, "E_pop3Port", "Leer lassen für den Standard-Port der gewählten Verschlüsselung.");
  pf->addRow("Verschlüsselung:", SecurityRow(pop, CB_pop3Security, E_pop3Port));
  pf->addRow("Benutzername:", E_pop3login);
  pf->addRow("Passwort:", ME_pop3pass);
  v->addWidget(pop);

  auto* smtp = Group("Smtp-Server", page, "GB_smtp");
  auto* sf = new QFormLayout(smtp);
  sf->addRow(InfoText("Über einen Smtp-Server können Sie E-Mails versenden. Tragen Sie hier den Server ein, über den "
                      "die Antwort-Nachrichten versendet werden sollen.",
                      smtp));
  E_SmtpHost = Edit(smtp, "E_SmtpHost", "Name oder Adresse des Smtp-Mailservers, z.B. smtp.example.com");
  E_smtpUserid = Edit(smtp, "E_smtpUserid");
  ME_smtppass = Edit(smtp, "ME_smtppass", "Passwort für SMTP-Authentifizierung", true);
  E_senderadr = Edit(smtp, "E_senderadr");
  sf->addRow("Mail-Server (Smtp):", E_SmtpHost);
  CB_smtpSecurity = Choice(smtp, "CB_smtpSecurity", kSmtpSecurityItems,
                           "Verschlüsselung der Verbindung: STARTTLS nach dem Verbindungsaufbau oder SSL/TLS von "
                           "Anfang an.");
  E_smtpPort = PortEdit(smtp, "E_smtpPort", "Leer lassen für den Standard-Port der gewählten Verschlüsselung.");
  sf->addRow("Verschlüsselung:", SecurityRow(smtp, CB_smtpSecurity, E_smtpPort));
  sf->addRow("Benutzername:", E_smtpUserid);
  sf->addRow("Passwort:", ME_smtppass);
  sf->addRow("Absenderadresse:", E_senderadr);
  v->addWidget(smtp);

  auto* tls = Group("Zertifikate", page, "GB_tls");
  auto* tf = new QFormLayout(tls);
  tf->addRow("Eigene CA (PEM):", FileRow(tls, E_tlsCaFile, "E_tlsCaFile", "Zertifikat der Zertifizierungsstelle (PEM)"));
  CB_tlsVerifyPeer = Named(new QCheckBox("Serverzertifikate prüfen", tls), "CB_tlsVerifyPeer",
                           "Die Zertifikate der Mail-Server und des Active Directory werden geprüft.");
  CB_tlsVerifyPeer->setChecked(true);
  tf->addRow(CB_tlsVerifyPeer);
  L_noVerify = Named(new QLabel(kNoVerifyNote, tls), "L_noVerify");
  L_noVerify->setStyleSheet("color: red;");
  L_noVerify->setWordWrap(true);
  L_noVerify->hide();
  tf->addRow(L_noVerify);
  v->addWidget(tls);
  v->addStretch(1);
  return page;
}

QWidget* SettingsDialog::BuildDatabasePage() {
  auto* page = Named(new QWidget, "TabS_database");
  auto* v = new QVBoxLayout(page);

  auto* top = new QHBoxLayout;
  RG_useAD = new RadioGroup("RG_useAD", "Benutzerdaten beziehen über:  ",
                            {"Windows Active Directory", "Datenbankverbindung"}, 1, page);
  top->addWidget(RG_useAD, 1);
  BtnDBTest = Named(new QPushButton("Verbindung testen", page), "BtnDBTest");
  top->addWidget(BtnDBTest, 0, Qt::AlignBottom);
  v->addLayout(top);

  const QString adHint =
      "Falls Sie hier kein Benutzerkonto eintragen, wird der zur Zeit angemeldete Windows-Benutzer zur "
      "Authentifizierung verwendet.";
  auto* ad = Group("Active Directory Anbindung", page, "GB_AD");
  GB_AD = ad;
  auto* af = new QFormLayout(ad);
  af->addRow(InfoText("Wählen Sie hier die Domäne des Active Directory aus.", ad));
  E_ADPath = Edit(ad, "E_ADPath", "Tragen Sie hier die Domäne des Active Directory ein, z.B. example.local");
  E_ADUserId = Edit(ad, "E_ADUserId", adHint);
  E_ADPass = Edit(ad, "E_ADPass", adHint, true);
  M_FieldNames = Named(new QPlainTextEdit(ad), "M_FieldNames",
                       "Die hier aufgelisteten Attribute stehen später als Platzhalter zur Verfügung. Trennen Sie "
                       "mehrere Namen durch Kommata oder Zeilenumbrüche.");
  M_FieldNames->setPlainText("mail");
  M_FieldNames->setFixedHeight(90);
  Btn_reset = Named(new QPushButton("Zurücksetzen", ad), "Btn_reset");
  af->addRow("Domäne:", E_ADPath);
  af->addRow("Benutzername:", E_ADUserId);
  af->addRow("Passwort:", E_ADPass);
  CB_ldapSecurity = Choice(ad, "CB_ldapSecurity", kLdapSecurityItems,
                           "Verschlüsselung der Verbindung: StartTLS nach dem Verbindungsaufbau oder LDAPS von Anfang "
                           "an.");
  af->addRow("Verschlüsselung:", CB_ldapSecurity);
  af->addRow("Feldnamen:", M_FieldNames);
  auto* resetRow = new QHBoxLayout;
  resetRow->addStretch(1);
  resetRow->addWidget(Btn_reset);
  af->addRow(resetRow);
  v->addWidget(ad);

  auto* odbc = Group("Datenbank Anbindung", page, "GB_ODBC");
  GB_ODBC = odbc;
  auto* of = new QFormLayout(odbc);
  of->addRow(InfoText("Hier können Sie festlegen, aus welcher Datenquelle die Benutzerdaten stammen sollen, die in die "
                      "Signatur-Vorlage eingesetzt werden. Sie können nur Datenquellen auswählen, die in Ihrem System "
                      "installiert sind (z.B. über ODBC).",
                      odbc));
  CB_Odbc = Combo(odbc, "CB_Odbc",
                  "Falls ihre Datenbankverbindung nicht aufgelistet ist, versuchen Sie eine gültige ODBC Quelle "
                  "einzurichten.");
  E_DBUserId = Edit(odbc, "E_DBUserId");
  E_DBPass = Edit(odbc, "E_DBPass", {}, true);
  of->addRow("ODBC Quelle:", CB_Odbc);
  of->addRow("Benutzername:", E_DBUserId);
  of->addRow("Passwort:", E_DBPass);
  of->addRow(InfoText("Wählen Sie hier, aus welcher Tabelle die Benutzerdaten stammen sollen. Sie müssen zuvor eine "
                      "gültige ODBC Datenquelle ausgewählt haben. Eine Spalte muss die entsprechenden EMail Adressen "
                      "enthalten.",
                      odbc));
  CB_tabelle = Combo(odbc, "CB_tabelle", "Name der Tabelle mit Benutzerdaten.");
  CB_mailField = Combo(odbc, "CB_mailField");
  of->addRow("Tabelle:", CB_tabelle);
  of->addRow("Adressen-Spalte:", CB_mailField);
  v->addWidget(odbc);
  v->addStretch(1);
  return page;
}

QWidget* SettingsDialog::BuildMailPage() {
  auto* page = Named(new QWidget, "TabS_mailOptions");
  auto* v = new QVBoxLayout(page);
  RadioGroup_typeContent = new RadioGroup("RadioGroup_typeContent", "Signatur-Typ", {"Text", "HTML", "Rich-Text"}, 3,
                                          page);
  // Beside the type: it shapes the generated signature of either type.
  CB_dropEmptyLines = Named(new QCheckBox("Leere Zeilen weglassen", page), "CB_dropEmptyLines",
                            "Vorlagenzeilen, deren Platzhalter alle leer bleiben, werden weggelassen.");
  auto* type = new QHBoxLayout;
  type->addWidget(RadioGroup_typeContent, 1);
  type->addWidget(CB_dropEmptyLines, 0, Qt::AlignVCenter);
  v->addLayout(type);

  auto* send = Group("Signatur an Anwender versenden... ", page, "GB_sendAs");
  auto* sl = new QVBoxLayout(send);
  CheckB_asAnhang = Named(new QCheckBox("als E-Mail-Anhang", send), "CheckB_asAnhang");
  CheckB_asBody = Named(new QCheckBox("im Inhaltsteil der E-Mail", send), "CheckB_asBody");
  sl->addWidget(CheckB_asAnhang);
  sl->addWidget(CheckB_asBody);
  v->addWidget(send);

  auto* sender = Group("Absender Einstellungen", page, "GB_sender");
  auto* sf = new QFormLayout(sender);
  sf->addRow(InfoText("Hier können Sie weitere Einstellungen für die ausgehenden Mails setzen.", sender));
  EAbsender = Edit(sender, "EAbsender");
  Esubject = Edit(sender, "Esubject");
  sf->addRow("Absender Name:", EAbsender);
  sf->addRow("Betreff:", Esubject);
  v->addWidget(sender);

  auto* alt = Group("Alternativer Text", page, "GB_altText");
  auto* al = new QVBoxLayout(alt);
  al->addWidget(InfoText("Sie können hier einen Text angeben, der an Stelle einer Signatur versendet wird, falls der "
                         "Benutzer nicht in der Datenbank registriert ist.",
                         alt));
  CB_AltText = Named(new QCheckBox("Im Fehlerfall Ersatz-E-Mail versenden", alt), "CB_AltText");
  M_altText = Named(new QPlainTextEdit(alt), "M_altText");
  M_altText->setPlainText("<Es wurde bisher kein Text definiert>");
  M_altText->setEnabled(false);
  M_altText->setFixedHeight(70);
  al->addWidget(CB_AltText);
  al->addWidget(M_altText);
  v->addWidget(alt);
  v->addStretch(1);
  return page;
}

QWidget* SettingsDialog::BuildMiscPage() {
  auto* page = Named(new QWidget, "TabS_misc");
  auto* v = new QVBoxLayout(page);

  auto* timer = Group("Timer Einstellungen", page, "GB_timer");
  auto* tf = new QFormLayout(timer);
  tf->addRow(InfoText("Sie können eine Timer-Funktion konfigurieren, die in regelmäßigen Abständen prüft, ob sich auf "
                      "dem Pop3-Server neue Signatur-Anforderungen befinden.",
                      timer));
  CheckBoxTimer = Named(new QCheckBox("Timer Funktion aktiviert.", timer), "CheckBoxTimer");
  SpinEdit1 = Named(new QSpinBox(timer), "SpinEdit1");
  SpinEdit1->setRange(1, 2880);
  SpinEdit1->setValue(5);
  SpinEdit1->setMaximumWidth(100);
  tf->addRow(CheckBoxTimer);
  tf->addRow("Abholintervall [Minuten]:", SpinEdit1);
  v->addWidget(timer);

  auto* log = Group("Protokoll Einstellung", page, "GB_log");
  auto* lf = new QFormLayout(log);
  CB_verbosity = Combo(log, "CB_verbosity");
  CB_verbosity->addItems(
      {"Fehler & Warnungen & Informationen", "Fehler & Warnungen", "Fehler", "keine Protokollierung"});
  lf->addRow("Protokoll-Typ:", CB_verbosity);
  v->addWidget(log);

  auto* service = Group("Quillmark-Dienst", page, "GB_service");
  auto* svl = new QVBoxLayout(service);
  svl->addWidget(InfoText("Sie können festlegen, dass Quillmark als Windows-NT Dienst gestartet wird.", service));
  CheckBox_service = Named(new QCheckBox("Quillmark als Dienst starten", service), "CheckBox_service");
  svl->addWidget(CheckBox_service);
  v->addWidget(service);

  auto* http = Group("HTTP Server Funktion", page, "GB_http");
  auto* hf = new QFormLayout(http);
  hf->addRow(InfoText("Wenn Sie die HTTP-Server Funktion aktivieren, können auf entfernten Computern ausgeführte "
                      "Scripte die Signaturen herunterladen.",
                      http));
  CB_HTTPServer_active = Named(new QCheckBox("HTTP Server aktiviert.", http), "CB_HTTPServer_active");
  Ed_HTTPPort = Edit(http, "Ed_HTTPPort");
  Ed_HTTPPort->setMaxLength(5);
  Ed_HTTPPort->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), Ed_HTTPPort));
  Ed_HTTPPort->setMaximumWidth(80);
  hf->addRow(CB_HTTPServer_active);
  hf->addRow("Port:", Ed_HTTPPort);
  CB_HTTPS = Named(new QCheckBox("HTTPS", http), "CB_HTTPS", "Der HTTP-Server antwortet verschlüsselt (TLS).");
  hf->addRow(CB_HTTPS);
  hf->addRow("Zertifikat (PEM):", FileRow(http, E_httpsCertFile, "E_httpsCertFile", "Zertifikat (PEM)"));
  hf->addRow("Privater Schlüssel (PEM):",
             FileRow(http, E_httpsKeyFile, "E_httpsKeyFile", "Privater Schlüssel (PEM)"));
  Btn_httpsCertFile = http->findChild<QPushButton*>("Btn_httpsCertFile");
  Btn_httpsKeyFile = http->findChild<QPushButton*>("Btn_httpsKeyFile");
  // Enabled with CB_HTTPS, as the model says once the dialog shows it.
  for (QWidget* w : {static_cast<QWidget*>(E_httpsCertFile), static_cast<QWidget*>(E_httpsKeyFile),
                     static_cast<QWidget*>(Btn_httpsCertFile), static_cast<QWidget*>(Btn_httpsKeyFile)})
    w->setEnabled(false);
  v->addWidget(http);
  v->addStretch(1);
  return page;
}

QWidget* SettingsDialog::BuildProfilePage() {
  auto* page = Named(new QWidget, "TabS_profile");
  auto* v = new QVBoxLayout(page);
  auto* g = Group("Einstellungen sichern", page, "GB_profile");
  auto* f = new QFormLayout(g);
  f->addRow(InfoText("An dieser Stellen können Sie mehrere unterschiedliche Einstellungsprofile verwalten.", g));
  CB_profil = Combo(g, "CB_profil");
  f->addRow("Aktives Profil wählen:", CB_profil);
  BtnNewProfile = Named(new QPushButton("Neu anlegen", g), "BtnNewProfile");
  BtnDeleteProfile = Named(new QPushButton("Profil löschen", g), "BtnDeleteProfile");
  auto* row = new QHBoxLayout;
  row->addWidget(BtnNewProfile);
  row->addWidget(BtnDeleteProfile);
  row->addStretch(1);
  f->addRow(row);
  v->addWidget(g);
  v->addStretch(1);
  return page;
}
