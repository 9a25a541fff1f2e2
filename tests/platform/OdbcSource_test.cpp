// The ODBC provider: connection strings, whole-table reads, schema lists and
// data-source names, against SQLite through unixODBC.
#include <gtest/gtest.h>

#include "DirectoryFixtures.h"
#include "platform/dataaccess/DataAccess.h"

using namespace qm::data;

namespace {

std::string OdbcString(const std::string& dsn, const std::string& user = "", const std::string& password = "") {
  return "Provider=MSDASQL.1;Data Source=" + dsn + ";Password=" + password + ";User ID=" + user +
         ";Extended Properties=\"DSN=" + dsn + "\";";
}

TEST(ConnectionString, SplitsPairsAndQuotedValues) {
  auto pairs = ParseConnectionString(OdbcString("my dsn", "u", "p;w"));
  EXPECT_EQ(ConnectionValue(pairs, "provider"), "MSDASQL.1");
  EXPECT_EQ(ConnectionValue(pairs, "Data Source"), "my dsn");
  EXPECT_EQ(ConnectionValue(pairs, "Extended Properties"), "DSN=my dsn");
  // An unquoted ";" ends the value; the rest without "=" is skipped.
  EXPECT_EQ(ConnectionValue(pairs, "Password"), "p");
  EXPECT_EQ(ConnectionValue(pairs, "User ID"), "u");
  EXPECT_EQ(ConnectionValue(pairs, "Missing"), "");
}

TEST(OdbcProvider, ReadsQuotedTableNamesAndKeepsNullApartFromEmpty) {
  OdbcFixture odbc;
  odbc.Execute("CREATE TABLE \"We\"\"ird Name\" (mail TEXT, note TEXT, n INTEGER)");
  odbc.Execute("INSERT INTO \"We\"\"ird Name\" VALUES ('a@x', NULL, 7), ('b@x', '', NULL), ('c@x', 'Grüße', 0)");
  std::string big(10000, 'x');
  odbc.Execute("INSERT INTO \"We\"\"ird Name\" VALUES ('d@x', '" + big + "', 1)");
  Connection c("MSDASQL.1");
  c.SetConnectionString(OdbcString(odbc.Dsn()));
  Table t(c);
  t.TableName = "We\"ird Name";
  t.Open();
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(t.FieldNames(), (std::vector<std::string>{"mail", "note", "n"}));
  ASSERT_EQ(t.RecordCount(), 4u);
  EXPECT_EQ(t.Rows()[0][1], Value());
  EXPECT_EQ(t.Rows()[1][1], Value(""));
  EXPECT_EQ(t.Rows()[1][2], Value());
  EXPECT_EQ(t.Rows()[2][1], Value("Grüße"));
  EXPECT_EQ(t.Rows()[0][2], Value("7"));
  EXPECT_EQ(t.Rows()[3][1], Value(big));
}

// Each failure opens with our own sentence; the driver's message follows it.
TEST(OdbcProvider, FailuresCarryTheDriversMessage) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  struct {
    const char* why;
    std::string cs, table;
    std::string start;  // how the text begins
  } cases[] = {
      {"missing table", OdbcString(odbc.Dsn()), "nosuchtable", "ODBC-Abfrage fehlgeschlagen: ["},
      {"empty table name", OdbcString(odbc.Dsn()), "", "Kein Tabellenname angegeben"},
      {"unknown data source", OdbcString("nosuchdsn"), "users", "ODBC-Verbindung fehlgeschlagen: [IM002] "},
      {"wrong provider", "Provider=Other;Data Source=x", "users", "Provider nicht gefunden: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Connection conn("MSDASQL.1");
    conn.SetConnectionString(c.cs);
    Table t(conn);
    t.TableName = c.table;
    try {
      t.Open();
      ADD_FAILURE() << "opened";
    } catch (const DataError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.start, 0), 0u) << e.what();
    }
    EXPECT_FALSE(t.Active());
  }
}

TEST(OdbcProvider, SchemaListsTablesViewsAndColumnsInOrder) {
  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.CreateUsersTable("u_ers");
  odbc.Execute("CREATE TABLE uxers (zeta TEXT, alpha TEXT)");
  odbc.Execute("CREATE VIEW staff AS SELECT mail FROM users");
  Connection c("MSDASQL.1");
  c.SetConnectionString(OdbcString(odbc.Dsn()));
  std::vector<std::pair<std::string, std::string>> tables;
  for (const auto& t : c.Tables()) tables.emplace_back(t.name, t.type);
  EXPECT_NE(std::find(tables.begin(), tables.end(), std::pair<std::string, std::string>{"users", "TABLE"}),
            tables.end());
  EXPECT_NE(std::find(tables.begin(), tables.end(), std::pair<std::string, std::string>{"staff", "VIEW"}),
            tables.end());
  EXPECT_EQ(c.Columns("uxers"), (std::vector<std::string>{"zeta", "alpha"}));
  // '_' would match "uxers" as a pattern; only the named table counts.
  EXPECT_EQ(c.Columns("u_ers"), (std::vector<std::string>{"mail", "givenName", "sn", "telephoneNumber",
                                                          "otherTelephone", "company"}));
  EXPECT_TRUE(c.Columns("nosuchtable").empty());
}

TEST(OdbcProvider, DataSourcesSystemFirstThenUserWithDuplicates) {
  OdbcFixture odbc;
  odbc.AddSystemDsn("zeta");
  odbc.AddSystemDsn("alpha");
  odbc.AddUserDsn("mine");
  odbc.AddUserDsn("qmtest");
  EXPECT_EQ(OdbcDataSources(), (std::vector<std::string>{"qmtest", "zeta", "alpha", "mine", "qmtest"}));
}

TEST(OdbcProvider, DataSourcesWithoutUserFile) {
  OdbcFixture odbc;
  std::remove((odbc.IniDir() + "user.odbc.ini").c_str());
  EXPECT_EQ(OdbcDataSources(), std::vector<std::string>{"qmtest"});
}

}  // namespace
