// TFDBUtil end to end against a real Active Directory: a Samba domain
// controller provisioned for this program (one instance for all tests), with
// the connection strings and query texts exactly as TFDBUtil builds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "SambaAdFixture.h"
#include "TestDir.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"

namespace {

// More users than one page of 1,000 holds: the result comes in two pages,
// joined by the server's own paging cookies. (Samba, unlike Windows, does not
// cut a search without paging at 1,000; the slapd tests cover that cut.)
constexpr int kGenerated = 1100;

SambaAdFixture* gAd = nullptr;
std::string gUnavailable;  // why there is no domain controller
std::string gNoHosts;      // why the domain's names do not resolve

TestUser Anna() {
  return TestUser{"Anna.Mueller@quilltest.lan", "Anna", "Müller", "+49 30 1234",
                  {"+49 40 1", "+49 40 2", "+49 40 3"}, "Quill & Söhne"};
}

class SambaEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    try {
      gAd = new SambaAdFixture;
      gAd->AddUser(Anna());
      gAd->AddUsers(kGenerated);
      gAd->Start();
      std::printf("Samba domain controller on %s: provisioned and seeded in %.1f s, started in %.1f s\n",
                  gAd->Address().c_str(), gAd->ProvisionSeconds(), gAd->StartSeconds());
      // The domain's DNS names resolve to the controller's loopback address
      // in this process only.
      UsePrivateHostsFile(gAd->HostsLines(), gAd->Dir(), &gNoHosts);
    } catch (const SambaUnavailable& e) {
      gUnavailable = e.what();
    }
  }
  void TearDown() override {
    delete gAd;
    gAd = nullptr;
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SambaEnvironment);

class ActiveDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gAd) GTEST_SKIP() << "No Samba domain controller here: " << gUnavailable;
  }

  // The controller by its address, with the base DN: needs no name resolution.
  std::string AddressPath() const { return gAd->Address() + "/" + gAd->BaseDn(); }

  // StartTLS with the controller's CA: what a simple bind needs there.
  static DirectoryTransport StartTls() { return {DirectoryTransport::kStartTls, gAd->CaFile(), true}; }
  static DirectoryTransport Ldaps() { return {DirectoryTransport::kLdaps, gAd->CaFile(), true}; }

  void UseDirectory(const std::string& user, const std::string& password, const std::string& path,
                    const std::string& fields = "mail,givenName,sn,telephoneNumber,\r\notherTelephone,company",
                    const DirectoryTransport& transport = StartTls()) {
    GeneralSettings g;
    g.useAD = true;
    g.adPath = path;
    g.fieldNames1 = fields;
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", user, password, transport);
  }

  std::vector<std::string> Logged() {
    std::vector<std::string> out;
    for (const auto& line : ui.LogLines()) {
      auto colon = line.find(": ");
      out.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    return out;
  }
  std::string LastLog() {
    auto l = Logged();
    return l.empty() ? "" : l.back();
  }

  // One lookup cycle for `address`: whether it found the user, and givenName.
  std::pair<bool, std::string> Lookup(const std::string& address) {
    bool ok = db.FindUser(address);
    std::string given = ok ? db.GetFieldValue(address, "givenName") : "";
    db.CloseConnection();
    return {ok, given};
  }

  TestDir dir;
  RecordingUserInterface ui;
  TForm_main main{dir.Path(), ui};
  qm::SettingsStore settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
};

TEST_F(ActiveDirectory, SimpleBindWithEveryFormOfUserId) {
  struct {
    const char* why;
    std::string user;
    DirectoryTransport transport;
  } cases[] = {
      {"user@realm, StartTLS", gAd->ReaderUpn(), StartTls()},
      {"DOMAIN\\user, StartTLS", gAd->ReaderDownLevel(), StartTls()},
      {"distinguished name, StartTLS", gAd->ReaderDn(), StartTls()},
      {"user@realm, LDAPS", gAd->ReaderUpn(), Ldaps()},
      {"DOMAIN\\user, LDAPS", gAd->ReaderDownLevel(), Ldaps()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    UseDirectory(c.user, gAd->ReaderPassword(), AddressPath(),
                 "mail,givenName,sn,telephoneNumber,\r\notherTelephone,company", c.transport);
    ASSERT_TRUE(db.FindUser("anna.mueller@QUILLTEST.LAN")) << LastLog();
    EXPECT_EQ(LastLog(), "ActiveDirectory Verbindung Ok.");
    EXPECT_EQ(db.ADOQuery_AD.RecordCount(), 1u) << "only the address is asked for";
    struct {
      const char* field;
      std::string want;
    } values[] = {
        {"givenName", "Anna"},
        {"sn", "Müller"},
        {"telephoneNumber", "+49 30 1234"},
        {"otherTelephone", "+49 40 1 / +49 40 2 / +49 40 3"},
        {"company", "Quill & Söhne"},
        {"mail", "Anna.Mueller@quilltest.lan"},
    };
    for (const auto& v : values) {
      SCOPED_TRACE(v.field);
      EXPECT_EQ(db.GetFieldValue("ANNA.MUELLER@quilltest.lan", v.field), v.want);
    }
    db.CloseConnection();
  }
}

TEST_F(ActiveDirectory, EmptyAddressListsEveryPersonPastThePageLimitSortedByMail) {
  UseDirectory(gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath(), "mail,sAMAccountName,otherTelephone");
  ASSERT_TRUE(db.FindUser("")) << LastLog();
  std::vector<std::string> mails, accounts;
  for (db.ADOQuery_AD.First(); !db.ADOQuery_AD.Eof(); db.ADOQuery_AD.Next()) {
    std::string mail = db.ADOQuery_AD.FieldByName("mail").AsText();
    if (!mail.empty()) mails.push_back(mail);
    accounts.push_back(db.ADOQuery_AD.FieldByName("sAMAccountName").AsText());
  }
  EXPECT_EQ(mails.size(), static_cast<std::size_t>(kGenerated) + 1);
  EXPECT_TRUE(std::is_sorted(mails.begin(), mails.end(), [](std::string a, std::string b) {
    for (auto* s : {&a, &b})
      for (char& ch : *s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return a < b;
  }));
  // objectCategory='person' leaves out the controller's computer account,
  // although a computer is also of objectClass user.
  EXPECT_TRUE(std::find(accounts.begin(), accounts.end(), "reader") != accounts.end());
  EXPECT_TRUE(std::find(accounts.begin(), accounts.end(), "Administrator") != accounts.end());
  for (const auto& a : accounts) EXPECT_TRUE(a.empty() || a.back() != '$') << a;
  EXPECT_LT(accounts.size(), mails.size() + 10) << "only the built-in accounts come without mail";

  // Values of the last page are read like the first.
  EXPECT_EQ(db.GetFieldValue("user01100@example.test", "otherTelephone"), "+49 40 1100 / +49 41 1100");
  EXPECT_EQ(db.GetFieldValue("user00001@example.test", "otherTelephone"), "+49 40 1 / +49 41 1");
  db.CloseConnection();
}

TEST_F(ActiveDirectory, PathFormsNamingTheDomain) {
  if (!gNoHosts.empty()) GTEST_SKIP() << "the domain's names cannot be made to resolve here: " << gNoHosts;
  // The certificate is checked against the name in the path.
  struct {
    std::string path;
    DirectoryTransport transport;
  } cases[] = {
      {gAd->DnsDomain(), StartTls()},                         // LDAP://quilltest.lan
      {gAd->BaseDn(), StartTls()},                            // LDAP://DC=quilltest,DC=lan
      {gAd->DcHostName() + "/" + gAd->BaseDn(), StartTls()},  // LDAP://dc.quilltest.lan/DC=...
      {gAd->DcHostName() + ":389/CN=Users," + gAd->BaseDn(), StartTls()},
      {"DC=QUILLTEST,DC=LAN", StartTls()},
      {gAd->DnsDomain(), Ldaps()},                             // port 636
      {gAd->DcHostName() + ":636/" + gAd->BaseDn(), Ldaps()},
  };
  for (const auto& [p, transport] : cases) {
    SCOPED_TRACE(p + (transport.security == DirectoryTransport::kLdaps ? " LDAPS" : " StartTLS"));
    UseDirectory(gAd->ReaderDownLevel(), gAd->ReaderPassword(), p, "mail,givenName,sn,telephoneNumber,\r\notherTelephone,company",
                 transport);
    EXPECT_EQ(Lookup("user00500@example.test"), std::make_pair(true, std::string("Given500"))) << LastLog();
  }
}

TEST_F(ActiveDirectory, FailuresAreLoggedAndTheCycleStillEnds) {
  const std::string prefix = "Fehler beim Verbinden mit dem ActiveDirectory: ";
  const std::string server = gAd->Address() + ":";
  struct {
    const char* why;
    std::string user, password, path, fields, address;
    std::string logged;  // expected in the message after the prefix
    DirectoryTransport transport = StartTls();
  } cases[] = {
      {"plain simple bind: the server wants encryption", gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath(),
       "mail,givenName", "user00001@example.test",
       "Der LDAP-Server " + server + "389 verlangt eine verschlüsselte Verbindung; bitte in den Einstellungen "
       "StartTLS oder LDAPS wählen",
       DirectoryTransport{}},
      {"LDAPS without the CA file", gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath(), "mail,givenName",
       "user00001@example.test",
       "Sichere Verbindung zum LDAP-Server " + server + "636 fehlgeschlagen: das Zertifikat ist nicht "
       "vertrauenswürdig (unbekannte Zertifizierungsstelle)",
       DirectoryTransport{DirectoryTransport::kLdaps, "", true}},
      {"wrong password", gAd->ReaderUpn(), "falsch", AddressPath(), "mail,givenName", "user00001@example.test",
       "LDAP-Anmeldung"},
      {"unknown user", "QUILLTEST\\niemand", gAd->ReaderPassword(), AddressPath(), "mail,givenName",
       "user00001@example.test", "LDAP-Anmeldung"},
      {"domain the server does not hold", gAd->ReaderUpn(), gAd->ReaderPassword(),
       gAd->Address() + "/DC=falsch,DC=lan", "mail,givenName", "user00001@example.test", "LDAP-Suche"},
      {"attribute the schema does not know", gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath(),
       "mail,givenNam", "user00001@example.test", "Unbekanntes Attribut: givenNam"},
      {"apostrophe in the address", gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath(), "mail,givenName",
       "o'brien@example.test", "Syntaxfehler"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    UseDirectory(c.user, c.password, c.path, c.fields, c.transport);
    EXPECT_FALSE(db.FindUser(c.address));
    std::string line = LastLog();
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_NE(line.find(c.logged), std::string::npos) << line;
    db.CloseConnection();
    EXPECT_TRUE(db.DirectoryLock().try_lock());
    db.DirectoryLock().unlock();
  }
  // A filter character in the address matches itself, not every user.
  UseDirectory(gAd->ReaderUpn(), gAd->ReaderPassword(), AddressPath());
  ASSERT_TRUE(db.FindUser("*"));
  EXPECT_EQ(db.ADOQuery_AD.RecordCount(), 0u);
  db.CloseConnection();
}

TEST_F(ActiveDirectory, IntegratedSecurityUsesTheKerberosTicket) {
  if (!gNoHosts.empty()) GTEST_SKIP() << "Kerberos needs the domain's names to resolve: " << gNoHosts;
  try {
    gAd->Kinit();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no Kerberos ticket: " << e.what();
  }
  // Plain: the Kerberos bind's own signing and sealing; "StartTLS" asks it
  // for at least an integrity layer. (Samba takes no GSSAPI bind inside
  // TLS at all: it wants a layer there and refuses one over TLS.)
  const DirectoryTransport plain{};
  struct {
    std::string path;
    DirectoryTransport transport;
  } cases[] = {
      {gAd->DnsDomain(), plain},
      {gAd->BaseDn(), plain},
      {gAd->DcHostName() + "/" + gAd->BaseDn(), plain},
      {gAd->DnsDomain(), StartTls()},
      {gAd->DcHostName() + "/" + gAd->BaseDn(), StartTls()},
  };
  for (const auto& [p, transport] : cases) {
    SCOPED_TRACE(p + " security " + std::to_string(transport.security));
    UseDirectory("", "ignored", p, "mail,givenName,sn,telephoneNumber,\r\notherTelephone,company", transport);
    EXPECT_EQ(Lookup("Anna.Mueller@quilltest.lan"), std::make_pair(true, std::string("Anna"))) << LastLog();
  }
}

}  // namespace
