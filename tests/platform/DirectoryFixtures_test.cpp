// The test servers themselves: what the data-access tests rely on.
#include "DirectoryFixtures.h"

#include <gtest/gtest.h>
#include <ldap.h>
#include <sql.h>
#include <sqlext.h>

namespace {

// Rows of one single-column query through the fixture's DSN (NULL as "<null>").
std::vector<std::string> OdbcColumn(const std::string& dsn, const std::string& sql) {
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  std::string cs = "DSN=" + dsn;
  EXPECT_TRUE(SQL_SUCCEEDED(
      SQLDriverConnect(dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  std::vector<std::string> out;
  if (SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS))) {
    while (SQL_SUCCEEDED(SQLFetch(st))) {
      char buf[256];
      SQLLEN ind = 0;
      SQLGetData(st, 1, SQL_C_CHAR, buf, sizeof buf, &ind);
      out.push_back(ind == SQL_NULL_DATA ? "<null>" : std::string(buf));
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return out;
}

struct SearchResult {
  int rc = -1;
  int entries = 0;
  std::vector<std::string> values;  // values of the first requested attribute
};

SearchResult Search(const SlapdFixture& s, const std::string& who, const std::string& pw, const std::string& filter,
                    const char* attr) {
  SearchResult r;
  LDAP* ld = nullptr;
  ldap_initialize(&ld, s.Uri().c_str());
  int v = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
  berval cred{static_cast<ber_len_t>(pw.size()), const_cast<char*>(pw.data())};
  if (!who.empty()) {
    r.rc = ldap_sasl_bind_s(ld, who.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (r.rc != LDAP_SUCCESS) {
      ldap_unbind_ext_s(ld, nullptr, nullptr);
      return r;
    }
  }
  char* attrs[] = {const_cast<char*>(attr), nullptr};
  LDAPMessage* res = nullptr;
  r.rc = ldap_search_ext_s(ld, s.Suffix().c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, nullptr, nullptr,
                           nullptr, 0, &res);
  for (LDAPMessage* e = ldap_first_entry(ld, res); e; e = ldap_next_entry(ld, e)) {
    ++r.entries;
    if (berval** vals = ldap_get_values_len(ld, e, attr)) {
      for (int i = 0; vals[i]; ++i) r.values.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
      ldap_value_free_len(vals);
    }
  }
  ldap_msgfree(res);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return r;
}

}  // namespace

TEST(OdbcFixture, TableWithUsersNullsAndQuotes) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(3);
  odbc.AddUser(TestUser{"o'brien@example.test", std::nullopt, "", {}, {}, {}});
  EXPECT_EQ(OdbcColumn(odbc.Dsn(), "SELECT mail FROM users ORDER BY rowid"),
            (std::vector<std::string>{"user00001@example.test", "user00002@example.test", "user00003@example.test",
                                      "o'brien@example.test"}));
  EXPECT_EQ(OdbcColumn(odbc.Dsn(), "SELECT givenName FROM users WHERE mail LIKE 'o%'"),
            std::vector<std::string>{"<null>"});
  EXPECT_EQ(OdbcColumn(odbc.Dsn(), "SELECT sn FROM users WHERE mail LIKE 'o%'"), std::vector<std::string>{""});
  EXPECT_EQ(OdbcColumn(odbc.Dsn(), "SELECT otherTelephone FROM users WHERE mail LIKE 'user00002%'"),
            std::vector<std::string>{"+49 40 2 / +49 41 2"});
}

TEST(SlapdFixture, BulkLoadedAndLiveEntriesWithAdNames) {
  SlapdFixture ldap;
  ldap.AddUsers(1200);
  ldap.Start();
  ldap.AddUser(TestUser{"late@example.test", "Late", "Comer", {}, {"1", "2", "3"}, {}});
  ASSERT_GT(ldap.Port(), 0);

  auto one = Search(ldap, ldap.BindDn(), ldap.BindPassword(),
                    "(&(objectCategory=person)(objectClass=user)(mail=USER00002@example.test))", "givenName");
  EXPECT_EQ(one.rc, LDAP_SUCCESS);
  EXPECT_EQ(one.values, std::vector<std::string>{"Given2"});

  auto multi = Search(ldap, ldap.BindDn(), ldap.BindPassword(), "(mail=late@example.test)", "otherTelephone");
  EXPECT_EQ(multi.values, (std::vector<std::string>{"1", "2", "3"}));

  // Without paging the server stops at 1000 entries, like Active Directory.
  auto all = Search(ldap, ldap.BindDn(), ldap.BindPassword(), "(objectClass=user)", "mail");
  EXPECT_EQ(all.rc, LDAP_SIZELIMIT_EXCEEDED);
  EXPECT_EQ(all.entries, 1000);

  EXPECT_EQ(Search(ldap, ldap.BindDn(), "wrong", "(mail=*)", "mail").rc, LDAP_INVALID_CREDENTIALS);
  auto anon = Search(ldap, "", "", "(objectClass=user)", "mail");
  EXPECT_EQ(anon.entries, 0);

  ldap.Stop();
  EXPECT_FALSE(ldap.Running());
}
