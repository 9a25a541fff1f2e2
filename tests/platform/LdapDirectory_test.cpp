// The directory provider: the query dialect, ADsPath forms, filter escaping
// and what a real slapd answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "DirectoryFixtures.h"
#include "LoopbackSocket.h"
#include "TestCa.h"
#include "platform/dataaccess/DataAccess.h"
#include "platform/dataaccess/LdapDialect.h"

using namespace qm::data;

namespace {

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(LdapDialect, ParsesTheQueryForms) {
  LdapQuery q = ParseLdapQuery(
      "SELECT mail,givenName\r\nFROM 'LDAP://dc.example.test/DC=example,DC=test'\r\n"
      "WHERE objectCategory='person' and objectClass='user'\r\n AND mail='a.b@example.test'\r\n ORDER BY mail\r\n");
  EXPECT_EQ(q.attributes, (std::vector<std::string>{"mail", "givenName"}));
  EXPECT_EQ(q.path, "dc.example.test/DC=example,DC=test");
  EXPECT_EQ(q.equals, (std::vector<std::pair<std::string, std::string>>{
                          {"objectCategory", "person"}, {"objectClass", "user"}, {"mail", "a.b@example.test"}}));
  EXPECT_EQ(q.orderBy, "mail");

  LdapQuery minimal = ParseLdapQuery("select sn , cn from 'ldap://x.test' order by sn desc");
  EXPECT_EQ(minimal.attributes, (std::vector<std::string>{"sn", "cn"}));
  EXPECT_TRUE(minimal.equals.empty());
  EXPECT_TRUE(minimal.descending);
}

TEST(LdapDialect, RejectsWhatItCannotParse) {
  const char* tail = "\r\nFROM 'LDAP://x.test'\r\nWHERE objectCategory='person' and objectClass='user'\r\n";
  struct {
    std::string text;
    const char* why;
  } cases[] = {
      {std::string("SELECT ,mail,sn") + tail, "leading comma"},
      {std::string("SELECT mail,,sn") + tail, "double comma"},
      {std::string("SELECT mail,") + tail, "trailing comma"},
      {std::string("SELECT mail") + tail + " AND mail='o'brien@example.test'\r\n ORDER BY mail\r\n", "apostrophe"},
      {std::string("SELECT mail") + tail + " AND mail='unterminated\r\n", "open literal"},
      {"SELECT mail FROM 'http://x.test'", "not an LDAP path"},
      {"SELECT mail WHERE mail='x'", "no FROM"},
      {std::string("SELECT mail") + tail + " OR mail='x'", "OR"},
      {"", "empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    try {
      ParseLdapQuery(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const DataError& e) {
      EXPECT_TRUE(Contains(e.what(), "Syntaxfehler")) << e.what();
    }
  }
}

TEST(LdapDialect, AdsPathForms) {
  struct {
    const char* path;
    AdsPath want;
  } cases[] = {
      {"example.test", {"example.test", 389, "DC=example,DC=test"}},
      {"corp.example.test:3268", {"corp.example.test", 3268, "DC=corp,DC=example,DC=test"}},
      {"dc1.example.test/OU=Staff,DC=example,DC=test", {"dc1.example.test", 389, "OU=Staff,DC=example,DC=test"}},
      {"127.0.0.1:10389/dc=example,dc=test", {"127.0.0.1", 10389, "dc=example,dc=test"}},
      {"DC=example,DC=test", {"example.test", 389, "DC=example,DC=test"}},
      {"OU=Staff, dc=example, dc=test", {"example.test", 389, "OU=Staff, dc=example, dc=test"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ParseAdsPath(c.path), c.want);
  }
  for (const char* bad : {"", "/DC=x", "OU=Staff", "host:99999", "host:abc/DC=x", "a..b"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseAdsPath(bad), DataError);
  }
}

TEST(LdapDialect, LdapsPortUnlessThePathNamesOne) {
  EXPECT_EQ(ParseAdsPath("dc1.example.test/DC=example,DC=test", 636).port, 636);
  EXPECT_EQ(ParseAdsPath("example.test", 636).port, 636);
  EXPECT_EQ(ParseAdsPath("DC=example,DC=test", 636).port, 636);
  EXPECT_EQ(ParseAdsPath("dc1.example.test:10636/DC=example,DC=test", 636).port, 10636);
}

TEST(LdapDialect, FilterValuesAreEscaped) {
  struct {
    std::string in, out;
  } cases[] = {
      {"a.b@example.test", "a.b@example.test"},
      {"*", "\\2a"},
      {"a*b(c)d\\e", "a\\2ab\\28c\\29d\\5ce"},
      {std::string("n\0l", 3), "n\\00l"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeFilterValue(c.in), c.out);
  EXPECT_EQ(BuildFilter({{"objectClass", "user"}, {"mail", "x)(objectClass=*"}}),
            "(&(objectClass=user)(mail=x\\29\\28objectClass=\\2a))");
  EXPECT_EQ(BuildFilter({{"mail", "*"}}), "(mail=\\2a)");
  EXPECT_EQ(BuildFilter({}), "(objectClass=*)");
}

class LdapProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddUsers(3);
    for (const char* mail : {"star*@example.test", "paren(x)@example.test", "back\\slash@example.test"})
      server.AddUser(TestUser{mail, "Odd", "Odd", {}, {}, {}});
    server.Start();
  }
  std::string Credentials(const std::string& user, const std::string& password) {
    return "Provider=ADsDSOObject;Password=" + password + ";User ID=" + user +
           ";Encrypt Password=True;Mode=Read;Bind Flags=0;ADSI Flag=-2147483648";
  }
  std::string QueryFor(const std::string& address, const std::string& path = "",
                       const std::string& attributes = "mail,givenName,otherTelephone") {
    std::string q = "SELECT " + attributes + "\r\nFROM 'LDAP://" + (path.empty() ? server.AdsPath() : path) +
                    "'\r\nWHERE objectCategory='person' and objectClass='user'\r\n";
    if (!address.empty()) q += " AND mail='" + address + "'\r\n";
    return q + " ORDER BY mail\r\n";
  }
  // Mails of the rows, or "error: <message>".
  std::vector<std::string> Run(const std::string& queryText, const std::string& cs = "") {
    Connection c("ADsDSOObject");
    c.SetConnectionString(cs.empty() ? Credentials(server.BindDn(), server.BindPassword()) : cs);
    c.SetConnectTimeout(5);
    c.SetCommandTimeout(5);
    Query q(c);
    q.SQL = queryText;
    try {
      q.Open();
    } catch (const DataError& e) {
      return {std::string("error: ") + e.what()};
    }
    std::vector<std::string> out;
    for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("mail").AsText());
    return out;
  }
  SlapdFixture server;
};

TEST_F(LdapProviderTest, LiteralsMatchOnlyThemselves) {
  struct {
    std::string address;
    std::vector<std::string> want;
  } cases[] = {
      {"user00002@example.test", {"user00002@example.test"}},
      {"USER00002@EXAMPLE.TEST", {"user00002@example.test"}},
      {"*", {}},
      {"user0000*", {}},
      {"star*@example.test", {"star*@example.test"}},
      {"paren(x)@example.test", {"paren(x)@example.test"}},
      {"back\\slash@example.test", {"back\\slash@example.test"}},
      {"x)(objectClass=*", {}},
      {"(", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(Run(QueryFor(c.address)), c.want);
  }
  auto all = Run(QueryFor(""));
  EXPECT_EQ(all.size(), 6u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
}

TEST_F(LdapProviderTest, MultiValuedAttributesAreArraysAndColumnsFollowTheSelectList) {
  Connection c("ADsDSOObject");
  c.SetConnectionString(Credentials(server.BindDn(), server.BindPassword()));
  Query q(c);
  q.SQL = QueryFor("user00001@example.test", "", "otherTelephone,GIVENNAME");
  q.Open();
  EXPECT_EQ(q.FieldNames(), (std::vector<std::string>{"otherTelephone", "GIVENNAME"}));
  ASSERT_EQ(q.RecordCount(), 1u);
  const Value& v = q.FieldByName("otherTelephone");
  ASSERT_TRUE(v.IsArray());
  EXPECT_EQ(v.Elements(), (std::vector<Value>{Value("+49 40 1"), Value("+49 41 1")}));
  EXPECT_EQ(q.FieldByName("givenname"), Value("Given1"));
}

TEST_F(LdapProviderTest, FailuresArriveAsDataErrors) {
  int closedPort;
  {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closedPort = ntohs(a.sin_port);
    close(s);
  }
  struct {
    const char* why;
    std::string query, cs, expect;
  } cases[] = {
      {"wrong password", QueryFor(""), Credentials(server.BindDn(), "wrong"), "Invalid credentials"},
      {"unknown user", QueryFor(""), Credentials("cn=nobody," + server.Suffix(), "x"), "Invalid credentials"},
      {"user@realm (slapd takes DNs only)", QueryFor(""), Credentials("reader@example.test", "x"), "fehlgeschlagen"},
      {"wrong domain", QueryFor("", "127.0.0.1:" + std::to_string(server.Port()) + "/DC=wrong,DC=test"), "",
       "No such object"},
      {"unreachable server", QueryFor("", "127.0.0.1:" + std::to_string(closedPort) + "/" + server.Suffix()), "",
       "Can't contact LDAP server"},
      {"unknown attribute", QueryFor("", "", "mail,noSuchAttribute"), "", "noSuchAttribute"},
      {"leading comma", QueryFor("", "", ",mail"), "", "Syntaxfehler"},
      {"apostrophe", QueryFor("o'brien@example.test"), "", "Syntaxfehler"},
      // A damaged flag is refused rather than read as "no encryption".
      {"ADSI Flag that is no number", QueryFor(""),
       "Provider=ADsDSOObject;Password=" + server.BindPassword() + ";User ID=" + server.BindDn() +
           ";ADSI Flag=0x82",
       "Ungültiger Wert für \"ADSI Flag\": 0x82"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    auto r = Run(c.query, c.cs);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(Contains(r[0], "error: ") && Contains(r[0], c.expect)) << r[0];
  }
}

// An open connection binds once and keeps the session for later queries; a
// session the server dropped is reported as ConnectionLost (the caller may
// try again), after which the connection binds anew; Close ends the session.
TEST_F(LdapProviderTest, OneBoundSessionPerOpenConnection) {
  Connection c("ADsDSOObject");
  c.SetConnectionString(Credentials(server.BindDn(), server.BindPassword()));
  c.SetConnectTimeout(5);
  c.SetCommandTimeout(5);
  Query q(c);
  auto mails = [&](const std::string& address) {
    q.SQL = QueryFor(address);
    q.Open();
    std::vector<std::string> out;
    for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("mail").AsText());
    return out;
  };
  const int before = server.ConnectionsAccepted();
  for (const char* address : {"user00001@example.test", "user00002@example.test", "user00003@example.test"})
    EXPECT_EQ(mails(address), std::vector<std::string>{address});
  EXPECT_EQ(server.ConnectionsAccepted() - before, 1);

  server.Restart();
  const int restarted = server.ConnectionsAccepted();
  EXPECT_THROW(mails("user00001@example.test"), ConnectionLost);
  EXPECT_EQ(mails("user00001@example.test"), std::vector<std::string>{"user00001@example.test"});
  EXPECT_EQ(mails("user00002@example.test"), std::vector<std::string>{"user00002@example.test"});
  EXPECT_EQ(server.ConnectionsAccepted() - restarted, 1);

  // A search that fails on a live session leaves it usable.
  q.SQL = QueryFor("", "127.0.0.1:" + std::to_string(server.Port()) + "/DC=wrong,DC=test");
  EXPECT_THROW(q.Open(), DataError);
  EXPECT_EQ(mails("user00003@example.test"), std::vector<std::string>{"user00003@example.test"});
  EXPECT_EQ(server.ConnectionsAccepted() - restarted, 1);

  c.Close();
  EXPECT_EQ(mails("user00003@example.test"), std::vector<std::string>{"user00003@example.test"});
  EXPECT_EQ(server.ConnectionsAccepted() - restarted, 2);

  // On a new session a lost server is an ordinary failure, not one to retry.
  c.Close();
  server.Stop();
  try {
    mails("user00001@example.test");
    ADD_FAILURE() << "no error";
  } catch (const ConnectionLost& e) {
    ADD_FAILURE() << e.what();
  } catch (const DataError& e) {
    EXPECT_TRUE(Contains(e.what(), "Can't contact LDAP server")) << e.what();
  }
}

TEST_F(LdapProviderTest, IntegratedSecurityWithoutKerberosCredentialsSaysSo) {
  const char* old = std::getenv("KRB5CCNAME");
  std::string saved = old ? old : "";
  setenv("KRB5CCNAME", "FILE:/nonexistent/qm-no-ticket", 1);
  auto r = Run(QueryFor(""),
               "Provider=ADsDSOObject;Encrypt Password=True;Integrated Security=SSPI;Mode=Read;Bind Flags=0;"
               "ADSI Flag=-2147483648");
  if (old)
    setenv("KRB5CCNAME", saved.c_str(), 1);
  else
    unsetenv("KRB5CCNAME");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(Contains(r[0], "error: ") && Contains(r[0], "Kerberos")) << r[0];
}

TEST_F(LdapProviderTest, SilentServerEndsWithTheCommandTimeout) {
  // A listener that accepts and never answers.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  listen(s, 4);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  Connection c("ADsDSOObject");
  c.SetConnectionString(Credentials(server.BindDn(), server.BindPassword()));
  c.SetCommandTimeout(1);
  Query q(c);
  q.SQL = QueryFor("", "127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/" + server.Suffix());
  try {
    q.Open();
    ADD_FAILURE() << "no error";
  } catch (const DataError& e) {
    EXPECT_TRUE(Contains(e.what(), "Timed out") || Contains(e.what(), "Can't contact")) << e.what();
  }
  close(s);
}

// Secured connections against slapd with TLS on (it refuses simple binds
// without TLS): one server per certificate of the test CA.
class LdapTlsTest : public ::testing::Test {
 protected:
  static constexpr const char* kSsl = "-2147483646";      // reserved bit | ADS_USE_SSL
  static constexpr const char* kSealing = "-2147483520";  // reserved bit | ADS_USE_SEALING
  static constexpr const char* kPlain = "-2147483648";

  void SetUp() override {
    servers = SlapdPerTestCertificate(2);
  }
  std::string ConnectionFor(const char* flag, const std::string& caFile, bool verify) {
    std::string cs = "Provider=ADsDSOObject;Password=" + servers["good"]->BindPassword() +
                     ";User ID=" + servers["good"]->BindDn() +
                     ";Encrypt Password=True;Mode=Read;Bind Flags=0;ADSI Flag=" + flag;
    if (!caFile.empty()) cs += ";" + ConnectionPair("TLS CA File", caFile);
    if (!verify) cs += ";TLS Verify Peer=False";
    return cs;
  }
  // The query through `server`'s plain or LDAPS port.
  std::string QueryOn(const SlapdFixture& server, bool ldaps) {
    return "SELECT mail\r\nFROM 'LDAP://" + (ldaps ? server.LdapsAdsPath() : server.AdsPath()) +
           "'\r\nWHERE objectCategory='person' and objectClass='user'\r\n ORDER BY mail\r\n";
  }
  // Opens the query; the rows' mails, or rethrows the failure.
  static std::vector<std::string> Mails(const std::string& cs, const std::string& queryText, int timeout = 3) {
    Connection c("ADsDSOObject");
    c.SetConnectionString(cs);
    c.SetConnectTimeout(timeout);
    c.SetCommandTimeout(timeout);
    Query q(c);
    q.SQL = queryText;
    q.Open();
    std::vector<std::string> out;
    for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("mail").AsText());
    return out;
  }
  std::map<std::string, std::unique_ptr<SlapdFixture>> servers;
};

TEST_F(LdapTlsTest, SecuredConnectionsAndWhyTheyFail) {
  const TestCa& ca = TestCa::Shared();
  const std::vector<std::string> both = {"user00001@example.test", "user00002@example.test"};
  enum Outcome { kRows, kCertificate, kEncryptionRequired };
  struct {
    const char* why;
    const char* server;
    const char* flag;
    bool ldapsPort;
    std::string caFile;
    bool verify;
    Outcome outcome;
    std::vector<long> verifyResults;  // one of these, for kCertificate
  } cases[] = {
      {"LDAPS, CA file", "good", kSsl, true, ca.caFile, true, kRows, {}},
      {"StartTLS, CA file", "good", kSealing, false, ca.caFile, true, kRows, {}},
      {"StartTLS, CA file named with ';' and '=' in quotes", "good", kSealing, false, ca.caFile, true, kRows, {}},
      {"plain simple bind refused", "good", kPlain, false, "", true, kEncryptionRequired, {}},
      {"LDAPS without the CA file: untrusted", "good", kSsl, true, "", true, kCertificate,
       {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE}},
      {"LDAPS without the CA file, check off", "good", kSsl, true, "", false, kRows, {}},
      {"LDAPS, wrong name", "wrong name", kSsl, true, ca.caFile, true, kCertificate,
       {X509_V_ERR_IP_ADDRESS_MISMATCH}},
      {"StartTLS, wrong name", "wrong name", kSealing, false, ca.caFile, true, kCertificate,
       {X509_V_ERR_IP_ADDRESS_MISMATCH}},
      {"LDAPS, expired", "expired", kSsl, true, ca.caFile, true, kCertificate, {X509_V_ERR_CERT_HAS_EXPIRED}},
      {"StartTLS, expired", "expired", kSealing, false, ca.caFile, true, kCertificate,
       {X509_V_ERR_CERT_HAS_EXPIRED}},
      {"LDAPS, unknown CA", "untrusted", kSsl, true, ca.caFile, true, kCertificate,
       {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE}},
      {"StartTLS, expired, check off", "expired", kSealing, false, ca.caFile, false, kRows, {}},
  };
  // The third row's CA file: a copy whose name the connection string must
  // quote.
  const std::string oddCa = ca.dir + "/odd;name=1.pem";
  std::filesystem::copy_file(ca.caFile, oddCa, std::filesystem::copy_options::overwrite_existing);
  cases[2].caFile = oddCa;

  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const SlapdFixture& server = *servers[c.server];
    const std::string query = QueryOn(server, c.ldapsPort);
    const int port = c.ldapsPort ? server.LdapsPort() : server.Port();
    try {
      const auto mails = Mails(ConnectionFor(c.flag, c.caFile, c.verify), query);
      EXPECT_EQ(c.outcome, kRows);
      EXPECT_EQ(mails, both);
    } catch (const TlsError& e) {
      EXPECT_EQ(c.outcome, kCertificate) << e.what();
      EXPECT_EQ(e.kind, TlsError::Kind::Certificate) << e.what();
      EXPECT_NE(std::find(c.verifyResults.begin(), c.verifyResults.end(), e.verifyResult), c.verifyResults.end())
          << e.verifyResult << " " << e.what();
      EXPECT_EQ(e.host, "127.0.0.1");
      EXPECT_EQ(e.port, port);
    } catch (const EncryptionRequired& e) {
      EXPECT_EQ(c.outcome, kEncryptionRequired) << e.what();
      EXPECT_EQ(e.host, "127.0.0.1");
      EXPECT_EQ(e.port, port);
    } catch (const DataError& e) {
      ADD_FAILURE() << "unexpected failure: " << e.what();
    }
  }
}

// The CA file is read again once it has been replaced: trust follows the
// file, not the first connection's copy of it.
TEST_F(LdapTlsTest, ReplacedCaFileIsTakenUp) {
  const TestCa& ca = TestCa::Shared();
  const std::string caFile = ca.dir + "/replaced-ca.pem";
  std::filesystem::copy_file(ca.wrongName.cert, caFile, std::filesystem::copy_options::overwrite_existing);
  const SlapdFixture& server = *servers["good"];
  EXPECT_THROW(Mails(ConnectionFor(kSsl, caFile, true), QueryOn(server, true)), TlsError);
  std::filesystem::copy_file(ca.caFile, caFile, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::last_write_time(caFile, std::filesystem::last_write_time(caFile) + std::chrono::seconds(1));
  EXPECT_EQ(Mails(ConnectionFor(kSsl, caFile, true), QueryOn(server, true)).size(), 2u);
}

TEST_F(LdapTlsTest, ServerWithoutStartTlsGetsNoCredentials) {
  SlapdFixture plain;  // no TLS at all
  plain.AddUsers(1);
  plain.Start();
  try {
    Mails(ConnectionFor(kSealing, TestCa::Shared().caFile, true), QueryOn(plain, false));
    ADD_FAILURE() << "no error";
  } catch (const TlsError& e) {
    EXPECT_EQ(e.kind, TlsError::Kind::NoStartTls) << e.what();
    EXPECT_EQ(e.port, plain.Port());
  }
}

// A server that accepts the connection and never answers the handshake: the
// lookup ends with the time-outs instead of hanging.
TEST_F(LdapTlsTest, SilentHandshakeEndsWithTheTimeout) {
  int stopFd = -1;  // set before any client connects
  LoopbackListener silent([&stopFd](int client) {
    // Reads whatever comes (the ClientHello, a StartTLS request) and answers
    // nothing, until the client gives up or the test ends.
    char buffer[512];
    pollfd fds[2] = {{client, POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN))
      if (::read(client, buffer, sizeof buffer) <= 0) break;
  });
  stopFd = silent.StopFd();
  const std::string path = "127.0.0.1:" + std::to_string(silent.Port()) + "/dc=example,dc=test";
  for (const char* flag : {kSsl, kSealing}) {
    SCOPED_TRACE(flag);
    const auto start = std::chrono::steady_clock::now();
    try {
      Mails(ConnectionFor(flag, TestCa::Shared().caFile, true), "SELECT mail\r\nFROM 'LDAP://" + path + "'\r\n", 1);
      ADD_FAILURE() << "no error";
    } catch (const TlsError& e) {
      // LDAPS: the handshake outlives the time-out. StartTLS: the request
      // goes unanswered (the command time-out).
      EXPECT_EQ(e.kind, TlsError::Kind::Handshake) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
}

}  // namespace
