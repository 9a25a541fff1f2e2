// Faults of the real mail peers during a poll: aiosmtpd refusing a step of
// the reply, vanishing in the middle of DATA or hanging (its process frozen),
// and Dovecot's connection cut in the middle of RETR or its DELE refused
// (through a fault-injecting relay in front of it), Dovecot hanging or dying
// in the middle of a poll. For each fault: the log lines, the counters, what
// is left in the request mailbox and at the SMTP server, and that the next
// poll succeeds once the fault is gone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "Pop3FaultProxy.h"
#include "TestImage.h"
#include "base/UProgState.h"

namespace {

const std::string kReplyFailure =
    "Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!\r\n";
const std::string kSendFailure = "Fehler beim Versenden der Mail!\r\n";
const std::string kPollFailure = "Fehler beim Abholen von EMails über Pop3!";
const std::string kNoReply = "Es konnte keine Antwort gesendet werden.";
const std::string kDeleteRefused = "Nachricht konnte nicht vom pop3 Konto gelöscht werden!";
const std::string kSending = "Die Nachricht wird versandt...";
const std::string kConnected = "Verbunden mit Mailbox: 127.0.0.1";
const std::string kTimedOut = kSendFailure + "Timeout";

std::string Request(const std::string& address, const std::string& subject, const std::string& body = "Bitte.\r\n") {
  return "From: Anfrage <" + address + ">\r\nTo: requests@example.test\r\nSubject: " + subject +
         "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\n" + body;
}

std::string Sent(const std::string& address) { return "Antwort/ Signatur erfolgreich gesendet an:" + address; }
std::string From(const std::string& address) { return "Neue Mail von:" + address; }

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class MailPeerFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    odbc.CreateUsersTable();
    odbc.AddUsers(2);  // user00001@example.test, user00002@example.test
    e.UseOdbcUsers(odbc.Dsn());

    GeneralSettings g;
    g.contentType = ctHtml;
    g.sendAs = "both";
    e.settings->SetGeneralSettings(g);
    e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur."};
    e.main->M_Signatur_HTML = {"<p>#givenName# #sn#</p>", "<img src=\"cid:logo.gif\">"};
    e.main->LB_shortNames = {"logo.gif"};
    WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage());
    e.main->BuildPlaceholderList();

    smtp.Start();
    pop.Start();
    proxy = std::make_unique<Pop3FaultProxy>(pop.Port());
    e.UseLocalServers(proxy->Port(), smtp.Port());
  }

  /// Runs one poll as a tick of the polling timer does; returns the log
  /// lines it wrote, without the directory's own lines about its connection.
  std::vector<std::string> Poll() {
    std::size_t before = e.LogMessages().size();
    e.main->Timer1Timer();
    auto log = e.LogMessages();
    std::vector<std::string> out;
    for (std::size_t i = before; i < log.size(); ++i)
      if (log[i].rfind("ADO-DB Verbindung Ok: ", 0) != 0) out.push_back(log[i]);
    return out;
  }

  /// Subjects of the requests still in the mailbox, in delivery order.
  std::vector<std::string> Left() const {
    std::vector<std::string> out;
    for (const auto& m : pop.Remaining()) {
      auto p = m.find("Subject: ");
      out.push_back(p == std::string::npos ? "" : m.substr(p + 9, m.find("\r\n", p) - p - 9));
    }
    return out;
  }

  /// The recipients of the replies the SMTP server has accepted, in order.
  std::vector<std::string> Replies() const {
    std::vector<std::string> out;
    for (const auto& s : smtp.Messages()) {
      auto p = s.envelope.find("RCPT TO ");
      out.push_back(p == std::string::npos ? "" : s.envelope.substr(p + 8, s.envelope.find('\n', p) - p - 8));
    }
    return out;
  }

  /// The sent-replies counter agrees with what the server accepted: no
  /// failure is counted as a reply.
  void ExpectSentCounterMatchesServer() {
    std::size_t n = smtp.Messages().size();
    EXPECT_EQ(GetStateValue("LStatusGesand"), n ? std::to_string(n) : "");
  }

  OdbcFixture odbc;
  TestEngine e;
  Pop3Fixture pop;
  SmtpFixture smtp;
  std::unique_ptr<Pop3FaultProxy> proxy;
};

}  // namespace

// The SMTP server refuses one step of the reply, or closes the connection
// instead of answering it. The reply fails with the server's answer (or the
// lost connection) in the log, the request is still deleted (a request is
// answered once, whatever the outcome), and once the server behaves again
// the next request is answered.
TEST_F(MailPeerFaults, SmtpServerFailsAStep) {
  struct {
    const char* what;
    std::function<void(SmtpFixture&)> arm;
    std::string fired;  // the server's record of the fault
    std::string log;    // the documented error line
  } cases[] = {
      {"MAIL FROM refused", [](SmtpFixture& s) { s.FailAt("MAIL", "451 4.3.0 Mail server temporarily rejected message"); },
       "MAIL 451 4.3.0 Mail server temporarily rejected message",
       kReplyFailure + "451 4.3.0 Mail server temporarily rejected message"},
      {"RCPT TO refused",
       [](SmtpFixture& s) { s.FailAt("RCPT", "550 5.1.1 <user00001@example.test>: Recipient address rejected"); },
       "RCPT 550 5.1.1 <user00001@example.test>: Recipient address rejected",
       kReplyFailure + "550 5.1.1 <user00001@example.test>: Recipient address rejected"},
      {"DATA refused", [](SmtpFixture& s) { s.FailAt("DATA", "554 5.3.0 Transaction failed"); },
       "DATA 554 5.3.0 Transaction failed", kReplyFailure + "554 5.3.0 Transaction failed"},
      {"message refused at its end", [](SmtpFixture& s) { s.FailAt("END", "552 5.3.4 Message size exceeds fixed limit"); },
       "END 552 5.3.4 Message size exceeds fixed limit", kReplyFailure + "552 5.3.4 Message size exceeds fixed limit"},
      {"connection closed at MAIL FROM", [](SmtpFixture& s) { s.DropAt("MAIL"); }, "DROP MAIL",
       kSendFailure + "Die Verbindung zum SMTP-Server ist abgebrochen"},
      {"connection closed at RCPT TO", [](SmtpFixture& s) { s.DropAt("RCPT"); }, "DROP RCPT",
       kSendFailure + "Die Verbindung zum SMTP-Server ist abgebrochen"},
      {"connection closed at DATA", [](SmtpFixture& s) { s.DropAt("DATA"); }, "DROP DATA",
       kSendFailure + "Die Verbindung zum SMTP-Server ist abgebrochen"},
  };
  const std::string who = "user00001@example.test";
  int n = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++n;
    std::size_t repliesBefore = smtp.Messages().size();
    pop.Deliver(Request(who, "refused-" + std::to_string(n)));
    c.arm(smtp);

    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who),
                                                 kSending, c.log, kNoReply}));
    ASSERT_EQ(smtp.Fired().size(), static_cast<std::size_t>(n));
    EXPECT_EQ(smtp.Fired().back(), c.fired);
    EXPECT_EQ(smtp.Messages().size(), repliesBefore) << "nothing kept after a refusal";
    EXPECT_EQ(pop.MessageCount(), 0) << "the request is answered once and deleted";
    ExpectSentCounterMatchesServer();

    smtp.ClearFault();
    pop.Deliver(Request(who, "after-" + std::to_string(n)));
    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who),
                                                 kSending, Sent(who)}));
    EXPECT_EQ(smtp.Messages().size(), repliesBefore + 1);
    EXPECT_EQ(pop.MessageCount(), 0);
    ExpectSentCounterMatchesServer();
  }
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), std::to_string(2 * n));
}

// The SMTP server goes away while the message body is on its way: its
// connection is cut, or the whole server process ends. The reply is a
// send failure, nothing is kept at the server, the engine neither hangs nor
// dies, and the next poll is answered once the server is back.
TEST_F(MailPeerFaults, SmtpServerVanishesInTheMiddleOfData) {
  // A project file of 4 MB keeps the engine writing the body long after the
  // server has stopped reading.
  std::string manual(4 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < manual.size(); ++i) manual[i] = static_cast<char>((i * 7919) >> 3);
  WriteFileBytes(e.dir / "temp/handbuch.pdf", manual);
  e.main->LB_shortNames = {"logo.gif", "handbuch.pdf"};
  const std::size_t kCutAt = 64 * 1024;

  struct {
    const char* what;
    bool processEnds;
  } cases[] = {{"connection cut", false}, {"server process ends", true}};
  const std::string who = "user00002@example.test";
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t repliesBefore = smtp.Messages().size();
    std::size_t firedBefore = smtp.Fired().size();
    pop.Deliver(Request(who, std::string("vanish-") + (c.processEnds ? "exit" : "cut")));
    if (c.processEnds)
      smtp.ExitInData(kCutAt);
    else
      smtp.CutData(kCutAt);

    auto log = Poll();
    ASSERT_EQ(smtp.Fired().size(), firedBefore + 1) << "the fault fired inside DATA";
    EXPECT_EQ(smtp.Fired().back(), (c.processEnds ? "EXIT " : "CUT ") + std::to_string(kCutAt));
    ASSERT_EQ(log.size(), 6u) << testing::PrintToString(log);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who), kSending}));
    // The failure's own text follows: the broken connection as the engine
    // met it (writing the body or waiting for the reply), never a claim that
    // the server rejected the message.
    EXPECT_THAT(log[4], testing::AnyOf(kSendFailure + "I/O error: Broken pipe",
                                       kSendFailure + "Connection reset by peer",
                                       kSendFailure + "Die Verbindung zum SMTP-Server ist abgebrochen"));
    EXPECT_EQ(log[5], kNoReply);
    EXPECT_EQ(smtp.Messages().size(), repliesBefore) << "a message cut short is not kept";
    EXPECT_EQ(pop.MessageCount(), 0) << "the request is answered once and deleted";
    ExpectSentCounterMatchesServer();

    smtp.ClearFault();
    if (c.processEnds) {
      ASSERT_TRUE(smtp.WaitExited());
      smtp.Restart();
    }
    pop.Deliver(Request(who, std::string("back-") + c.what));
    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who),
                                                 kSending, Sent(who)}));
    ASSERT_EQ(smtp.Messages().size(), repliesBefore + 1);
    const std::string reply = smtp.Messages().back().content;
    EXPECT_TRUE(Contains(reply, "filename=handbuch.pdf"));
    EXPECT_GT(reply.size(), manual.size()) << "the whole body arrived";
    EXPECT_EQ(pop.MessageCount(), 0);
    ExpectSentCounterMatchesServer();
  }
}

// The connection to the mailbox is cut while the second of two requests is
// being retrieved: before its first byte, inside the status line, right
// after its From header, inside its body, just before the line that ends
// it. The cut-off request is neither
// answered nor deleted; the poll ends with the polling failure. Dovecot
// carries out deletions only on QUIT, which a cut connection never
// delivers, so the first request stays too and is answered a second time
// by the next poll, which then empties the mailbox.
TEST_F(MailPeerFaults, Pop3ConnectionCutInTheMiddleOfRetr) {
  const std::string first = "user00001@example.test", second = "user00002@example.test";
  std::string body;
  for (int i = 0; i < 400; ++i) body += "Zeile " + std::to_string(i) + " der Anfrage, lang genug zum Abschneiden.\r\n";

  struct {
    const char* what;
    std::function<std::size_t(const std::string& request)> cutAt;
  } cases[] = {
      {"before the answer", [](const std::string&) { return std::size_t{0}; }},
      {"inside the status line", [](const std::string&) { return std::size_t{3}; }},
      {"after the From header",
       [](const std::string& r) { return ("+OK " + std::to_string(r.size()) + " octets\r\n").size() + r.find("\r\n") + 2; }},
      {"inside the body", [](const std::string& r) { return r.size() / 2; }},
      {"before the terminating dot",
       [](const std::string& r) { return ("+OK " + std::to_string(r.size()) + " octets\r\n").size() + r.size(); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string second_request = Request(second, std::string("cut ") + c.what, body);
    pop.Deliver(Request(first, std::string("before cut ") + c.what));
    pop.Deliver(second_request);
    std::size_t repliesBefore = smtp.Messages().size();
    int firedBefore = proxy->Fired();
    proxy->CutRetr(2, c.cutAt(second_request));

    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "2 neue Nachrichten werden empfangen.", From(first),
                                                 kSending, Sent(first), kPollFailure}));
    EXPECT_EQ(proxy->Fired(), firedBefore + 1);
    EXPECT_EQ(Left(), (std::vector<std::string>{std::string("before cut ") + c.what, std::string("cut ") + c.what}))
        << "nothing is lost";
    EXPECT_EQ(smtp.Messages().size(), repliesBefore + 1);
    ExpectSentCounterMatchesServer();

    proxy->Clear();
    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "2 neue Nachrichten werden empfangen.", From(first),
                                                 kSending, Sent(first), From(second), kSending, Sent(second)}));
    EXPECT_TRUE(Left().empty());
    auto replies = Replies();
    ASSERT_EQ(replies.size(), repliesBefore + 3);
    EXPECT_EQ(std::vector<std::string>(replies.end() - 3, replies.end()),
              (std::vector<std::string>{first, first, second}));
    ExpectSentCounterMatchesServer();
  }
  // Each case counts its two requests at both polls.
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), std::to_string(4 * std::size(cases)));
}

// The mailbox refuses DELE: the refusal is logged, the poll goes on with the
// next request and ends with QUIT, so the requests whose deletion went
// through are gone and the refused ones are still there. The next poll
// answers those again and deletes them.
TEST_F(MailPeerFaults, Pop3RefusesDele) {
  const std::string first = "user00001@example.test", second = "user00002@example.test";
  const std::string refusal = "-ERR [IN-USE] Mailbox is locked by another POP3 session";
  struct {
    const char* what;
    int message;  // 0: every DELE
    std::vector<std::string> log;
    std::vector<std::string> left;
  } cases[] = {
      {"first of two", 1,
       {kConnected, "2 neue Nachrichten werden empfangen.", From(first), kSending, Sent(first), kDeleteRefused,
        From(second), kSending, Sent(second)},
       {"one"}},
      {"every one", 0,
       {kConnected, "2 neue Nachrichten werden empfangen.", From(first), kSending, Sent(first), kDeleteRefused,
        From(second), kSending, Sent(second), kDeleteRefused},
       {"one", "two"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    pop.Deliver(Request(first, "one"));
    pop.Deliver(Request(second, "two"));
    std::size_t repliesBefore = smtp.Messages().size();
    int firedBefore = proxy->Fired();
    proxy->RefuseDele(c.message, refusal);

    EXPECT_EQ(Poll(), c.log);
    EXPECT_EQ(proxy->Fired(), firedBefore + static_cast<int>(c.left.size()));
    EXPECT_EQ(Left(), c.left);
    EXPECT_EQ(smtp.Messages().size(), repliesBefore + 2);
    ExpectSentCounterMatchesServer();

    proxy->Clear();
    std::vector<std::string> again{kConnected, std::to_string(c.left.size()) + " neue Nachrichten werden empfangen."};
    for (const auto& subject : c.left) {
      const std::string& who = subject == "one" ? first : second;
      again.insert(again.end(), {From(who), kSending, Sent(who)});
    }
    EXPECT_EQ(Poll(), again);
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(smtp.Messages().size(), repliesBefore + 2 + c.left.size());
    ExpectSentCounterMatchesServer();
  }
}

// The SMTP server hangs: its process is frozen before it greets (the kernel
// still accepts the connection), or right after its 354 has invited the
// message. The engine's read time-out ends the reply as a send failure
// within the poll; the request is deleted like any answered one, nothing is
// kept at the server, and once the server runs again the next request is
// answered.
TEST_F(MailPeerFaults, SmtpServerHangs) {
  e.mail->Hooks().timeouts.read = std::chrono::seconds(1);
  // A project file larger than what the connection's buffers hold: a server
  // that stops reading leaves the engine unable to finish the message, so
  // the server cannot complete it later either.
  std::string manual(6 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < manual.size(); ++i) manual[i] = static_cast<char>((i * 7919) >> 3);
  WriteFileBytes(e.dir / "temp/handbuch.pdf", manual);
  e.main->LB_shortNames = {"logo.gif", "handbuch.pdf"};

  struct {
    const char* what;
    std::function<void(SmtpFixture&)> arm;
    std::vector<std::string> fired;  // the server's record of the fault
  } cases[] = {
      {"frozen before its greeting", [](SmtpFixture& s) { s.Pause(); }, {}},
      {"frozen after its 354 to DATA", [](SmtpFixture& s) { s.StopInData(); }, {"STOP DATA"}},
  };
  const std::string who = "user00001@example.test";
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t repliesBefore = smtp.Messages().size();
    std::size_t firedBefore = smtp.Fired().size();
    pop.Deliver(Request(who, std::string("hung ") + c.what));
    c.arm(smtp);

    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who),
                                                 kSending, kTimedOut, kNoReply}));
    auto fired = smtp.Fired();
    EXPECT_EQ(std::vector<std::string>(fired.begin() + static_cast<std::ptrdiff_t>(firedBefore), fired.end()), c.fired);
    EXPECT_EQ(pop.MessageCount(), 0) << "the request is answered once and deleted";
    EXPECT_EQ(smtp.Messages().size(), repliesBefore);
    ExpectSentCounterMatchesServer();

    smtp.ClearFault();
    smtp.Resume();
    pop.Deliver(Request(who, std::string("resumed ") + c.what));
    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "1 neue Nachrichten werden empfangen.", From(who),
                                                 kSending, Sent(who)}));
    ASSERT_EQ(smtp.Messages().size(), repliesBefore + 1) << "only the reply after the hang arrived";
    EXPECT_GT(smtp.Messages().back().content.size(), manual.size()) << "the whole body arrived";
    EXPECT_EQ(pop.MessageCount(), 0);
    ExpectSentCounterMatchesServer();
  }
}

// Dovecot hangs before its greeting, or dies in the middle of a poll (once
// the first of two requests has been retrieved, or once it has been
// answered and its DELE accepted) and is started again. The poll ends with
// the polling failure and does not hang; nothing leaves the mailbox, since
// Dovecot carries out deletions only on QUIT, so a request answered before
// the crash is answered again by the next poll, which empties the mailbox.
TEST_F(MailPeerFaults, Pop3ServerHangsOrDies) {
  e.mail->Hooks().timeouts.read = std::chrono::seconds(1);
  const std::string first = "user00001@example.test", second = "user00002@example.test";
  auto killAt = [this](const std::string& at) {
    return [this, at] {
      proxy->OnCommand([this, at](const std::string& command) {
        if (command == at) pop.Kill();
      });
    };
  };
  struct {
    const char* what;
    std::function<void()> arm;
    bool dies;
    std::vector<std::string> log;
    std::vector<std::string> answered;  // replies sent before the failure
  } cases[] = {
      {"frozen before its greeting", [this] { pop.Pause(); }, false, {kPollFailure}, {}},
      {"killed once the first request is retrieved", killAt("NOOP"), true,
       {kConnected, "2 neue Nachrichten werden empfangen.", kPollFailure}, {}},
      {"killed once the first request is answered and deleted", killAt("RETR 2"), true,
       {kConnected, "2 neue Nachrichten werden empfangen.", From(first), kSending, Sent(first), kPollFailure},
       {first}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    pop.Deliver(Request(first, "one"));
    pop.Deliver(Request(second, "two"));
    std::size_t repliesBefore = smtp.Messages().size();
    c.arm();

    EXPECT_EQ(Poll(), c.log);
    EXPECT_EQ(Left(), (std::vector<std::string>{"one", "two"})) << "nothing is lost";
    auto replies = Replies();
    EXPECT_EQ(std::vector<std::string>(replies.begin() + static_cast<std::ptrdiff_t>(repliesBefore), replies.end()),
              c.answered);
    ExpectSentCounterMatchesServer();

    proxy->Clear();
    if (c.dies) {
      pop.Start();  // on a new port
      proxy->SetServerPort(pop.Port());
    } else {
      pop.Resume();
    }
    EXPECT_EQ(Poll(), (std::vector<std::string>{kConnected, "2 neue Nachrichten werden empfangen.", From(first),
                                                 kSending, Sent(first), From(second), kSending, Sent(second)}));
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(smtp.Messages().size(), repliesBefore + c.answered.size() + 2);
    ExpectSentCounterMatchesServer();
  }
  // A hung server counts nothing; a poll that died after STAT has counted.
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), std::to_string(2 + 4 + 4));
}
