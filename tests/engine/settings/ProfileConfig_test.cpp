// The command line's view of a profile: every field named once, passwords
// masked, values checked before anything changes.

#include "settings/ProfileConfig.h"

#include <gtest/gtest.h>

#include "settings/SettingsStore.h"

namespace {

std::string ValueOf(const std::vector<std::string>& lines, const std::string& name) {
  for (const auto& l : lines)
    if (l.rfind(name + "=", 0) == 0) return l.substr(name.size() + 1);
  ADD_FAILURE() << "no line for " << name;
  return {};
}

}  // namespace

TEST(ProfileConfig, DescribesEveryFieldInRecordOrderWithPasswordsMasked) {
  qm::ProfileRecords r;
  r.mail.pop3Host = "pop.example.test";
  r.mail.smtpPassword = "geheim";
  r.general.useAD = true;
  PutFieldNames(r.general, std::string(300, 'a'));  // spans both stored fields
  r.general.httpPort = 8081;
  const auto lines = qm::DescribeProfile(r);
  std::vector<std::string> names;
  for (const auto& l : lines) names.push_back(l.substr(0, l.find('=')));
  const std::vector<std::string> expected = {
      "pop3Host",  "pop3Login",   "pop3Password",    "senderName", "subject",        "smtpHost",
      "smtpUserId", "smtpPassword", "senderAddress",  "odbcSource", "table",          "dbUserId",
      "dbPassword", "mailField",   "intervalMinutes", "timerEnabled", "verbosity",    "contentType",
      "altTextEnabled", "altText", "adPath",          "adUserId",   "adPassword",     "useAD",
      "fieldNames", "sendAs",      "httpPort",        "httpServerActive", "dropEmptyLines",
      "pop3Security", "smtpSecurity", "ldapSecurity", "httpSecurity", "tlsVerifyPeer", "pop3Port",
      "smtpPort",   "tlsCaFile",   "httpsCertFile",   "httpsKeyFile"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(ValueOf(lines, "pop3Host"), "pop.example.test");
  EXPECT_EQ(ValueOf(lines, "smtpPassword"), "***");
  EXPECT_EQ(ValueOf(lines, "pop3Password"), "") << "an empty password is shown as empty";
  EXPECT_EQ(ValueOf(lines, "useAD"), "yes");
  EXPECT_EQ(ValueOf(lines, "timerEnabled"), "no");
  EXPECT_EQ(ValueOf(lines, "fieldNames"), std::string(300, 'a'));
  EXPECT_EQ(ValueOf(lines, "httpPort"), "8081");
  EXPECT_EQ(ValueOf(lines, "smtpSecurity"), "none");
  EXPECT_EQ(ValueOf(lines, "tlsVerifyPeer"), "yes") << "a new profile verifies";
  EXPECT_EQ(ValueOf(lines, "smtpPort"), "0");
}

TEST(ProfileConfig, ValuesAreCheckedBeforeAnythingChanges) {
  struct {
    std::string name, value;
    bool accepted;
  } cases[] = {
      {"httpPort", "8080", true},        {"httpPort", "0", false},          {"httpPort", "65536", false},
      {"httpPort", "80a", false},        {"httpPort", "", false},           {"intervalMinutes", "2880", true},
      {"intervalMinutes", "0", false},   {"verbosity", "3", true},          {"verbosity", "4", false},
      {"contentType", "2", true},        {"contentType", "3", false},       {"useAD", "YES", true},
      {"useAD", "false", true},          {"useAD", "1", true},              {"useAD", "ja", false},
      {"sendAs", "both", true},          {"sendAs", "Both", false},         {"smtpHost", std::string(255, 'x'), true},
      {"smtpHost", std::string(256, 'x'), false},                           {"altText", "\xff", false},
      {"fieldNames", std::string(509, 'f'), true},                          {"fieldNames", std::string(510, 'f'), false},
      {"nosuchfield", "1", false},       {"smtpPassword", "", true},
      {"pop3Security", "stls", true},    {"pop3Security", "starttls", false}, {"smtpSecurity", "STARTTLS", true},
      {"smtpSecurity", "stls", false},   {"ldapSecurity", "ldaps", true},   {"ldapSecurity", "tls", false},
      {"httpSecurity", "tls", true},     {"httpSecurity", "https", false},  {"tlsVerifyPeer", "no", true},
      {"smtpPort", "0", true},           {"smtpPort", "465", true},         {"pop3Port", "65536", false},
      {"pop3Port", "-1", false},         {"tlsCaFile", std::string(256, 'c'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + "=" + c.value.substr(0, 20));
    qm::ProfileRecords r;
    r.general.httpPort = 8081;
    const qm::ProfileRecords before = r;
    // One good pair beside the one under test: all or nothing.
    const auto refused = qm::ApplyConfig({{"subject", "Neu"}, {c.name, c.value}}, r);
    if (c.accepted) {
      EXPECT_TRUE(refused.empty()) << refused.front();
      EXPECT_EQ(r.mail.subject, "Neu");
    } else {
      ASSERT_EQ(refused.size(), 1u);
      EXPECT_EQ(refused[0].rfind(c.name + ": ", 0), 0u) << refused[0];
      EXPECT_EQ(r.mail, before.mail) << "nothing taken over";
      EXPECT_EQ(r.general, before.general);
    }
  }
}

TEST(ProfileConfig, TakenValuesReachTheStoredRecord) {
  qm::ProfileRecords r;
  const auto refused = qm::ApplyConfig({{"useAD", "yes"},
                                        {"fieldNames", "givenName,sn,mail"},
                                        {"httpPort", "08081"},
                                        {"dbPassword", "p;w"},
                                        {"timerEnabled", "true"},
                                        {"intervalMinutes", "15"},
                                        {"smtpSecurity", "tls"},
                                        {"ldapSecurity", "StartTLS"},
                                        {"tlsVerifyPeer", "0"},
                                        {"httpsKeyFile", "/etc/quillmark/key.pem"}},
                                       r);
  ASSERT_TRUE(refused.empty());
  EXPECT_TRUE(r.general.useAD);
  EXPECT_EQ(GetFieldNames(r.general), "givenName,sn,mail");
  EXPECT_EQ(r.general.httpPort, 8081);
  EXPECT_EQ(r.directory.dbPassword, "p;w");
  EXPECT_TRUE(r.general.timerEnabled);
  EXPECT_EQ(r.general.intervalMinutes, 15);
  EXPECT_EQ(r.general.smtpSecurity, msImplicitTls);
  EXPECT_EQ(r.general.ldapSecurity, lsStartTls);
  EXPECT_FALSE(r.general.tlsVerifyPeer);
  EXPECT_EQ(r.general.httpsKeyFile, "/etc/quillmark/key.pem");
  EXPECT_EQ(qm::DescribeProfile(r)[qm::DescribeProfile(r).size() - 10], "pop3Security=none");
  EXPECT_TRUE(qm::IsConfigPassword("dbPassword"));
  EXPECT_FALSE(qm::IsConfigPassword("dbUserId"));
}
