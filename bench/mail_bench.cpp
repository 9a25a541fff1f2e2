// One mailbox poll answering N requests (HTML signature with one logo, sent
// in the body and as a file) against a local Dovecot, an AUTH LOGIN SMTP
// server (aiosmtpd) and the SQLite directory through unixODBC, beside a
// minimal POCO loop that sends the same N replies, already rendered, to the
// same SMTP server (one connection per reply, AUTH LOGIN, no lookups, no
// generation). Prints replies per second of both and their ratio.
// Usage: mail_bench [requests]  (run by mail_bench.sh)
#include <Poco/Net/SMTPClientSession.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "base/UProgState.h"

int main(int argc, char** argv) try {
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(n);
  Pop3Fixture pop;
  for (int i = 1; i <= n; ++i)
    pop.Deliver("From: User " + std::to_string(i) + " <" + MakeTestUser(i).mail +
                ">\r\nTo: requests@example.test\r\nSubject: Signatur\r\n\r\nBitte.\r\n");
  pop.Start();
  SmtpFixture smtp;
  smtp.Start();

  TestEngine e;
  e.UseOdbcUsers(odbc.Dsn());
  GeneralSettings g;
  g.contentType = ctHtml;
  g.sendAs = "both";
  e.settings->SetGeneralSettings(g);
  e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur."};
  e.main->M_Signatur_HTML = {"<p><b>#givenName# #sn#</b><br>", "Telefon: #telephoneNumber#<br>",
                             "#company#</p>", "<img src=\"cid:logo.gif\">"};
  e.main->LB_shortNames = {"logo.gif"};
  WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage());
  e.main->BuildPlaceholderList();
  e.UseLocalServers(pop.Port(), smtp.Port());
  e.main->SetVerbosity(2);  // errors only, as a quiet production log

  auto t0 = std::chrono::steady_clock::now();
  e.mail->ReceiveMails();
  double pollS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  auto stored = smtp.Messages();
  if (static_cast<int>(stored.size()) != n || pop.MessageCount() != 0) {
    std::fprintf(stderr, "poll answered %zu of %d, %d left\n", stored.size(), n, pop.MessageCount());
    return 1;
  }

  // The same replies through a minimal POCO loop.
  auto t1 = std::chrono::steady_clock::now();
  for (const auto& s : stored) {
    Poco::Net::StreamSocket sock;
    sock.connect(Poco::Net::SocketAddress("127.0.0.1", smtp.Port()));
    Poco::Net::SMTPClientSession session(sock);
    // POCO's own AUTH LOGIN is refused by this server ("Can't decode
    // base64"), so the loop sends the three lines itself, as the engine does.
    session.login("bench");
    std::string reply;
    session.sendCommand("AUTH LOGIN", reply);
    session.sendCommand("c2ln", reply);      // "sig"
    if (session.sendCommand("c2VjcmV0", reply) != 235) throw Poco::Exception("AUTH LOGIN refused", reply);
    std::string to = s.envelope.substr(s.envelope.find("RCPT TO ") + 8);
    to.pop_back();
    Poco::Net::SMTPClientSession::Recipients r{to};
    session.sendAddresses("noreply@example.test", r);
    session.sendData();
    std::istringstream in(s.content);
    session.sendMessage(in);
    session.close();
  }
  double loopS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();

  double ours = n / pollS, base = n / loopS;
  std::printf("requests: %d (HTML signature, one logo, body and file)\n", n);
  std::printf("poll (POP3 + lookup + generation + SMTP): %.2f s, %.1f replies/s\n", pollS, ours);
  std::printf("minimal POCO send loop (same replies):    %.2f s, %.1f replies/s\n", loopS, base);
  std::printf("ratio: %.0f%% of the minimal loop's rate\n", 100.0 * ours / base);
  return 0;
} catch (const Poco::Exception& e) {
  std::fprintf(stderr, "%s\n", e.displayText().c_str());
  return 1;
}
