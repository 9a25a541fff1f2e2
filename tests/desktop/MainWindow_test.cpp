// The main window driven as a person would: menus, edits, the attachment page,
// the catalogue, the preview, the counters and the log.

#include "MainWindow.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <filesystem>
#include <thread>

#include "DesktopTestSupport.h"
#include "DirectoryFixtures.h"
#include "QtUserInterface.h"
#include "TestImage.h"
#include "app/Engine.h"
#include "app/Main.h"
#include "base/UUtils.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"

namespace {

QStringList Items(QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

// A person's double click: press and release, then the double click.
void DoubleClick(QListWidget* list, QListWidgetItem* item) {
  QPoint at = list->visualItemRect(item).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

struct MainWindowTest : ::testing::Test, DesktopFixture {
  QAction* Action(const char* name) { return Find<QAction>(&Window(), name); }
};

TEST_F(MainWindowTest, CaptionsAndInitialState) {
  MainWindow& w = Window();
  EXPECT_EQ(w.objectName(), "TForm_main");
  EXPECT_EQ(w.windowTitle(), "Quillmark 2.2");
  EXPECT_EQ(w.minimumSize(), QSize(405, 429));
  auto* pages = Find<QTabWidget>(&w, "PageControl1");
  QStringList tabs;
  for (int i = 0; i < pages->count(); ++i) tabs << pages->tabText(i);
  EXPECT_EQ(tabs, QStringList({"Mail-Text", "Signatur", "Signatur-Vorschau (HTML)", "Datei-Anhänge"}));
  EXPECT_EQ(Find<QLabel>(&w, "Label_Felder")->text(),
            "Die folgenden Platzhalter stehen zur Verfügung      (einfügen mit Doppelklick).");
  for (const char* counter : {"LStatusempfangen", "LStatusGesand", "LStatusHTTP"})
    EXPECT_EQ(Find<QLabel>(&w, counter)->text(), "0") << counter;
  EXPECT_EQ(Find<QLabel>(&w, "LStatusTimer")->text(), "aus");
  struct {
    const char* name;
    const char* text;
    QKeySequence key;
  } actions[] = {
      {"MI_Neu", "&Neu...", QKeySequence::New},
      {"MI_Oeffnen", "Projekt Ö&ffnen", QKeySequence::Open},
      {"MI_Speichern", "Projekt &Speichern", QKeySequence::Save},
      {"MI_SpeichernUnter", "Projekt Speichern &unter...", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
      {"MI_Beenden", "&Beenden", QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {"MI_Einstellungen", "&Einstellungen", QKeySequence(Qt::CTRL | Qt::Key_E)},
      {"MI_Info", "&Info", QKeySequence(Qt::Key_F1)},
  };
  for (auto& a : actions) {
    SCOPED_TRACE(a.name);
    EXPECT_EQ(Action(a.name)->text(), QString::fromUtf8(a.text));
    EXPECT_EQ(Action(a.name)->shortcut(), a.key);
  }
}

TEST_F(MainWindowTest, OpenEditAndSaveProject) {
  std::string path = dir / "demo.qm";
  WriteFileBytes(path, "1\r\n2\r\n1\r\nHallo\r\n<p>#givenName# #sn#</p>\r\n<img src=\"cid:logo.gif\"/>\r\nlogo.gif\r\n");
  OnNextModal([&](QWidget* d) { ChooseFile(d, path); });
  Action("MI_Oeffnen")->trigger();
  ProcessEvents();

  auto* text = Find<QPlainTextEdit>(&Window(), "M_text");
  auto* sig = Find<QPlainTextEdit>(&Window(), "M_Signatur_HTML");
  EXPECT_EQ(text->toPlainText(), "Hallo");
  EXPECT_EQ(sig->toPlainText(), "<p>#givenName# #sn#</p>\n<img src=\"cid:logo.gif\"/>");
  EXPECT_EQ(Items(Find<QListWidget>(&Window(), "LB_shortNames")), QStringList{"logo.gif"});
  EXPECT_EQ(Window().windowTitle(), "Quillmark 2.2 - demo.qm");
  EXPECT_FALSE(Form_main->IsModified());

  // Typing into each text page marks its own flag and reaches the engine.
  text->moveCursor(QTextCursor::End);
  QTest::keyClicks(text, " Welt");
  EXPECT_TRUE(Form_main->mailTextModified);
  EXPECT_FALSE(Form_main->signatureModified);
  EXPECT_EQ(Form_main->M_text, qm::TextList{"Hallo Welt"});
  sig->moveCursor(QTextCursor::End);
  QTest::keyClick(sig, Qt::Key_Return);
  QTest::keyClicks(sig, "Gruß");
  EXPECT_TRUE(Form_main->signatureModified);
  EXPECT_EQ(Form_main->M_Signatur_HTML.back(), "Gruß");

  Action("MI_Speichern")->trigger();
  ProcessEvents();
  EXPECT_EQ(ReadFileBytes(path),
            "1\r\n3\r\n1\r\nHallo Welt\r\n<p>#givenName# #sn#</p>\r\n<img src=\"cid:logo.gif\"/>\r\nGruß\r\n"
            "logo.gif\r\n");
  EXPECT_FALSE(Form_main->IsModified());
}

TEST_F(MainWindowTest, NewAskesToSaveAndCancelKeepsTheProject) {
  auto* text = Find<QPlainTextEdit>(&Window(), "M_text");
  QTest::keyClicks(text, "Entwurf");
  // "Abbrechen" ends the action with nothing changed.
  QString asked;
  OnNextModal([&](QWidget* d) {
    asked = d->findChild<QLabel*>("qt_msgbox_label")->text();
    EXPECT_EQ(d->windowTitle(), "Quillmark");
    ClickButton(d, "Abbrechen");
  });
  Action("MI_Neu")->trigger();
  EXPECT_EQ(asked, "Wollen Sie die Änderungen am geöffneten Projekt speichern?");
  EXPECT_EQ(text->toPlainText(), "Entwurf");
  // "Nein" empties the project.
  OnNextModal([&](QWidget* d) { ClickButton(d, "Nein"); });
  Action("MI_Neu")->trigger();
  EXPECT_EQ(text->toPlainText(), "");
  EXPECT_TRUE(Form_main->M_text.empty());
}

TEST_F(MainWindowTest, AddAndRemoveAttachment) {
  std::string source = dir / "Logo.gif";
  WriteFileBytes(source, "GIF89a");
  OnNextModal([&](QWidget* d) { ChooseFile(d, source); });
  Find<QPushButton>(&Window(), "Btn_addPicture")->click();
  ProcessEvents();
  auto* names = Find<QListWidget>(&Window(), "LB_shortNames");
  EXPECT_EQ(Items(names), QStringList{"Logo.gif"});
  EXPECT_TRUE(Items(Find<QListWidget>(&Window(), "LB_Felder")).contains("Logo.gif"));
  EXPECT_TRUE(qm::FileExists(dir / "temp/Logo.gif"));
  EXPECT_TRUE(Form_main->mailTextModified);

  // Delete with nothing selected does nothing; with a selection it asks.
  names->setFocus();
  names->setCurrentRow(0);
  QString asked;
  OnNextModal([&](QWidget* d) {
    asked = d->findChild<QLabel*>("qt_msgbox_label")->text();
    ClickButton(d, "Nein");
  });
  QTest::keyClick(names, Qt::Key_Delete);
  EXPECT_EQ(asked, "Logo.gif wirklich abhängen?");
  EXPECT_EQ(names->count(), 1);
  OnNextModal([&](QWidget* d) { ClickButton(d, "Ja"); });
  QTest::keyClick(names, Qt::Key_Delete);
  EXPECT_EQ(names->count(), 0);
  EXPECT_FALSE(Items(Find<QListWidget>(&Window(), "LB_Felder")).contains("Logo.gif"));
  EXPECT_FALSE(qm::FileExists(dir / "temp/Logo.gif"));
}

TEST_F(MainWindowTest, DoubleClickInsertsPlaceholderAtCaret) {
  GeneralSettings g = FSettings->GetGeneralSettings();
  g.useAD = true;
  g.fieldNames1 = "givenName,sn";
  FSettings->SetGeneralSettings(g);
  Form_main->BuildPlaceholderList();
  Window().RefreshFromEngine();
  Window().show();
  ProcessEvents();

  auto* pages = Find<QTabWidget>(&Window(), "PageControl1");
  auto* sig = Find<QPlainTextEdit>(&Window(), "M_Signatur_HTML");
  sig->setPlainText("Name:  Ende");
  QTextCursor c = sig->textCursor();
  c.setPosition(6);
  sig->setTextCursor(c);
  pages->setCurrentIndex(0);

  auto* felder = Find<QListWidget>(&Window(), "LB_Felder");
  QListWidgetItem* sn = felder->findItems("sn", Qt::MatchExactly).value(0);
  ASSERT_NE(sn, nullptr);
  felder->setCurrentItem(sn);
  DoubleClick(felder, sn);
  EXPECT_EQ(pages->currentWidget()->objectName(), "TabS_signatur");
  EXPECT_EQ(sig->toPlainText(), "Name: #sn# Ende");
  EXPECT_EQ(Form_main->M_Signatur_HTML, qm::TextList{"Name: #sn# Ende"});
  EXPECT_TRUE(Form_main->signatureModified);

  // A selected word is replaced.
  c = sig->textCursor();
  c.setPosition(11);
  c.setPosition(15, QTextCursor::KeepAnchor);
  sig->setTextCursor(c);
  QListWidgetItem* given = felder->findItems("givenName", Qt::MatchExactly).value(0);
  felder->setCurrentItem(given);
  DoubleClick(felder, given);
  EXPECT_EQ(sig->toPlainText(), "Name: #sn# #givenName#");
}

TEST_F(MainWindowTest, PreviewShowsTemplateWithStoredImages) {
  std::filesystem::create_directories(dir / "temp");
  qm::WriteWholeFile(dir / "temp/logo.gif",
                     std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00"
                                 "\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
                                 43));
  {
    std::unique_lock lk(Form_main->ProjectMutex());
    Form_main->M_Signatur_HTML = {"<p>Gruß #sn#</p>", "<img src=\"cid:logo.gif\"/>"};
    Form_main->LB_shortNames = {"logo.gif"};
  }
  Window().RefreshFromEngine();
  auto* pages = Find<QTabWidget>(&Window(), "PageControl1");
  pages->setCurrentWidget(Find<QWidget>(&Window(), "TabS_preview"));
  auto* browser = Find<QTextBrowser>(&Window(), "WebBrowser1");
  EXPECT_TRUE(browser->toPlainText().contains("Gruß #sn#"));
  QString html = browser->toHtml();
  EXPECT_TRUE(html.contains(QString::fromStdString(dir / "temp/logo.gif"))) << html.toStdString();
  QImage img = browser->document()
                   ->resource(QTextDocument::ImageResource, QUrl(QString::fromStdString(dir / "temp/logo.gif")))
                   .value<QImage>();
  EXPECT_FALSE(img.isNull());

  // Rebuilt each time the page is shown.
  {
    std::unique_lock lk(Form_main->ProjectMutex());
    Form_main->M_Signatur_HTML = {"<p>neu</p>"};
  }
  pages->setCurrentIndex(0);
  pages->setCurrentWidget(Find<QWidget>(&Window(), "TabS_preview"));
  EXPECT_EQ(browser->toPlainText(), "neu");
}

// An address typed above the preview shows that user's generated signature
// with the project's picture; an unknown one the system's message, an empty
// one the template again. The user's files in temp/ are not touched.
TEST_F(MainWindowTest, PreviewAsUser) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  UseOdbcUsers(odbc.Dsn());
  GeneralSettings g = FSettings->GetGeneralSettings();
  g.contentType = ctHtml;
  FSettings->SetGeneralSettings(g);
  std::filesystem::create_directories(dir / "temp");
  WriteFileBytes(dir / "temp/logo.png", SmallPngImage());
  WriteFileBytes(dir / "temp/user00002@example.test.htm", "own");
  {
    std::unique_lock lk(Form_main->ProjectMutex());
    Form_main->M_Signatur_HTML = {"<p>#givenName# #sn#</p>", "<img src=\"cid:logo.png\"/>"};
    Form_main->LB_shortNames = {"logo.png"};
  }
  Form_main->BuildPlaceholderList();
  Window().RefreshFromEngine();
  Window().show();
  auto* pages = Find<QTabWidget>(&Window(), "PageControl1");
  pages->setCurrentWidget(Find<QWidget>(&Window(), "TabS_preview"));
  auto* address = Find<QLineEdit>(&Window(), "E_previewAddress");
  auto* button = Find<QPushButton>(&Window(), "Btn_previewUser");
  auto* browser = Find<QTextBrowser>(&Window(), "WebBrowser1");
  EXPECT_EQ(button->text(), "Vorschau für Benutzer");
  // The page's text without the pictures' places.
  auto shown = [browser] { return browser->toPlainText().remove(QChar::ObjectReplacementCharacter).trimmed(); };

  QTest::keyClicks(address, "user00002@example.test");
  button->click();
  EXPECT_EQ(shown(), QString("Given2 Surname2"));
  EXPECT_TRUE(browser->toHtml().contains("src=\"logo.png\"")) << browser->toHtml().toStdString();
  const QUrl image = browser->document()->baseUrl().resolved(QUrl("logo.png"));
  EXPECT_EQ(image, QUrl::fromLocalFile(QString::fromStdString(dir / "temp/logo.png")));
  EXPECT_FALSE(browser->document()->resource(QTextDocument::ImageResource, image).value<QImage>().isNull());
  EXPECT_EQ(ReadFileBytes(dir / "temp/user00002@example.test.htm"), "own");
  EXPECT_FALSE(qm::FileExists(dir / "temp/user00002@example.test.txt"));

  // Shown again, the page keeps the user.
  pages->setCurrentIndex(0);
  pages->setCurrentWidget(Find<QWidget>(&Window(), "TabS_preview"));
  EXPECT_EQ(shown(), QString("Given2 Surname2"));

  struct {
    const char* typed;
    QString shown;
  } cases[] = {
      {"nobody@example.test", "Die EMail Adresse nobody@example.test konnte nicht in der Datenbank gefunden werden."},
      {"", "#givenName# #sn#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    address->clear();
    QTest::keyClicks(address, c.typed);
    QTest::keyClick(address, Qt::Key_Return);
    EXPECT_EQ(shown(), c.shown);
  }
}

// A PNG logo as a person adds it: picked under the dialog's PNG filter, it
// becomes an image placeholder, a double click inserts its reference and the
// preview shows the picture from the attachment store.
TEST_F(MainWindowTest, PngLogoFromPictureDialogToPreview) {
  std::string source = dir / "Logo.png";
  WriteFileBytes(source, SmallPngImage());
  QStringList filters;
  OnNextModal([&](QWidget* d) {
    if (auto* fd = qobject_cast<QFileDialog*>(d)) {
      filters = fd->nameFilters();
      fd->selectNameFilter("PNG (*.png)");
    }
    ChooseFile(d, source);
  });
  Find<QPushButton>(&Window(), "Btn_addPicture")->click();
  ProcessEvents();
  EXPECT_EQ(filters, QStringList({"CompuServe Gif (*.gif)", "JPEG (*.jpg *.jpeg)", "PNG (*.png)"}));
  EXPECT_EQ(Items(Find<QListWidget>(&Window(), "LB_shortNames")), QStringList{"Logo.png"});
  EXPECT_EQ(ReadFileBytes(dir / "temp/Logo.png"), SmallPngImage());

  Window().show();
  ProcessEvents();
  auto* felder = Find<QListWidget>(&Window(), "LB_Felder");
  QListWidgetItem* logo = felder->findItems("Logo.png", Qt::MatchExactly).value(0);
  ASSERT_NE(logo, nullptr);
  felder->setCurrentItem(logo);
  DoubleClick(felder, logo);
  EXPECT_EQ(Form_main->M_Signatur_HTML, qm::TextList{"<img src=\"cid:Logo.png\"/>"});

  auto* pages = Find<QTabWidget>(&Window(), "PageControl1");
  pages->setCurrentWidget(Find<QWidget>(&Window(), "TabS_preview"));
  auto* browser = Find<QTextBrowser>(&Window(), "WebBrowser1");
  const QString storedPath = QString::fromStdString(dir / "temp/Logo.png");
  EXPECT_TRUE(browser->toHtml().contains(storedPath)) << browser->toHtml().toStdString();
  const QUrl stored(storedPath);
  QImage img = browser->document()->resource(QTextDocument::ImageResource, stored).value<QImage>();
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.size(), QSize(2, 2));
  EXPECT_EQ(img.pixelColor(0, 0), QColor(Qt::red));
  EXPECT_EQ(img.pixelColor(1, 0), QColor(Qt::blue));
}

TEST_F(MainWindowTest, EngineDrivesLabelsTimerPagesAndLog) {
  UserInterface& ui = Form_main->UI();
  std::thread other([&] { ui.SetLabel("LStatusEmpfangen", "17"); });
  other.join();
  ui.SetLabel("LStatusTimer", "ein");
  ui.TimerChanged(180000, true);
  ui.SetPageVisible("TabS_preview", false);
  ProcessEvents();
  EXPECT_EQ(Find<QLabel>(&Window(), "LStatusempfangen")->text(), "17");
  EXPECT_EQ(Find<QLabel>(&Window(), "LStatusTimer")->text(), "ein");
  EXPECT_TRUE(Window().Timer1()->isActive());
  EXPECT_EQ(Window().Timer1()->interval(), 180000);
  auto* pages = Find<QTabWidget>(&Window(), "PageControl1");
  EXPECT_FALSE(pages->isTabVisible(2));
  ui.TimerChanged(60000, false);
  ui.SetPageVisible("TabS_preview", true);
  ProcessEvents();
  EXPECT_FALSE(Window().Timer1()->isActive());
  EXPECT_TRUE(pages->isTabVisible(2));

  // Log lines from several threads appear whole and in the order of the calls.
  Form_main->SetVerbosity(0);
  auto* info = Find<QPlainTextEdit>(&Window(), "M_info");
  int before = info->blockCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i) Form_main->WriteLog("Zeile " + std::to_string(t) + "/" + std::to_string(i), 3);
    });
  for (auto& t : threads) t.join();
  ProcessEvents();
  QStringList screen = info->toPlainText().split('\n').mid(before == 1 && info->toPlainText().isEmpty() ? 0 : 0);
  qm::TextList file = qm::SplitLines(ReadFileBytes(dir / "signatur.log"));
  ASSERT_GE(screen.size(), 100);
  QStringList lastScreen = screen.mid(screen.size() - 100);
  qm::TextList lastFile(file.end() - 100, file.end());
  for (int i = 0; i < 100; ++i) {
    // Screen and file lines carry the same message in the same place.
    QString s = lastScreen[i];
    EXPECT_EQ(s.mid(s.indexOf(": ") + 2).toStdString(),
              lastFile[i].substr(lastFile[i].find(": ") + 2));
  }
}

TEST_F(MainWindowTest, CloseRefusedByCancel) {
  Window().show();
  QTest::keyClicks(Find<QPlainTextEdit>(&Window(), "M_text"), "x");
  OnNextModal([&](QWidget* d) { ClickButton(d, "Abbrechen"); });
  EXPECT_FALSE(Window().close());
  EXPECT_TRUE(Window().isVisible());
  EXPECT_TRUE(Form_main->IsModified());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, CloseRunsTheClosingSequence) {
  bool closed = false;
  Window().onClosed = [&] { closed = true; };
  Window().show();
  std::filesystem::create_directories(dir / "temp");
  WriteFileBytes(dir / "temp/a@example.test.htm", "x");
  EXPECT_TRUE(Window().close());
  ProcessEvents();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(qm::FileExists(dir / "progstate.qms"));
  EXPECT_FALSE(qm::FileExists(dir / "temp/a@example.test.htm"));
}

TEST_F(MainWindowTest, SecondProgramOfTheInstallationIsRefused) {
  QString shown;
  OnNextModal([&](QWidget* d) {
    if (auto* l = d->findChild<QLabel*>("qt_msgbox_label")) shown = l->text();
    ClickButton(d, "OK");
  });
  DesktopApp second(dir.Path());
  EXPECT_TRUE(second.TerminateRequested());
  EXPECT_TRUE(shown.startsWith("Das Programm wird bereits ausgeführt!")) << shown.toStdString();
  EXPECT_FALSE(app->TerminateRequested());
}

// The second start as a person sees it when the running program serves
// HTTP: the refusal, then the port's failure in the system's own words with
// the system's text for it ("Net Exception" was shown here before).
TEST_F(MainWindowTest, SecondStartShowsTheTakenPortInTheSystemsWords) {
  Poco::Net::ServerSocket firstServer;
  firstServer.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
  firstServer.listen();
  const std::uint16_t port = firstServer.address().port();
  GeneralSettings g = FSettings->GetGeneralSettings();
  g.httpPort = port;
  g.httpServerActive = true;
  FSettings->SetGeneralSettings(g);
  FSettings->SaveSettings();  // the profile the second program reads

  QStringList shown;
  auto answer = [&](QWidget* d) {
    auto* l = d->findChild<QLabel*>("qt_msgbox_label");
    shown << d->objectName() + ": " + (l ? l->text() : QString());
    ClickButton(d, "OK");
  };
  OnNextModal([&](QWidget* d) {
    OnNextModal(answer);
    answer(d);
  });
  {
    DesktopApp second(dir.Path());
    EXPECT_TRUE(second.TerminateRequested());
  }
  ASSERT_EQ(shown.size(), 2) << shown.join("|").toStdString();
  EXPECT_TRUE(shown[0].startsWith("ShowMessage: Das Programm wird bereits ausgeführt!")) << shown[0].toStdString();
  EXPECT_EQ(shown[1], QString("ShowError: Der HTTP-Server konnte nicht auf Port %1 gestartet werden: Address already in use")
                          .arg(port));
}

}  // namespace
