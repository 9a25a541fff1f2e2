#include "DesktopApp.h"
#include "base/Texts.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QTranslator>

#include "DBUtilWindow.h"
#include "InfoWindow.h"
#include "MailDialog.h"
#include "MailWorker.h"
#include "MainWindow.h"
#include "QtUserInterface.h"
#include "SettingsDialog.h"
#include "app/Engine.h"
#include "app/Main.h"
#include "app/infoForm.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"

namespace {

void Settle() {
  for (int i = 0; i < 5; ++i) {
    QApplication::processEvents();
    QThread::msleep(20);
  }
}

bool Grab(QWidget& w, const QString& dir, const QString& name) {
  Settle();
  return w.grab().save(QDir(dir).filePath(name + ".png"), "PNG");
}

}  // namespace

bool InstallGermanQtTexts() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return false;
  constexpr const char* kCatalogue = "qtbase_de";
  if (app->findChild<QTranslator*>(kCatalogue, Qt::FindDirectChildrenOnly)) return true;
  // German numbers and dates in Qt's own widgets too, whatever LANG says.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  auto* translator = new QTranslator(app);
  translator->setObjectName(kCatalogue);
  if (!translator->load(kCatalogue, QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return false;
  }
  return true;
}

DesktopApp::DesktopApp(const std::string& programDir)
    : worker_(std::make_unique<MailWorker>()),
      ui_(std::make_unique<QtUserInterface>()),
      window_(std::make_unique<MainWindow>()),
      settings_(std::make_unique<SettingsDialog>(window_.get())),
      // A window of the settings dialog's: the dialog runs modally, and only
      // its own windows stay usable beside it.
      dbWindow_(std::make_unique<DBUtilWindow>(settings_.get())),
      info_(std::make_unique<InfoWindow>(window_.get())),
      mail_(std::make_unique<MailDialog>(window_.get())) {
  InstallGermanQtTexts();
  ui_->AttachMainWindow(window_.get());
  ui_->RegisterModalDialog(qm::text::kWindowSettings, [this] {
    return settings_->exec() == QDialog::Accepted ? ModalResult::Ok : ModalResult::Cancel;
  });
  ui_->RegisterWindow(qm::text::kWindowConnectionTest, [this] {
    // The grid shows the result set of the test's lookup cycle, which the
    // window holds until it is closed.
    dbWindow_->SetRows(engine_->DBUtil().DBGrid1.Columns(), engine_->DBUtil().DBGrid1.Rows());
    dbWindow_->show();
    dbWindow_->raise();
  });
  dbWindow_->onCloseClick = [this] { window_->Guard([this] { engine_->DBUtil().Button_FDBUtil_closeClick(); }); };
  dbWindow_->onFormClose = [this] { window_->Guard([this] { engine_->DBUtil().FormClose(); }); };
  ui_->RegisterWindow(qm::text::kWindowInfo, [this] {
    info_->show();
    info_->raise();
  });
  ui_->RegisterModalDialog(qm::text::kWindowBulkSend, [this] {
    return mail_->exec() == QDialog::Accepted ? ModalResult::Ok : ModalResult::Cancel;
  });
  window_->onInfo = [this] { ui_->ShowWindow(qm::text::kWindowInfo); };
  window_->onManualSend = [this] { ui_->ShowModalDialog(qm::text::kWindowBulkSend); };

  // The engine's objects, in their order, each with its creation steps; the
  // window is bound to the controller before its start-up runs.
  qm::Engine::Hooks hooks;
  hooks.mainConstructed = [this](TForm_main& form) { window_->Bind(&form); };
  hooks.guard = [this](const std::function<void()>& step) { window_->Guard(step); };
  engine_ = std::make_unique<qm::Engine>(programDir, *ui_, ProgramKind::Desktop, std::move(hooks));
  window_->RefreshFromEngine();

  mail_->Bind(&engine_->MailTools(), worker_.get());
  window_->onReceiveMails = [this] { Poll(); };
  QObject::connect(worker_.get(), &MailWorker::busyChanged, window_.get(), &MainWindow::SetMailBusy);

  settings_->Bind(&engine_->Settings());
  // "&Einstellungen": the dialog, then the catalogue is rebuilt whether it
  // was confirmed or not.
  window_->onSettings = [this] {
    engine_->Settings().EditSettings();
    engine_->Main().BuildPlaceholderList();
  };

  TFrm_Info& about = engine_->Info();
  info_->setWindowTitle(Q(about.Caption));
  info_->SetTexts(Q(about.Lbl_product), Q(about.Lbl_webLink), Q(about.Btn_close));
  info_->onLinkClicked = [this] { window_->Guard([this] { engine_->Info().Lbl_webLinkClick(); }); };
}

DesktopApp::~DesktopApp() = default;

void DesktopApp::Poll() {
  // As a poll still connected leaves out the next one: the timer comes again.
  if (worker_->Busy()) return;
  MainWindow* w = window_.get();
  w->ShowPollProgress("Nachrichten werden abgerufen...");
  worker_->Run([this, w] {
    engine_->MailTools().ReceiveMails([w](int number, int count) {
      MailWorker::Post(w, [w, number, count] {
        w->ShowPollProgress(QStringLiteral("Nachrichten werden abgerufen: %1 von %2").arg(number).arg(count));
      });
    });
    // After the poll's own log lines and labels.
    MailWorker::Post(w, [w] { w->ShowPollProgress({}); });
  });
}

bool DesktopApp::TerminateRequested() const { return ui_->TerminateRequested(); }

bool DesktopApp::SaveScreenshots(const QString& dir, const QString& previewAddress) {
  QDir().mkpath(dir);
  bool ok = true;
  window_->show();
  ok &= Grab(*window_, dir, "main");
  if (auto* pages = window_->findChild<QTabWidget*>("PageControl1")) {
    for (int i = 0; i < pages->count(); ++i) {
      if (!pages->isTabVisible(i)) continue;
      pages->setCurrentIndex(i);
      ok &= Grab(*window_, dir, "main_" + pages->widget(i)->objectName());
    }
    // The preview page as it shows one user's signature.
    auto* preview = window_->findChild<QWidget*>("TabS_preview");
    auto* address = window_->findChild<QLineEdit*>("E_previewAddress");
    auto* button = window_->findChild<QPushButton*>("Btn_previewUser");
    if (!previewAddress.isEmpty() && preview && address && button && pages->isTabVisible(pages->indexOf(preview))) {
      pages->setCurrentWidget(preview);
      address->setText(previewAddress);
      button->click();
      ok &= Grab(*window_, dir, "main_TabS_preview_user");
      address->clear();
    }
    pages->setCurrentIndex(0);
  }
  window_->Guard([this] { engine_->Settings().SettingsToDialog(); });
  settings_->LoadFromModel();
  settings_->show();
  for (int i = 0; i < settings_->Pages()->count(); ++i) {
    settings_->Pages()->setCurrentIndex(i);
    ok &= Grab(*settings_, dir, "settings_" + QString::number(i + 1) + "_" + settings_->Pages()->widget(i)->objectName());
  }
  // The pages again with the optional parts shown: the Active Directory
  // group, the note of switched-off verification and the HTTPS fields. Only
  // the dialog's controls change; the records are shown again afterwards.
  {
    TFSettings& model = engine_->Settings();
    model.RG_useAD = 0;
    model.RG_useADClick();
    model.CB_pop3Security = msImplicitTls;
    model.CB_smtpSecurity = msStartTls;
    model.CB_tlsVerifyPeer = false;
    model.CB_HTTPS = true;
    model.CB_HTTPSClick();
    settings_->LoadFromModel();
    for (const char* page : {"TabS_server", "TabS_database", "TabS_misc"}) {
      settings_->Pages()->setCurrentWidget(settings_->findChild<QWidget*>(page));
      ok &= Grab(*settings_, dir, QString("settings_secured_") + page);
    }
    window_->Guard([this] { engine_->Settings().SettingsToDialog(); });
    settings_->LoadFromModel();
  }
  // The connection test as a user runs it: the window shows the table and
  // holds the lookup cycle until it is closed.
  window_->Guard([this] { engine_->Settings().BtnDBTestClick(); });
  if (!dbWindow_->isVisible()) dbWindow_->show();
  ok &= Grab(*dbWindow_, dir, "dbtest");
  dbWindow_->close();
  settings_->hide();
  info_->show();
  ok &= Grab(*info_, dir, "info");
  info_->hide();
  engine_->MailTools().FormShow();
  mail_->RefreshFromModel();
  mail_->show();
  ok &= Grab(*mail_, dir, "bulksend");
  // The progress box as a send of every user shows it at its third address.
  engine_->MailTools().Btn_alleClick();
  mail_->RefreshFromModel();
  TFMailTools::SendRun run = engine_->MailTools().PrepareSend(false);
  if (run.addresses.size() >= 3) {
    SendProgressDialog progress(run.addresses.size(), mail_.get());
    progress.Step(3, run.addresses.size(), Q(run.addresses[2]));
    progress.show();
    ok &= Grab(progress, dir, "bulksend_progress");
  }
  mail_->hide();
  return ok;
}
