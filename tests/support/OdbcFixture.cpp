#include <sql.h>
#include <sqlext.h>
#include <odbcinst.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "DirectoryFixtures.h"

namespace {

// The SQLite ODBC driver of this machine: /usr/lib/<multiarch triplet>/odbc
// on Debian, /usr/lib/odbc elsewhere. Without one the bare file name is
// written, and the driver manager's error names the library it could not
// open.
const std::string& SqliteDriver() {
  static const std::string path = [] {
    namespace fs = std::filesystem;
    const char* name = "libsqlite3odbc.so";
    std::error_code ec;
    if (fs::exists(fs::path("/usr/lib/odbc") / name, ec)) return (fs::path("/usr/lib/odbc") / name).string();
    for (const auto& entry : fs::directory_iterator("/usr/lib", ec)) {
      fs::path candidate = entry.path() / "odbc" / name;
      if (fs::exists(candidate, ec)) return candidate.string();
    }
    return std::string(name);
  }();
  return path;
}

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string out;
  SQLCHAR state[6], text[1024];
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  for (SQLSMALLINT i = 1; SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len) == SQL_SUCCESS; ++i) {
    if (!out.empty()) out += "; ";
    out += reinterpret_cast<char*>(text);
  }
  return out.empty() ? "ODBC error" : out;
}

// A short-lived ODBC connection used by the fixture to build its database.
class Session {
 public:
  explicit Session(const std::string& dsn) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string cs = "DSN=" + dsn;
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      std::string msg = Diagnostics(SQL_HANDLE_DBC, dbc_);
      Free();
      throw std::runtime_error("OdbcFixture: cannot connect to " + dsn + ": " + msg);
    }
    connected_ = true;
  }
  ~Session() { Free(); }

  void Exec(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLRETURN rc = SQLExecDirect(stmt, (SQLCHAR*)sql.c_str(), SQL_NTS);
    std::string msg = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA ? "" : Diagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (!msg.empty()) throw std::runtime_error("OdbcFixture: " + sql.substr(0, 80) + ": " + msg);
  }
  void SetAutoCommit(bool on) {
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                      0);
  }
  void Commit() { SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT); }

 private:
  void Free() {
    if (connected_) SQLDisconnect(dbc_);
    connected_ = false;
    if (dbc_) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    dbc_ = env_ = nullptr;
  }
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  bool connected_ = false;
};

std::string SqlText(const std::optional<std::string>& v) {
  if (!v) return "NULL";
  std::string out = "'";
  for (char c : *v) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// unixODBC remembers the system configuration directory the first time a
// process asks for it, so every fixture of a process uses one directory for
// its ini files (removed at exit) and rewrites the files in it.
const std::string& IniDir() {
  static const std::string dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qmodbcini-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("OdbcFixture: mkdtemp failed");
    static std::string removeAtExit = tmpl;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return tmpl + "/";
  }();
  return dir;
}

// The ini directory is put in place before main() runs: any earlier ODBC call
// in the process (an engine listing data sources, say) would fix the system
// directory for good.
void WriteEmptyIniFiles() {
  for (const char* name : {"odbcinst.ini", "odbc.ini", "user.odbc.ini"}) std::ofstream(IniDir() + name, std::ios::trunc);
}
const bool kIniDirInPlace = [] {
  WriteEmptyIniFiles();
  setenv("ODBCSYSINI", IniDir().c_str(), 1);
  setenv("ODBCINI", (IniDir() + "user.odbc.ini").c_str(), 1);
  return true;
}();

}  // namespace

TestUser MakeTestUser(int i) {
  char mail[64];
  std::snprintf(mail, sizeof mail, "user%05d@example.test", i);
  std::string n = std::to_string(i);
  return TestUser{mail, "Given" + n, "Surname" + n, "+49 30 " + n, {"+49 40 " + n, "+49 41 " + n},
                  "Testfirma GmbH"};
}

OdbcFixture::OdbcFixture() {
  (void)kIniDirInPlace;
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmodbc-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("OdbcFixture: mkdtemp failed");
  dir_ = tmpl + "/";
  systemDsns_.push_back(dsn_);
  WriteIniFiles();
  setenv("ODBCSYSINI", IniDir().c_str(), 1);
  setenv("ODBCINI", (IniDir() + "user.odbc.ini").c_str(), 1);
}

OdbcFixture::~OdbcFixture() {
  systemDsns_.clear();
  userDsns_.clear();
  WriteIniFiles();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void OdbcFixture::WriteIniFiles() {
  {
    std::ofstream inst(IniDir() + "odbcinst.ini", std::ios::trunc);
    inst << "[QmSQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=" << SqliteDriver() << "\nSetup=" << SqliteDriver()
         << "\n";
  }
  auto writeDsns = [this](const std::string& path, const std::vector<std::string>& names) {
    std::ofstream ini(path, std::ios::trunc);
    for (const auto& n : names)
      ini << "[" << n << "]\nDriver=QmSQLite3\nDatabase=" << DatabasePath() << "\nTimeout=10000\n\n";
  };
  writeDsns(IniDir() + "odbc.ini", systemDsns_);
  writeDsns(IniDir() + "user.odbc.ini", userDsns_);
  // The installer library stays loaded in the process (see OdbcProvider.cpp)
  // and caches the settings it has read for about 20 seconds, so a DSN
  // rewritten by the next fixture would still point at the old database.
  // Any write through the installer API empties that cache; this one goes to
  // a file nobody reads.
  SQLWritePrivateProfileString("cache", "flushed", "1", (IniDir() + "cache-flush.ini").c_str());
}

void OdbcFixture::AddSystemDsn(const std::string& name) {
  systemDsns_.push_back(name);
  WriteIniFiles();
}

void OdbcFixture::AddUserDsn(const std::string& name) {
  userDsns_.push_back(name);
  WriteIniFiles();
}

void OdbcFixture::Execute(const std::string& sql) { Session(dsn_).Exec(sql); }

void OdbcFixture::CreateUsersTable(const std::string& table) {
  Execute("CREATE TABLE \"" + table +
          "\" (mail TEXT, givenName TEXT, sn TEXT, telephoneNumber TEXT, otherTelephone TEXT, company TEXT)");
}

void OdbcFixture::InsertUsers(const std::vector<TestUser>& users, const std::string& table) {
  Session s(dsn_);
  s.SetAutoCommit(false);
  for (const auto& u : users) {
    std::optional<std::string> other;
    for (const auto& t : u.otherTelephone) other = other ? *other + " / " + t : t;
    s.Exec("INSERT INTO \"" + table + "\" VALUES (" + SqlText(u.mail) + "," + SqlText(u.givenName) + "," +
           SqlText(u.sn) + "," + SqlText(u.telephoneNumber) + "," + SqlText(other) + "," + SqlText(u.company) + ")");
  }
  s.Commit();
}

void OdbcFixture::AddUsers(int n, const std::string& table, int first) {
  std::vector<TestUser> users;
  for (int i = first; i < first + n; ++i) users.push_back(MakeTestUser(i));
  InsertUsers(users, table);
}

void OdbcFixture::AddUser(const TestUser& user, const std::string& table) { InsertUsers({user}, table); }

std::string OdbcFixture::IniDir() const { return ::IniDir(); }
