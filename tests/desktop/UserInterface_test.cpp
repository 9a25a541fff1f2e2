// The Qt user interface's dialogs and the tray icon.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include "DesktopTestSupport.h"
#include "app/Main.h"
#include "MainWindow.h"
#include "QtUserInterface.h"
#include "SysTray.h"

namespace {

TEST(QtUserInterfaceTest, FilterConversion) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"Quillmark 2.0 Projekte (*.qm)|*.qm|Alle Dateien (*.*)|*.*",
       "Quillmark 2.0 Projekte (*.qm);;Alle Dateien (*)"},
      {"CompuServe Gif (*.gif)|*.gif|JPEG (*.jpg, *.jpeg)|*.jpg;*.jpeg", "CompuServe Gif (*.gif);;JPEG (*.jpg *.jpeg)"},
      {"CompuServe Gif (*.gif)|*.gif|JPEG (*.jpg, *.jpeg)|*.jpg;*.jpeg|PNG (*.png)|*.png",
       "CompuServe Gif (*.gif);;JPEG (*.jpg *.jpeg);;PNG (*.png)"},
      {"Text|*.txt", "Text (*.txt)"},
      {"", ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(QtUserInterface::ConvertFilter(c.in).toStdString(), c.out);
  }
}

TEST(QtUserInterfaceTest, CaptionedMessageDlgCaptionsAndResults) {
  QtUserInterface ui;
  struct {
    std::vector<MsgDlgBtn> buttons;
    std::vector<std::string> captions;
    const char* press;  // nullptr: close with Escape
    ModalResult expected;
  } cases[] = {
      {{MsgDlgBtn::Yes, MsgDlgBtn::No, MsgDlgBtn::Cancel}, {"Ja", "Nein", "Abbrechen"}, "Ja", ModalResult::Yes},
      {{MsgDlgBtn::Yes, MsgDlgBtn::No, MsgDlgBtn::Cancel}, {"Ja", "Nein", "Abbrechen"}, "Nein", ModalResult::No},
      {{MsgDlgBtn::Yes, MsgDlgBtn::No, MsgDlgBtn::Cancel}, {"Ja", "Nein", "Abbrechen"}, nullptr, ModalResult::Cancel},
      {{MsgDlgBtn::Ok, MsgDlgBtn::Cancel}, {"Ja", "Nein"}, "Ja", ModalResult::Ok},
      {{MsgDlgBtn::Ok, MsgDlgBtn::Cancel}, {"Ja", "Nein"}, "Nein", ModalResult::Cancel},
      {{MsgDlgBtn::Ok, MsgDlgBtn::Cancel}, {"Ja", "Nein"}, nullptr, ModalResult::Cancel},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.press ? c.press : "Escape");
    QStringList captions;
    QString title;
    OnNextModal([&](QWidget* d) {
      title = d->windowTitle();
      for (auto* b : qobject_cast<QMessageBox*>(d)->buttons()) captions << b->text();
      if (c.press)
        ClickButton(d, c.press);
      else
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_EQ(ui.CaptionedMessageDlg("Frage?", MsgDlgType::Warning, c.buttons, c.captions), c.expected);
    EXPECT_EQ(title, "Quillmark");
    QStringList want;
    for (auto& s : c.captions) want << QString::fromStdString(s);
    captions.sort();
    want.sort();
    EXPECT_EQ(captions, want);
  }
}

TEST(QtUserInterfaceTest, InputBoxAndConfirm) {
  QtUserInterface ui;
  OnNextModal([](QWidget* d) {
    EXPECT_EQ(d->windowTitle(), "Neues Profil");
    auto* edit = d->findChild<QLineEdit*>();
    edit->setText("Vertrieb");
    ClickButton(d, "OK");
  });
  EXPECT_EQ(ui.InputBox("Neues Profil", "Geben Sie einen Namen für das Profil an:", ""), "Vertrieb");
  OnNextModal([](QWidget* d) { ClickButton(d, "Abbrechen"); });
  EXPECT_EQ(ui.InputBox("Neues Profil", "Name:", "x"), std::nullopt);
  OnNextModal([](QWidget* d) { ClickButton(d, "Ja"); });
  EXPECT_TRUE(ui.ConfirmYesNo("Wirklich?"));
  OnNextModal([](QWidget* d) { ClickButton(d, "Nein"); });
  EXPECT_FALSE(ui.ConfirmYesNo("Wirklich?"));
}

TEST(QtUserInterfaceTest, SaveDialogAddsDefaultExtensionAndCancelGivesNothing) {
  TestDir dir;
  QtUserInterface ui;
  FileDialogOptions o;
  o.filter = "Quillmark 2.0 Projekte (*.qm)|*.qm";
  o.defaultExt = ".qm";
  o.initialDir = dir.Path();
  o.overwritePrompt = true;
  OnNextModal([&](QWidget* d) {
    auto* fd = qobject_cast<QFileDialog*>(d);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(fd->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(fd->directory().absolutePath() + "/", QString::fromStdString(dir.Path()));
    ChooseFile(d, dir / "neu");
  });
  EXPECT_EQ(ui.SaveFileDialog(o), dir / "neu.qm");
  OnNextModal([](QWidget* d) { qobject_cast<QDialog*>(d)->reject(); });
  EXPECT_EQ(ui.OpenFileDialog(o), std::nullopt);
}

TEST(QtUserInterfaceTest, PostedCallsWaitForTheWindowAndKeepTheirOrder) {
  QtUserInterface ui;
  ui.AppendLogLine("eins");
  ui.SetTitle("Quillmark 2.2 - a.qm");
  ui.AppendLogLine("zwei");
  MainWindow w;
  ui.AttachMainWindow(&w);
  ui.AppendLogLine("drei");
  ProcessEvents();
  EXPECT_EQ(w.findChild<QPlainTextEdit*>("M_info")->toPlainText(), "eins\nzwei\ndrei");
  EXPECT_EQ(w.windowTitle(), "Quillmark 2.2 - a.qm");
}

// A tray icon that records its calls into the notification area.
class RecordingTray : public TSysTray {
 public:
  using TSysTray::TSysTray;
  std::vector<ShellOp> ops;

 protected:
  void Shell(ShellOp op) override {
    ops.push_back(op);
    TSysTray::Shell(op);
  }
};

TEST(SysTrayTest, VisibleHintAndEvents) {
  RecordingTray tray;
  tray.SetVisible(false);
  EXPECT_TRUE(tray.ops.empty());  // same value: nothing reaches the area
  tray.SetVisible(true);
  tray.SetVisible(true);
  EXPECT_EQ(tray.ops, std::vector{TSysTray::ShellOp::Add});
  EXPECT_TRUE(tray.TrayIcon()->isVisible());
  tray.SetVisible(false);
  EXPECT_FALSE(tray.TrayIcon()->isVisible());

  QString seventy(70, 'h');
  tray.ops.clear();
  tray.SetHint(seventy);
  EXPECT_EQ(tray.Hint(), QString(63, 'h'));
  EXPECT_EQ(tray.TrayIcon()->toolTip(), QString(63, 'h'));
  EXPECT_EQ(tray.ops, std::vector{TSysTray::ShellOp::Modify});  // also while hidden

  // Empty Icon: the application's icon is shown.
  EXPECT_EQ(tray.EffectiveIcon().cacheKey(), QApplication::windowIcon().cacheKey());

  std::vector<std::string> seen;
  tray.OnClick = [&](TSysTray*) { seen.push_back("click"); };
  tray.OnDblClick = [&](TSysTray*) { seen.push_back("dbl"); };
  tray.OnMouseDown = [&](TSysTray*, Qt::MouseButton b, Qt::KeyboardModifiers, bool dbl, QPoint) {
    seen.push_back("down" + std::to_string(int(b)) + (dbl ? "d" : ""));
  };
  tray.OnMouseUp = [&](TSysTray*, Qt::MouseButton b, Qt::KeyboardModifiers, bool, QPoint) {
    seen.push_back("up" + std::to_string(int(b)));
  };
  for (int m : {513, 514, 515, 516, 517, 518, 519, 520, 521, 600}) tray.HandleNotification(m);
  EXPECT_EQ(seen, (std::vector<std::string>{"down1", "click", "up1", "dbl", "down1d", "down2", "up2", "down2d",
                                            "down4", "up4", "down4d"}));
  // A failing handler is shown as an error, never passed on.
  tray.OnClick = [](TSysTray*) { throw std::runtime_error("kaputt"); };
  QString shown;
  OnNextModal([&](QWidget* d) {
    shown = d->findChild<QLabel*>("qt_msgbox_label")->text();
    ClickButton(d, "OK");
  });
  EXPECT_NO_THROW(tray.HandleNotification(514));
  EXPECT_EQ(shown, "kaputt");
}

TEST(SysTrayTest, PopupMenuIsForgottenWhenDestroyed) {
  TSysTray tray;
  auto* menu = new QMenu;
  tray.SetPopupMenu(menu);
  EXPECT_EQ(tray.PopupMenu(), menu);
  delete menu;
  EXPECT_EQ(tray.PopupMenu(), nullptr);
}

struct TrayWindowTest : ::testing::Test, DesktopFixture {};

TEST_F(TrayWindowTest, MinimiseHidesToTrayAndDoubleClickBringsBack) {
  MainWindow& w = Window();
  w.show();
  ProcessEvents();
  EXPECT_FALSE(w.SysTray1()->Visible());
  w.setWindowState(Qt::WindowMinimized);
  ProcessEvents();
  EXPECT_TRUE(w.SysTray1()->Visible());
  EXPECT_FALSE(w.isVisible());
  // Single and right clicks do nothing.
  w.SysTray1()->HandleNotification(TSysTray::kLButtonUp);
  w.SysTray1()->HandleNotification(TSysTray::kRButtonDown);
  ProcessEvents();
  EXPECT_FALSE(w.isVisible());
  w.SysTray1()->HandleNotification(TSysTray::kLButtonDblClk);
  ProcessEvents();
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.isMinimized());
  EXPECT_FALSE(w.SysTray1()->Visible());
}

// Qt's own texts are German in the desktop program, whatever the host's
// locale (the tests run under C): the standard buttons and the file dialog
// the program opens.
struct GermanQtTextsTest : ::testing::Test, DesktopFixture {};

TEST_F(GermanQtTextsTest, StandardButtonsAndFileDialogSpeakGerman) {
  struct {
    QDialogButtonBox::StandardButton button;
    const char* text;
  } cases[] = {
      {QDialogButtonBox::Cancel, "Abbrechen"}, {QDialogButtonBox::Ok, "OK"},
      {QDialogButtonBox::Yes, "Ja"},           {QDialogButtonBox::No, "Nein"},
      {QDialogButtonBox::Save, "Speichern"},   {QDialogButtonBox::Open, "Öffnen"},
      {QDialogButtonBox::Close, "Schließen"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    QDialogButtonBox box(c.button);
    EXPECT_EQ(box.button(c.button)->text().remove('&'), QString::fromUtf8(c.text));
  }

  QStringList buttons;
  OnNextModal([&](QWidget* dialog) {
    for (auto* b : dialog->findChild<QDialogButtonBox*>()->buttons()) buttons << b->text().remove('&');
    static_cast<QDialog*>(dialog)->reject();
  });
  FileDialogOptions o;
  o.filter = "Projekt (*.qm)|*.qm";
  EXPECT_EQ(app->UI().OpenFileDialog(o), std::nullopt);
  EXPECT_TRUE(buttons.contains("Abbrechen")) << buttons.join(", ").toStdString();
  EXPECT_TRUE(buttons.contains(QString::fromUtf8("Öffnen"))) << buttons.join(", ").toStdString();
}

}  // namespace
