// Mailbox polling and signature replies end to end: Dovecot as the request
// mailbox, an SMTP server that demands AUTH LOGIN, and the user directory in
// SQLite through unixODBC, all real and on 127.0.0.1.

#include <gtest/gtest.h>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "base/UProgState.h"

namespace {

const char* const kAltText = "Ihre Adresse ist uns nicht bekannt.";

std::string Request(const std::string& fromLine, const std::string& subject = "Signatur bitte") {
  return fromLine + "To: requests@example.test\r\nSubject: " + subject +
         "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\nBitte senden.\r\n";
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class MailEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    odbc.CreateUsersTable();
    odbc.AddUsers(2);  // user00001@example.test, user00002@example.test
    e.UseOdbcUsers(odbc.Dsn());

    GeneralSettings g;
    g.contentType = ctHtml;
    g.sendAs = "both";
    g.altTextEnabled = true;
    g.altText = kAltText;
    e.settings->SetGeneralSettings(g);

    e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur."};
    e.main->M_Signatur_HTML = {"<p>#givenName# #sn#</p>", "<img src=\"cid:logo.gif\">"};
    e.main->LB_shortNames = {"logo.gif"};
    WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage());
    e.main->BuildPlaceholderList();

    smtp.Start();
  }

  void StartMailbox() {
    pop.Start();
    e.UseLocalServers(pop.Port(), smtp.Port());
  }

 public:
  OdbcFixture odbc;
  TestEngine e;
  Pop3Fixture pop;
  SmtpFixture smtp;
};

}  // namespace

TEST_F(MailEndToEnd, PollAnswersKnownAndUnknownAndKeepsRequestWithoutSender) {
  pop.Deliver(Request("From: =?utf-8?Q?Given_Eins?= <user00001@example.test>\r\n", "one"));
  pop.Deliver(Request("From: Fremd <stranger@example.test>\r\n", "two"));
  pop.Deliver(Request("", "three"));
  StartMailbox();

  e.mail->ReceiveMails();

  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), "3");
  EXPECT_EQ(e.ui.Label("LStatusempfangen"), "3");
  EXPECT_EQ(GetStateValue("LStatusGesand"), "2");
  EXPECT_EQ(e.ui.Label("LStatusGesand"), "2");
  EXPECT_TRUE(e.LogHasInOrder({
      "Verbunden mit Mailbox: 127.0.0.1",
      "3 neue Nachrichten werden empfangen.",
      "Neue Mail von:user00001@example.test",
      "Die Nachricht wird versandt...",
      "Antwort/ Signatur erfolgreich gesendet an:user00001@example.test",
      "Neue Mail von:stranger@example.test",
      "Die Nachricht wird versandt...",
      "Die EMail Adresse stranger@example.test konnte nicht in der Datenbank gefunden werden. Es wird eine "
      "Ersatznachricht versand!",
      "Antwort/ Signatur erfolgreich gesendet an:stranger@example.test",
  })) << testing::PrintToString(e.LogMessages());
  for (const auto& l : e.LogMessages()) EXPECT_EQ(l.find("Fehler"), std::string::npos) << l;

  // Only the request without a sender is left.
  auto left = pop.Remaining();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(Contains(left[0], "Subject: three"));

  auto stored = smtp.Messages();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].envelope, "MAIL FROM noreply@example.test\nRCPT TO user00001@example.test\n");
  const std::string& sig = stored[0].content;
  EXPECT_TRUE(Contains(sig, "Content-Type: multipart/related; type=\"multipart/alternative\"; boundary=qm_boundary_1"));
  EXPECT_TRUE(Contains(sig, "Content-Type: multipart/alternative; boundary=qm_boundary_2"));
  EXPECT_TRUE(Contains(sig, "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable"));
  EXPECT_TRUE(Contains(sig, "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable"));
  EXPECT_TRUE(Contains(sig, "Guten Tag,\r\nanbei Ihre Signatur.\r\n\r\n\r\nGiven1 Surname1\r\n"));
  EXPECT_TRUE(Contains(sig, "<div>\r\nGuten Tag,<br>\r\nanbei Ihre Signatur.<br>\r\n</div>\r\n<p>Given1 Surname1</p>\r\n"));
  EXPECT_TRUE(Contains(sig, "Content-Disposition: attachment; filename=\"user00001@example.test.htm\""));
  EXPECT_TRUE(Contains(sig, "Content-Type: image/gif; name=logo.gif\r\nContent-Transfer-Encoding: base64\r\n"
                            "Content-Disposition: attachment; filename=logo.gif\r\nContent-ID: <logo.gif>\r\n"));
  EXPECT_TRUE(Contains(sig, "To: <user00001@example.test>"));
  EXPECT_TRUE(Contains(sig, "From: Signatur-Service <noreply@example.test>"));

  EXPECT_EQ(stored[1].envelope, "MAIL FROM noreply@example.test\nRCPT TO stranger@example.test\n");
  EXPECT_EQ(stored[1].content, e.mail->LastRenderedMessage()) << "the server stores the message as rendered";
  EXPECT_TRUE(Contains(stored[1].content, "Content-Type: multipart/alternative; boundary="));
  EXPECT_FALSE(Contains(stored[1].content, "attachment"));

  // The request without a sender is counted again at the next poll.
  e.mail->ReceiveMails();
  EXPECT_EQ(GetStateValue("LStatusEmpfangen"), "4");
  EXPECT_EQ(pop.MessageCount(), 1);
  EXPECT_EQ(smtp.Messages().size(), 2u);
}

TEST_F(MailEndToEnd, FailuresOfRealServers) {
  struct {
    const char* what;
    std::function<void(MailEndToEnd&)> arrange;
    std::string from;
    std::vector<std::string> log;
    int left;  // requests still in the mailbox afterwards
  } cases[] = {
      {"SMTP password refused",
       [](MailEndToEnd& t) { t.smtp.SetPassword("other"); },
       "user00001@example.test",
       {"Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!\r\n"
        "535 5.7.8 Authentication credentials invalid",
        "Es konnte keine Antwort gesendet werden."},
       0},
      {"recipient refused",
       [](MailEndToEnd& t) {
         t.smtp.SetPassword("secret");
         t.smtp.RefuseRecipient("user00002@example.test");
       },
       "user00002@example.test",
       {"Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!\r\n"
        "550 5.1.1 <user00002@example.test>: Recipient address rejected",
        "Es konnte keine Antwort gesendet werden."},
       0},
      {"unknown sender without alternative text",
       [](MailEndToEnd& t) { t.e.SetAltText(false); },
       "nobody@example.test",
       {"Neue Mail von:nobody@example.test", "Es konnte keine Antwort gesendet werden."},
       0},
      {"POP3 password refused",
       [](MailEndToEnd& t) {
         MailSettings m = t.e.settings->GetMailSettings();
         m.pop3Password = "wrong";
         t.e.settings->SetMailSettings(m);
       },
       "user00001@example.test",
       {"Fehler beim Abholen von EMails über Pop3!"},
       1},
  };
  StartMailbox();
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    pop.Deliver(Request("From: " + c.from + "\r\n"));
    int before = pop.MessageCount();
    c.arrange(*this);
    e.mail->ReceiveMails();
    EXPECT_TRUE(e.LogHasInOrder(c.log)) << testing::PrintToString(e.LogMessages());
    EXPECT_EQ(pop.MessageCount(), before - 1 + c.left);
  }
  EXPECT_EQ(smtp.Messages().size(), 0u);
  EXPECT_EQ(GetStateValue("LStatusGesand"), "");
}
