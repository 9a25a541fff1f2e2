// Sends and polls of the real desktop program against scripted mail servers
// on 127.0.0.1 that hold each message until the test lets it go: while a
// message is held, the window must be alive (progress, log lines, counters),
// "Abbrechen" must stop after the message in flight, and the screen log must
// keep the order of the file log, and a close must wait for a poll. Also the
// single-address field: Enter sends to that address only, and a failed send
// says why.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>

#include "DesktopTestSupport.h"
#include "TestEngine.h"
#include "DirectoryFixtures.h"
#include "MailWorker.h"
#include "MainWindow.h"
#include "ScriptedServer.h"
#include "app/Engine.h"
#include "app/Main.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"

namespace {

using namespace std::chrono_literals;

/// Holds each message the SMTP server has read until the test releases it;
/// the k-th message is answered once k releases were given. Open() lets
/// every message through (also the ones still to come).
class Gate {
 public:
  void Hold() {
    std::unique_lock lk(m_);
    const int k = ++arrived_;
    // Bounded, so that a failed test cannot hang the server's thread.
    cv_.wait_for(lk, 30s, [&] { return open_ || released_ >= k; });
  }
  void Release() {
    std::lock_guard lk(m_);
    ++released_;
    cv_.notify_all();
  }
  void Open() {
    std::lock_guard lk(m_);
    open_ = true;
    cv_.notify_all();
  }
  int Arrived() {
    std::lock_guard lk(m_);
    return arrived_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int arrived_ = 0, released_ = 0;
  bool open_ = false;
};

/// An SMTP server taking AUTH LOGIN; each message waits at the gate before
/// its "250". A recipient in `refused` gets "550 5.1.1 Empfänger unbekannt".
ScriptedServer::Script GatedSmtp(Gate& gate, std::set<std::string> refused = {}) {
  return [&gate, refused](ScriptedServer::Connection& c) {
    c.Send("220 scripted ESMTP\r\n");
    c.Expect("EHLO");
    c.Send("250-scripted\r\n250 AUTH LOGIN\r\n");
    c.Expect("AUTH LOGIN");
    c.Send("334 VXNlcm5hbWU6\r\n");
    c.ReadLine();
    c.Send("334 UGFzc3dvcmQ6\r\n");
    c.ReadLine();
    c.Send("235 2.7.0 Authentication successful\r\n");
    c.Expect("MAIL FROM:");
    c.Send("250 OK\r\n");
    std::string rcpt = c.Expect("RCPT TO:");
    for (const auto& r : refused) {
      if (rcpt.find(r) != std::string::npos) {
        c.Send("550 5.1.1 Empfänger unbekannt\r\n");
        if (c.ReadLine() == "QUIT") c.Send("221 bye\r\n");
        return;
      }
    }
    c.Send("250 OK\r\n");
    c.Expect("DATA");
    c.Send("354 go ahead\r\n");
    c.ReadData();
    gate.Hold();
    c.Send("250 2.0.0 queued\r\n");
    c.Expect("QUIT");
    c.Send("221 bye\r\n");
  };
}

std::string User(int i) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "user%05d@example.test", i);
  return buf;
}

/// Runs `then` from the event loop once `ready` holds. Fails the test when
/// it does not hold within a generous bound (a hang, not a time check).
void When(std::function<bool()> ready, std::function<void()> then) {
  auto* timer = new QTimer;
  auto started = std::chrono::steady_clock::now();
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [=] {
    const bool late = std::chrono::steady_clock::now() - started > 60s;
    if (!late && !ready()) return;
    timer->stop();
    timer->deleteLater();
    if (late) {
      ADD_FAILURE() << "the awaited state never came";
      return;
    }
    then();
  });
  timer->start();
}

/// Spins the event loop until `ready` holds (bounded like When).
bool WaitFor(const std::function<bool()>& ready) {
  auto started = std::chrono::steady_clock::now();
  while (!ready()) {
    if (std::chrono::steady_clock::now() - started > 60s) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

/// The messages of log lines ("<date> <time>: <message>").
std::vector<std::string> Messages(const QStringList& lines) {
  std::vector<std::string> out;
  for (const QString& l : lines) {
    if (l.isEmpty()) continue;
    qsizetype p = l.indexOf(": ");
    out.push_back((p < 0 ? l : l.mid(p + 2)).toStdString());
  }
  return out;
}

/// The desktop program with three users in an SQLite directory, a text
/// signature, every log line written, and its mail pointed at the scripted
/// servers. The servers are released before they stop.
struct MailWork : ::testing::Test, DesktopFixture {
  MailWork() {
    odbc.CreateUsersTable();
    odbc.AddUsers(3);
    UseOdbcUsers(odbc.Dsn());
    TFSettings& s = app->Engine().Settings();
    GeneralSettings g = s.GetGeneralSettings();
    g.contentType = ctText;
    g.sendAs = "body";
    s.SetGeneralSettings(g);
    MailSettings m = LocalMailSettings();
    m.senderName = s.GetMailSettings().senderName;
    s.SetMailSettings(m);
    TForm_main& main = app->Engine().Main();
    {
      std::unique_lock lk(main.ProjectMutex());
      main.M_text = {"Hallo,"};
      main.M_Signatur_HTML = {"Mit freundlichen Grüßen", "#givenName# #sn#"};
    }
    main.SetVerbosity(0);
    app->Engine().MailTools().Hooks().smtpPort = smtp.Port();
    app->Engine().MailTools().Hooks().timeouts.read = 40s;
  }
  ~MailWork() override { gate.Open(); }

  QStringList ScreenLog() { return Find<QPlainTextEdit>(&Window(), "M_info")->toPlainText().split('\n'); }
  std::vector<std::string> FileLog() {
    std::ifstream in(dir / "signatur.log", std::ios::binary);
    QStringList lines;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines << QString::fromStdString(line);
    }
    return Messages(lines);
  }
  std::string Label(const char* name) { return Find<QLabel>(&Window(), name)->text().toStdString(); }
  bool ScreenLogHas(const std::string& message) {
    auto log = Messages(ScreenLog());
    return std::find(log.begin(), log.end(), message) != log.end();
  }

  /// Opens the bulk-send dialog with the main window's button and runs
  /// `handle` in it; the dialog is closed afterwards.
  void InDialog(const std::function<void(QWidget*)>& handle) {
    bool ran = false;
    OnNextModal([&](QWidget* dlg) {
      ran = true;
      handle(dlg);
      Find<QPushButton>(dlg, "Button1")->click();
    });
    Find<QPushButton>(&Window(), "Btn_manualSend")->click();
    EXPECT_TRUE(ran) << "the bulk-send dialog did not open";
  }

  OdbcFixture odbc;
  Gate gate;
  ScriptedServer smtp{GatedSmtp(gate, {"user00003@example.test"})};
};

/// Answers the message box the action ends with and returns its text.
QString NextMessage(const std::function<void()>& action) {
  QString text = "(none)";
  OnNextModal([&](QWidget* d) {
    if (auto* l = d->findChild<QLabel*>("qt_msgbox_label")) text = l->text();
    ClickButton(d, "OK");
  });
  action();
  return text;
}

const std::string kSent = "Antwort/ Signatur erfolgreich gesendet an:";
const std::string kSending = "Die Nachricht wird versandt...";

}  // namespace

TEST_F(MailWork, BulkSendShowsProgressWhileSendingAndStopsAfterTheMessageInFlight) {
  std::vector<QString> seen;  // what the progress box showed while a message was held
  QWidget* progress = nullptr;
  InDialog([&](QWidget* dlg) {
    auto* grid = Find<QTableWidget>(dlg, "SGrid_Mail");
    Find<QPushButton>(dlg, "Btn_alle")->click();
    // The third user's send would fail; it must never be tried.
    // Message 1 held: the box shows "1 von 3", the dialog is blocked.
    auto shows = [&](const char* step) {
      QWidget* box = QApplication::activeModalWidget();
      return box && box->objectName() == "ProgressDialog_send" &&
             Find<QLabel>(box, "Label_progress")->text().contains(step);
    };
    When([&] { return gate.Arrived() == 1 && shows("1 von 3"); },
         [&] {
           progress = QApplication::activeModalWidget();
           ASSERT_TRUE(progress);
           EXPECT_EQ(progress->objectName(), "ProgressDialog_send");
           seen.push_back(Find<QLabel>(progress, "Label_progress")->text());
           gate.Release();
           // Message 2 held: the first one's lines and counter are on screen.
           When([&] { return gate.Arrived() == 2 && shows("2 von 3") && ScreenLogHas(kSent + User(1)); },
                [&] {
                  seen.push_back(Find<QLabel>(progress, "Label_progress")->text());
                  EXPECT_EQ(Find<QProgressBar>(progress, "ProgressBar_send")->value(), 1);
                  EXPECT_EQ(Label("LStatusGesand"), "1");
                  QTest::mouseClick(Find<QPushButton>(progress, "Btn_cancel"), Qt::LeftButton);
                  EXPECT_FALSE(Find<QLabel>(progress, "Label_cancel")->text().isEmpty());
                  gate.Release();
                });
         });
    EXPECT_EQ(NextMessage([&] { Find<QPushButton>(dlg, "Btn_send")->click(); }).toStdString(),
              "Der Versand wurde abgebrochen. Es wurden 2 von 3 Signaturen versendet.");
    for (int r = 0; r < grid->rowCount(); ++r) EXPECT_EQ(grid->item(r, 0)->text().toStdString(), "Ja") << "row " << r;
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].contains("1 von 3") && seen[0].contains(QString::fromStdString(User(1))))
      << seen[0].toStdString();
  EXPECT_TRUE(seen[1].contains("2 von 3") && seen[1].contains(QString::fromStdString(User(2))))
      << seen[1].toStdString();
  EXPECT_EQ(smtp.Messages().size(), 2u);
  EXPECT_EQ(smtp.Connections(), 2) << "the third user was not tried";
  EXPECT_EQ(Label("LStatusGesand"), "2");

  ProcessEvents();
  const std::vector<std::string> want = {kSending, kSent + User(1), kSending, kSent + User(2),
                                         "Der Versand wurde abgebrochen. Es wurden 2 von 3 Signaturen versendet."};
  auto screen = Messages(ScreenLog());
  screen.erase(screen.begin(), std::find(screen.begin(), screen.end(), kSending));
  auto file = FileLog();
  file.erase(file.begin(), std::find(file.begin(), file.end(), kSending));
  EXPECT_EQ(screen, file) << "the screen shows the lines in the file's order";
  // The directory's own lines lie between these.
  std::erase_if(screen, [&](const std::string& l) { return std::find(want.begin(), want.end(), l) == want.end(); });
  EXPECT_EQ(screen, want);
}

TEST_F(MailWork, BulkSendStopsAtTheFirstFailureWithoutCancel) {
  gate.Open();
  InDialog([&](QWidget* dlg) {
    Find<QPushButton>(dlg, "Btn_alle")->click();
    EXPECT_EQ(NextMessage([&] { Find<QPushButton>(dlg, "Btn_send")->click(); }).toStdString(),
              "Es konnten nicht alle Signaturen versand werden. Genauere Informationen finden Sie in dem Log-File.");
  });
  EXPECT_EQ(smtp.Messages().size(), 2u);
  EXPECT_EQ(smtp.Connections(), 3);
  EXPECT_EQ(Label("LStatusGesand"), "2");
}

TEST_F(MailWork, EnterInTheAddressFieldSendsToThatAddressOnly) {
  gate.Open();
  const std::string refusal =
      "Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!\r\n"
      "550 5.1.1 Empfänger unbekannt";
  struct {
    std::string typed;
    QString message;  // "" for none
    std::size_t accepted;
  } cases[] = {
      {User(1), "", 1},
      {"Zwei <" + User(2) + ">", "", 2},
      {User(3), QString::fromStdString("Fehler! Die Signatur konnte nicht gesendet werden!\r\n" + refusal), 2},
      {"fremd@example.test",
       "Fehler! Die Signatur konnte nicht gesendet werden!\r\nDie EMail Adresse fremd@example.test konnte nicht "
       "in der Datenbank gefunden werden.",
       2},
      {"", "Fehler! Die Signatur konnte nicht gesendet werden!", 2},
  };
  InDialog([&](QWidget* dlg) {
    for (auto* b : dlg->findChildren<QPushButton*>())
      EXPECT_FALSE(b->isDefault() || b->autoDefault()) << b->objectName().toStdString();
    auto* grid = Find<QTableWidget>(dlg, "SGrid_Mail");
    auto* field = Find<QLineEdit>(dlg, "E_eineAdr");
    Find<QPushButton>(dlg, "Btn_keine")->click();
    for (auto& c : cases) {
      SCOPED_TRACE(c.typed);
      field->clear();
      field->setFocus();
      QTest::keyClicks(field, QString::fromStdString(c.typed));
      if (c.message.isEmpty()) {
        QTest::keyClick(field, Qt::Key_Return);
        EXPECT_EQ(QApplication::activeModalWidget(), dlg) << "no message";
      } else {
        EXPECT_EQ(NextMessage([&] { QTest::keyClick(field, Qt::Key_Return); }).toStdString(), c.message.toStdString());
      }
      EXPECT_EQ(smtp.Messages().size(), c.accepted);
      EXPECT_EQ(field->text().toStdString(), c.typed) << "the field keeps its text";
      for (int r = 0; r < grid->rowCount(); ++r)
        EXPECT_EQ(grid->item(r, 0)->text().toStdString(), "Nein") << "row " << r;
    }
  });
  std::vector<std::string> recipients;
  for (const auto& c : smtp.Commands())
    if (c.rfind("RCPT TO:", 0) == 0) recipients.push_back(c);
  EXPECT_EQ(recipients, (std::vector<std::string>{"RCPT TO:<" + User(1) + ">", "RCPT TO:<" + User(2) + ">",
                                                  "RCPT TO:<" + User(3) + ">"}));
}

TEST_F(MailWork, PollShowsItsProgressInTheStatusAreaWhileRequestsAreAnswered) {
  std::vector<std::string> requests;
  for (int i = 1; i <= 3; ++i)
    requests.push_back("From: " + User(i == 3 ? 1 : i) +
                       "\r\nTo: requests@example.test\r\nSubject: x\r\n\r\nBitte.\r\n");
  ScriptedServer pop(Pop3Mailbox(requests));
  app->Engine().MailTools().Hooks().pop3Port = pop.Port();
  auto* receive = Find<QPushButton>(&Window(), "Btn_receiveMails");
  auto* manual = Find<QPushButton>(&Window(), "Btn_manualSend");
  auto* status = Find<QLabel>(&Window(), "LStatusAbruf");
  std::vector<std::string> seen;
  auto check = [&](int k) {
    seen.push_back(status->text().toStdString());
    EXPECT_FALSE(receive->isEnabled());
    EXPECT_FALSE(manual->isEnabled());
    if (k == 1) {
      EXPECT_EQ(Label("LStatusempfangen"), "3");
      // A tick of Timer1 now: left out, the poll under way goes on alone.
      Window().onReceiveMails();
    }
    if (k == 2) {
      // A close waits for the poll: the closing sequence must not run beside it.
      Window().close();
      EXPECT_TRUE(Window().isVisible());
    }
    gate.Release();
  };
  Window().show();
  auto shows = [&](const char* step) { return status->text().endsWith(step); };
  When([&] { return gate.Arrived() == 1 && shows("1 von 3"); },
       [&] {
         check(1);
         When([&] { return gate.Arrived() == 2 && shows("2 von 3") && ScreenLogHas(kSent + User(1)); },
              [&] {
                check(2);
                When([&] { return gate.Arrived() == 3 && shows("3 von 3"); }, [&] { check(3); });
              });
       });
  receive->click();
  ASSERT_TRUE(WaitFor([&] { return status->text().isEmpty(); }));
  EXPECT_EQ(seen,
            (std::vector<std::string>{"Nachrichten werden abgerufen: 1 von 3", "Nachrichten werden abgerufen: 2 von 3",
                                      "Nachrichten werden abgerufen: 3 von 3"}));
  EXPECT_TRUE(receive->isEnabled());
  EXPECT_TRUE(manual->isEnabled());
  EXPECT_EQ(pop.Connections(), 1);
  EXPECT_EQ(smtp.Messages().size(), 3u);
  EXPECT_EQ(Label("LStatusGesand"), "3");
  EXPECT_TRUE(WaitFor([&] { return !Window().isVisible(); })) << "the close was carried out after the poll";
}
