// TFDBUtil against real peers: a private slapd for the directory and SQLite
// through unixODBC for the table.
#include "directory/UDBUtil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestCa.h"
#include "TestDir.h"
#include "TestSupport.h"
#include "settings/USetting.h"
#include "platform/dataaccess/ConnectionString.h"

namespace {

// Built field by field: brace-initialised transports in case tables make
// GCC 12 warn falsely (-Wmaybe-uninitialized) at -O3.
DirectoryTransport Transport(int security, std::string caFile, bool verifyPeer) {
  DirectoryTransport t;
  t.security = security;
  t.caFile = std::move(caFile);
  t.verifyPeer = verifyPeer;
  return t;
}

const std::string kAdFlags = ";Encrypt Password=True;Mode=Read;Bind Flags=0;ADSI Flag=-2147483648";

class DBUtilTest : public ::testing::Test {
 protected:
  // Log lines without their time stamps.
  std::vector<std::string> Logged() {
    std::vector<std::string> out;
    for (const auto& line : ui.LogLines()) {
      auto colon = line.find(": ");
      out.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    return out;
  }
  bool LoggedStartsWith(const std::string& prefix) {
    for (const auto& l : Logged())
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }

  void UseDirectory(const SlapdFixture& ldap, const std::string& fieldNames1 = "mail,givenName,sn,otherTelephone",
                    const std::string& path = "") {
    GeneralSettings g;
    g.useAD = true;
    g.adPath = path.empty() ? ldap.AdsPath() : path;
    g.fieldNames1 = fieldNames1;
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", ldap.BindDn(), ldap.BindPassword());
  }
  void UseTable(const OdbcFixture& odbc, const std::string& table = "users") {
    settings.SetGeneralSettings(GeneralSettings{});
    DirectorySettings d;
    d.odbcSource = odbc.Dsn();
    d.table = table;
    d.mailField = "mail";
    settings.SetDirectorySettings(d);
    db.ConfigureConnection(d.odbcSource, d.table, "", "", "", "");
  }

  TestDir dir;
  RecordingUserInterface ui;
  TForm_main main{dir.Path(), ui};
  qm::SettingsStore settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
};

TEST_F(DBUtilTest, ConnectionStringsAreBuiltExactly) {
  struct {
    const char* why;
    std::string odbcSource, table, dbUser, dbPassword, adUser, adPassword;
    std::string odbc, ad;
  } cases[] = {
      // Plain values give the strings as they have always been.
      {"all given", "Personal", "users", "sa", "pw", "CN=reader,DC=x", "geheim",
       "Provider=MSDASQL.1;Data Source=Personal;Password=pw;User ID=sa;Extended Properties=\"DSN=Personal\";",
       "Provider=ADsDSOObject;Password=geheim;User ID=CN=reader,DC=x" + kAdFlags},
      {"AD user empty: integrated security, no password", "", "", "", "", "", "geheim",
       "Provider=MSDASQL.1;Data Source=;Password=;User ID=;Extended Properties=\"DSN=\";",
       "Provider=ADsDSOObject;Encrypt Password=True;Integrated Security=SSPI;Mode=Read;Bind Flags=0;"
       "ADSI Flag=-2147483648"},
      {"AD password empty", "dsn", "t", "", "", "EXAMPLE\\reader", "",
       "Provider=MSDASQL.1;Data Source=dsn;Password=;User ID=;Extended Properties=\"DSN=dsn\";",
       "Provider=ADsDSOObject;Password=;User ID=EXAMPLE\\reader" + kAdFlags},
      {"'=', ',', '\\', braces, umlauts and inner blanks as typed", "Personal Daten", "t", "DOMÄNE\\sa", "p{w}=1,2",
       "CN=Müller\\, Jörg,OU=IT,DC=x", "pa=ss {w} ö",
       "Provider=MSDASQL.1;Data Source=Personal Daten;Password=p{w}=1,2;User ID=DOMÄNE\\sa;"
       "Extended Properties=\"DSN=Personal Daten\";",
       "Provider=ADsDSOObject;Password=pa=ss {w} ö;User ID=CN=Müller\\, Jörg,OU=IT,DC=x" + kAdFlags},
      // Values the reader would cut or change are quoted.
      {"';' and '\"' quoted, the ODBC name in braces", "a;b\"c", "t", "u;1", "p\"2", "r@example.test",
       "Quill;Pw=2024",
       "Provider=MSDASQL.1;Data Source=\"a;b\"\"c\";Password=\"p\"\"2\";User ID=\"u;1\";"
       "Extended Properties=\"DSN={a;b\"\"c}\";",
       "Provider=ADsDSOObject;Password=\"Quill;Pw=2024\";User ID=r@example.test" + kAdFlags},
      {"outer blanks and a single quote", " dsn ", "t", "o'brien", "' ", "r ", " x",
       "Provider=MSDASQL.1;Data Source=\" dsn \";Password=\"' \";User ID=\"o'brien\";"
       "Extended Properties=\"DSN={ dsn }\";",
       "Provider=ADsDSOObject;Password=\" x\";User ID=\"r \"" + kAdFlags},
      {"braces in the ODBC name", "d{s}n", "t", "", "", "r", "x",
       "Provider=MSDASQL.1;Data Source=d{s}n;Password=;User ID=;Extended Properties=\"DSN={d{s}}n}\";",
       "Provider=ADsDSOObject;Password=x;User ID=r" + kAdFlags},
  };
  using qm::data::ConnectionValue;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    db.ConfigureConnection(c.odbcSource, c.table, c.dbUser, c.dbPassword, c.adUser, c.adPassword);
    EXPECT_EQ(db.ADOConnection_ODBC.ConnectionString(), c.odbc);
    EXPECT_EQ(db.ADOConnection_AD.ConnectionString(), c.ad);
    EXPECT_EQ(db.ADOTable_ODBC.TableName, c.table);

    // Every value comes back whole from the data-access layer, also in the
    // string the ODBC driver manager receives.
    const auto odbc = qm::data::ParseConnectionString(c.odbc);
    EXPECT_EQ(ConnectionValue(odbc, "Provider"), "MSDASQL.1");
    EXPECT_EQ(ConnectionValue(odbc, "Data Source"), c.odbcSource);
    EXPECT_EQ(ConnectionValue(odbc, "User ID"), c.dbUser);
    EXPECT_EQ(ConnectionValue(odbc, "Password"), c.dbPassword);
    const auto driver = qm::data::ParseOdbcConnectionString(qm::data::OdbcConnectionString(odbc));
    EXPECT_EQ(ConnectionValue(driver, "DSN"), c.odbcSource);
    EXPECT_EQ(ConnectionValue(driver, "UID"), c.dbUser);
    EXPECT_EQ(ConnectionValue(driver, "PWD"), c.dbPassword);
    EXPECT_EQ(driver.size(), 1u + !c.dbUser.empty() + !c.dbPassword.empty()) << "no pair of a value's pieces";
    if (!c.adUser.empty()) {
      const auto ad = qm::data::ParseConnectionString(c.ad);
      EXPECT_EQ(ConnectionValue(ad, "User ID"), c.adUser);
      EXPECT_EQ(ConnectionValue(ad, "Password"), c.adPassword);
      EXPECT_EQ(ad.size(), 7u) << "no pair of a value's pieces";
    }
  }
}

// The transport setting becomes the "ADSI Flag" bits and two properties;
// the plain connection keeps the very string older versions built, whatever
// CA file or check setting is stored besides it.
TEST_F(DBUtilTest, DirectoryTransportInTheConnectionString) {
  const std::string simple = "Provider=ADsDSOObject;Password=pw;User ID=r;Encrypt Password=True;Mode=Read;Bind Flags=0;";
  const std::string integrated =
      "Provider=ADsDSOObject;Encrypt Password=True;Integrated Security=SSPI;Mode=Read;Bind Flags=0;";
  struct {
    const char* why;
    DirectoryTransport transport;
    std::string adUser;
    std::string want;
  } cases[] = {
      {"plain, CA file and check off stored", Transport(DirectoryTransport::kNone, "/etc/ca.pem", false), "r",
       simple + "ADSI Flag=-2147483648"},
      {"StartTLS: sealing bit", Transport(DirectoryTransport::kStartTls, "", true), "r", simple + "ADSI Flag=-2147483520"},
      {"LDAPS: SSL bit, CA file", Transport(DirectoryTransport::kLdaps, "/etc/qm/ca.pem", true), "r",
       simple + "ADSI Flag=-2147483646;TLS CA File=/etc/qm/ca.pem"},
      {"LDAPS, check off", Transport(DirectoryTransport::kLdaps, "", false), "r",
       simple + "ADSI Flag=-2147483646;TLS Verify Peer=False"},
      {"CA file with ';', '=' and a quote", Transport(DirectoryTransport::kStartTls, "/ca;x=\"1\".pem", false), "r",
       simple + "ADSI Flag=-2147483520;TLS CA File=\"/ca;x=\"\"1\"\".pem\";TLS Verify Peer=False"},
      {"integrated security, StartTLS", Transport(DirectoryTransport::kStartTls, "/ca.pem", true), "",
       integrated + "ADSI Flag=-2147483520;TLS CA File=/ca.pem"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    db.ConfigureConnection("", "", "", "", c.adUser, "pw", c.transport);
    EXPECT_EQ(db.ADOConnection_AD.ConnectionString(), c.want);
    const auto pairs = qm::data::ParseConnectionString(c.want);
    if (c.transport.security != DirectoryTransport::kNone) {
      EXPECT_EQ(qm::data::ConnectionValue(pairs, "TLS CA File"), c.transport.caFile);
    }
  }
}

TEST(DBUtilQuery, AttributeListAndQueryLines) {
  struct {
    std::string f1, f2, want;
  } cases[] = {
      {"mail\r\ngivenName\r\n", "", "mail,givenName"},
      {"mail,\r\ngivenName", "\r\n,sn", "mail,givenName,sn"},
      {"ma il, given Name", "", "mail,givenName"},
      {"mail\ngivenName\n\nsn", "", "mail,givenName,sn"},
      {"mail" + std::string(8, ',') + "sn", "", "mail,sn"},
      {"mail" + std::string(9, ',') + "sn", "", "mail,,sn"},
      {",mail,sn", "", ",mail,sn"},
      {"mail,sn,,", "", "mail,sn"},
      {"mail,", "sn,", "mail,sn"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.f1);
    EXPECT_EQ(TFDBUtil::BuildAttributeList(c.f1, c.f2), c.want);
  }
  EXPECT_EQ(TFDBUtil::BuildQueryText("mail,sn", "example.test", ""),
            "SELECT mail,sn\r\nFROM 'LDAP://example.test'\r\n"
            "WHERE objectCategory='person' and objectClass='user'\r\n ORDER BY mail\r\n");
  EXPECT_EQ(TFDBUtil::BuildQueryText("mail", "example.test", "o'brien@example.test"),
            "SELECT mail\r\nFROM 'LDAP://example.test'\r\n"
            "WHERE objectCategory='person' and objectClass='user'\r\n AND mail='o'brien@example.test'\r\n"
            " ORDER BY mail\r\n");
}

TEST(DBUtilQuery, JoinMultiValue) {
  using qm::data::Value;
  struct {
    std::vector<Value> elements;
    std::string want;
  } cases[] = {
      {{Value("a"), Value("b")}, "a / b"},
      {{Value(""), Value("b")}, "b"},
      {{Value("a"), Value(""), Value("b")}, "a /  / b"},
      {{Value(), Value("b")}, "b"},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TFDBUtil::JoinMultiValue(Value::Array(c.elements)), c.want);
}

class DirectoryCycle : public DBUtilTest {
 protected:
  void SetUp() override {
    ldap.AddUsers(3);
    ldap.AddUser(TestUser{"star*@example.test", "Star", "S", {}, {}, {}});
    ldap.Start();
  }
  SlapdFixture ldap;
};

TEST_F(DirectoryCycle, LookupFindsTheAddressIgnoringCaseAndJoinsValues) {
  UseDirectory(ldap);
  ASSERT_TRUE(db.FindUser("user00002@example.test"));
  EXPECT_TRUE(LoggedStartsWith("ActiveDirectory Verbindung Ok."));
  EXPECT_FALSE(LockIsFree(db.DirectoryLock()));
  EXPECT_EQ(db.DBGrid1.DataSource, &db.DataSource_AD);
  EXPECT_EQ(db.DBGrid1.Columns(), (std::vector<std::string>{"mail", "givenName", "sn", "otherTelephone"}));
  ASSERT_EQ(db.DBGrid1.Rows().size(), 1u);  // only the address was asked for
  EXPECT_EQ(db.DBGrid1.Rows()[0][3], "+49 40 2 / +49 41 2");

  struct {
    std::string address, field, want;
  } cases[] = {
      {"user00002@example.test", "givenName", "Given2"},
      {"USER00002@Example.Test", "sn", "Surname2"},
      {"user00002@example.test", "otherTelephone", "+49 40 2 / +49 41 2"},
      {"user00002@example.tes", "givenName", ""},
      {"user00001@example.test", "givenName", ""},  // not in this result set
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address + " " + c.field);
    EXPECT_EQ(db.GetFieldValue(c.address, c.field), c.want);
  }
  EXPECT_EQ(db.GetFieldValue("user00002@example.test", "company"), "");
  EXPECT_TRUE(LoggedStartsWith("Datenbankfehler, Feldname nicht gefunden: "));

  // A nested FindUser reuses the open result set.
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), "Given2");
  db.CloseConnection();
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  EXPECT_FALSE(db.ADOQuery_AD.Active());

  // An empty address lists every user, sorted by mail.
  ASSERT_TRUE(db.FindUser(""));
  std::vector<std::string> mails;
  for (db.ADOQuery_AD.First(); !db.ADOQuery_AD.Eof(); db.ADOQuery_AD.Next())
    mails.push_back(db.ADOQuery_AD.FieldByName("mail").AsText());
  EXPECT_EQ(mails, (std::vector<std::string>{"star*@example.test", "user00001@example.test",
                                             "user00002@example.test", "user00003@example.test"}));
  db.CloseConnection();
}

// Cycles share one bound directory session; a server that went away
// between cycles costs the next lookup a new session, not a failure, and a
// change of settings binds anew.
TEST_F(DirectoryCycle, OneSessionServesTheCyclesUntilTheServerGoes) {
  UseDirectory(ldap);
  const int before = ldap.ConnectionsAccepted();
  for (int i = 1; i <= 3; ++i) {
    const std::string address = "user0000" + std::to_string(i) + "@example.test";
    ASSERT_TRUE(db.FindUser(address));
    EXPECT_EQ(db.GetFieldValue(address, "sn"), "Surname" + std::to_string(i));
    db.CloseConnection();
  }
  EXPECT_EQ(ldap.ConnectionsAccepted() - before, 1) << "three lookups, one connection";

  ldap.Restart();
  const int restarted = ldap.ConnectionsAccepted();
  const std::size_t mark = Logged().size();
  ASSERT_TRUE(db.FindUser("user00002@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), "Given2");
  db.CloseConnection();
  const std::vector<std::string> all = Logged();
  const std::vector<std::string> logged(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
  EXPECT_EQ(logged, std::vector<std::string>{"ActiveDirectory Verbindung Ok."});
  EXPECT_EQ(ldap.ConnectionsAccepted() - restarted, 1);

  UseDirectory(ldap);
  ASSERT_TRUE(db.FindUser("user00003@example.test"));
  db.CloseConnection();
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  db.CloseConnection();
  EXPECT_EQ(ldap.ConnectionsAccepted() - restarted, 2) << "new settings, one new connection";

  // A server that is gone for good: the lookup fails as it always did.
  ldap.Stop();
  EXPECT_FALSE(db.FindUser("user00001@example.test"));
  db.CloseConnection();
  EXPECT_TRUE(LoggedStartsWith("Fehler beim Verbinden mit dem ActiveDirectory: LDAP-Anmeldung an " + ldap.Uri() +
                               " fehlgeschlagen: Can't contact LDAP server"));
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}

TEST_F(DirectoryCycle, FailureTable) {
  const std::string port = std::to_string(ldap.Port());
  struct {
    const char* why;
    std::string fields, path, user, password, address;
    bool found;
    std::string logged;  // after "Fehler beim Verbinden mit dem ActiveDirectory: "
    std::string givenName;
  } cases[] = {
      {"stray commas, blanks and line breaks", " mail ,\r\n,, givenName\r\n\r\n,", "", ldap.BindDn(),
       ldap.BindPassword(), "user00001@example.test", true, "", "Given1"},
      {"leading comma", ",mail,givenName", "", ldap.BindDn(), ldap.BindPassword(), "user00001@example.test", false,
       "Syntaxfehler", ""},
      {"unknown attribute", "mail,givenNam", "", ldap.BindDn(), ldap.BindPassword(), "user00001@example.test", false,
       "Unbekanntes Attribut: givenNam", ""},
      {"wrong credentials", "mail,givenName", "", ldap.BindDn(), "falsch", "user00001@example.test", false,
       "LDAP-Anmeldung", ""},
      {"wrong domain", "mail,givenName", "127.0.0.1:" + port + "/DC=falsch,DC=test", ldap.BindDn(),
       ldap.BindPassword(), "user00001@example.test", false, "LDAP-Suche fehlgeschlagen", ""},
      {"unreachable server", "mail,givenName", "127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/" + ldap.Suffix(), ldap.BindDn(), ldap.BindPassword(),
       "user00001@example.test", false, "LDAP-Anmeldung", ""},
      {"apostrophe in the address", "mail,givenName", "", ldap.BindDn(), ldap.BindPassword(),
       "o'brien@example.test", false, "Syntaxfehler", ""},
      {"asterisk is no wildcard", "mail,givenName", "", ldap.BindDn(), ldap.BindPassword(), "user0000*", true, "",
       ""},
      {"asterisk matches itself", "mail,givenName", "", ldap.BindDn(), ldap.BindPassword(), "star*@example.test",
       true, "", "Star"},
      {"parenthesis", "mail,givenName", "", ldap.BindDn(), ldap.BindPassword(), "*)(objectClass=*", true, "", ""},
      {"backslash is no escape", "mail,givenName", "", ldap.BindDn(), ldap.BindPassword(),
       "user0000\\31@example.test", true, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    UseDirectory(ldap, c.fields, c.path);
    db.ConfigureConnection("", "", "", "", c.user, c.password);
    std::size_t before = Logged().size();
    EXPECT_EQ(db.FindUser(c.address), c.found);
    EXPECT_FALSE(LockIsFree(db.DirectoryLock())) << "the lock is held until CloseConnection";
    auto lines = Logged();
    if (c.found) {
      EXPECT_EQ(lines.back(), "ActiveDirectory Verbindung Ok.");
      EXPECT_EQ(db.GetFieldValue(c.address, "givenName"), c.givenName);
      if (c.givenName.empty()) {
        EXPECT_EQ(db.ADOQuery_AD.RecordCount(), 0u);
      }
    } else {
      ASSERT_EQ(lines.size(), before + 1);
      const std::string prefix = "Fehler beim Verbinden mit dem ActiveDirectory: ";
      EXPECT_EQ(lines.back().rfind(prefix, 0), 0u) << lines.back();
      EXPECT_NE(lines.back().find(c.logged, prefix.size()), std::string::npos) << lines.back();
    }
    db.CloseConnection();
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  }
}

// The reader's password goes into the connection string and must reach the
// server's simple bind whole, whatever it holds; anonymous clients may not
// search, so a cut password shows as a failed lookup.
TEST_F(DBUtilTest, DirectoryPasswordReachesTheServerWhole) {
  for (const std::string password : {"Quill;Pw=2024", " \"Pw\"=1; it's {x} "}) {
    SCOPED_TRACE(password);
    SlapdFixture ldap{password};
    ldap.AddUsers(2);
    ldap.Start();
    UseDirectory(ldap, "mail,givenName");
    EXPECT_TRUE(db.FindUser("user00002@example.test")) << (Logged().empty() ? "" : Logged().back());
    EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), "Given2");
    db.CloseConnection();
  }
}

TEST_F(DirectoryCycle, IntegratedSecurityWithoutKerberosCredentials) {
  const char* old = std::getenv("KRB5CCNAME");
  std::string saved = old ? old : "";
  setenv("KRB5CCNAME", "FILE:/nonexistent/qm-no-ticket", 1);
  UseDirectory(ldap);
  db.ConfigureConnection("", "", "", "", "", "ignored");
  EXPECT_FALSE(db.FindUser("user00001@example.test"));
  db.CloseConnection();
  if (old)
    setenv("KRB5CCNAME", saved.c_str(), 1);
  else
    unsetenv("KRB5CCNAME");
  ASSERT_FALSE(Logged().empty());
  EXPECT_NE(Logged().back().find("Kerberos"), std::string::npos) << Logged().back();
}

// Lookups over secured connections against slapd with TLS on, which refuses
// simple binds without TLS: the log line of every failure names the server
// and the reason, and the cycle ends as after any failed lookup.
class DirectoryTls : public DBUtilTest {
 protected:
  void SetUp() override {
    servers = SlapdPerTestCertificate(2);
  }
  void UseSecured(const SlapdFixture& ldap, const DirectoryTransport& transport) {
    GeneralSettings g;
    g.useAD = true;
    g.adPath = transport.security == DirectoryTransport::kLdaps ? ldap.LdapsAdsPath() : ldap.AdsPath();
    g.fieldNames1 = "mail,givenName";
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", ldap.BindDn(), ldap.BindPassword(), transport);
  }
  std::map<std::string, std::unique_ptr<SlapdFixture>> servers;
};

TEST_F(DirectoryTls, LookupsAndTheLogLinesOfEveryFailure) {
  const TestCa& ca = TestCa::Shared();
  const auto starttls = DirectoryTransport::kStartTls, ldaps = DirectoryTransport::kLdaps;
  const std::string prefix = "Fehler beim Verbinden mit dem ActiveDirectory: ";
  struct {
    const char* why;
    const char* server;
    DirectoryTransport transport;
    std::vector<std::string> logged;  // the lines this lookup adds; "<port>" stands for the port used
  } cases[] = {
      {"StartTLS", "good", Transport(starttls, ca.caFile, true), {"ActiveDirectory Verbindung Ok."}},
      {"LDAPS", "good", Transport(ldaps, ca.caFile, true), {"ActiveDirectory Verbindung Ok."}},
      {"plain: the server wants encryption", "good", Transport(DirectoryTransport::kNone, "", true),
       {prefix + "Der LDAP-Server 127.0.0.1:<port> verlangt eine verschlüsselte Verbindung; bitte in den "
                 "Einstellungen StartTLS oder LDAPS wählen"}},
      {"no CA file", "good", Transport(ldaps, "", true),
       {prefix + "Sichere Verbindung zum LDAP-Server 127.0.0.1:<port> fehlgeschlagen: das Zertifikat ist nicht "
                 "vertrauenswürdig (unbekannte Zertifizierungsstelle)"}},
      {"wrong name", "wrong name", Transport(starttls, ca.caFile, true),
       {prefix + "Sichere Verbindung zum LDAP-Server 127.0.0.1:<port> fehlgeschlagen: das Zertifikat gilt nicht "
                 "für 127.0.0.1"}},
      {"expired", "expired", Transport(ldaps, ca.caFile, true),
       {prefix + "Sichere Verbindung zum LDAP-Server 127.0.0.1:<port> fehlgeschlagen: das Zertifikat ist "
                 "abgelaufen"}},
      {"unknown CA", "untrusted", Transport(starttls, ca.caFile, true),
       {prefix + "Sichere Verbindung zum LDAP-Server 127.0.0.1:<port> fehlgeschlagen: das Zertifikat ist nicht "
                 "vertrauenswürdig (unbekannte Zertifizierungsstelle)"}},
      {"check off: a warning, then the lookup", "expired", Transport(ldaps, "", false),
       {"Warnung: Das Zertifikat des LDAP-Servers 127.0.0.1:<port> wird nicht geprüft (tlsVerifyPeer=no)",
        "ActiveDirectory Verbindung Ok."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const SlapdFixture& ldap = *servers[c.server];
    const int port = c.transport.security == ldaps ? ldap.LdapsPort() : ldap.Port();
    UseSecured(ldap, c.transport);
    const std::size_t before = Logged().size();
    const bool ok = c.logged.back() == "ActiveDirectory Verbindung Ok.";
    EXPECT_EQ(db.FindUser("user00002@example.test"), ok);
    std::vector<std::string> lines = Logged();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    std::vector<std::string> want;
    for (const auto& line : c.logged) want.push_back(qm::ReplaceAll(line, "<port>", std::to_string(port)));
    if (!want.empty() && want.front().rfind(prefix + "Der LDAP-Server", 0) == 0) {
      // The server's own words follow in parentheses.
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind(want[0] + " (", 0), 0u) << lines[0];
    } else {
      EXPECT_EQ(lines, want);
    }
    EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), ok ? "Given2" : "");
    db.CloseConnection();
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
    // Nothing is lost: the next lookup with the right setting finds the user.
    if (!ok) {
      UseSecured(*servers["good"], Transport(starttls, ca.caFile, true));
      EXPECT_TRUE(db.FindUser("user00002@example.test"));
      EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), "Given2");
      db.CloseConnection();
    }
  }
}

class TableCycle : public DBUtilTest {
 protected:
  void SetUp() override {
    odbc.CreateUsersTable();
    odbc.AddUsers(3);
    odbc.AddUser(TestUser{"Null.Werte@Example.test", std::nullopt, "", {}, {}, {}});
    UseTable(odbc);
  }
  OdbcFixture odbc;
};

TEST_F(TableCycle, WholeTableServesEveryAddress) {
  ASSERT_TRUE(db.FindUser(""));
  EXPECT_EQ(Logged().back(), "ADO-DB Verbindung Ok: qmtest.users");
  EXPECT_EQ(db.DBGrid1.DataSource, &db.DataSource_ADO);
  EXPECT_EQ(db.DBGrid1.Rows().size(), 4u);
  struct {
    std::string address, field, want;
  } cases[] = {
      {"user00003@example.test", "givenName", "Given3"},
      {"USER00003@EXAMPLE.TEST", "otherTelephone", "+49 40 3 / +49 41 3"},
      {"null.werte@example.test", "givenName", ""},
      {"null.werte@example.test", "sn", ""},
      {"user00003@example", "givenName", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(db.GetFieldValue(c.address, c.field), c.want);
  }
  std::size_t before = Logged().size();
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "department"), "");
  ASSERT_EQ(Logged().size(), before + 1);
  EXPECT_EQ(Logged().back().rfind("Datenbankfehler, Feldname nicht gefunden: ", 0), 0u);
  db.CloseConnection();
  EXPECT_FALSE(db.ADOTable_ODBC.Active());
  EXPECT_TRUE(db.ADOConnection_ODBC.Connected()) << "kept for the next cycle";
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}

// Cycles share one connection; a failed lookup drops it, so the next cycle
// starts on a new one (and a change of settings reaches the driver).
TEST_F(TableCycle, TheConnectionOutlivesCyclesUntilALookupFails) {
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  db.CloseConnection();
  ASSERT_TRUE(db.ADOConnection_ODBC.Connected());
  for (int i = 2; i <= 3; ++i) {
    const std::string address = "user0000" + std::to_string(i) + "@example.test";
    ASSERT_TRUE(db.FindUser(address));
    EXPECT_EQ(db.GetFieldValue(address, "sn"), "Surname" + std::to_string(i));
    db.CloseConnection();
    EXPECT_TRUE(db.ADOConnection_ODBC.Connected());
  }
  odbc.Execute("ALTER TABLE users RENAME TO staff");
  EXPECT_FALSE(db.FindUser("user00001@example.test"));
  db.CloseConnection();
  EXPECT_FALSE(db.ADOConnection_ODBC.Connected()) << "a failed lookup leaves no connection behind";
  odbc.Execute("ALTER TABLE staff RENAME TO users");
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "sn"), "Surname1");
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}

// A lookup by address reads that user's rows only, and answers as the whole
// table does: a GetFieldValue for another address in the same cycle, the
// question IsKnownUser asks, a misspelt address column.
TEST_F(TableCycle, LookupByAddressReadsItsRowsAndAnswersAsTheWholeTable) {
  ASSERT_TRUE(db.FindUser("USER00002@example.test"));
  EXPECT_EQ(Logged().back(), "ADO-DB Verbindung Ok: qmtest.users");
  EXPECT_EQ(db.DBGrid1.Rows().size(), 1u);
  EXPECT_EQ(db.GetFieldValue("USER00002@example.test", "sn"), "Surname2");
  EXPECT_EQ(db.GetFieldValue("user00003@example.test", "sn"), "Surname3");
  EXPECT_EQ(db.DBGrid1.Rows().size(), 4u);
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));

  struct {
    std::string address;
    bool known;
  } cases[] = {
      {"user00001@example.test", true}, {"USER00001@EXAMPLE.TEST", true},   {"null.werte@example.test", true},
      {"user00001@example.tes", false}, {"user00001@example.test ", false}, {"' OR ''='", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(db.IsKnownUser(c.address), c.known);
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  }

  DirectorySettings d = settings.GetDirectorySettings();
  d.mailField = "email";
  settings.SetDirectorySettings(d);
  ASSERT_TRUE(db.FindUser("user00001@example.test"));
  std::size_t before = Logged().size();
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "sn"), "");
  ASSERT_EQ(Logged().size(), before + 1);
  EXPECT_EQ(Logged().back().rfind("Datenbankfehler, Feldname nicht gefunden: ", 0), 0u);
  db.CloseConnection();
}

TEST_F(TableCycle, MissingTableOrSourceLogsTwoErrors) {
  struct {
    std::string source, table;
  } cases[] = {{odbc.Dsn(), "nosuchtable"}, {"nosuchdsn", "users"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source + "." + c.table);
    DirectorySettings d = settings.GetDirectorySettings();
    d.odbcSource = c.source;
    d.table = c.table;
    settings.SetDirectorySettings(d);
    db.ConfigureConnection(c.source, c.table, "", "", "", "");
    std::size_t before = Logged().size();
    EXPECT_FALSE(db.FindUser("user00001@example.test"));
    auto lines = Logged();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines[before], "Fehler beim Verbinden mit der Datenbank: " + c.source + "." + c.table);
    EXPECT_FALSE(lines[before + 1].empty());
    EXPECT_FALSE(LockIsFree(db.DirectoryLock()));
    db.CloseConnection();
    EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  }
}

TEST_F(TableCycle, SecondThreadWaitsForTheWholeCycle) {
  ASSERT_TRUE(db.FindUser(""));
  std::atomic<bool> started{false}, found{false}, done{false};
  std::string value;
  std::thread other([&] {
    started = true;
    found = db.FindUser("user00001@example.test");
    value = db.GetFieldValue("user00001@example.test", "sn");
    db.CloseConnection();
    done = true;
  });
  while (!started) std::this_thread::yield();
  // Nested cycle on this thread, then both ends: the other thread may only
  // proceed after the last CloseConnection.
  ASSERT_TRUE(db.FindUser(""));
  db.CloseConnection();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load());
  EXPECT_FALSE(LockIsFree(db.DirectoryLock()));
  db.CloseConnection();
  other.join();
  EXPECT_TRUE(found.load());
  EXPECT_EQ(value, "Surname1");
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  // An unmatched CloseConnection releases nothing and breaks nothing.
  db.CloseConnection();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}

TEST_F(TableCycle, TestWindowHoldsItsCyclesUntilClosed) {
  // "Verbindung testen": configure, FindUser with an empty address, show.
  auto test = [&] {
    db.ConfigureConnection(odbc.Dsn(), "users", "", "", "", "");
    db.FindUser("");
    db.ShowTestWindow();
  };
  test();
  EXPECT_TRUE(db.Visible());
  EXPECT_EQ(ui.windows, std::vector<std::string>{"TFDBUtil"});
  EXPECT_EQ(db.DBGrid1.Rows().size(), 4u);
  EXPECT_FALSE(LockIsFree(db.DirectoryLock()));

  // A poll on the main thread while the window is shown uses the open table
  // and closes it; the window keeps its cycle.
  ASSERT_TRUE(db.FindUser("user00002@example.test"));
  EXPECT_EQ(db.GetFieldValue("user00002@example.test", "givenName"), "Given2");
  db.CloseConnection();
  EXPECT_TRUE(db.DBGrid1.Rows().empty());
  EXPECT_FALSE(LockIsFree(db.DirectoryLock()));

  // A second test while the window is shown: closing ends both cycles.
  test();
  EXPECT_EQ(db.HeldCycles(), 2);
  db.Button_FDBUtil_closeClick();
  EXPECT_FALSE(db.Visible());
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
  db.FormClose();  // the close command of a hidden window: nothing more
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));

  // A failed test shows an empty grid; the close command ends its cycle.
  DirectorySettings d = settings.GetDirectorySettings();
  d.table = "nosuchtable";
  settings.SetDirectorySettings(d);
  db.ConfigureConnection(odbc.Dsn(), "nosuchtable", "", "", "", "");
  EXPECT_FALSE(db.FindUser(""));
  db.ShowTestWindow();
  EXPECT_TRUE(db.DBGrid1.Rows().empty());
  db.FormClose();
  EXPECT_TRUE(LockIsFree(db.DirectoryLock()));
}

TEST_F(TableCycle, ConfigureClosesAnOpenTable) {
  ASSERT_TRUE(db.FindUser(""));
  db.ConfigureConnection(odbc.Dsn(), "users", "", "", "", "");
  EXPECT_FALSE(db.ADOTable_ODBC.Active());
  EXPECT_FALSE(db.ADOConnection_ODBC.Connected());
  db.CloseConnection();
}

TEST_F(TableCycle, ListingWaitsForAnotherThreadsCycle) {
  // The lists read the schema over the connection that a lookup cycle on
  // another thread (an HTTP request) is using; they wait until it has ended.
  odbc.Execute("CREATE VIEW staff AS SELECT mail, sn FROM users");
  struct {
    const char* what;
    std::function<void(qm::TextList&)> list;
    qm::TextList want;
  } cases[] = {
      {"tables", [&](qm::TextList& l) { db.ListOdbcTables(l); }, {"staff", "users"}},
      {"columns", [&](qm::TextList& l) { db.ListOdbcColumns("staff", l); }, {"mail", "sn"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::promise<void> inCycle, endCycle;
    std::string value;
    std::thread lookup([&] {
      db.FindUser("user00001@example.test");
      inCycle.set_value();
      endCycle.get_future().wait();
      value = db.GetFieldValue("user00001@example.test", "sn");
      db.CloseConnection();
    });
    inCycle.get_future().wait();
    auto listed = std::async(std::launch::async, [&] {
      qm::TextList l;
      c.list(l);
      std::sort(l.begin(), l.end());
      return l;
    });
    EXPECT_EQ(listed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    endCycle.set_value();
    lookup.join();
    EXPECT_EQ(value, "Surname1");
    EXPECT_EQ(listed.get(), c.want);
  }
}

TEST_F(TableCycle, SchemaAndDataSourceLists) {
  odbc.Execute("CREATE VIEW staff AS SELECT mail, sn FROM users");
  odbc.CreateUsersTable("u_ers");
  odbc.AddUserDsn("persoenlich");
  odbc.AddUserDsn(odbc.Dsn());
  qm::TextList list{"stale"};
  db.ListOdbcTables(list);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (qm::TextList{"staff", "u_ers", "users"}));
  EXPECT_TRUE(db.ADOConnection_ODBC.Connected());
  db.ListOdbcColumns("staff", list);
  EXPECT_EQ(list, (qm::TextList{"mail", "sn"}));
  db.GetOdbcDataSources(list);
  EXPECT_EQ(list, (qm::TextList{"qmtest", "persoenlich", "qmtest"}));

  db.ConfigureConnection("nosuchdsn", "users", "", "", "", "");
  EXPECT_THROW(db.ListOdbcTables(list), qm::data::DataError);
  EXPECT_THROW(db.ListOdbcColumns("users", list), qm::data::DataError);
}

}  // namespace

// A data-source name holding quotes or '=' reaches the driver manager and the
// driver whole; user and password with ';' and braces do not disturb them.
TEST_F(TableCycle, DataSourceNamesWithQuotesAreFound) {
  for (const std::string name : {"Personal \"Daten\"", "'Abt'", "x=y"}) {
    SCOPED_TRACE(name);
    odbc.AddSystemDsn(name);
    db.ConfigureConnection(name, "users", "u;{x}", "Quill;Pw=2024}", "", "");
    EXPECT_TRUE(db.FindUser("user00001@example.test")) << (Logged().empty() ? "" : Logged().back());
    EXPECT_EQ(db.GetFieldValue("user00001@example.test", "givenName"), "Given1");
    db.CloseConnection();
  }
}
