#include "directory/UDBUtil.h"
#include "base/Texts.h"

#include <chrono>
#include <cstdint>
#include <exception>

#include "base/TlsText.h"
#include "base/ULog.h"
#include "base/UserInterface.h"
#include "platform/dataaccess/ConnectionString.h"
#include "platform/dataaccess/LdapDialect.h"

TFDBUtil* FDBUtil = nullptr;

namespace {

std::string ErrorText(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return qm::text::kRuntimeError;
  }
}

// The "ADSI Flag" of the directory connection: the reserved bit every
// connection has carried, plus SSL for LDAPS or sealing for StartTLS; then
// the CA file and the switched-off check where they are set. The plain
// connection gets the very text older versions wrote.
std::string DirectorySecurityProperties(const DirectoryTransport& transport) {
  unsigned flags = qm::data::kAdsAuthReserved;
  if (transport.security == DirectoryTransport::kLdaps) flags |= qm::data::kAdsUseSsl;
  if (transport.security == DirectoryTransport::kStartTls) flags |= qm::data::kAdsUseSealing;
  std::string out = "ADSI Flag=" + std::to_string(static_cast<std::int32_t>(flags));
  if (transport.security == DirectoryTransport::kNone) return out;
  if (!transport.caFile.empty()) {
    out += ';';  // appended apart: GCC 12 warns falsely (-Wrestrict) about ";" + string at -O3
    out += qm::data::ConnectionPair("TLS CA File", transport.caFile);
  }
  if (!transport.verifyPeer) out += ";TLS Verify Peer=False";
  return out;
}

// The log text of a failed directory lookup: TLS failures and a server that
// wants encryption name the server and what to do; anything else is the
// data layer's own message.
std::string DirectoryFailureText(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const qm::data::TlsError& tls) {
    std::string reason;
    switch (tls.kind) {
      case qm::data::TlsError::Kind::Certificate: reason = qm::TlsVerifyReason(tls.verifyResult, tls.host); break;
      case qm::data::TlsError::Kind::NoStartTls: reason = qm::kTlsNoStartTls; break;
      case qm::data::TlsError::Kind::Handshake: reason = qm::TlsHandshakeReason(tls.detail); break;
    }
    return qm::TlsFailureText("LDAP", tls.host, tls.port, reason);
  } catch (const qm::data::EncryptionRequired& refused) {
    return qm::LdapEncryptionRequiredText(refused.host, refused.port) + " (" + refused.what() + ")";
  } catch (...) {
    return ErrorText(std::current_exception());
  }
}

std::string CellText(const qm::data::Value& v) {
  return v.IsArray() ? TFDBUtil::JoinMultiValue(v) : v.AsText();
}

}  // namespace

// ---- grid ---------------------------------------------------------------

std::vector<std::string> TDBGrid::Columns() const {
  if (!DataSource || !DataSource->DataSet || !DataSource->DataSet->Active()) return {};
  return DataSource->DataSet->FieldNames();
}

std::vector<std::vector<std::string>> TDBGrid::Rows() const {
  std::vector<std::vector<std::string>> out;
  if (!DataSource || !DataSource->DataSet || !DataSource->DataSet->Active()) return out;
  for (const auto& row : DataSource->DataSet->Rows()) {
    std::vector<std::string> cells;
    for (const auto& v : row) cells.push_back(CellText(v));
    out.push_back(std::move(cells));
  }
  return out;
}

// ---- creation -----------------------------------------------------------

TFDBUtil::TFDBUtil(DirectorySettingsSource settings, UserInterface& ui) : settings_(std::move(settings)), ui_(ui) {
  // Directory: command time-out 60 s, connect at the default 15 s. ODBC: the
  // defaults, 15 s to connect and 30 s a command.
  ADOConnection_AD.SetConnectTimeout(15);
  ADOConnection_AD.SetCommandTimeout(60);
  ADOConnection_ODBC.SetConnectTimeout(15);
  ADOConnection_ODBC.SetCommandTimeout(30);
}

TFDBUtil::~TFDBUtil() = default;

void TFDBUtil::FormCreate() {
  visible_ = false;
  heldCycles_ = 0;
}

// ---- connection strings -------------------------------------------------

void TFDBUtil::ConfigureConnection(const std::string& odbcSource, const std::string& table,
                                   const std::string& dbUserId, const std::string& dbPassword,
                                   const std::string& adUserId, const std::string& adPassword,
                                   const DirectoryTransport& transport) {
  // Another thread's cycle reads these data sets; replacing them under it
  // would pull its result set away half-way, so wait until it has ended.
  std::lock_guard lock(directoryLock_);
  try {
    if (ADOTable_ODBC.Active()) ADOTable_ODBC.Close();
    if (ADOConnection_ODBC.Connected()) ADOConnection_ODBC.Close();
  } catch (...) {
    WriteLog("Fehler beim Schließen der Datenbankverbindung: " + ErrorText(std::current_exception()), ltError);
  }
  // Values are quoted only where the data-access layer would read them
  // differently, so plain settings give the very strings stored and compared
  // elsewhere. "Extended Properties" is always in double quotes: it holds the
  // ODBC string, whose own quoting (braces) protects the source's name there.
  using qm::data::ConnectionPair;
  ADOConnection_ODBC.SetConnectionString(
      "Provider=MSDASQL.1;" + ConnectionPair("Data Source", odbcSource) + ";" + ConnectionPair("Password", dbPassword) +
      ";" + ConnectionPair("User ID", dbUserId) +
      ";Extended Properties=" + qm::data::QuotedConnectionValue(qm::data::OdbcAttribute("DSN", odbcSource)) + ";");
  ADOTable_ODBC.TableName = table;
  ADOQuery_AD.Close();
  ADOConnection_AD.Close();
  adTransport_ = transport;
  if (!adUserId.empty())
    ADOConnection_AD.SetConnectionString("Provider=ADsDSOObject;" + ConnectionPair("Password", adPassword) + ";" +
                                         ConnectionPair("User ID", adUserId) +
                                         ";Encrypt Password=True;Mode=Read;Bind Flags=0;" +
                                         DirectorySecurityProperties(transport));
  else
    ADOConnection_AD.SetConnectionString(
        "Provider=ADsDSOObject;Encrypt Password=True;Integrated Security=SSPI;Mode=Read;Bind Flags=0;" +
        DirectorySecurityProperties(transport));
}

void TFDBUtil::CloseConnection() {
  // Releases the cycle's hold on DirectoryLock on every way out.
  struct Release {
    TFDBUtil& self;
    ~Release() {
      if (self.cycleOwner_.load() != std::this_thread::get_id() || self.cycleDepth_ == 0) return;
      if (--self.cycleDepth_ == 0) self.cycleOwner_.store(std::thread::id{});
      self.directoryLock_.unlock();
    }
  } release{*this};

  // The result sets end with the cycle; the connections stay open for the
  // next lookup (opening one costs more than most lookups). They close when
  // the settings change (ConfigureConnection) and after a failed lookup.
  if (settings_().useAD) ADOQuery_AD.Close();
  try {
    if (ADOTable_ODBC.Active()) ADOTable_ODBC.Close();
  } catch (...) {
    WriteLog("Fehler beim Schließen der Datenbankverbindung: " + ErrorText(std::current_exception()), ltError);
  }
}

// ---- lookup -------------------------------------------------------------

void TFDBUtil::OpenOnKeptConnection(qm::data::Connection& connection, qm::data::DataSet& dataSet) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point& openedAt = &connection == &ADOConnection_AD ? adOpenedAt_ : odbcOpenedAt_;
  // A kept connection is renewed after a while, so that what only a new
  // connection reads (a DSN edited in odbc.ini, a server's new address)
  // takes effect within that time.
  if (connection.Connected() && Clock::now() - openedAt > kKeptConnectionLifetime) CloseQuietly(connection);
  const bool kept = connection.Connected();
  if (!kept) openedAt = Clock::now();
  try {
    dataSet.Open();
    return;
  } catch (const qm::data::ConnectionLost&) {
    CloseQuietly(connection);
    // The server dropped the kept connection (restarted, idle time-out):
    // one more try on a new one before the lookup fails.
    if (!kept) throw;
  } catch (...) {
    // Whatever failed, the next lookup starts on a new connection.
    CloseQuietly(connection);
    throw;
  }
  openedAt = Clock::now();
  try {
    dataSet.Open();
  } catch (...) {
    CloseQuietly(connection);
    throw;
  }
}

void TFDBUtil::CloseQuietly(qm::data::Connection& connection) {
  try {
    connection.Close();
  } catch (...) {
    WriteLog("Fehler beim Schließen der Datenbankverbindung: " + ErrorText(std::current_exception()), ltError);
  }
}

std::string TFDBUtil::BuildAttributeList(const std::string& fieldNames1, const std::string& fieldNames2) {
  std::string s = fieldNames1 + fieldNames2;
  s = qm::ReplaceAll(s, ",\r\n", ",");
  s = qm::ReplaceAll(s, "\r\n,", ",");
  s = qm::ReplaceAll(s, "\n", ",");
  s = qm::ReplaceAll(s, "\r", "");
  s = qm::ReplaceAll(s, " ", "");
  for (int pass = 0; pass < 3; ++pass) s = qm::ReplaceAll(s, ",,", ",");
  if (!s.empty() && s.back() == ',') s.pop_back();
  return s;
}

std::string TFDBUtil::BuildQueryText(const std::string& attributeList, const std::string& adPath,
                                     const std::string& address) {
  qm::TextList lines{"SELECT " + attributeList, "FROM 'LDAP://" + adPath + "'",
                     "WHERE objectCategory='person' and objectClass='user'"};
  if (!address.empty()) lines.push_back(" AND mail='" + address + "'");
  lines.push_back(" ORDER BY mail");
  return qm::JoinLinesCrLf(lines);
}

bool TFDBUtil::FindUser(const std::string& address) {
  const DirectoryLookupSettings settings = settings_();

  directoryLock_.lock();
  cycleOwner_.store(std::this_thread::get_id());
  ++cycleDepth_;

  if (settings.useAD) {
    // Inside an open cycle the earlier result set serves again.
    if (ADOQuery_AD.Active() && ADOConnection_AD.Connected()) return true;
    ADOQuery_AD.Close();
    ADOQuery_AD.SQL = BuildQueryText(BuildAttributeList(settings.fieldNames1, settings.fieldNames2),
                                     settings.adPath, address);
    DBGrid1.DataSource = &DataSource_AD;
    // While certificates go unchecked, every lookup says so, also one that
    // runs on a session made by an earlier lookup.
    if (adTransport_.security != DirectoryTransport::kNone && !adTransport_.verifyPeer) {
      try {
        const qm::data::AdsPath server = qm::data::ParseAdsPath(
            settings.adPath, adTransport_.security == DirectoryTransport::kLdaps ? 636 : 389);
        WriteLog(qm::TlsNoVerifyWarning("LDAP", server.host, server.port), ltWarning);
      } catch (const qm::data::DataError&) {
        // No server in the path: the lookup fails below and says why.
      }
    }
    try {
      OpenOnKeptConnection(ADOConnection_AD, ADOQuery_AD);
      WriteLog("ActiveDirectory Verbindung Ok.", ltInformation);
      return true;
    } catch (...) {
      WriteLog("Fehler beim Verbinden mit dem ActiveDirectory: " + DirectoryFailureText(std::current_exception()),
               ltError);
      return false;
    }
  }

  // A lookup by address asks the data source for that user's rows only; the
  // empty address (the test window's grid, the bulk-send list) reads the
  // whole table. Inside an open cycle the earlier rows serve again when they
  // hold every row this lookup could find; otherwise the whole table is read,
  // which still holds every row the earlier lookup found.
  if (ADOTable_ODBC.Holds(settings.mailField, address)) return true;
  const bool nested = ADOTable_ODBC.Active();
  try {
    DBGrid1.DataSource = &DataSource_ADO;
    ADOTable_ODBC.KeyField = address.empty() || nested ? "" : settings.mailField;
    ADOTable_ODBC.KeyValue = ADOTable_ODBC.KeyField.empty() ? "" : address;
    if (nested)
      ADOTable_ODBC.Open();
    else
      OpenOnKeptConnection(ADOConnection_ODBC, ADOTable_ODBC);
    WriteLog("ADO-DB Verbindung Ok: " + settings.odbcSource + "." + settings.table, ltInformation);
    return true;
  } catch (...) {
    std::string message = ErrorText(std::current_exception());
    WriteLog("Fehler beim Verbinden mit der Datenbank: " + settings.odbcSource + "." + settings.table, ltError);
    WriteLog(message, ltError);
    return false;
  }
}

std::string TFDBUtil::GetFieldValue(const std::string& address, const std::string& fieldName) {
  std::string result;
  const DirectoryLookupSettings settings = settings_();
  try {
    qm::data::DataSet& ds = settings.useAD ? static_cast<qm::data::DataSet&>(ADOQuery_AD) : ADOTable_ODBC;
    // The cycle's rows are those of another address: the whole table serves
    // this one, as it serves every address.
    if (!settings.useAD && ADOTable_ODBC.Active() && !ADOTable_ODBC.Holds(settings.mailField, address)) {
      ADOTable_ODBC.KeyField.clear();
      ADOTable_ODBC.KeyValue.clear();
      ADOTable_ODBC.Open();
    }
    if (ds.Locate(settings.AddressField(), address)) {
      const qm::data::Value& v = ds.FieldByName(fieldName);
      result = settings.useAD && v.IsArray() ? JoinMultiValue(v) : v.AsText();
    }
  } catch (const qm::data::DataError& e) {
    WriteLog(std::string("Datenbankfehler, Feldname nicht gefunden: ") + e.what(), ltError);
    return {};
  }
  return result;
}

std::string TFDBUtil::JoinMultiValue(const qm::data::Value& value) {
  std::string out;
  for (const auto& element : value.Elements()) {
    if (!out.empty()) out += " / ";
    out += element.IsArray() ? JoinMultiValue(element) : element.AsText();
  }
  return out;
}

bool TFDBUtil::IsKnownUser(const std::string& address) {
  struct EndCycle {
    TFDBUtil& self;
    ~EndCycle() { self.CloseConnection(); }
  } endCycle{*this};
  if (!FindUser(address)) return false;
  return !GetFieldValue(address, settings_().AddressField()).empty();
}

// ---- data sources and schema --------------------------------------------

void TFDBUtil::GetOdbcDataSources(qm::TextList& list) {
  list.clear();
  for (auto& name : qm::data::OdbcDataSources()) list.push_back(std::move(name));
}

void TFDBUtil::ListOdbcTables(qm::TextList& list) {
  // The connection is the one a lookup cycle on an HTTP thread may be using;
  // wait until that cycle has ended (the main thread, holding the test
  // window's cycle, re-enters).
  std::lock_guard lock(directoryLock_);
  if (!ADOConnection_ODBC.Connected()) ADOConnection_ODBC.Open();
  std::vector<qm::data::TableInfo> tables = ADOConnection_ODBC.Tables();
  list.clear();
  for (auto& t : tables)
    if (t.type == "TABLE" || t.type == "VIEW") list.push_back(std::move(t.name));
}

void TFDBUtil::ListOdbcColumns(const std::string& table, qm::TextList& list) {
  std::lock_guard lock(directoryLock_);
  if (!ADOConnection_ODBC.Connected()) ADOConnection_ODBC.Open();
  std::vector<std::string> columns = ADOConnection_ODBC.Columns(table);
  list.clear();
  for (auto& c : columns) list.push_back(std::move(c));
}

// ---- test window ----------------------------------------------------------

void TFDBUtil::ShowTestWindow() {
  ++heldCycles_;
  visible_ = true;
  ui_.ShowWindow(qm::text::kWindowConnectionTest);
}

void TFDBUtil::Button_FDBUtil_closeClick() { FormClose(); }

void TFDBUtil::FormClose() {
  if (!visible_) return;
  visible_ = false;
  int cycles = heldCycles_;
  heldCycles_ = 0;
  for (int i = 0; i < cycles; ++i) CloseConnection();
}
