// The bulk-send dialog over a real SQLite user table: marks, sending with no
// marks, the single-address field.

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "DesktopTestSupport.h"
#include "DirectoryFixtures.h"
#include "app/Engine.h"
#include "MailDialog.h"
#include "MainWindow.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"

namespace {

QStringList Marks(QTableWidget* grid) {
  QStringList out;
  for (int r = 0; r < grid->rowCount(); ++r) out << grid->item(r, 0)->text();
  return out;
}

void ClickCell(QTableWidget* grid, int row, int col) {
  QPoint at = grid->visualItemRect(grid->item(row, col)).center();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
}

// Answers the message box that the next action shows and returns its text.
QString NextMessage(const std::function<void()>& action) {
  QString text;
  OnNextModal([&](QWidget* d) {
    if (auto* l = d->findChild<QLabel*>("qt_msgbox_label")) text = l->text();
    ClickButton(d, "OK");
  });
  action();
  return text;
}

struct MailDialogTest : ::testing::Test, DesktopFixture {
  OdbcFixture odbc;
};

TEST_F(MailDialogTest, MarksAndSendsWithoutMarks) {
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  UseOdbcUsers(odbc.Dsn());

  bool checked = false;
  OnNextModal([&](QWidget* dlg) {
    EXPECT_EQ(dlg->objectName(), "TFrm_Mail");
    EXPECT_EQ(dlg->windowTitle(), "Mail an mehrere Benutzer versenden");
    auto* grid = Find<QTableWidget>(dlg, "SGrid_Mail");
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "Mail senden");
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "Adresse");
    EXPECT_EQ(grid->columnWidth(1), 300);
    ASSERT_EQ(grid->rowCount(), 3);
    EXPECT_EQ(grid->item(2, 1)->text(), "user00003@example.test");
    EXPECT_EQ(Marks(grid), QStringList({"Nein", "Nein", "Nein"}));

    Find<QPushButton>(dlg, "Btn_alle")->click();
    EXPECT_EQ(Marks(grid), QStringList({"Ja", "Ja", "Ja"}));
    ClickCell(grid, 1, 0);
    EXPECT_EQ(Marks(grid), QStringList({"Ja", "Nein", "Ja"}));
    ClickCell(grid, 1, 0);
    EXPECT_EQ(Marks(grid), QStringList({"Ja", "Ja", "Ja"}));
    ClickCell(grid, 1, 1);  // the address column changes nothing
    EXPECT_EQ(Marks(grid), QStringList({"Ja", "Ja", "Ja"}));
    Find<QPushButton>(dlg, "Btn_keine")->click();
    EXPECT_EQ(Marks(grid), QStringList({"Nein", "Nein", "Nein"}));

    EXPECT_EQ(NextMessage([&] { Find<QPushButton>(dlg, "Btn_send")->click(); }),
              "Es wurde kein Benutzer ausgewählt.");
    EXPECT_EQ(NextMessage([&] { Find<QPushButton>(dlg, "Button2")->click(); }),
              "Fehler! Die Signatur konnte nicht gesendet werden!");
    checked = true;
    Find<QPushButton>(dlg, "Button1")->click();
  });
  Find<QPushButton>(&Window(), "Btn_manualSend")->click();
  EXPECT_TRUE(checked);
  EXPECT_FALSE(app->Mail().isVisible());
}

}  // namespace
