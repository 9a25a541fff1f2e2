#include "DesktopTestSupport.h"

#include "TestEngine.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QFileDialog>
#include <QTimer>

#include "FakeServiceControl.h"
#include "MainWindow.h"
#include "base/UProgState.h"

void OnNextModal(std::function<void(QWidget*)> handle) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, handle] {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    // A progress box is no question: it closes by itself when its work ends.
    if (w->objectName().startsWith("ProgressDialog")) return;
    timer->stop();
    timer->deleteLater();
    handle(w);
  });
  timer->start();
}

void ClickButton(QWidget* dialog, const QString& caption) {
  for (auto* b : dialog->findChildren<QAbstractButton*>()) {
    if (b->text().remove('&') == QString(caption).remove('&')) {
      b->click();
      return;
    }
  }
  ADD_FAILURE() << "no button " << caption.toStdString();
  dialog->close();
}

void ChooseFile(QWidget* dialog, const std::string& path) {
  auto* fd = qobject_cast<QFileDialog*>(dialog);
  if (!fd) {
    ADD_FAILURE() << "not a file dialog: " << dialog->metaObject()->className();
    dialog->close();
    return;
  }
  fd->selectFile(QString::fromStdString(path));
  QMetaObject::invokeMethod(fd, "accept");
}

void ProcessEvents() {
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

DesktopFixture::DesktopFixture() {
  ClearState();
  app = std::make_unique<DesktopApp>(dir.Path());
  ProcessEvents();
}

DesktopFixture::~DesktopFixture() {
  app.reset();
  ClearState();
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The start-up's service stop and the closing's hand-over reach a fake,
  // never the machine's service manager.
  UseFakeServiceControlByDefault();
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

void DesktopFixture::OpenSettings(const std::function<void(QWidget*)>& handle) {
  bool ran = false;
  OnNextModal([&](QWidget* d) {
    ran = true;
    handle(d);
  });
  Find<QAction>(&Window(), "MI_Einstellungen")->trigger();
  ProcessEvents();
  EXPECT_TRUE(ran) << "the settings dialog did not open";
}

void DesktopFixture::UseOdbcUsers(const std::string& dsn, const std::string& table) {
  TFSettings& s = app->Engine().Settings();
  s.SetDirectorySettings(OdbcUsersSettings(dsn, table));
  GeneralSettings g = s.GetGeneralSettings();
  g.useAD = false;
  s.SetGeneralSettings(g);
  app->Engine().DBUtil().ConfigureConnection(dsn, table, "", "", "", "");
}
