#pragma once
// The providers behind Connection (internal to the data-access layer).

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dataaccess/DataAccess.h"

namespace qm::data {

class Provider {
 public:
  virtual ~Provider() = default;
  virtual void Open(const ConnectionPairs& pairs, int connectTimeout, int commandTimeout) = 0;
  virtual void Close() = 0;
  virtual bool Connected() const = 0;
  virtual ResultSet Execute(const std::string& queryText) = 0;
  virtual ResultSet ReadTable(const std::string& table) = 0;
  /// The rows of `table` whose `column` matches `value` as DataSet::Locate
  /// compares (MatchesIgnoringCase), in the order ReadTable gives them. This
  /// default reads the whole table and keeps the matching rows (all of them
  /// when the table has no such column); a provider that can ask its source
  /// for the rows overrides it, and may then keep only the rows spelt
  /// exactly as `value` when there are any.
  virtual ResultSet ReadMatching(const std::string& table, const std::string& column, const std::string& value);
  virtual std::vector<TableInfo> Tables() = 0;
  virtual std::vector<std::string> Columns(const std::string& table) = 0;
};

std::unique_ptr<Provider> MakeLdapProvider();
std::unique_ptr<Provider> MakeOdbcProvider();

}  // namespace qm::data
