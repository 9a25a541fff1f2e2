#pragma once
// Real user-data servers for tests: an SQLite database reached through
// unixODBC, and a private OpenLDAP slapd with a small schema that carries the
// Active Directory names the directory queries use.
//
// ODBC (SQLite driver, no system-wide DSN needed):
//
//   OdbcFixture odbc;                 // writes odbcinst.ini + odbc.ini with a
//                                     // SQLite DSN in the process's ini dir
//   odbc.CreateUsersTable();          // table "users" with AD-like columns
//   odbc.AddUsers(100);               // user00001@example.test ... (MakeTestUser)
//   odbc.AddUser(TestUser{...});      // one row; std::nullopt columns are NULL
//   odbc.Execute("CREATE VIEW v AS SELECT mail FROM users");
//   odbc.Dsn();                       // "qmtest" (a system DSN)
//   odbc.AddUserDsn("mine");          // extra DSN in the user odbc.ini
//
// unixODBC fixes its system directory at the first ODBC call of a process, so
// a test program that links this fixture points ODBCSYSINI/ODBCINI at one
// private directory (initially empty files) before main() and keeps it; the
// machine's own DSNs are never seen there. Only one OdbcFixture may exist at
// a time: the ini files are per process.
//
// LDAP (slapd as our own process on 127.0.0.1, port chosen at run time):
//
//   SlapdFixture ldap;                // nothing runs yet
//   SlapdFixture ldap{"Quill;Pw=2024"};  // the reader's password given
//   ldap.AddUsers(10000);             // before Start: bulk-loaded with slapadd
//   ldap.Start();                     // throws when slapd does not come up
//   ldap.AddUser(MakeTestUser(7));    // after Start: added over LDAP
//   ldap.AdsPath();                   // "127.0.0.1:<port>/dc=example,dc=test"
//   ldap.BindDn(), ldap.BindPassword()  // a reader account (simple bind)
//   ~SlapdFixture / ldap.Stop()       // always stops the server
//   ldap.Pause() / ldap.Resume()      // SIGSTOP / SIGCONT: a hung server
//   ldap.Restart()                    // stopped server up again, same port
//
// Schema: core, cosine, inetOrgPerson plus objectCategory (single text,
// value "person"), objectClass "user" (below inetOrgPerson), multi-valued
// otherTelephone, company. Users live below ou=users; the reader account
// cn=reader may read everything, anonymous clients may only bind.
// Sizelimit 1000 like Active Directory: larger results need paging.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ldap;  // LDAP, from <ldap.h>

/// One user as both fixtures store it. A value of std::nullopt is left out
/// (LDAP) or stored as NULL (ODBC). otherTelephone is multi-valued in LDAP
/// and stored as its elements joined by " / " in ODBC (NULL when empty).
struct TestUser {
  std::string mail;
  std::optional<std::string> givenName;
  std::optional<std::string> sn;
  std::optional<std::string> telephoneNumber;
  std::vector<std::string> otherTelephone;
  std::optional<std::string> company;
};

/// The i-th generated user: mail "user00042@example.test", givenName
/// "Given42", sn "Surname42", telephoneNumber "+49 30 42", otherTelephone
/// {"+49 40 42", "+49 41 42"}, company "Testfirma GmbH".
TestUser MakeTestUser(int i);

class OdbcFixture {
 public:
  OdbcFixture();
  ~OdbcFixture();
  OdbcFixture(const OdbcFixture&) = delete;
  OdbcFixture& operator=(const OdbcFixture&) = delete;

  /// The system DSN of the SQLite database.
  const std::string& Dsn() const { return dsn_; }
  /// The SQLite database file.
  std::string DatabasePath() const { return dir_ + "users.db"; }
  /// The directory that holds odbcinst.ini, odbc.ini and user.odbc.ini
  /// (one per process: unixODBC keeps the first system directory it sees).
  std::string IniDir() const;

  /// Runs one SQL statement on the DSN; throws std::runtime_error with the
  /// driver's message on failure.
  void Execute(const std::string& sql);
  /// Creates `table` with the columns mail, givenName, sn, telephoneNumber,
  /// otherTelephone, company (all text).
  void CreateUsersTable(const std::string& table = "users");
  /// Inserts MakeTestUser(first) ... MakeTestUser(first + n - 1) in one
  /// transaction.
  void AddUsers(int n, const std::string& table = "users", int first = 1);
  void AddUser(const TestUser& user, const std::string& table = "users");

  /// Adds a DSN for the same database to the system or the user odbc.ini.
  void AddSystemDsn(const std::string& name);
  void AddUserDsn(const std::string& name);

 private:
  void WriteIniFiles();
  void InsertUsers(const std::vector<TestUser>& users, const std::string& table);

  std::string dir_;
  std::string dsn_ = "qmtest";
  std::vector<std::string> systemDsns_, userDsns_;
};

class SlapdFixture {
 public:
  /// The reader account gets bindPassword (any text).
  explicit SlapdFixture(std::string bindPassword = "reader-secret");
  ~SlapdFixture();
  SlapdFixture(const SlapdFixture&) = delete;
  SlapdFixture& operator=(const SlapdFixture&) = delete;

  /// Loads the base entries and every entry added so far, starts slapd on
  /// 127.0.0.1 at a free port and waits until it accepts connections.
  void Start();
  /// Stops slapd (SIGTERM, then SIGKILL); harmless when it is not running.
  /// A paused server is resumed first, so that it can end.
  void Stop();
  bool Running() const { return pid_ > 0; }
  /// The slapd process; -1 when it is not running.
  int Pid() const { return pid_; }
  /// Freezes the running slapd (SIGSTOP): connections are still accepted
  /// by the kernel, but no request is ever answered.
  void Pause();
  /// Lets a paused slapd go on (SIGCONT).
  void Resume();
  /// Starts a stopped slapd again on the port it had, with the entries it
  /// held (throws when the port cannot be had back); a running one is
  /// stopped first.
  void Restart();

  /// Before Start: serves TLS with the PEM certificate and key, StartTLS on
  /// the plain port and LDAPS on a second one, and refuses simple binds
  /// without TLS (confidentialityRequired), as a server with security on does.
  void UseTls(const std::string& certFile, const std::string& keyFile);
  bool Tls() const { return !certFile_.empty(); }

  int Port() const { return port_; }
  int LdapsPort() const { return ldapsPort_; }  // 0 without UseTls
  std::string Uri() const;                      // "ldap://127.0.0.1:<port>"
  std::string LdapsUri() const;                 // "ldaps://127.0.0.1:<ldapsport>"
  std::string LdapsAdsPath() const;             // "127.0.0.1:<ldapsport>/dc=example,dc=test"
  const std::string& Suffix() const { return suffix_; }  // "dc=example,dc=test"
  std::string UsersDn() const { return "ou=users," + suffix_; }
  std::string AdsPath() const;                  // "127.0.0.1:<port>/dc=example,dc=test"
  std::string BindDn() const { return "cn=reader," + suffix_; }
  const std::string& BindPassword() const { return bindPassword_; }
  std::string AdminDn() const { return "cn=admin," + suffix_; }
  std::string AdminPassword() const { return "admin-secret"; }

  /// The connections slapd has accepted since it (last) started, not
  /// counting the one that asks.
  int ConnectionsAccepted() const;

  /// An attribute with its values, for entries of any shape.
  using Attributes = std::vector<std::pair<std::string, std::vector<std::string>>>;

  /// Adds a user below ou=users (objectClass user, objectCategory person);
  /// before Start the entry is queued for slapadd, afterwards it is added
  /// over LDAP as the administrator. Throws std::runtime_error on failure.
  void AddUser(const TestUser& user);
  void AddUsers(int n, int first = 1);
  /// Adds any entry (the DN given whole).
  void AddEntry(const std::string& dn, const Attributes& attributes);

 private:
  static Attributes UserAttributes(const TestUser& user);
  // Binds a new handle to the server as the administrator; the bind's result.
  int AdminBind(ldap*& ld) const;
  mutable int countQueries_ = 0;  // ConnectionsAccepted calls since the start
  void WriteConfig();
  void LoadPending();
  // Spawns slapd on port_ and waits until it accepts connections; false when
  // it exits or does not come up.
  bool Launch();

  std::string dir_;
  std::string suffix_ = "dc=example,dc=test";
  std::string bindPassword_;
  int port_ = 0;
  int ldapsPort_ = 0;
  std::string certFile_, keyFile_;
  int pid_ = -1;
  std::string pendingLdif_;
};

/// One started slapd with TLS per certificate of the shared test CA, each
/// with `users` users: "good", "wrong name", "expired" and "untrusted".
std::map<std::string, std::unique_ptr<SlapdFixture>> SlapdPerTestCertificate(int users);
