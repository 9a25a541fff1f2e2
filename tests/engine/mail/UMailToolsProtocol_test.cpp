// SMTP and POP3 dialogues of the mail class against scripted loopback
// servers: the normal dialogue and the fault cases real servers do not
// produce on demand. The directory is not configured here, so every address
// counts as unknown and requests get the alternative text.

#include <gtest/gtest.h>

#include "TestEngine.h"
#include "ScriptedServer.h"
#include "base/UProgState.h"

namespace {

const char* const kReplyFailure =
    "Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!\r\n";
const char* const kSendFailure = "Fehler beim Versenden der Mail!\r\n";
const char* const kPollFailure = "Fehler beim Abholen von EMails über Pop3!";

enum SmtpStep { Greeting, Ehlo, AuthLogin, User, Password, MailFrom, RcptTo, Data, Body, None };

/// An SMTP server that accepts AUTH LOGIN (whether announced or not) and
/// answers `reply` at `failAt`; `drop` closes the connection there instead.
ScriptedServer::Script Smtp(SmtpStep failAt = None, std::string reply = "", bool drop = false) {
  return [=](ScriptedServer::Connection& c) {
    auto step = [&](SmtpStep s, const std::string& ok) {
      if (s != failAt) {
        c.Send(ok);
        return true;
      }
      if (drop) {
        c.Close();
        return false;
      }
      c.Send(reply + "\r\n");
      if (s == Ehlo) {  // the client falls back to HELO
        c.Expect("HELO");
        c.Send(reply + "\r\n");
      }
      std::string quit = c.ReadLine();
      if (quit == "QUIT") c.Send("221 bye\r\n");
      return false;
    };
    if (!step(Greeting, "220 scripted ESMTP\r\n")) return;
    c.Expect("EHLO");
    if (!step(Ehlo, "250-scripted\r\n250 8BITMIME\r\n")) return;  // no AUTH announced
    c.Expect("AUTH LOGIN");
    if (!step(AuthLogin, "334 VXNlcm5hbWU6\r\n")) return;
    EXPECT_EQ(c.ReadLine(), "c2ln");  // "sig"
    if (!step(User, "334 UGFzc3dvcmQ6\r\n")) return;
    EXPECT_EQ(c.ReadLine(), "c2VjcmV0");  // "secret"
    if (!step(Password, "235 2.7.0 Authentication successful\r\n")) return;
    c.Expect("MAIL FROM:");
    if (!step(MailFrom, "250 OK\r\n")) return;
    c.Expect("RCPT TO:");
    if (!step(RcptTo, "250 OK\r\n")) return;
    c.Expect("DATA");
    if (!step(Data, "354 go ahead\r\n")) return;
    if (failAt == Body && drop) {
      c.ReadLine();  // the first line of the message, then the line is cut
      c.Close();
      return;
    }
    c.ReadData();
    if (!step(Body, "250 2.0.0 queued\r\n")) return;
    c.Expect("QUIT");
    c.Send("221 bye\r\n");
  };
}

std::string Request(const std::string& from) {
  return (from.empty() ? "" : "From: " + from + "\r\n") + "To: requests@example.test\r\nSubject: Signatur\r\n\r\nBitte.\r\n";
}

class MailProtocol : public ::testing::Test {
 protected:
  TestEngine e;
};

}  // namespace

TEST_F(MailProtocol, AlternativeReplyDialogueAndMessage) {
  ScriptedServer smtp(Smtp());
  e.UseLocalServers(1, smtp.Port());
  e.SetAltText(true, "Leider unbekannt.");
  ASSERT_TRUE(e.mail->SendSignature("Anna <anna@example.test>", false));

  std::vector<std::string> want = {"AUTH LOGIN", "c2ln", "c2VjcmV0", "MAIL FROM:<noreply@example.test>",
                                   "RCPT TO:<anna@example.test>", "DATA", "QUIT"};
  auto cmds = smtp.Commands();
  ASSERT_EQ(cmds.size(), want.size() + 1);
  EXPECT_EQ(cmds[0].substr(0, 5), "EHLO ");
  EXPECT_EQ(std::vector<std::string>(cmds.begin() + 1, cmds.end()), want);
  ASSERT_EQ(smtp.Messages().size(), 1u);
  EXPECT_EQ(smtp.Messages()[0], e.mail->LastRenderedMessage());

  const std::string& msg = e.mail->LastRenderedMessage();
  EXPECT_NE(msg.find("Content-Type: multipart/alternative; boundary=qm_boundary_1\r\n"), std::string::npos);
  std::string part = "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                     "Content-Disposition: inline\r\n\r\nLeider unbekannt.\r\n";
  auto first = msg.find(part);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(msg.find(part, first + 1), std::string::npos);
  EXPECT_EQ(msg.find("attachment"), std::string::npos);

  EXPECT_EQ(GetStateValue("LStatusGesand"), "1");
  EXPECT_EQ(e.ui.Label("LStatusGesand"), "1");
  EXPECT_TRUE(e.LogHasInOrder(
      {"Die Nachricht wird versandt...",
       "Die EMail Adresse anna@example.test konnte nicht in der Datenbank gefunden werden. Es wird eine "
       "Ersatznachricht versand!",
       "Antwort/ Signatur erfolgreich gesendet an:anna@example.test"}));
}

TEST_F(MailProtocol, UnknownAddressWithoutAlternativeTextSendsNothing) {
  ScriptedServer smtp(Smtp());
  e.UseLocalServers(1, smtp.Port());
  struct {
    bool altText;
    bool manual;
  } cases[] = {{false, false}, {true, true}, {false, true}};
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.altText << c.manual);
    e.SetAltText(c.altText);
    EXPECT_FALSE(e.mail->SendSignature("anna@example.test", c.manual));
  }
  EXPECT_EQ(smtp.Connections(), 0);
  for (const auto& l : e.LogMessages()) EXPECT_EQ(l.find("Nachricht wird versandt"), std::string::npos) << l;
}

TEST_F(MailProtocol, SmtpFailures) {
  struct {
    const char* what;
    SmtpStep at;
    std::string reply;
    bool drop;
    std::string log;
  } cases[] = {
      {"greeting refused", Greeting, "554 no service", false, kReplyFailure + std::string("554 no service")},
      {"EHLO and HELO refused", Ehlo, "502 go away", false, kReplyFailure + std::string("502 go away")},
      {"AUTH LOGIN refused", AuthLogin, "504 5.5.4 Unrecognized authentication type", false,
       kReplyFailure + std::string("504 5.5.4 Unrecognized authentication type")},
      {"user refused", User, "535 5.7.8 Authentication credentials invalid", false,
       kReplyFailure + std::string("535 5.7.8 Authentication credentials invalid")},
      {"password refused", Password, "535 5.7.8 Authentication credentials invalid", false,
       kReplyFailure + std::string("535 5.7.8 Authentication credentials invalid")},
      {"sender refused", MailFrom, "451 4.3.0 try later", false, kReplyFailure + std::string("451 4.3.0 try later")},
      {"recipient refused", RcptTo, "550 5.1.1 no such user", false,
       kReplyFailure + std::string("550 5.1.1 no such user")},
      {"DATA refused", Data, "554 no data", false, kReplyFailure + std::string("554 no data")},
      {"message refused", Body, "552 too big", false, kReplyFailure + std::string("552 too big")},
      {"dropped after greeting", Ehlo, "", true, ""},
      {"dropped in DATA", Body, "", true, ""},
  };
  e.SetAltText(true);
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer smtp(Smtp(c.at, c.reply, c.drop));
    e.UseLocalServers(1, smtp.Port());
    std::size_t before = e.LogMessages().size();
    EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
    auto log = e.LogMessages();
    ASSERT_GT(log.size(), before);
    if (c.drop)
      EXPECT_EQ(log.back().rfind(kSendFailure, 0), 0u) << log.back();
    else
      EXPECT_EQ(log.back(), c.log);
    EXPECT_EQ(GetStateValue("LStatusGesand"), "");
  }
}

TEST_F(MailProtocol, UnreachableAndSilentSmtpServers) {
  e.SetAltText(true);
  e.mail->Hooks().timeouts.read = std::chrono::milliseconds(300);
  int closedPort;
  {
    ScriptedServer gone(Smtp());
    closedPort = gone.Port();
  }
  ScriptedServer silent([](ScriptedServer::Connection& c) { c.Stall(5000); });
  for (int port : {closedPort, static_cast<int>(silent.Port())}) {
    SCOPED_TRACE(port);
    e.UseLocalServers(1, static_cast<std::uint16_t>(port));
    EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
    EXPECT_EQ(e.LogMessages().back().rfind(kSendFailure, 0), 0u) << e.LogMessages().back();
  }
}

TEST_F(MailProtocol, PollAnswersDeletesAndSkipsRequestsWithoutSender) {
  ScriptedServer smtp(Smtp());
  ScriptedServer pop(Pop3Mailbox({Request("Anna <anna@example.test>"), Request(""), Request("Bodo Roth"),
                                  Request("=?utf-8?Q?B=C3=B6?= <bo@example.test>")}));
  e.UseLocalServers(pop.Port(), smtp.Port());
  e.SetAltText(true);
  SetStateValue("LStatusEmpfangen", "kein Wert");
  e.mail->ReceiveMails();

  std::vector<std::string> want = {"USER requests", "PASS pop-secret", "STAT", "RETR 1", "NOOP", "DELE 1",
                                   "RETR 2",        "NOOP",            "RETR 3", "NOOP",   "RETR 4",
                                   "NOOP",          "DELE 4",          "QUIT"};
  EXPECT_EQ(pop.Commands(), want);
  EXPECT_EQ(smtp.Messages().size(), 2u);
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), "4");
  EXPECT_EQ(e.ui.Label("LStatusempfangen"), "4");
  EXPECT_EQ(GetStateValue("LStatusGesand"), "2");
  EXPECT_TRUE(e.LogHasInOrder({"Verbunden mit Mailbox: 127.0.0.1", "4 neue Nachrichten werden empfangen.",
                               "Neue Mail von:anna@example.test",
                               "Antwort/ Signatur erfolgreich gesendet an:anna@example.test",
                               "Neue Mail von:bo@example.test",
                               "Antwort/ Signatur erfolgreich gesendet an:bo@example.test"}));
  EXPECT_FALSE(e.LogHas(kPollFailure));
}

TEST_F(MailProtocol, PollFaults) {
  using Conn = ScriptedServer::Connection;
  struct {
    const char* what;
    std::vector<std::string> mails;
    std::function<bool(Conn&, const std::string&)> onCommand;
    std::vector<std::string> logInOrder;
    std::vector<std::string> deleted;  // DELE commands expected
    int replies;
  } cases[] = {
      {"empty mailbox",
       {},
       {},
       {"Verbunden mit Mailbox: 127.0.0.1", "Keine neuen Nachrichten auf dem Server."},
       {},
       0},
      {"DELE refused",
       {Request("a@example.test"), Request("b@example.test")},
       [](Conn& c, const std::string& l) {
         if (l != "DELE 1") return false;
         c.Send("-ERR locked\r\n");
         return true;
       },
       {"Nachricht konnte nicht vom pop3 Konto gelöscht werden!", "Neue Mail von:b@example.test"},
       {"DELE 1", "DELE 2"},
       2},
      {"connection dropped in the middle of RETR",
       {Request("a@example.test"), Request("b@example.test")},
       [](Conn& c, const std::string& l) {
         if (l != "RETR 2") return false;
         c.Send("+OK\r\nFrom: b@example.test\r\nSubject: cut\r\n");
         c.Close();
         return true;
       },
       {"Antwort/ Signatur erfolgreich gesendet an:a@example.test", kPollFailure},
       {"DELE 1"},
       1},
      {"server stalls in the middle of RETR",
       {Request("a@example.test")},
       [](Conn& c, const std::string& l) {
         if (l != "RETR 1") return false;
         c.Send("+OK\r\nFrom: a@example.test\r\n");
         c.Stall(5000);
         c.Close();
         return true;
       },
       {kPollFailure},
       {},
       0},
      {"wrong password",
       {Request("a@example.test")},
       [](Conn& c, const std::string& l) {
         if (l.rfind("PASS", 0) != 0) return false;
         c.Send("-ERR [AUTH] Authentication failed.\r\n");
         return true;
       },
       {kPollFailure},
       {},
       0},
      {"STAT refused",
       {Request("a@example.test")},
       [](Conn& c, const std::string& l) {
         if (l != "STAT") return false;
         c.Send("-ERR no\r\n");
         return true;
       },
       {"Verbunden mit Mailbox: 127.0.0.1", kPollFailure},
       {},
       0},
  };
  e.SetAltText(true);
  e.mail->Hooks().timeouts.read = std::chrono::milliseconds(500);
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer smtp(Smtp());
    ScriptedServer pop(Pop3Mailbox(c.mails, c.onCommand));
    e.UseLocalServers(pop.Port(), smtp.Port());
    e.mail->ReceiveMails();
    EXPECT_TRUE(e.LogHasInOrder(c.logInOrder));
    std::vector<std::string> dele;
    for (const auto& l : pop.Commands())
      if (l.rfind("DELE", 0) == 0) dele.push_back(l);
    EXPECT_EQ(dele, c.deleted);
    EXPECT_EQ(static_cast<int>(smtp.Messages().size()), c.replies);
  }
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), "5");  // 0 + 2 + 2 + 1 + 0 + 0
}

TEST_F(MailProtocol, UnreachableMailboxAndNextPollConnectsAfresh) {
  int closedPort;
  {
    ScriptedServer gone(Pop3Mailbox({}));
    closedPort = gone.Port();
  }
  e.UseLocalServers(static_cast<std::uint16_t>(closedPort), 1);
  e.mail->ReceiveMails();
  EXPECT_EQ(e.LogMessages(), std::vector<std::string>{kPollFailure});

  ScriptedServer pop(Pop3Mailbox({}));
  e.UseLocalServers(pop.Port(), 1);
  e.mail->ReceiveMails();
  EXPECT_TRUE(e.LogHasInOrder({kPollFailure, "Verbunden mit Mailbox: 127.0.0.1", "Keine neuen Nachrichten auf dem Server."}));
}

TEST_F(MailProtocol, BadRequestMailsAreHandled) {
  std::string bigBody(10 * 1024 * 1024, 'x');
  for (std::size_t i = 998; i < bigBody.size(); i += 1000) bigBody.replace(i, 2, "\r\n");
  std::string longHeader = "X-Long: " + std::string(200000, 'h') + "\r\n";
  std::string broken = "From: Broken <broken@example.test>\r\nContent-Type: multipart/mixed; boundary=\"nope\r\n\r\n"
                       "--nope\r\nContent-Type: text/plain\r\n\r\n.\r\n..leading dot\r\n";
  std::string big = "From: big@example.test\r\nSubject: big\r\n\r\n" + bigBody + "\r\n";
  ScriptedServer smtp(Smtp());
  ScriptedServer pop(Pop3Mailbox({longHeader + Request("long@example.test"), broken, big}));
  e.UseLocalServers(pop.Port(), smtp.Port());
  e.SetAltText(true);
  e.mail->ReceiveMails();
  EXPECT_TRUE(e.LogHasInOrder({"Antwort/ Signatur erfolgreich gesendet an:long@example.test",
                               "Antwort/ Signatur erfolgreich gesendet an:broken@example.test",
                               "Antwort/ Signatur erfolgreich gesendet an:big@example.test"}));
  EXPECT_FALSE(e.LogHas(kPollFailure));
}

TEST_F(MailProtocol, PollTellsItsProgressBeforeEachRequest) {
  // Each call comes before its request is handled (also one without a
  // sender), after the requests before it were answered; none for an empty
  // mailbox.
  struct {
    const char* what;
    std::vector<std::string> mails;
    std::vector<std::string> calls;
  } cases[] = {
      {"empty mailbox", {}, {}},
      {"three requests, one without sender",
       {Request("a@example.test"), Request(""), Request("c@example.test")},
       {"1/3 answered 0", "2/3 answered 1", "3/3 answered 1"}},
  };
  e.SetAltText(true);
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer smtp(Smtp());
    ScriptedServer pop(Pop3Mailbox(c.mails));
    e.UseLocalServers(pop.Port(), smtp.Port());
    std::vector<std::string> calls;
    e.mail->ReceiveMails([&](int number, int count) {
      calls.push_back(std::to_string(number) + "/" + std::to_string(count) + " answered " +
                      std::to_string(smtp.Messages().size()));
    });
    EXPECT_EQ(calls, c.calls);
  }
}
