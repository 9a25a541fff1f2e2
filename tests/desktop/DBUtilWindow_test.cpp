// The connection-test window over a real SQLite data source.

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <future>

#include "DBUtilWindow.h"
#include "DesktopTestSupport.h"
#include "DirectoryFixtures.h"
#include "app/Engine.h"
#include "directory/UDBUtil.h"

namespace {

bool LockIsFree(TFDBUtil& db) {
  // Another thread must be able to take DirectoryLock.
  return std::async(std::launch::async, [&db] {
           bool got = db.DirectoryLock().try_lock();
           if (got) db.DirectoryLock().unlock();
           return got;
         }).get();
}

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
    EXPECT_FALSE(LockIsFree(db));  // the window holds the cycle
    if (byButton)
      close->click();
    else
      w.close();
    ProcessEvents();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(db.Visible());
    EXPECT_EQ(db.HeldCycles(), 0);
    EXPECT_TRUE(LockIsFree(db));
  }
}

}  // namespace
