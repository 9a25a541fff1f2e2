#pragma once
// TFDBUtil: the one object through which both programs reach user data, over
// the data-access layer (platform/dataaccess): an LDAP directory in the
// Active Directory query dialect, or one table of an ODBC data source.
//
// A lookup cycle is FindUser, then GetFieldValue calls or a walk over the
// current result set, then CloseConnection, all on one thread, with
// DirectoryLock held from the start of FindUser to the end of CloseConnection.
//
// The object is also the connection-test window ("Datenbank Verbindung -
// Test"): the grid DBGrid1 shows the current result set. The window is a
// model here; the desktop mirrors it. An ODBC test ("Verbindung testen")
// leaves its cycle open while the window is shown (ShowTestWindow). A second
// test while the window is still shown adds its own cycle to the window;
// closing the window, by its button or its close command, then ends every
// cycle the window holds, once each, so DirectoryLock is released exactly as
// often as those tests took it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/UText.h"
#include "platform/dataaccess/DataAccess.h"

class UserInterface;

/// What a lookup reads of the settings, fresh for every operation.
struct DirectoryLookupSettings {
  bool useAD = false;                   // the directory, else one ODBC table
  std::string fieldNames1, fieldNames2;  // attribute list texts of the query
  std::string adPath;                    // the query's LDAP path
  std::string mailField;                 // the table's address column
  std::string odbcSource, table;         // named in the log lines
  /// The field holding a user's address: "mail" in the directory, else the
  /// table's address column.
  std::string AddressField() const { return useAD ? "mail" : mailField; }
};
/// Where the directory reads them (the settings store, wired at assembly).
using DirectorySettingsSource = std::function<DirectoryLookupSettings()>;

/// How the directory connection is secured (the general record's
/// ldapSecurity, tlsCaFile and tlsVerifyPeer). The default is the plain
/// connection of older versions.
struct DirectoryTransport {
  enum Security { kNone = 0, kStartTls = 1, kLdaps = 2 };
  int security = kNone;
  std::string caFile;      // trusted besides the system's CA store
  bool verifyPeer = true;  // off: no certificate check, a warning at every connection
};

/// A data source component: which data set a grid shows.
struct TDataSource {
  qm::data::DataSet* DataSet = nullptr;
};

/// The read-only grid of the test window: one row per record, one column
/// per field of the data set its data source points to.
struct TDBGrid {
  TDataSource* DataSource = nullptr;
  /// Field names; empty when no data set or when it is closed.
  std::vector<std::string> Columns() const;
  /// Row texts (null as "", several values joined by " / ").
  std::vector<std::vector<std::string>> Rows() const;
};

class TFDBUtil {
 public:
  /// Sets up the components with their fixed settings (no connection is
  /// opened). Lookups read their
  /// settings from `settings`; the test window is shown through `ui`.
  TFDBUtil(DirectorySettingsSource settings, UserInterface& ui);
  ~TFDBUtil();
  TFDBUtil(const TFDBUtil&) = delete;
  TFDBUtil& operator=(const TFDBUtil&) = delete;

  /// Creation steps: the window starts hidden, holding no cycle.
  void FormCreate();

  /// Builds both connection strings from six texts, each value read back
  /// whole by the data-access layer (quoted only where it holds ";", a
  /// quote or outer blanks); opens nothing. Closes an
  /// open ODBC table and connection first (a failure there is logged) and
  /// the directory query and connection. Waits for another thread's lookup
  /// cycle to end, so no cycle loses its data set half-way.
  /// `transport` secures the directory connection: its "ADSI Flag" gets
  /// the SSL (LDAPS) or sealing (StartTLS) bit and the CA file and check
  /// setting follow as "TLS CA File" and "TLS Verify Peer"; without it the
  /// string is the one older versions built.
  void ConfigureConnection(const std::string& odbcSource, const std::string& table, const std::string& dbUserId,
                           const std::string& dbPassword, const std::string& adUserId,
                           const std::string& adPassword, const DirectoryTransport& transport = {});
  /// Ends a lookup cycle: closes the data sets and releases DirectoryLock
  /// (also when closing fails). The connections stay open for the next
  /// cycle; ConfigureConnection and a failed lookup close them. A call on a
  /// thread that holds no cycle releases nothing.
  void CloseConnection();
  /// Takes DirectoryLock and opens the configured source; true when the
  /// result set is open. The address may be empty (whole user list); for an
  /// ODBC table a non-empty address reads only the rows that hold it (the
  /// data source is asked for them), an empty one the whole table. A
  /// failure is logged; the lock stays held either way until CloseConnection.
  bool FindUser(const std::string& address);
  /// The value of one field of the address's record ("" when the address is
  /// not found or the value is null); an address other than the one the
  /// cycle's rows were read for is looked up in the whole table. A missing
  /// column or closed result set
  /// is logged as "Datenbankfehler, Feldname nicht gefunden: ..." and gives "".
  std::string GetFieldValue(const std::string& address, const std::string& fieldName);
  /// The elements of a multi-valued value joined by " / " (null elements as
  /// "", no separator before the first non-empty text).
  static std::string JoinMultiValue(const qm::data::Value& value);
  /// True when the directory holds a non-empty address field for the
  /// address; a whole lookup cycle of its own. Any thread.
  bool IsKnownUser(const std::string& address);

  /// Data-source names: system names first, then user names.
  void GetOdbcDataSources(qm::TextList& list);
  /// Tables and views of the configured ODBC connection; throws
  /// qm::data::DataError when the connection or the schema fails. Both
  /// lists wait for another thread's lookup cycle to end, as they use its
  /// connection.
  void ListOdbcTables(qm::TextList& list);
  /// Columns of one table of the configured ODBC connection, in the driver's
  /// order; throws qm::data::DataError like ListOdbcTables.
  void ListOdbcColumns(const std::string& table, qm::TextList& list);

  std::recursive_mutex& DirectoryLock() { return directoryLock_; }

  /// The attribute list of the directory query made from the two settings
  /// texts (line breaks become commas, blanks go, runs of commas shrink, one
  /// trailing comma is dropped).
  static std::string BuildAttributeList(const std::string& fieldNames1, const std::string& fieldNames2);
  /// The directory query's text: its lines, each ended by CR LF.
  static std::string BuildQueryText(const std::string& attributeList, const std::string& adPath,
                                    const std::string& address);

  // ---- components ------------------------------------------------------
  qm::data::Connection ADOConnection_AD{"ADsDSOObject"};
  qm::data::Query ADOQuery_AD{ADOConnection_AD};
  TDataSource DataSource_AD{&ADOQuery_AD};
  qm::data::Connection ADOConnection_ODBC{"MSDASQL.1"};
  qm::data::Table ADOTable_ODBC{ADOConnection_ODBC};
  TDataSource DataSource_ADO{&ADOTable_ODBC};
  TDBGrid DBGrid1;

  // ---- the connection-test window (main thread) ---------------------------
  static constexpr const char* kCaption = "Datenbank Verbindung - Test";
  static constexpr const char* kCloseCaption = "Fenster schließen";
  static constexpr int kClientWidth = 652, kClientHeight = 294;
  /// Shows the window after an ODBC test's FindUser; the window holds that
  /// test's cycle until it is closed.
  void ShowTestWindow();
  bool Visible() const { return visible_; }
  /// Lookup cycles the shown window holds.
  int HeldCycles() const { return heldCycles_; }
  /// "Fenster schließen": closes the window.
  void Button_FDBUtil_closeClick();
  /// The window is closed (button or the window's own close command): hides
  /// it and ends every cycle it holds. Closing a hidden window does nothing.
  void FormClose();

 private:
  /// Opens `dataSet`, reusing the connection a former cycle left open; when
  /// that fails, opens it once more on a new connection. A failure leaves the
  /// connection closed.
  void OpenOnKeptConnection(qm::data::Connection& connection, qm::data::DataSet& dataSet);
  void CloseQuietly(qm::data::Connection& connection);
  static constexpr std::chrono::seconds kKeptConnectionLifetime{60};
  std::chrono::steady_clock::time_point adOpenedAt_{}, odbcOpenedAt_{};
  DirectoryTransport adTransport_;  // of the configured directory connection, under DirectoryLock
  DirectorySettingsSource settings_;
  UserInterface& ui_;
  std::recursive_mutex directoryLock_;
  // The thread inside a lookup cycle and its FindUser depth (changed only by
  // the holder of directoryLock_).
  std::atomic<std::thread::id> cycleOwner_{};
  std::size_t cycleDepth_ = 0;
  bool visible_ = false;
  int heldCycles_ = 0;
};

/// The process's one directory object, set by the engine assembly for the
/// programs' edges; null outside its lifetime.
extern TFDBUtil* FDBUtil;
