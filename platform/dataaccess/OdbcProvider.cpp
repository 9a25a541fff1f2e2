// Provider "MSDASQL.1": ODBC data sources through unixODBC. A table is read
// once, whole, into a client-side result set.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include "platform/dataaccess/DataAccess.h"
#include "platform/dataaccess/Provider.h"

namespace qm::data {

namespace {

// Drivers read their data-source settings through the installer library
// (libodbcinst), which is loaded as the driver's dependency and unloaded with
// it at SQLDisconnect. That library caches every setting it reads in a list
// held by a static pointer; unloading it drops the pointer, not the list, so
// each connection through a DSN would leave its cache behind (about 1.6 KB
// with the SQLite driver). Keeping the library loaded for the life of the
// process keeps one cache, whose entries expire after about 20 seconds (so a
// hand edit of odbc.ini takes effect within that time). Done when the program
// starts, so every ODBC connection in the process benefits.
[[maybe_unused]] const bool kInstallerLibraryKept = ::dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE) != nullptr;

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string out;
  SQLCHAR state[6] = {0}, text[1024] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  for (SQLSMALLINT i = 1; i <= 5; ++i) {
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    if (!out.empty()) out += "; ";
    out.append("[").append(reinterpret_cast<char*>(state)).append("] ").append(reinterpret_cast<char*>(text));
  }
  return out.empty() ? "unbekannter ODBC-Fehler" : out;
}

// SQLSTATE class 08: the connection itself failed (communication link
// failure 08S01, connection does not exist 08003, ...).
bool LinkFailure(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {0}, text[8] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  for (SQLSMALLINT i = 1; i <= 5; ++i) {
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
    if (state[0] == '0' && state[1] == '8') return true;
  }
  return false;
}

class Statement {
 public:
  Statement(SQLHDBC dbc, int timeout) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h)))
      throw DataError("ODBC-Abfrage fehlgeschlagen: " + Diagnostics(SQL_HANDLE_DBC, dbc));
    if (timeout > 0)
      SQLSetStmtAttr(h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout)), 0);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
  void Check(SQLRETURN rc) {
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
    const std::string text = "ODBC-Abfrage fehlgeschlagen: " + Diagnostics(SQL_HANDLE_STMT, h);
    if (LinkFailure(SQL_HANDLE_STMT, h)) throw ConnectionLost(text);
    throw DataError(text);
  }
  // Column n (1-based) of the current row as text; null stays null.
  Value Get(SQLUSMALLINT n) {
    std::string out;
    char buf[4096];
    for (;;) {
      SQLLEN ind = 0;
      SQLRETURN rc = SQLGetData(h, n, SQL_C_CHAR, buf, sizeof buf, &ind);
      if (rc == SQL_NO_DATA) break;
      Check(rc);
      if (ind == SQL_NULL_DATA) return Value();
      if (rc == SQL_SUCCESS_WITH_INFO && (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf))) {
        out.append(buf, sizeof buf - 1);  // truncated piece, terminator excluded
        continue;
      }
      out.append(buf, static_cast<std::size_t>(ind));
      break;
    }
    return Value(std::move(out));
  }
  std::string Text(SQLUSMALLINT n) { return Get(n).AsText(); }
  SQLHSTMT h = SQL_NULL_HSTMT;
};

class OdbcProvider : public Provider {
 public:
  ~OdbcProvider() override { Close(); }

  void Open(const ConnectionPairs& pairs, int connectTimeout, int commandTimeout) override {
    Close();
    commandTimeout_ = commandTimeout;
    const std::string cs = OdbcConnectionString(pairs);

    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    if (connectTimeout > 0) {
      SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(connectTimeout)), 0);
      SQLSetConnectAttr(dbc_, SQL_ATTR_CONNECTION_TIMEOUT,
                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(connectTimeout)), 0);
    }
    SQLSetConnectAttr(dbc_, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      std::string msg = "ODBC-Verbindung fehlgeschlagen: " + Diagnostics(SQL_HANDLE_DBC, dbc_);
      Close();
      throw DataError(msg);
    }
    connected_ = true;
  }

  void Close() override {
    if (connected_) SQLDisconnect(dbc_);
    connected_ = false;
    if (dbc_) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    dbc_ = SQL_NULL_HDBC;
    env_ = SQL_NULL_HENV;
  }
  bool Connected() const override { return connected_; }

  ResultSet Execute(const std::string&) override {
    throw DataError("Abfragen werden über den Provider MSDASQL.1 nicht unterstützt");
  }

  ResultSet ReadTable(const std::string& table) override {
    if (table.empty()) throw DataError("Kein Tabellenname angegeben");
    Statement st(dbc_, commandTimeout_);
    st.Check(SQLExecDirect(st.h, (SQLCHAR*)("SELECT * FROM " + Quoted(table)).c_str(), SQL_NTS));
    return FetchAll(st);
  }

  // Asks the data source for the matching rows instead of reading the table:
  //  1. WHERE col = ?, which an index on the column serves; the rows found
  //     are filtered by our own rule, since a driver's "=" may ignore case
  //     or trailing blanks;
  //  2. when that finds nothing and the address is plain ASCII,
  //     WHERE LOWER(col) = LOWER(?): every value our rule matches is then
  //     ASCII too, and LOWER folds ASCII letters in every SQL dialect;
  //  3. otherwise, or when the driver has no LOWER, the whole table, filtered
  //     by our rule, as before.
  // The column is named as the driver lists it (our rule ignores the case of
  // field names, a quoted identifier may not); a table whose columns the
  // driver does not list, or without that column, is read whole, so a
  // misspelt column fails in Locate as it always has. A failure of the first
  // query is the lookup's failure: a locked or unreachable source is waited
  // for once. The address is always a bound parameter. Rows keep the order
  // the driver gives; rows holding the very same text come in table order
  // from an index as from a scan.
  ResultSet ReadMatching(const std::string& table, const std::string& column, const std::string& value) override {
    if (table.empty()) throw DataError("Kein Tabellenname angegeben");
    if (column.empty() || value.empty()) return Provider::ReadMatching(table, column, value);
    std::string listed;
    for (const auto& c : Columns(table))
      if (c == column || (listed.empty() && SameTextIgnoringCase(c, column))) listed = c;
    if (listed.empty()) return Provider::ReadMatching(table, column, value);
    const std::string from = "SELECT * FROM " + Quoted(table) + " WHERE ";
    const std::string col = Quoted(listed);
    ResultSet exact = Select(from + col + " = ?", listed, value);
    if (!exact.rows.empty()) return exact;
    bool ascii = true;
    for (char c : value) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      try {
        return Select(from + "LOWER(" + col + ") = LOWER(?)", listed, value);
      } catch (const DataError&) {
        // No LOWER in this dialect: the whole table below.
      }
    }
    return Provider::ReadMatching(table, column, value);
  }

  std::vector<TableInfo> Tables() override {
    Statement st(dbc_, commandTimeout_);
    st.Check(SQLTables(st.h, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0));
    std::vector<TableInfo> out;
    while (SQL_SUCCEEDED(SQLFetch(st.h))) out.push_back({st.Text(3), st.Text(4)});
    return out;
  }

  std::vector<std::string> Columns(const std::string& table) override {
    // The table name is a search pattern to the driver ('_' and '%' match
    // other names), so only rows of exactly this table are kept.
    Statement st(dbc_, commandTimeout_);
    st.Check(SQLColumns(st.h, nullptr, 0, nullptr, 0, (SQLCHAR*)table.c_str(), SQL_NTS, nullptr, 0));
    std::vector<std::string> out;
    while (SQL_SUCCEEDED(SQLFetch(st.h))) {
      std::string name = st.Text(3);
      std::string column = st.Text(4);
      if (name == table) out.push_back(column);
    }
    return out;
  }

 private:
  // The name quoted with the driver's identifier quote (a quote inside it
  // doubled); a driver without one gets the name as it is.
  std::string Quoted(const std::string& name) {
    char quote[8] = {0};
    SQLSMALLINT len = 0;
    SQLGetInfo(dbc_, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &len);
    std::string q = quote[0] == ' ' ? "" : std::string(quote);
    std::string quoted = q;
    for (char c : name) {
      quoted += c;
      if (!q.empty() && c == q[0]) quoted += c;
    }
    return quoted + q;
  }

  // Runs `sql` with `value` bound to its one or two markers and keeps the
  // rows whose `column` matches `value` by our rule.
  ResultSet Select(const std::string& sql, const std::string& column, const std::string& value) {
    Statement st(dbc_, commandTimeout_);
    st.Check(SQLPrepare(st.h, (SQLCHAR*)sql.c_str(), SQL_NTS));
    SQLSMALLINT markers = 0;
    st.Check(SQLNumParams(st.h, &markers));
    std::string buffer = value;
    SQLLEN length = static_cast<SQLLEN>(buffer.size());
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(markers); ++i)
      st.Check(SQLBindParameter(st.h, i, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, buffer.size(), 0, buffer.data(),
                                length, &length));
    st.Check(SQLExecute(st.h));
    ResultSet all = FetchAll(st);
    std::size_t col = 0;
    while (col < all.columns.size() && !SameTextIgnoringCase(all.columns[col], column)) ++col;
    if (col == all.columns.size()) throw FieldNotFound("Feld '" + column + "' nicht gefunden");
    ResultSet out;
    out.columns = std::move(all.columns);
    for (auto& row : all.rows)
      if (MatchesIgnoringCase(row[col], value)) out.rows.push_back(std::move(row));
    return out;
  }

  // The column names and every row of an executed statement.
  static ResultSet FetchAll(Statement& st) {
    SQLSMALLINT cols = 0;
    st.Check(SQLNumResultCols(st.h, &cols));
    ResultSet result;
    for (SQLUSMALLINT i = 1; i <= cols; ++i) {
      SQLCHAR name[512] = {0};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      st.Check(SQLDescribeCol(st.h, i, name, sizeof name, &nameLen, &type, &size, &digits, &nullable));
      result.columns.emplace_back(reinterpret_cast<char*>(name));
    }
    for (;;) {
      SQLRETURN rc = SQLFetch(st.h);
      if (rc == SQL_NO_DATA) break;
      st.Check(rc);
      std::vector<Value> row;
      row.reserve(static_cast<std::size_t>(cols));
      for (SQLUSMALLINT i = 1; i <= cols; ++i) row.push_back(st.Get(i));
      result.rows.push_back(std::move(row));
    }
    return result;
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
  int commandTimeout_ = 30;
};

}  // namespace

std::unique_ptr<Provider> MakeOdbcProvider() { return std::make_unique<OdbcProvider>(); }

std::vector<std::string> OdbcDataSources() {
  std::vector<std::string> names;
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return names;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  for (SQLUSMALLINT first : {SQLUSMALLINT(SQL_FETCH_FIRST_SYSTEM), SQLUSMALLINT(SQL_FETCH_FIRST_USER)}) {
    SQLUSMALLINT direction = first;
    SQLCHAR name[SQL_MAX_DSN_LENGTH + 1] = {0}, desc[512] = {0};
    SQLSMALLINT nameLen = 0, descLen = 0;
    while (SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof name, &nameLen, desc, sizeof desc, &descLen))) {
      names.emplace_back(reinterpret_cast<char*>(name));
      direction = SQL_FETCH_NEXT;
    }
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return names;
}

}  // namespace qm::data
