// Connection strings: values built in come back whole from the reader, plain
// values are written as they are, and the ODBC string reads like the driver
// manager reads it.
#include "platform/dataaccess/ConnectionString.h"

#include <gtest/gtest.h>

using namespace qm::data;

namespace {

TEST(ConnectionString, EveryValueComesBackWhole) {
  struct {
    std::string value;
    std::string pair;  // ConnectionPair("Password", value)
    std::string odbc;  // OdbcAttribute("PWD", value)
  } cases[] = {
      {"", "Password=", "PWD="},
      {"geheim", "Password=geheim", "PWD=geheim"},
      {"a=b==", "Password=a=b==", "PWD=a=b=="},
      {"inner blank", "Password=inner blank", "PWD=inner blank"},
      {"Grüße,\\x@y!", "Password=Grüße,\\x@y!", "PWD=Grüße,\\x@y!"},
      {"Quill;Pw=2024", "Password=\"Quill;Pw=2024\"", "PWD={Quill;Pw=2024}"},
      {";", "Password=\";\"", "PWD={;}"},
      {"p\"2", "Password=\"p\"\"2\"", "PWD=p\"2"},
      {"\"", "Password=\"\"\"\"", "PWD=\""},
      {"\"\"x\"", "Password=\"\"\"\"\"x\"\"\"", "PWD=\"\"x\""},
      {"it's", "Password=\"it's\"", "PWD=it's"},
      {"'", "Password=\"'\"", "PWD='"},
      {"'a'", "Password=\"'a'\"", "PWD='a'"},
      {"{x}", "Password={x}", "PWD={{x}}}"},
      {"}", "Password=}", "PWD={}}}"},
      {"{", "Password={", "PWD={{}"},
      {"a}};b", "Password=\"a}};b\"", "PWD={a}}}};b}"},
      {" lead", "Password=\" lead\"", "PWD={ lead}"},
      {"trail ", "Password=\"trail \"", "PWD={trail }"},
      {"\tboth\t", "Password=\"\tboth\t\"", "PWD={\tboth\t}"},
      {" ", "Password=\" \"", "PWD={ }"},
      {" \"Pw\"=1; it's {x} ", "Password=\" \"\"Pw\"\"=1; it's {x} \"", "PWD={ \"Pw\"=1; it's {x}} }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("value [" + c.value + "]");
    EXPECT_EQ(ConnectionPair("Password", c.value), c.pair);
    const ConnectionPairs pairs{{"Provider", "ADsDSOObject"}, {"Password", c.value}, {"User ID", c.value}};
    EXPECT_EQ(ParseConnectionString(BuildConnectionString(pairs)), pairs);
    // Inside another value, as "Extended Properties" holds the ODBC string.
    EXPECT_EQ(ParseConnectionString("X=" + QuotedConnectionValue(c.value) + ";Y=1"),
              (ConnectionPairs{{"X", c.value}, {"Y", "1"}}));

    EXPECT_EQ(OdbcAttribute("PWD", c.value), c.odbc);
    EXPECT_EQ(ParseOdbcConnectionString("DSN=d;" + c.odbc + ";UID=u"),
              (ConnectionPairs{{"DSN", "d"}, {"PWD", c.value}, {"UID", "u"}}));
  }
}

TEST(ConnectionString, ReadsQuotedFormsWrittenByHand) {
  struct {
    std::string text;
    ConnectionPairs want;
  } cases[] = {
      {"Password='it''s';User ID=u", {{"Password", "it's"}, {"User ID", "u"}}},
      {"Password='a\"b';User ID=u", {{"Password", "a\"b"}, {"User ID", "u"}}},
      {"Password=\"a'b\"\"c\"", {{"Password", "a'b\"c"}}},
      {"Password=\"a\" junk;User ID=u", {{"Password", "a"}, {"User ID", "u"}}},
      {"Password=\"open;User ID=u", {{"Password", "open;User ID=u"}}},
      {"Password=\"\";User ID=u", {{"Password", ""}, {"User ID", "u"}}},
      {" Password =  x ;=y;junk;User ID=u;", {{"Password", "x "}, {"User ID", "u"}}},
      {"Password=p;w;User ID=u", {{"Password", "p"}, {"User ID", "u"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseConnectionString(c.text), c.want);
  }
}

TEST(ConnectionString, ReadsOdbcStringsLikeTheDriverManager) {
  struct {
    std::string text;
    ConnectionPairs want;
  } cases[] = {
      {" ;;DSN=a;; UID={b}}c};PWD={x", {{"DSN", "a"}, {"UID", "b}c"}, {"PWD", "x"}}},
      {"DSN={a;b}trailing;UID=u", {{"DSN", "a;b"}, {"trailing;UID", "u"}}},
      {"DSN =a;PWD", {{"DSN ", "a"}}},
      {"ATTR;DSN=x;DSN=y", {{"ATTR;DSN", "x"}, {"DSN", "y"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseOdbcConnectionString(c.text), c.want);
  }
}

TEST(ConnectionString, OdbcStringForTheDriverManager) {
  struct {
    const char* why;
    ConnectionPairs pairs;
    std::string want;
  } cases[] = {
      {"the data source named by the extended properties",
       {{"Data Source", "a;b"}, {"Password", "Quill;Pw=2024"}, {"User ID", "u"}, {"Extended Properties", "DSN={a;b}"}},
       "DSN={a;b};UID=u;PWD={Quill;Pw=2024}"},
      {"no extended properties, empty values left out", {{"Data Source", "my dsn"}, {"Password", ""}}, "DSN=my dsn"},
      {"a driver named: no DSN",
       {{"Data Source", "d"}, {"Extended Properties", "Driver=SQLite3;Database=/x;"}},
       "Driver=SQLite3;Database=/x;"},
      {"'dsn=' inside a braced value names nothing",
       {{"Data Source", "d"}, {"User ID", " u"}, {"Extended Properties", "Database={x;dsn=y}"}},
       "Database={x;dsn=y};DSN=d;UID={ u}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(OdbcConnectionString(c.pairs), c.want);
  }
}

}  // namespace
