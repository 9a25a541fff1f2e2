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

// A lookup by key asks the data source for the rows; a Locate on them must
// find the row a Locate on the whole table finds. The table and the key
// column both need quoting.
TEST(OdbcProvider, LookupByKeyFindsTheRowOfTheWholeTable) {
  OdbcFixture odbc;
  odbc.Execute("CREATE TABLE \"Per\"\"sonal\" (id INTEGER, \"e\"\"mail addr\" TEXT, note TEXT)");
  odbc.Execute("CREATE INDEX by_mail ON \"Per\"\"sonal\" (\"e\"\"mail addr\")");
  odbc.Execute(
      "INSERT INTO \"Per\"\"sonal\" VALUES (1, 'bernd@example.test', 'a'), (2, 'BERND@example.test', 'b'),"
      " (3, 'carla@example.test', 'c'), (4, 'carla@example.test', 'd'), (5, NULL, 'e'), (6, '', 'f'),"
      " (7, 'Jörg@example.test', 'g'), (8, 'ärger@example.test', 'h'), (9, 'Łukasz@example.test', 'i'),"
      " (10, 'trail@example.test ', 'j'), (11, 'o''brien@example.test', 'k'), (12, 'Eve@Example.Test', 'l'),"
      " (13, 'eve@example.test', 'm')");
  Connection c("MSDASQL.1");
  c.SetConnectionString(OdbcString(odbc.Dsn()));
  const std::string column = "e\"mail addr";
  // The id of the row Locate makes current, 0 for none.
  auto found = [&](Table& t, const std::string& address) -> int {
    if (!t.Locate(column, address)) return 0;
    return std::stoi(t.FieldByName("id").AsText());
  };
  Table whole(c);
  whole.TableName = "Per\"sonal";
  whole.Open();
  struct {
    std::string address;
    int row;           // what the whole table gives
    int keyed;         // what the rows asked for give
    std::size_t rows;  // how many rows were asked for and kept
  } cases[] = {
      {"carla@example.test", 3, 3, 2},  // duplicates: the first in table order
      {"CARLA@EXAMPLE.TEST", 3, 3, 2},  // no exact spelling: case ignored, table order
      {"bernd@example.test", 1, 1, 1},  // exact spelling, the first anyway
      {"Bernd@Example.Test", 1, 1, 2},  // no exact spelling: the first of both
      {"eve@example.test", 12, 13, 1},  // the exact spelling wins over an earlier variant
      {"jörg@example.test", 7, 7, 1},   // Latin-1 capitals fold
      {"JÖRG@EXAMPLE.TEST", 7, 7, 1},     {"ÄRGER@example.test", 8, 8, 1},
      {"łukasz@example.test", 0, 0, 0},                                         // other capitals do not
      {"Łukasz@example.test", 9, 9, 1},   {"trail@example.test", 0, 0, 0},      // trailing blanks count
      {"trail@example.test ", 10, 10, 1}, {"O'BRIEN@example.test", 11, 11, 1},  // a quote is part of the bound value
      {"x' OR '1'='1", 0, 0, 0},          {"", 6, 6, 1},                        // the empty text, never null
      {"nobody@example.test", 0, 0, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.address);
    EXPECT_EQ(found(whole, k.address), k.row);
    Table keyed(c);
    keyed.TableName = "Per\"sonal";
    keyed.KeyField = column;
    keyed.KeyValue = k.address;
    keyed.Open();
    EXPECT_EQ(keyed.FieldNames(), whole.FieldNames());
    EXPECT_EQ(keyed.RecordCount(), k.rows);
    EXPECT_EQ(found(keyed, k.address), k.keyed);
    EXPECT_TRUE(keyed.Holds(column, k.address));
    EXPECT_FALSE(keyed.Holds(column, k.address + "x"));
  }
  // The key column named in other letter case, as field names may be.
  Table upper(c);
  upper.TableName = "Per\"sonal";
  upper.KeyField = "E\"MAIL ADDR";
  upper.KeyValue = "eve@example.test";
  upper.Open();
  EXPECT_EQ(upper.RecordCount(), 1u);
  ASSERT_TRUE(upper.Locate("E\"MAIL ADDR", "eve@example.test"));
  EXPECT_EQ(upper.FieldByName("id").AsText(), "13");
  // An unknown key column reads the whole table, whose Locate fails as it
  // always has.
  Table unknown(c);
  unknown.TableName = "Per\"sonal";
  unknown.KeyField = "nosuchcolumn";
  unknown.KeyValue = "carla@example.test";
  unknown.Open();
  EXPECT_EQ(unknown.RecordCount(), 13u);
  EXPECT_THROW(unknown.Locate("nosuchcolumn", "carla@example.test"), FieldNotFound);
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
