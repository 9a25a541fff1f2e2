// Connection strings: any text split into its key/value pairs without
// trouble, and any settings built into both connection strings come back
// whole, also in the string the ODBC driver manager receives, so a password
// holding ';', '=', quotes or braces can neither be cut nor add a key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "directory/UDBUtil.h"
#include "platform/dataaccess/ConnectionString.h"

namespace {

using qm::data::ConnectionPairs;
using qm::data::ConnectionValue;

// Splits at NUL bytes into exactly n pieces (missing ones empty, the rest of
// the text in the last).
std::vector<std::string> Pieces(const std::string& text, std::size_t n) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (out.size() + 1 < n) {
    std::size_t nul = text.find('\0', i);
    if (nul == std::string::npos) break;
    out.push_back(text.substr(i, nul - i));
    i = nul + 1;
  }
  out.push_back(text.substr(i));
  out.resize(n);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NullUserInterface ui;
  static TFDBUtil db{[] { return DirectoryLookupSettings{}; }, ui};
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Any text reads without trouble.
  const auto pairs = qm::data::ParseConnectionString(text);
  for (const auto& [key, value] : pairs) {
    FUZZ_CHECK(!key.empty(), "no empty key");
    FUZZ_CHECK(key.size() + value.size() <= text.size(), "pairs come from the text");
  }
  (void)qm::data::ParseOdbcConnectionString(text);
  (void)qm::data::OdbcConnectionString({{"Extended Properties", text}, {"Password", text}});

  // The generic builder: any values come back, in order, under their keys.
  const auto v = Pieces(text, 5);
  const ConnectionPairs built{{"Provider", "MSDASQL.1"}, {"Password", v[0]}, {"User ID", v[1]}};
  FUZZ_CHECK(qm::data::ParseConnectionString(qm::data::BuildConnectionString(built)) == built,
             "built pairs come back whole");
  const ConnectionPairs odbcBuilt{{"DSN", v[0]}, {"UID", v[1]}, {"PWD", v[2]}};
  FUZZ_CHECK(qm::data::ParseOdbcConnectionString(qm::data::OdbcAttribute("DSN", v[0]) + ";" +
                                                 qm::data::OdbcAttribute("UID", v[1]) + ";" +
                                                 qm::data::OdbcAttribute("PWD", v[2])) == odbcBuilt,
             "built ODBC attributes come back whole");

  // The engine's settings: ODBC source, user and password, directory user
  // and password.
  db.ConfigureConnection(v[0], "t", v[1], v[2], v[3], v[4]);
  const auto odbc = qm::data::ParseConnectionString(db.ADOConnection_ODBC.ConnectionString());
  FUZZ_CHECK(odbc.size() == 5, "the ODBC string holds its five pairs");
  FUZZ_CHECK(ConnectionValue(odbc, "Provider") == "MSDASQL.1", "provider");
  FUZZ_CHECK(ConnectionValue(odbc, "Data Source") == v[0], "data source");
  FUZZ_CHECK(ConnectionValue(odbc, "User ID") == v[1], "database user");
  FUZZ_CHECK(ConnectionValue(odbc, "Password") == v[2], "database password");
  const auto driver = qm::data::ParseOdbcConnectionString(qm::data::OdbcConnectionString(odbc));
  ConnectionPairs wanted{{"DSN", v[0]}};
  if (!v[1].empty()) wanted.emplace_back("UID", v[1]);
  if (!v[2].empty()) wanted.emplace_back("PWD", v[2]);
  FUZZ_CHECK(driver == wanted, "the driver manager reads DSN, UID and PWD whole");

  const auto ad = qm::data::ParseConnectionString(db.ADOConnection_AD.ConnectionString());
  if (!v[3].empty()) {
    FUZZ_CHECK(ad.size() == 7, "the directory string holds its seven pairs");
    FUZZ_CHECK(ConnectionValue(ad, "User ID") == v[3], "directory user");
    FUZZ_CHECK(ConnectionValue(ad, "Password") == v[4], "directory password");
  } else {
    FUZZ_CHECK(ConnectionValue(ad, "Integrated Security") == "SSPI", "no user: integrated security");
  }
  return 0;
}
