#pragma once
// Our small data-access layer in the terms its callers use: connections set
// up by connection strings, a query in the Active Directory LDAP dialect, a
// table data set, client-side result sets with locate and field access, and
// schema lists. Two providers stand behind it:
//
//   "ADsDSOObject"  an LDAP directory (OpenLDAP client library): simple bind
//                   with "User ID"/"Password", or SASL GSSAPI with the
//                   process's Kerberos credentials for
//                   "Integrated Security=SSPI". Queries only.
//   "MSDASQL.1"     unixODBC: "Data Source", "User ID", "Password" and
//                   "Extended Properties" become the ODBC connection string.
//                   Tables and schema lists only.
//
// Every failure arrives as a DataError carrying a message text. None of the
// classes is safe for concurrent use; callers serialise (TFDBUtil does so
// with DirectoryLock).

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/dataaccess/ConnectionString.h"

namespace qm::data {

/// Any failure of the data layer or of a provider.
class DataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The link to the server broke on a connection that was open (ODBC
/// SQLSTATE class 08, an LDAP session the server dropped). Trying again on a
/// new connection may succeed.
class ConnectionLost : public DataError {
 public:
  using DataError::DataError;
};

/// A secured directory connection that could not be made: the server's
/// certificate was refused, the TLS handshake failed or the server does not
/// offer StartTLS. No credentials were sent. The fields name the server and
/// the reason, for the caller's own log text.
class TlsError : public DataError {
 public:
  enum class Kind {
    Certificate,  // the certificate check failed: verifyResult holds OpenSSL's X509_V_ERR_* code
    Handshake,    // the handshake failed for another reason (detail)
    NoStartTls,   // the server refused the StartTLS request (detail)
  };
  TlsError(const std::string& what, std::string host, int port, Kind kind, long verifyResult, std::string detail)
      : DataError(what), host(std::move(host)), port(port), kind(kind), verifyResult(verifyResult),
        detail(std::move(detail)) {}
  std::string host;
  int port;
  Kind kind;
  long verifyResult;
  std::string detail;
};

/// The server refused a simple bind on a connection without TLS (LDAP
/// results strongAuthRequired and confidentialityRequired): it wants an
/// encrypted connection.
class EncryptionRequired : public DataError {
 public:
  EncryptionRequired(const std::string& what, std::string host, int port)
      : DataError(what), host(std::move(host)), port(port) {}
  std::string host;
  int port;
};

/// The bits of an ADsDSOObject connection's "ADSI Flag" (its authentication
/// flags, a signed 32-bit number in the text) that choose transport security.
/// The reserved top bit is what every connection has always carried.
inline constexpr unsigned kAdsAuthReserved = 0x80000000u;
/// LDAPS: TLS from the first byte, port 636 unless the path names one.
inline constexpr unsigned kAdsUseSsl = 0x2u;
/// A protected connection on the plain port: StartTLS before a simple bind;
/// a Kerberos bind asks for a SASL integrity layer instead.
inline constexpr unsigned kAdsUseSealing = 0x80u;

/// A field name that is not a column of the data set.
class FieldNotFound : public DataError {
 public:
  using DataError::DataError;
};

/// One field value: null, a text, or (for an attribute holding several
/// values) an array of values.
class Value {
 public:
  Value() = default;  // null
  Value(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
  static Value Array(std::vector<Value> elements);

  bool IsNull() const { return kind_ == Kind::Null; }
  bool IsArray() const { return kind_ == Kind::Array; }
  /// The elements of an array (empty for any other value).
  const std::vector<Value>& Elements() const { return elements_; }
  /// The value as text: null gives "", an array its elements' texts joined
  /// by "; " (for display; callers that care join the elements themselves).
  std::string AsText() const;

  bool operator==(const Value&) const = default;

 private:
  enum class Kind { Null, Text, Array };
  Kind kind_ = Kind::Null;
  std::string text_;
  std::vector<Value> elements_;
};

/// Rows and named columns, as a provider delivers them.
struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

/// One row of the tables list.
struct TableInfo {
  std::string name;  // TABLE_NAME
  std::string type;  // TABLE_TYPE: "TABLE", "VIEW", "SYSTEM TABLE", ...
};

class Provider;

/// A connection configured by a connection string of "key=value" pairs
/// separated by ";" (keys ignore letter case; quoting as in
/// ConnectionString.h). Its "Provider" key, when present, selects the
/// provider; otherwise the one given at construction serves.
class Connection {
 public:
  explicit Connection(std::string provider);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Replaces the connection string; closes the connection first.
  void SetConnectionString(const std::string& text);
  const std::string& ConnectionString() const { return connectionString_; }

  /// Time-outs in seconds (0: none). Defaults: 15 s to connect, 30 s a command.
  void SetConnectTimeout(int seconds) { connectTimeout_ = seconds; }
  void SetCommandTimeout(int seconds) { commandTimeout_ = seconds; }
  int ConnectTimeout() const { return connectTimeout_; }
  int CommandTimeout() const { return commandTimeout_; }

  /// Connects read-only and without any prompt; throws DataError. The
  /// directory provider only checks the credentials' form here: it binds when
  /// a query runs, because the server is named in the query.
  void Open();
  /// Closes; closing what is closed does nothing.
  void Close();
  bool Connected() const;

  /// The tables list (all types; connects when needed). Throws DataError.
  std::vector<TableInfo> Tables();
  /// The column names of one table in the provider's order (connects when
  /// needed). Throws DataError.
  std::vector<std::string> Columns(const std::string& table);

  /// Runs a query / reads a whole table (connects when needed); throws DataError.
  ResultSet Execute(const std::string& queryText);
  ResultSet ReadTable(const std::string& table);
  /// The rows of a table whose `column` matches `value` (whole value, letter
  /// case ignored, as DataSet::Locate compares), in table order (connects
  /// when needed); every row when the table has no such column. A provider
  /// that asks its source may give only the rows spelt exactly as `value`
  /// when there are any (the ODBC provider does). Throws DataError.
  ResultSet ReadMatching(const std::string& table, const std::string& column, const std::string& value);

 private:
  Provider& Backend();

  std::string defaultProvider_;
  std::string connectionString_;
  int connectTimeout_ = 15;
  int commandTimeout_ = 30;
  std::unique_ptr<Provider> provider_;
};

/// A read-only, client-side data set with a current row.
class DataSet {
 public:
  explicit DataSet(Connection& connection) : connection_(connection) {}
  virtual ~DataSet() = default;
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;

  /// Reads all rows (connecting when needed) and moves to the first row;
  /// throws DataError and stays closed on failure.
  virtual void Open() = 0;
  /// Drops the rows; closing what is closed does nothing.
  void Close();
  bool Active() const { return active_; }
  Connection& GetConnection() { return connection_; }

  /// Column names in result order.
  const std::vector<std::string>& FieldNames() const { return result_.columns; }
  /// All rows in result order (for grids).
  const std::vector<std::vector<Value>>& Rows() const { return result_.rows; }

  /// Row count, walking in result order; on a closed data set these throw
  /// DataError.
  std::size_t RecordCount() const;
  void First();
  void Next();
  bool Eof() const;

  /// Makes the first row whose keyField equals value current and returns
  /// true; compares the whole value ignoring letter case (an array matches
  /// when one of its elements does). False, with the current row unchanged,
  /// when none does. Throws FieldNotFound for an unknown keyField.
  bool Locate(const std::string& keyField, const std::string& value);

  /// The named field (letter case ignored) of the current row. Throws
  /// FieldNotFound for an unknown name, DataError when closed or at the end.
  const Value& FieldByName(const std::string& name) const;

 protected:
  void Assign(ResultSet result);

 private:
  std::size_t ColumnIndex(const std::string& name) const;
  void RequireActive() const;

  Connection& connection_;
  ResultSet result_;
  bool active_ = false;
  std::size_t current_ = 0;
};

/// A query in the provider's dialect (for the directory: SELECT list, FROM
/// 'LDAP://...', WHERE attr='literal' joined by AND, ORDER BY attr).
class Query : public DataSet {
 public:
  using DataSet::DataSet;
  std::string SQL;
  void Open() override;
};

/// All rows of one table, or, with a key set, only the rows whose key
/// column matches the key value as Locate compares (so a Locate for that
/// value finds the row it finds on the whole table, except that a row spelt
/// exactly as asked wins over an earlier one differing in letter case; see
/// Connection::ReadMatching).
class Table : public DataSet {
 public:
  using DataSet::DataSet;
  std::string TableName;
  /// The key column; empty reads the whole table.
  std::string KeyField;
  std::string KeyValue;
  void Open() override;
  /// True when the open rows hold every row a Locate of `value` in
  /// `keyField` could find: the whole table, or the rows of that very key.
  bool Holds(const std::string& keyField, const std::string& value) const;

 private:
  std::string openKeyField_, openKeyValue_;
};

/// The registered ODBC data-source names: system names first, then the
/// current user's, each in the driver manager's order, duplicates kept.
/// Never throws; what cannot be read adds nothing.
std::vector<std::string> OdbcDataSources();

/// Compares two texts ignoring letter case (ASCII and the Latin-1 letters
/// À-Þ / à-þ); the whole value must match.
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

/// The rule of Locate for one field value: never null, the whole text equal
/// ignoring letter case as SameTextIgnoringCase; an array matches when one
/// of its elements does.
bool MatchesIgnoringCase(const Value& v, const std::string& value);

}  // namespace qm::data
