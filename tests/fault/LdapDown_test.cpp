// The directory server gone (slapd stopped) or hung (slapd frozen with
// SIGSTOP, so connections are accepted but never answered): a "/make"
// request over the real HTTP server and a signature generation fail within
// the directory's time-out with the documented log line and answer, leave
// every lock free, and the next request succeeds once slapd is back (started
// again on the same port, or let go on).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "HttpFaultRig.h"
#include "LdapStallRelay.h"
#include "MailServers.h"
#include "base/UText.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace

TEST(LdapDown, MakeFailsWithinTheTimeOutAndRecovers) {
  HttpFaultRig rig;
  const std::string user = "user00001@example.test";
  const std::string bindFailure =
      "Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Anmeldung an " + rig.ldap.Uri() + " fehlgeschlagen: ";
  const std::string searchFailure = "Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Suche fehlgeschlagen: ";
  struct {
    const char* why;
    void (SlapdFixture::*fault)();
    void (SlapdFixture::*recover)();
    std::string failure;  // the log line of the lookup on the kept session
    std::string fresh;    // the log line of the next lookup, on a new session
  } cases[] = {
      // The kept session is gone; the new one cannot reach the server.
      {"slapd stopped, then started again on the same port", &SlapdFixture::Stop, &SlapdFixture::Restart,
       bindFailure + "Can't contact LDAP server", bindFailure + "Can't contact LDAP server"},
      // The search on the kept session times out, and is not sent again.
      {"slapd hung past the time-out, then let go on", &SlapdFixture::Pause, &SlapdFixture::Resume,
       searchFailure + "Timed out", bindFailure + "Timed out"},
  };
  int counted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    // Healthy first.
    RawHttpReply ok = rig.Make(user);
    ASSERT_EQ(ok.body, HttpFaultRig::FileList(user)) << ok.raw;
    ++counted;

    (rig.ldap.*c.fault)();
    std::size_t mark = rig.LogMark();
    const auto start = std::chrono::steady_clock::now();
    RawHttpReply r = rig.Make(user);
    std::printf("%s: answered after %.1f s\n", c.why,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, HttpFaultRig::Page("ERROR - Brenlo Quillmark: Die Mail-Adresse " + user + " ist unbekannt."));
    auto log = rig.LogSince(mark);
    EXPECT_TRUE(Has(log, "HTTP Request erhalten von: 127.0.0.1 -> /make")) << qm::JoinLinesCrLf(log);
    EXPECT_TRUE(Has(log, c.failure)) << qm::JoinLinesCrLf(log);
    EXPECT_FALSE(HasPrefix(log, "Signatur erstellt für: ")) << "an unknown address is not generated";
    EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(counted)) << "a failed request is not counted";
    EXPECT_TRUE(rig.LocksFree());

    // A generation on the main thread (mail reply, bulk sending) meets the
    // same directory: it logs the failure, replaces nothing, still writes
    // both files, and returns, saying that the directory could not be read.
    mark = rig.LogMark();
    const std::string other = "user00002@example.test";
    bool lookedUp = true;
    EXPECT_NO_THROW(lookedUp = rig.form.MakeSignature(other));
    EXPECT_FALSE(lookedUp);
    log = rig.LogSince(mark);
    EXPECT_TRUE(Has(log, c.fresh)) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(ReadFileBytes(rig.Store(other + ".txt")), "<p>#givenName# #sn#</p>\r\n");
    EXPECT_TRUE(rig.LocksFree());

    // Back: the next request is answered in full.
    (rig.ldap.*c.recover)();
    RawHttpReply again = rig.Make(user);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, HttpFaultRig::FileList(user));
    ++counted;
    EXPECT_EQ(ReadFileBytes(rig.Store(user + ".txt")), "<p>Given1 Surname1</p>\r\n");
    EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(counted));
    EXPECT_TRUE(rig.LocksFree());
  }
}

TEST(LdapDown, HungServerDoesNotHoldUpTheNextRequestBeyondItsOwnTimeOut) {
  // Two requests at once against a hung directory: each fails on its own
  // time-out after the other has released DirectoryLock; both are answered.
  HttpFaultRig rig;
  rig.ldap.Pause();
  RawHttpReply replies[2];
  {
    auto a = std::async(std::launch::async, [&] { replies[0] = rig.Make("user00001@example.test"); });
    auto b = std::async(std::launch::async, [&] { replies[1] = rig.Make("user00003@example.test"); });
  }
  EXPECT_EQ(replies[0].body,
            HttpFaultRig::Page("ERROR - Brenlo Quillmark: Die Mail-Adresse user00001@example.test ist unbekannt."));
  EXPECT_EQ(replies[1].body,
            HttpFaultRig::Page("ERROR - Brenlo Quillmark: Die Mail-Adresse user00003@example.test ist unbekannt."));
  EXPECT_TRUE(rig.LocksFree());
  rig.ldap.Resume();
  EXPECT_EQ(rig.Make("user00003@example.test").body, HttpFaultRig::FileList("user00003@example.test"));
}

TEST(LdapDown, DirectoryFailingBetweenTheCheckAndTheGenerationIsAnError) {
  // The address was found, then the directory goes (or hangs) before the
  // generation's own lookup: the request must not answer the file list of a
  // signature whose placeholders were never filled.
  HttpFaultRig rig;
  const std::string user = "user00004@example.test";
  struct {
    const char* why;
    void (SlapdFixture::*fault)();
    void (SlapdFixture::*recover)();
    std::string failure;  // the library's part of the log line
  } cases[] = {
      {"slapd stopped", &SlapdFixture::Stop, &SlapdFixture::Restart,
       "LDAP-Anmeldung an " + rig.ldap.Uri() + " fehlgeschlagen: Can't contact LDAP server"},
      {"slapd hung", &SlapdFixture::Pause, &SlapdFixture::Resume, "LDAP-Suche fehlgeschlagen: Timed out"},
  };
  int counted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::size_t mark = rig.LogMark();
    bool armed = true;  // only the hook's thread touches it while armed
    rig.ui.SetHook([&](const std::string& line) {
      if (armed && line.ends_with(": ActiveDirectory Verbindung Ok.")) {
        armed = false;
        (rig.ldap.*c.fault)();
      }
    });
    RawHttpReply r = rig.Make(user);
    rig.ui.SetHook({});
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, HttpFaultRig::Page("ERROR - Brenlo Quillmark: Fehler in \"makeSignature\"."));
    const auto log = rig.LogSince(mark);
    const std::vector<std::string> tail = {
        "Fehler beim Verbinden mit dem ActiveDirectory: " + c.failure,
        "Fehler in \"makeSignature\". Quillmark konnte sich nicht mit der Datenquelle verbinden.",
        "Signatur erstellt für: " + user};
    ASSERT_GE(log.size(), tail.size()) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()), tail) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(GetStateValue("LStatusHTTP"), counted ? std::to_string(counted) : "") << "a failure is not counted";
    EXPECT_TRUE(rig.LocksFree());

    (rig.ldap.*c.recover)();
    EXPECT_EQ(rig.Make(user).body, HttpFaultRig::FileList(user));
    ++counted;
    EXPECT_EQ(ReadFileBytes(rig.Store(user + ".txt")), "<p>Given4 Surname4</p>\r\n");
  }
}

TEST(LdapDown, MailReplyIsNotSentWhenTheDirectoryFailsAfterTheAddressCheck) {
  // The same race on the mail path: a reply whose placeholders were never
  // filled is not sent; once the directory is back the reply goes out filled.
  HttpFaultRig rig;
  SmtpFixture smtp;
  smtp.Start();
  MailSettings m;
  m.smtpHost = "127.0.0.1";
  m.smtpUserId = smtp.User();
  m.smtpPassword = "secret";
  m.senderAddress = "noreply@example.test";
  m.subject = "Ihre Signatur";
  rig.settings.SetMailSettings(m);
  GeneralSettings g = rig.settings.GetGeneralSettings();
  g.sendAs = "body";
  rig.settings.SetGeneralSettings(g);
  rig.mail.Hooks().smtpPort = smtp.Port();
  const std::string user = "user00004@example.test";

  const std::size_t mark = rig.LogMark();
  bool armed = true;
  rig.ui.SetHook([&](const std::string& line) {
    if (armed && line.ends_with(": ActiveDirectory Verbindung Ok.")) {
      armed = false;
      rig.ldap.Stop();
    }
  });
  EXPECT_FALSE(rig.mail.SendSignature(user, true));
  rig.ui.SetHook({});
  const auto log = rig.LogSince(mark);
  const std::vector<std::string> tail = {"Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Anmeldung an " +
                                             rig.ldap.Uri() + " fehlgeschlagen: Can't contact LDAP server",
                                         "Quillmark konnte sich nicht mit der Datenquelle verbinden."};
  ASSERT_GE(log.size(), tail.size()) << qm::JoinLinesCrLf(log);
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()), tail) << qm::JoinLinesCrLf(log);
  EXPECT_TRUE(smtp.Messages().empty()) << "no reply with unfilled placeholders";
  EXPECT_EQ(GetStateValue("LStatusGesand"), "");
  EXPECT_TRUE(rig.LocksFree());

  rig.ldap.Restart();
  EXPECT_TRUE(rig.mail.SendSignature(user, true));
  rig.mail.Hooks().smtpPort = 0;
  const auto sent = smtp.Messages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].content.find("Given4 Surname4"), std::string::npos);
}

TEST(LdapDown, ServerFallingSilentInTheMiddleOfTheSearchFailsAtTheCommandTimeOut) {
  // The server answers the bind, then hangs while it works on the search
  // (before any entry, or after the entry but before the search's result):
  // the command time-out ends the lookup, and the next one succeeds.
  HttpFaultRig rig;
  LdapStallRelay relay(static_cast<std::uint16_t>(rig.ldap.Port()));
  GeneralSettings g = rig.settings.GetGeneralSettings();
  g.adPath = "127.0.0.1:" + std::to_string(relay.Port()) + "/" + rig.ldap.Suffix();
  rig.settings.SetGeneralSettings(g);
  const std::string user = "user00002@example.test";
  // Once through the relay as it is, so that the schema the client reads on
  // its first visit is known and the cases below stall the user search.
  ASSERT_EQ(rig.Make(user).body, HttpFaultRig::FileList(user));

  struct {
    const char* why;
    int messages;
  } cases[] = {{"silent after the bind answer", 1}, {"silent after the entry", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const int stalledBefore = relay.Stalled();
    relay.StallAfter(c.messages);
    // The relay stalls new connections only: the settings are applied
    // again, so that the lookup binds on a new one instead of the session
    // the previous lookup left open.
    rig.db.ConfigureConnection("", "", "", "", g.adUserId, g.adPassword);
    const std::size_t mark = rig.LogMark();
    RawHttpReply r = rig.Make(user);
    relay.Clear();
    EXPECT_EQ(relay.Stalled(), stalledBefore + 1) << "the fault fired";
    EXPECT_EQ(r.body, HttpFaultRig::Page("ERROR - Brenlo Quillmark: Die Mail-Adresse " + user + " ist unbekannt."));
    const auto log = rig.LogSince(mark);
    EXPECT_TRUE(Has(log, "Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Suche fehlgeschlagen: Timed out"))
        << qm::JoinLinesCrLf(log);
    EXPECT_TRUE(rig.LocksFree());
    EXPECT_EQ(rig.Make(user).body, HttpFaultRig::FileList(user));
  }
}

TEST(LdapDown, ServerThatNeverCompletesTheConnectionFailsAtTheConnectTimeOut) {
  // A listener whose accept queue is full (it never accepts): the kernel
  // drops further connection attempts, so the connect itself hangs, which
  // only the connect time-out ends.
  HttpFaultRig rig;
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  // Fill the accept queue.
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(s);
  }
  GeneralSettings g = rig.settings.GetGeneralSettings();
  g.adPath = "127.0.0.1:" + std::to_string(port) + "/" + rig.ldap.Suffix();
  rig.settings.SetGeneralSettings(g);

  const std::size_t mark = rig.LogMark();
  RawHttpReply r = rig.Make("user00001@example.test");
  EXPECT_EQ(r.body,
            HttpFaultRig::Page("ERROR - Brenlo Quillmark: Die Mail-Adresse user00001@example.test ist unbekannt."));
  const auto log = rig.LogSince(mark);
  EXPECT_TRUE(Has(log, "Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Anmeldung an ldap://127.0.0.1:" +
                           std::to_string(port) + " fehlgeschlagen: Can't contact LDAP server"))
      << qm::JoinLinesCrLf(log);
  EXPECT_TRUE(rig.LocksFree());
  for (int s : fillers) ::close(s);
  ::close(listener);

  g.adPath = rig.ldap.AdsPath();
  rig.settings.SetGeneralSettings(g);
  EXPECT_EQ(rig.Make("user00001@example.test").body, HttpFaultRig::FileList("user00001@example.test"));
}
