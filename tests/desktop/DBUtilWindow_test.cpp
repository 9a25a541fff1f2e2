// The connection-test window over a real SQLite data source, shown by itself
// and through the settings dialog's "Verbindung testen".

#include <gtest/gtest.h>

#include <QAction>
#include <QHeaderView>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <future>

#include "DBUtilWindow.h"
#include "DesktopTestSupport.h"
#include "DirectoryFixtures.h"
#include "TestSupport.h"
#include "app/Engine.h"
#include "MainWindow.h"
#include "RawHttp.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"

namespace {

struct DBUtilWindowTest : ::testing::Test, DesktopFixture {
  OdbcFixture odbc;
};

TEST_F(DBUtilWindowTest, ShowsTheTableAndEndsTheCycleHoweverClosed) {
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  TFDBUtil& db = app->Engine().DBUtil();
  DBUtilWindow& w = app->DBWindow();
  EXPECT_EQ(w.windowTitle(), "Datenbank Verbindung - Test");
  EXPECT_EQ(w.size(), QSize(652, 294));
  auto* grid = Find<QTableWidget>(&w, "DBGrid1");
  EXPECT_EQ(grid->geometry(), QRect(16, 8, 625, 185));
  auto* close = Find<QPushButton>(&w, "Button_FDBUtil_close");
  EXPECT_EQ(close->text(), "Fenster schließen");
  EXPECT_EQ(close->geometry(), QRect(528, 224, 115, 25));

  for (bool byButton : {true, false}) {
    SCOPED_TRACE(byButton ? "button" : "close box");
    db.ConfigureConnection(odbc.Dsn(), "users", "", "", "", "");
    ASSERT_TRUE(db.FindUser(""));
    db.ShowTestWindow();
    ProcessEvents();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(grid->rowCount(), 3);
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "mail");
    EXPECT_EQ(grid->item(0, 0)->text(), "user00001@example.test");
    EXPECT_FALSE(LockIsFree(db.DirectoryLock()));  // the window holds the cycle
    if (byButton)
      close->click();
    else
      w.close();
    ProcessEvents();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(db.Visible());
    EXPECT_EQ(db.HeldCycles(), 0);
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  }
}

// Through the real settings dialog: a profile with the ODBC source, the test
// button clicked on the page "Datenbank", the window closed in one of its
// ways. While the window is shown, a "/make" request waits for the directory;
// once it is closed, the request is answered.
struct ConnectionTestTest : DBUtilWindowTest {
  enum class CloseBy { Button, CloseBox, Escape };

  ConnectionTestTest() {
    odbc.CreateUsersTable();
    odbc.AddUsers(3);
    DirectorySettings d;
    d.odbcSource = odbc.Dsn();
    d.table = "users";
    d.mailField = "mail";
    FSettings->SetDirectorySettings(d);
    GeneralSettings g = FSettings->GetGeneralSettings();
    g.useAD = false;
    g.httpServerActive = false;
    FSettings->SetGeneralSettings(g);
    WriteFileBytes(dir / "ResponsePage.htm", "<p>#ResponseText#</p>\n");
    // The profile as loaded: the connection and the catalogue follow it.
    app->Engine().Settings().SettingsToDialog();
    app->Engine().Main().BuildPlaceholderList();
    app->Engine().Main().M_Signatur_HTML = {"#givenName# #sn#"};
  }


  void CloseTestWindow(CloseBy how) {
    DBUtilWindow& w = app->DBWindow();
    switch (how) {
      case CloseBy::Button: {
        // A click as the window system delivers it, so that a window
        // blocked by the modal settings dialog would not see it.
        auto* button = Find<QPushButton>(&w, "Button_FDBUtil_close");
        QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, button->mapTo(&w, button->rect().center()));
        break;
      }
      case CloseBy::CloseBox:  // the window system's close request
        w.windowHandle()->close();
        break;
      case CloseBy::Escape:
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
        break;
    }
    ProcessEvents();
  }

  // "Verbindung testen" clicked `tests` times on the page "Datenbank" of the
  // open settings dialog; the window shows the table each time.
  void RunTests(QWidget* dialog, int tests) {
    auto* pages = Find<QTabWidget>(dialog, "PageControl_settings");
    pages->setCurrentIndex(1);
    EXPECT_EQ(pages->tabText(1), "Datenbank");
    EXPECT_TRUE(Find<QRadioButton>(dialog, "RG_useAD_1")->isChecked());
    for (int i = 0; i < tests; ++i) {
      Find<QPushButton>(dialog, "BtnDBTest")->click();
      ProcessEvents();
      EXPECT_TRUE(app->DBWindow().isVisible());
      EXPECT_EQ(app->DBWindow().Grid()->rowCount(), 3);
    }
  }

  // "/make" for a known user, sent on another thread to the engine's HTTP
  // server. The profile's server would listen on every address; the test's
  // listens on the loopback address only.
  std::future<RawHttpReply> SendMake() {
    TIdHTTPServer& server = app->Engine().Komponent().IdHTTPServer1;
    server.SetActive(false);
    server.ClearBindings();
    server.AddBinding("127.0.0.1", 0);
    server.SetActive(true);
    const std::uint16_t port = server.ListeningPorts().at(0);
    return std::async(std::launch::async,
                      [port] { return RawHttpExchange(port, RawHttpGet("/make?user00002@example.test")); });
  }

  // The request is answered within the deadline, from the directory. One
  // still waiting then is let go by ending the cycles the main thread holds.
  void ExpectAnswered(std::future<RawHttpReply>& reply) {
    if (reply.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the request still waits for the directory";
      while (reply.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        app->Engine().DBUtil().CloseConnection();
    }
    RawHttpReply r = reply.get();
    EXPECT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.body.rfind("user00002@example.test.txt\n", 0), 0u) << r.body;
    const std::string file = dir / "temp/user00002@example.test.txt";
    EXPECT_EQ(ReadFileBytes(file), "Given2 Surname2\r\n");
    std::remove(file.c_str());
  }

  // The program ends: the engine and its server go within the deadline.
  void EndProgram() {
    const auto start = std::chrono::steady_clock::now();
    app.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
};

TEST_F(ConnectionTestTest, ClosingTheTestWindowLetsAWaitingMakeRequestProceed) {
  using namespace std::chrono_literals;
  TFDBUtil& db = app->Engine().DBUtil();
  DBUtilWindow& w = app->DBWindow();
  struct {
    const char* why;
    CloseBy closeBy;
    int tests;          // clicks on "Verbindung testen" before closing
    bool inTheDialog;   // closed while the settings dialog is still open
  } cases[] = {
      {"button, in the dialog", CloseBy::Button, 1, true},
      {"close box, after the dialog", CloseBy::CloseBox, 1, false},
      {"Escape after a second test", CloseBy::Escape, 2, true},
      {"button after a second test, after the dialog", CloseBy::Button, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::future<RawHttpReply> reply;
    OpenSettings([&](QWidget* d) {
      RunTests(d, c.tests);
      reply = SendMake();
      EXPECT_EQ(reply.wait_for(300ms), std::future_status::timeout) << "the window holds the directory";
      if (c.inTheDialog) CloseTestWindow(c.closeBy);
      ClickButton(d, "&Abbrechen");
    });
    if (!c.inTheDialog) {
      EXPECT_TRUE(w.isVisible()) << "the window outlives the dialog";
      EXPECT_EQ(reply.wait_for(100ms), std::future_status::timeout);
      CloseTestWindow(c.closeBy);
    }
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(db.Visible());
    EXPECT_EQ(db.HeldCycles(), 0);
    ExpectAnswered(reply);
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  }

  // Closing the main window afterwards ends the program.
  bool closed = false;
  Window().onClosed = [&] { closed = true; };
  Window().show();
  EXPECT_TRUE(Window().close());
  ProcessEvents();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  EndProgram();
}

TEST_F(ConnectionTestTest, ClosingTheMainWindowClosesAShownTestWindow) {
  // The test window is left open and a request waits for the directory when
  // the user closes the program.
  OpenSettings([&](QWidget* d) {
    RunTests(d, 1);
    ClickButton(d, "&Abbrechen");
  });
  std::future<RawHttpReply> reply = SendMake();
  EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  Window().show();
  EXPECT_TRUE(Window().close());
  ProcessEvents();
  EXPECT_FALSE(app->DBWindow().isVisible());
  EXPECT_EQ(app->Engine().DBUtil().HeldCycles(), 0);
  ExpectAnswered(reply);
  EndProgram();
}

}  // namespace
