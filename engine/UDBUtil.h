#pragma once
// TFDBUtil: the one object through which both programs reach user data, over
// the data-access layer (platform/dataaccess): an LDAP directory in the
// Active Directory query dialect, or one table of an ODBC data source.
//
// A lookup cycle is FindUser, then GetFieldValue calls or a walk over the
// current result set, then CloseConnection, all on one thread, with
// DirectoryLock held from the start of FindUser to the end of CloseConnection.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UText.h"

class TFDBUtil {
 public:
  TFDBUtil();
  ~TFDBUtil();
  TFDBUtil(const TFDBUtil&) = delete;
  TFDBUtil& operator=(const TFDBUtil&) = delete;

  /// Builds both connection strings from six texts; opens nothing.
  void ConfigureConnection(const std::string& odbcSource, const std::string& table, const std::string& dbUserId,
                           const std::string& dbPassword, const std::string& adUserId,
                           const std::string& adPassword);
  /// Ends a lookup cycle: closes the data sets and releases DirectoryLock.
  void CloseConnection();
  /// Takes DirectoryLock and opens the configured source; true when the
  /// result set is open. The address may be empty (whole user list).
  bool FindUser(const std::string& address);
  /// The value of one field of the address's record ("" on any failure).
  std::string GetFieldValue(const std::string& address, const std::string& fieldName);

  /// Data-source names: system names first, then user names.
  void GetOdbcDataSources(qm::TextList& list);
  /// Tables and views of the configured ODBC connection.
  void ListOdbcTables(qm::TextList& list);
  /// Columns of one table of the configured ODBC connection.
  void ListOdbcColumns(const std::string& table, qm::TextList& list);

  std::recursive_mutex& DirectoryLock() { return directoryLock_; }

  // (further members: see UDBUtil.cpp's owner)
 private:
  std::recursive_mutex directoryLock_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The process's one directory object; null outside its lifetime.
extern TFDBUtil* FDBUtil;
