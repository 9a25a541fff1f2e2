// Secured mail connections against real peers on 127.0.0.1: Dovecot with
// TLS required (STLS and POP3S) as the request mailbox, the SMTP test server
// with STARTTLS required or TLS from the first byte, certificates of the
// test CA. The directory is not configured, so requests get the
// alternative text.

#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>

#include "MailServers.h"
#include "ScriptedServer.h"
#include "TestCa.h"
#include "TestEngine.h"
#include "base/TlsText.h"

namespace {

const char* const kAltText = "Leider unbekannt.";
const char* const kPollFailure = "Fehler beim Abholen von EMails über Pop3!";

std::string Request(const std::string& subject) {
  return "From: Anna <anna@example.test>\r\nTo: requests@example.test\r\nSubject: " + subject +
         "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\nBitte senden.\r\n";
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

/// The log line of a failed handshake up to its detail.
std::string HandshakeFailure(const char* service, std::uint16_t port) {
  std::string text = qm::TlsFailureText(service, "127.0.0.1", port, qm::TlsHandshakeReason(""));
  return text.substr(0, text.size() - 1);  // without the closing bracket of the empty detail
}

class MailTls : public ::testing::Test {
 protected:
  void SetUp() override {
    e.SetAltText(true, kAltText);
    e.mail->Hooks().timeouts.connect = std::chrono::seconds(5);
    e.mail->Hooks().timeouts.read = std::chrono::seconds(10);
  }

  /// Mail security as given; the test CA trusted besides the system's.
  void Secure(std::uint8_t pop3, std::uint8_t smtp, bool verify = true) {
    GeneralSettings g = e.settings->GetGeneralSettings();
    g.pop3Security = pop3;
    g.smtpSecurity = smtp;
    g.tlsVerifyPeer = verify;
    g.tlsCaFile = TestCa::Shared().caFile;
    e.settings->SetGeneralSettings(g);
  }

  /// A logged line containing `part`.
  bool Logged(const std::string& part) const {
    for (const auto& l : e.LogMessages())
      if (Contains(l, part)) return true;
    return false;
  }

  std::string AllLog() const {
    std::string out;
    for (const auto& l : e.LogMessages()) out += l + "\n";
    return out;
  }

  TestEngine e;
};

}  // namespace

TEST_F(MailTls, PollAndReplyOverStartTlsAndImplicitTls) {
  const TestCa& ca = TestCa::Shared();
  Pop3Fixture pop;
  pop.UseTls(ca.server.cert, ca.server.key);
  pop.Start();
  struct {
    const char* name;
    std::uint8_t mode;
  } cases[] = {{"STLS/STARTTLS", msStartTls}, {"POP3S/SMTPS", msImplicitTls}};
  int tlsLogins = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool implicit = c.mode == msImplicitTls;
    SmtpFixture smtp;
    smtp.UseTls(ca.server.cert, ca.server.key, implicit);
    smtp.Start();
    pop.Deliver(Request(c.name));
    e.UseLocalServers(implicit ? pop.TlsPort() : pop.Port(), smtp.Port());
    Secure(c.mode, c.mode);

    e.mail->ReceiveMails();

    EXPECT_EQ(pop.MessageCount(), 0) << AllLog();
    EXPECT_EQ(pop.TlsLogins(), ++tlsLogins);
    const auto got = smtp.Messages();
    ASSERT_EQ(got.size(), 1u) << AllLog();
    EXPECT_EQ(got[0].envelope, "MAIL FROM noreply@example.test\nRCPT TO anna@example.test\nTLS\n");
    EXPECT_EQ(got[0].content, e.mail->LastRenderedMessage());
    EXPECT_TRUE(Contains(got[0].content, kAltText));
    EXPECT_TRUE(e.LogHas("Antwort/ Signatur erfolgreich gesendet an:anna@example.test"));
    EXPECT_FALSE(Logged("Warnung")) << AllLog();
  }
}

// A certificate the client must refuse: the poll fetches and deletes
// nothing, the reply is not sent, and the log says why.
TEST_F(MailTls, RefusedCertificatesFailTheConnection) {
  const TestCa& ca = TestCa::Shared();
  struct {
    const char* name;
    const TestCertificate& cert;
    std::uint8_t mode;
    long verifyResult;
  } cases[] = {
      {"wrong name", ca.wrongName, msImplicitTls, X509_V_ERR_IP_ADDRESS_MISMATCH},
      {"expired", ca.expired, msStartTls, X509_V_ERR_CERT_HAS_EXPIRED},
      {"untrusted CA", ca.untrusted, msImplicitTls, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool implicit = c.mode == msImplicitTls;
    Pop3Fixture pop;
    pop.UseTls(c.cert.cert, c.cert.key);
    pop.Deliver(Request("wanted"));
    pop.Start();
    SmtpFixture smtp;
    smtp.UseTls(c.cert.cert, c.cert.key, implicit);
    smtp.Start();
    const std::uint16_t pop3Port = implicit ? pop.TlsPort() : pop.Port();
    e.UseLocalServers(pop3Port, smtp.Port());
    Secure(c.mode, c.mode);
    const std::string reason = qm::TlsVerifyReason(c.verifyResult, "127.0.0.1");

    e.mail->ReceiveMails();
    EXPECT_TRUE(e.LogHasInOrder({qm::TlsFailureText("POP3", "127.0.0.1", pop3Port, reason), kPollFailure}))
        << AllLog();
    EXPECT_EQ(pop.MessageCount(), 1);

    EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
    EXPECT_TRUE(Logged(qm::TlsFailureText("SMTP", "127.0.0.1", smtp.Port(), reason))) << AllLog();
    EXPECT_TRUE(smtp.Messages().empty());
  }
}

// STARTTLS/STLS required but not to be had: QUIT before any credentials.
TEST_F(MailTls, NoCredentialsWithoutStartTls) {
  struct {
    const char* name;
    const char* ehlo;
    const char* startTlsReply;
  } smtpCases[] = {
      {"not announced", "250-scripted\r\n250 AUTH LOGIN\r\n", nullptr},
      {"refused", "250-scripted\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n", "454 4.7.0 TLS not available\r\n"},
  };
  Secure(msStartTls, msStartTls);
  for (const auto& c : smtpCases) {
    SCOPED_TRACE(c.name);
    ScriptedServer smtp([&](ScriptedServer::Connection& s) {
      s.Send("220 scripted ESMTP\r\n");
      s.Expect("EHLO");
      s.Send(c.ehlo);
      std::string line = s.ReadLine();
      if (c.startTlsReply && line == "STARTTLS") {
        s.Send(c.startTlsReply);
        line = s.ReadLine();
      }
      if (line == "QUIT") s.Send("221 bye\r\n");
      while (!s.ReadLine().empty()) {
      }
    });
    e.UseLocalServers(1, smtp.Port());
    EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
    const auto cmds = smtp.Commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back(), "QUIT");
    for (const auto& cmd : cmds) EXPECT_TRUE(cmd.rfind("EHLO", 0) == 0 || cmd == "STARTTLS" || cmd == "QUIT") << cmd;
    EXPECT_TRUE(Logged(qm::TlsFailureText("SMTP", "127.0.0.1", smtp.Port(), qm::kTlsNoStartTls))) << AllLog();
  }

  ScriptedServer pop(Pop3Mailbox({Request("kept")}, [](ScriptedServer::Connection& s, const std::string& line) {
    if (line != "STLS") return false;
    s.Send("-ERR STLS not available\r\n");
    return true;
  }));
  e.UseLocalServers(pop.Port(), 1);
  e.mail->ReceiveMails();
  EXPECT_EQ(pop.Commands(), (std::vector<std::string>{"STLS", "QUIT"}));
  EXPECT_TRUE(e.LogHasInOrder({qm::TlsFailureText("POP3", "127.0.0.1", pop.Port(), qm::kTlsNoStls), kPollFailure}))
      << AllLog();
}

// A plain server on a TLS port: the handshake fails, nothing is sent.
TEST_F(MailTls, PlainServerOnTlsPortFailsTheHandshake) {
  SmtpFixture smtp;
  smtp.Start();
  ScriptedServer pop(Pop3Mailbox({Request("kept")}));
  e.UseLocalServers(pop.Port(), smtp.Port());
  Secure(msImplicitTls, msImplicitTls);
  e.mail->ReceiveMails();
  EXPECT_TRUE(Logged(HandshakeFailure("POP3", pop.Port()))) << AllLog();
  EXPECT_TRUE(e.LogHas(kPollFailure));
  for (const auto& cmd : pop.Commands()) EXPECT_FALSE(Contains(cmd, "USER") || Contains(cmd, "PASS")) << cmd;

  EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
  EXPECT_TRUE(Logged(HandshakeFailure("SMTP", smtp.Port()))) << AllLog();
  EXPECT_TRUE(smtp.Messages().empty());
}

// With tlsVerifyPeer=no a certificate of an unknown CA is taken, with a
// warning at every connection; the request the checked poll left in the
// mailbox is answered then.
TEST_F(MailTls, UncheckedCertificateWorksWithWarning) {
  const TestCa& ca = TestCa::Shared();
  Pop3Fixture pop;
  pop.UseTls(ca.untrusted.cert, ca.untrusted.key);
  pop.Deliver(Request("later"));
  pop.Start();
  SmtpFixture smtp;
  smtp.UseTls(ca.untrusted.cert, ca.untrusted.key, false);
  smtp.Start();
  e.UseLocalServers(pop.Port(), smtp.Port());

  Secure(msStartTls, msStartTls, true);
  e.mail->ReceiveMails();
  ASSERT_EQ(pop.MessageCount(), 1);

  Secure(msStartTls, msStartTls, false);
  e.mail->ReceiveMails();
  EXPECT_EQ(pop.MessageCount(), 0) << AllLog();
  ASSERT_EQ(smtp.Messages().size(), 1u) << AllLog();
  EXPECT_TRUE(Contains(smtp.Messages()[0].envelope, "TLS\n"));
  EXPECT_TRUE(e.LogHasInOrder({qm::TlsNoVerifyWarning("POP3", "127.0.0.1", pop.Port()),
                               qm::TlsNoVerifyWarning("SMTP", "127.0.0.1", smtp.Port()),
                               "Antwort/ Signatur erfolgreich gesendet an:anna@example.test"}))
      << AllLog();
}

// A CA file that cannot be loaded: no connection at all.
TEST_F(MailTls, UnreadableCaFileFailsBeforeConnecting) {
  ScriptedServer server([](ScriptedServer::Connection&) {});
  e.UseLocalServers(server.Port(), server.Port());
  Secure(msStartTls, msImplicitTls);
  GeneralSettings g = e.settings->GetGeneralSettings();
  g.tlsCaFile = e.dir / "missing-ca.pem";
  e.settings->SetGeneralSettings(g);
  const std::string reason = "die CA-Datei " + g.tlsCaFile + " kann nicht geladen werden (";

  e.mail->ReceiveMails();
  EXPECT_TRUE(Logged(qm::TlsFailureText("POP3", "127.0.0.1", server.Port(), reason))) << AllLog();
  EXPECT_TRUE(e.LogHas(kPollFailure));
  EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
  EXPECT_TRUE(Logged(qm::TlsFailureText("SMTP", "127.0.0.1", server.Port(), reason))) << AllLog();
  EXPECT_EQ(server.Connections(), 0);
}

// A server that takes the connection and then says nothing: the handshake
// ends with the read time-out, as any dialogue step does.
TEST_F(MailTls, SilentServerEndsTheHandshakeWithTheTimeout) {
  ScriptedServer silent([](ScriptedServer::Connection& c) { c.Stall(30000); });
  e.UseLocalServers(silent.Port(), silent.Port());
  e.mail->Hooks().timeouts.read = std::chrono::seconds(1);
  Secure(msImplicitTls, msImplicitTls);
  e.mail->ReceiveMails();
  EXPECT_TRUE(Logged(HandshakeFailure("POP3", silent.Port()))) << AllLog();
  EXPECT_TRUE(e.LogHas(kPollFailure));
  EXPECT_FALSE(e.mail->SendSignature("anna@example.test", false));
  EXPECT_TRUE(Logged(HandshakeFailure("SMTP", silent.Port()))) << AllLog();
}
