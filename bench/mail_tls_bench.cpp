// Mailbox polls answering requests with the replies sent over plain SMTP and
// over STARTTLS, to the same SMTP server (aiosmtpd offering STARTTLS with a
// certificate of the test CA, taking mail with or without it), in
// alternating rounds within one run: the cost of TLS per reply as a ratio.
// The mailbox (Dovecot), the directory (SQLite through unixODBC) and the
// signature (HTML with one logo, body and file) are the same for both.
// Usage: mail_tls_bench [requests-per-round]  (run by mail_tls_bench.sh)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestCa.h"
#include "TestEngine.h"
#include "TestImage.h"

int main(int argc, char** argv) try {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100;
  const int rounds = 3;
  const TestCa& ca = TestCa::Shared();
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(n);
  Pop3Fixture pop;
  pop.Start();
  SmtpFixture smtp;
  smtp.OfferTls(ca.server.cert, ca.server.key);
  smtp.Start();

  TestEngine e;
  e.UseOdbcUsers(odbc.Dsn());
  GeneralSettings g;
  g.contentType = ctHtml;
  g.sendAs = "both";
  g.tlsCaFile = ca.caFile;
  e.settings->SetGeneralSettings(g);
  e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur."};
  e.main->M_Signatur_HTML = {"<p><b>#givenName# #sn#</b><br>", "Telefon: #telephoneNumber#<br>",
                             "#company#</p>", "<img src=\"cid:logo.gif\">"};
  e.main->LB_shortNames = {"logo.gif"};
  WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage());
  e.main->BuildPlaceholderList();
  e.UseLocalServers(pop.Port(), smtp.Port());
  e.main->SetVerbosity(2);  // errors only, as a quiet production log

  double seconds[2] = {0, 0};  // plain, STARTTLS
  std::size_t sent = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int tls = 0; tls < 2; ++tls) {
      for (int i = 1; i <= n; ++i)
        pop.Deliver("From: User " + std::to_string(i) + " <" + MakeTestUser(i).mail +
                    ">\r\nTo: requests@example.test\r\nSubject: Signatur\r\n\r\nBitte.\r\n");
      g.smtpSecurity = tls ? msStartTls : msNone;
      e.settings->SetGeneralSettings(g);
      auto t0 = std::chrono::steady_clock::now();
      e.mail->ReceiveMails();
      seconds[tls] += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const auto stored = smtp.Messages();
      const std::size_t overTls = static_cast<std::size_t>(
          std::count_if(stored.begin() + static_cast<long>(sent), stored.end(),
                        [](const SmtpFixture::Stored& s) { return s.envelope.find("TLS\n") != std::string::npos; }));
      if (stored.size() != sent + static_cast<std::size_t>(n) || pop.MessageCount() != 0 ||
          overTls != (tls ? static_cast<std::size_t>(n) : 0)) {
        std::fprintf(stderr, "round %d (%s): answered %zu of %d (%zu over TLS), %d left\n", round,
                     tls ? "STARTTLS" : "plain", stored.size() - sent, n, overTls, pop.MessageCount());
        return 1;
      }
      sent = stored.size();
    }
  }

  const double plain = rounds * n / seconds[0], secured = rounds * n / seconds[1];
  std::printf("requests: %d per round, %d rounds per mode, alternating (HTML signature, one logo)\n", n, rounds);
  std::printf("poll, replies over plain SMTP: %.2f s, %.1f replies/s\n", seconds[0], plain);
  std::printf("poll, replies over STARTTLS:   %.2f s, %.1f replies/s\n", seconds[1], secured);
  std::printf("ratio: STARTTLS at %.0f%% of the plain rate\n", 100.0 * secured / plain);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}
