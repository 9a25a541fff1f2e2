// Provider "ADsDSOObject": queries in the Active Directory LDAP dialect run as
// LDAP searches with the OpenLDAP client library.
#include <arpa/inet.h>
#include <ldap.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sasl/sasl.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/dataaccess/DataAccess.h"
#include "platform/dataaccess/LdapDialect.h"
#include "platform/dataaccess/Provider.h"

namespace qm::data {

namespace {

// Results come in pages of this size, so a directory with a server-side
// size limit (Active Directory, Samba: 1,000) is read whole.
constexpr int kPageSize = 1000;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

// Owners of what the client library hands out, freed with its own calls.
struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
struct ControlFree {
  void operator()(LDAPControl* c) const { ldap_control_free(c); }
};
struct ControlsFree {
  void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};
struct ValuesFree {
  void operator()(berval** v) const { ldap_value_free_len(v); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;
using ControlPtr = std::unique_ptr<LDAPControl, ControlFree>;
using ControlsPtr = std::unique_ptr<LDAPControl*, ControlsFree>;
using ValuesPtr = std::unique_ptr<berval*, ValuesFree>;

// The values of one attribute of an entry as texts; empty when it has none.
std::vector<std::string> AttributeTexts(LDAP* ld, LDAPMessage* entry, const char* attr) {
  std::vector<std::string> out;
  ValuesPtr vals(ldap_get_values_len(ld, entry, attr));
  if (!vals) return out;
  for (int i = 0; vals.get()[i]; ++i) out.emplace_back(vals.get()[i]->bv_val, vals.get()[i]->bv_len);
  return out;
}

// Fills every SASL prompt with its default (GSSAPI asks for nothing else).
int SaslDefaults(LDAP*, unsigned, void*, void* in) {
  for (auto* i = static_cast<sasl_interact_t*>(in); i && i->id != SASL_CB_LIST_END; ++i) {
    i->result = i->defresult ? i->defresult : "";
    i->len = static_cast<unsigned>(i->defresult ? std::strlen(i->defresult) : 0);
  }
  return LDAP_SUCCESS;
}

// The attribute names (all aliases, lower case) that a server's schema
// defines, read once per server URI. Empty when the schema is not readable;
// names are then not checked.
std::set<std::string> SchemaNames(LDAP* ld, const std::string& uri, timeval* tv) {
  static std::mutex mutex;
  static std::map<std::string, std::set<std::string>> cache;
  {
    std::lock_guard lk(mutex);
    if (auto it = cache.find(uri); it != cache.end()) return it->second;
  }
  std::set<std::string> names;
  auto readBase = [&](const std::string& dn, const char* filter, const char* attr) {
    std::vector<std::string> values;
    char* attrs[] = {const_cast<char*>(attr), nullptr};
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, filter, attrs, 0, nullptr, nullptr, tv, 0, &raw);
    MessagePtr res(raw);
    if (rc == LDAP_SUCCESS)
      if (LDAPMessage* e = ldap_first_entry(ld, res.get())) values = AttributeTexts(ld, e, attr);
    return values;
  };
  auto sub = readBase("", "(objectClass=*)", "subschemaSubentry");
  if (!sub.empty()) {
    for (const std::string& def : readBase(sub.front(), "(objectClass=subschema)", "attributeTypes")) {
      // "( oid NAME 'a' ..." or "( oid NAME ( 'a' 'b' ) ..."
      std::size_t n = def.find(" NAME ");
      if (n == std::string::npos) continue;
      std::size_t p = n + 6;
      while (p < def.size() && def[p] == ' ') ++p;
      std::size_t end = def[p] == '(' ? def.find(')', p) : def.find('\'', def.find('\'', p) + 1);
      if (end == std::string::npos) continue;
      std::string list = def.substr(p, end - p + 1);
      for (std::size_t q = list.find('\''); q != std::string::npos;) {
        std::size_t close = list.find('\'', q + 1);
        if (close == std::string::npos) break;
        names.insert(Lower(list.substr(q + 1, close - q - 1)));
        q = list.find('\'', close + 1);
      }
    }
  }
  if (!names.empty()) {
    std::lock_guard lk(mutex);
    cache[uri] = names;
  }
  return names;
}

// Transport security of a connection, from the connection string.
struct TlsOptions {
  bool ssl = false;      // ADS_USE_SSL: ldaps://
  bool sealing = false;  // ADS_USE_SEALING: StartTLS (simple bind), SASL layer (Kerberos)
  std::string caFile;    // trusted besides the system's CA store
  bool verifyPeer = true;
};

// The "ADSI Flag" as the unsigned bits of its signed 32-bit text; 0 when
// absent. Anything that is not a number is refused, so that a damaged
// string never quietly loses its encryption bits.
unsigned AdsiFlags(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < -2147483648LL || v > 4294967295LL)
    throw DataError("Ungültiger Wert für \"ADSI Flag\": " + text);
  return static_cast<unsigned>(static_cast<unsigned long long>(v) & 0xffffffffu);
}

bool IsFalse(const std::string& text) {
  return SameTextIgnoringCase(text, "False") || SameTextIgnoringCase(text, "No") || text == "0";
}

// The TLS settings of a handle: the check, and the trust for the context.
void SetTrust(LDAP* ld, const std::string& caFile, bool verify) {
  int require = verify ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
  ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require);
  ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTDIR, X509_get_default_cert_dir());
  ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile.c_str());
}

// Gives the handle its TLS options and a client TLS context made from them,
// so that no process-wide setting is touched. The system's CA store is
// trusted always, the CA file besides it. Loading the system's store costs
// far more than a handshake, so a context is made once per CA file (and its
// modification time) and check setting and shared by later connections; a
// CA file that is replaced gets a new one (the old one stays in memory).
void SetTlsOptions(LDAP* ld, const TlsOptions& tls, bool verify) {
  const std::string caFile = tls.caFile.empty() ? std::string(X509_get_default_cert_file()) : tls.caFile;
  std::error_code ec;
  const auto stamp = std::filesystem::last_write_time(caFile, ec);
  const std::string key = std::string(verify ? "1" : "0") + caFile;
  static std::mutex mutex;
  struct Entry {
    std::filesystem::file_time_type stamp;
    void* ctx;  // one reference held here for good
  };
  // Never destroyed: the contexts live as long as the process, and a map
  // destroyed at exit would leave them unreachable (a leak to LeakSanitizer).
  static auto& contexts = *new std::map<std::string, Entry>;
  // Contexts of replaced CA files: libldap has no public call that drops
  // the reference taken here, so they stay, one per replacement, still
  // held (and counted) rather than lost.
  static auto& replaced = *new std::vector<void*>;
  SetTrust(ld, caFile, verify);
  std::lock_guard lock(mutex);
  auto it = contexts.find(key);
  if (it == contexts.end() || ec || it->second.stamp != stamp) {
    // A new context, made on a handle of its own; its reference is kept.
    LDAP* maker = nullptr;
    if (ldap_initialize(&maker, nullptr) != LDAP_SUCCESS || !maker)
      throw DataError("LDAP: TLS-Kontext nicht verfügbar");
    SetTrust(maker, caFile, verify);
    int client = 0;
    const int rc = ldap_set_option(maker, LDAP_OPT_X_TLS_NEWCTX, &client);
    void* ctx = nullptr;
    if (rc == LDAP_OPT_SUCCESS) ldap_get_option(maker, LDAP_OPT_X_TLS_CTX, &ctx);  // takes a reference
    ldap_unbind_ext_s(maker, nullptr, nullptr);
    if (rc != LDAP_OPT_SUCCESS || !ctx)
      throw DataError("LDAP: TLS-Einstellungen nicht verwendbar (CA-Datei " + caFile + "): " + ldap_err2string(rc));
    if (ec) {
      // No time stamp to compare: not kept, the handle takes this one over
      // (its reference goes with the handle).
      ldap_set_option(ld, LDAP_OPT_X_TLS_CTX, ctx);
      return;
    }
    if (it != contexts.end()) replaced.push_back(it->second.ctx);
    it = contexts.insert_or_assign(key, Entry{stamp, ctx}).first;
  }
  // The handle takes its own reference, released with the handle.
  ldap_set_option(ld, LDAP_OPT_X_TLS_CTX, it->second.ctx);
}

// Why OpenSSL refuses `der` for `host`, checked against the system's CA
// store plus the CA file, with the host name (or address) check; X509_V_OK
// when it accepts it.
long VerifyCertificate(const berval& der, const std::string& host, const std::string& caFile) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.bv_val);
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.bv_len)), X509_free);
  if (!cert) return X509_V_ERR_UNSPECIFIED;
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  X509_STORE_set_default_paths(store.get());
  if (!caFile.empty()) X509_STORE_load_file(store.get(), caFile.c_str());
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) return X509_V_ERR_UNSPECIFIED;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  in6_addr addr6;
  in_addr addr4;
  if (inet_pton(AF_INET, host.c_str(), &addr4) == 1 || inet_pton(AF_INET6, host.c_str(), &addr6) == 1)
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  else
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  if (X509_verify_cert(ctx.get()) == 1) return X509_V_OK;
  const long err = X509_STORE_CTX_get_error(ctx.get());
  return err == X509_V_OK ? X509_V_ERR_UNSPECIFIED : err;
}

// libldap has no time-out for the TLS handshake: a server that accepts the
// connection and then says nothing would hold the lookup for ever. The
// watchdog learns the socket from the connect callback and, when the
// connection is not secured by the deadline, shuts the socket down, which
// ends the handshake with an error. It must outlive the handle it watches
// (the handle calls its callbacks until it is freed).
class HandshakeWatchdog {
 public:
  HandshakeWatchdog() {
    callback_.lc_add = &HandshakeWatchdog::Added;
    callback_.lc_del = &HandshakeWatchdog::Removed;
    callback_.lc_arg = this;
  }
  ~HandshakeWatchdog() { Stop(); }
  HandshakeWatchdog(const HandshakeWatchdog&) = delete;
  HandshakeWatchdog& operator=(const HandshakeWatchdog&) = delete;

  /// Watches the connections `ld` makes from now on until Stop.
  void Watch(LDAP* ld, std::chrono::milliseconds limit) {
    ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &callback_);
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
      fired_ = true;
      if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    });
  }
  /// The connection is secured (or has failed): the socket is left alone.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  /// Whether a connection was made (TCP) since Watch.
  bool Connected() {
    std::lock_guard lock(mutex_);
    return connected_;
  }
  /// Whether the deadline passed before Stop.
  bool Fired() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  static int Added(LDAP*, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb* ctx) {
    auto* self = static_cast<HandshakeWatchdog*>(ctx->lc_arg);
    int fd = -1;
    ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd);
    std::lock_guard lock(self->mutex_);
    self->connected_ = true;
    if (!self->done_) self->fd_ = fd;
    return 0;
  }
  static void Removed(LDAP*, Sockbuf*, ldap_conncb* ctx) {
    auto* self = static_cast<HandshakeWatchdog*>(ctx->lc_arg);
    std::lock_guard lock(self->mutex_);
    self->fd_ = -1;
  }

  ldap_conncb callback_{};
  std::mutex mutex_;
  std::condition_variable cv_;
  int fd_ = -1;
  bool done_ = false, fired_ = false, connected_ = false;
  std::thread thread_;
};

class LdapSession {
 public:
  LdapSession() = default;
  LdapSession(const LdapSession&) = delete;
  LdapSession& operator=(const LdapSession&) = delete;
  ~LdapSession() {
    if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
  LDAP* ld = nullptr;
};

// A connection kept between searches: made, secured and bound once. The
// watchdog is declared first, so that it outlives the handle.
struct BoundSession {
  HandshakeWatchdog watchdog;
  LdapSession session;
  std::string uri;
};

// A search that the server did not answer; `code` is the library's result.
class SearchFailed : public DataError {
 public:
  SearchFailed(const std::string& what, int code) : DataError(what), code(code) {}
  int code;
};

// Result codes after which the connection is gone (or, after a time-out,
// still holds an unanswered request) and must not be used again.
bool SessionGone(int code) {
  return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_UNAVAILABLE || code == LDAP_TIMEOUT;
}

std::string Detail(LDAP* ld, int rc) {
  std::string text = ldap_err2string(rc);
  char* diag = nullptr;
  if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS && diag) {
    if (*diag) text += " (" + std::string(diag) + ")";
    ldap_memfree(diag);
  }
  return text;
}

class LdapProvider : public Provider {
 public:
  void Open(const ConnectionPairs& pairs, int connectTimeout, int commandTimeout) override {
    const unsigned flags = AdsiFlags(ConnectionValue(pairs, "ADSI Flag"));
    tls_.ssl = (flags & kAdsUseSsl) != 0;
    tls_.sealing = !tls_.ssl && (flags & kAdsUseSealing) != 0;
    tls_.caFile = ConnectionValue(pairs, "TLS CA File");
    tls_.verifyPeer = !IsFalse(ConnectionValue(pairs, "TLS Verify Peer"));
    userId_ = ConnectionValue(pairs, "User ID");
    password_ = ConnectionValue(pairs, "Password");
    integrated_ = userId_.empty() && SameTextIgnoringCase(ConnectionValue(pairs, "Integrated Security"), "SSPI");
    connectTimeout_ = connectTimeout;
    commandTimeout_ = commandTimeout;
    connected_ = true;
  }
  void Close() override {
    bound_.reset();  // unbinds
    connected_ = false;
  }
  bool Connected() const override { return connected_; }

  ResultSet Execute(const std::string& queryText) override {
    const LdapQuery q = ParseLdapQuery(queryText);
    const AdsPath path = ParseAdsPath(q.path, tls_.ssl ? 636 : 389);
    const std::string host = path.host.find(':') != std::string::npos ? "[" + path.host + "]" : path.host;
    const std::string uri = (tls_.ssl ? "ldaps://" : "ldap://") + host + ":" + std::to_string(path.port);

    timeval commandTv{commandTimeout_, 0};
    timeval* tv = commandTimeout_ > 0 ? &commandTv : nullptr;
    // The session stays bound for the searches that follow on this
    // connection; a search to another server gets a session of its own.
    const bool kept = bound_ && bound_->uri == uri;
    if (!kept) {
      bound_.reset();
      auto fresh = std::make_unique<BoundSession>();
      fresh->uri = uri;
      Connect(fresh->session, uri, tv);
      const bool startTls = tls_.sealing && !integrated_;
      if (tls_.ssl || startTls) Secure(fresh->session.ld, uri, path, startTls, fresh->watchdog);
      Bind(fresh->session.ld, uri, path);
      bound_ = std::move(fresh);
    }
    LDAP* ld = bound_->session.ld;
    try {
      return Search(ld, uri, path, q, tv);
    } catch (const SearchFailed& e) {
      if (!SessionGone(e.code)) throw;
      bound_.reset();
      // A kept session the server has dropped (restart, idle time-out): the
      // caller may try again on a new one. A server that stopped answering
      // is not asked again: the request has waited its time-out already.
      if (kept && e.code != LDAP_TIMEOUT) throw ConnectionLost(e.what());
      throw;
    }
  }

  ResultSet ReadTable(const std::string&) override {
    throw DataError("Der Provider ADsDSOObject unterstützt keine Tabellen");
  }
  std::vector<TableInfo> Tables() override { throw DataError("Der Provider ADsDSOObject unterstützt kein Schema"); }
  std::vector<std::string> Columns(const std::string&) override {
    throw DataError("Der Provider ADsDSOObject unterstützt kein Schema");
  }

 private:
  // The query's search on a bound session, sorted as it asks.
  ResultSet Search(LDAP* ld, const std::string& uri, const AdsPath& path, const LdapQuery& q, timeval* tv) {
    CheckAttributes(SchemaNames(ld, uri, tv), q);

    // The sort attribute is fetched too when it is not among the columns.
    std::vector<std::string> wanted = q.attributes;
    std::size_t sortIndex = wanted.size();
    if (!q.orderBy.empty()) {
      for (std::size_t i = 0; i < wanted.size(); ++i)
        if (SameTextIgnoringCase(wanted[i], q.orderBy)) sortIndex = i;
      if (sortIndex == wanted.size()) wanted.push_back(q.orderBy);
    }
    std::vector<std::vector<Value>> rows = SearchPaged(ld, path.baseDn, BuildFilter(q.equals), wanted, tv);

    if (!q.orderBy.empty()) Sort(rows, sortIndex, q.descending);
    ResultSet result;
    result.columns = q.attributes;
    for (auto& r : rows) r.resize(q.attributes.size());
    result.rows = std::move(rows);
    return result;
  }

  // Opens the session with protocol 3, no referrals and the time-outs.
  void Connect(LdapSession& s, const std::string& uri, timeval* commandTv) {
    if (ldap_initialize(&s.ld, uri.c_str()) != LDAP_SUCCESS || !s.ld)
      throw DataError("Ungültige Serveradresse: " + uri);
    int version = LDAP_VERSION3;
    ldap_set_option(s.ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(s.ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval connectTv{connectTimeout_, 0};
    if (connectTimeout_ > 0) ldap_set_option(s.ld, LDAP_OPT_NETWORK_TIMEOUT, &connectTv);
    if (commandTv) ldap_set_option(s.ld, LDAP_OPT_TIMEOUT, commandTv);
    if (tls_.ssl || tls_.sealing) SetTlsOptions(s.ld, tls_, tls_.verifyPeer);
  }

  // Makes the connection's TLS layer before anything else is sent: the
  // connection itself for LDAPS, the StartTLS request on a plain one. A
  // failure throws TlsError with the reason (no credentials went out).
  void Secure(LDAP* ld, const std::string& uri, const AdsPath& path, bool startTls, HandshakeWatchdog& watchdog) {
    watchdog.Watch(ld, HandshakeLimit());
    int rc = LDAP_SUCCESS;
    struct StopWatching {
      HandshakeWatchdog& w;
      ~StopWatching() { w.Stop(); }
    } stop{watchdog};
    if (startTls) {
      rc = ldap_connect(ld);
      if (rc != LDAP_SUCCESS) throw DataError("Keine Verbindung zu " + uri + ": " + Detail(ld, rc));
      rc = ldap_start_tls_s(ld, nullptr, nullptr);
      if (rc > 0) {
        // The server answered the request with a refusal: no StartTLS there.
        throw TlsError("StartTLS an " + uri + " abgelehnt: " + Detail(ld, rc), path.host, path.port,
                       TlsError::Kind::NoStartTls, X509_V_OK, Detail(ld, rc));
      }
    } else {
      rc = ldap_connect(ld);
    }
    watchdog.Stop();
    if (rc == LDAP_SUCCESS) return;
    if (!watchdog.Connected()) throw DataError("Keine Verbindung zu " + uri + ": " + Detail(ld, rc));
    if (watchdog.Fired())
      throw TlsError("Zeitüberschreitung beim TLS-Verbindungsaufbau mit " + uri, path.host, path.port,
                     TlsError::Kind::Handshake, X509_V_OK, "Zeitüberschreitung");
    const std::string detail = Detail(ld, rc);
    // libldap over GnuTLS names no reason for a refused certificate: fetch
    // the certificate again without the check and ask OpenSSL why.
    const long verifyResult = tls_.verifyPeer ? RecheckCertificate(uri, path, startTls) : X509_V_OK;
    if (verifyResult != X509_V_OK)
      throw TlsError("Zertifikat von " + uri + " abgelehnt: " + X509_verify_cert_error_string(verifyResult),
                     path.host, path.port, TlsError::Kind::Certificate, verifyResult, detail);
    throw TlsError("TLS-Handshake mit " + uri + " fehlgeschlagen: " + detail, path.host, path.port,
                   TlsError::Kind::Handshake, X509_V_OK, detail);
  }

  // OpenSSL's verdict on the server's certificate, fetched over a second
  // connection that makes the handshake without checking (and sends nothing
  // else). X509_V_OK when the certificate passes or cannot be fetched.
  long RecheckCertificate(const std::string& uri, const AdsPath& path, bool startTls) {
    HandshakeWatchdog watchdog;
    LdapSession s;
    if (ldap_initialize(&s.ld, uri.c_str()) != LDAP_SUCCESS || !s.ld) return X509_V_OK;
    int version = LDAP_VERSION3;
    ldap_set_option(s.ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval connectTv{connectTimeout_, 0};
    if (connectTimeout_ > 0) ldap_set_option(s.ld, LDAP_OPT_NETWORK_TIMEOUT, &connectTv);
    timeval commandTv{commandTimeout_, 0};
    if (commandTimeout_ > 0) ldap_set_option(s.ld, LDAP_OPT_TIMEOUT, &commandTv);
    try {
      SetTlsOptions(s.ld, tls_, false);
    } catch (const DataError&) {
      return X509_V_OK;
    }
    watchdog.Watch(s.ld, HandshakeLimit());
    int rc = ldap_connect(s.ld);
    if (rc == LDAP_SUCCESS && startTls) rc = ldap_start_tls_s(s.ld, nullptr, nullptr);
    watchdog.Stop();
    if (rc != LDAP_SUCCESS) return X509_V_OK;
    berval der{0, nullptr};
    if (ldap_get_option(s.ld, LDAP_OPT_X_TLS_PEERCERT, &der) != LDAP_OPT_SUCCESS || !der.bv_val) return X509_V_OK;
    const long result = VerifyCertificate(der, path.host, tls_.caFile);
    ber_memfree(der.bv_val);
    return result;
  }

  // The time a connection may take to be secured: the connect time-out for
  // the handshake plus the command time-out for the StartTLS request.
  std::chrono::milliseconds HandshakeLimit() const {
    return std::chrono::seconds(std::max(connectTimeout_, 1) + std::max(commandTimeout_, 0));
  }

  // Every attribute the query names must be in the server's schema, as on
  // Active Directory; an unreadable schema (no names) checks nothing.
  static void CheckAttributes(const std::set<std::string>& known, const LdapQuery& q) {
    if (known.empty()) return;
    auto check = [&](const std::string& a) {
      if (!known.count(Lower(a))) throw DataError("Unbekanntes Attribut: " + a);
    };
    for (const auto& a : q.attributes) check(a);
    for (const auto& [a, v] : q.equals) check(a);
    if (!q.orderBy.empty()) check(q.orderBy);
  }

  // One subtree search read page by page; a row per entry with the wanted
  // attributes in order.
  static std::vector<std::vector<Value>> SearchPaged(LDAP* ld, const std::string& baseDn, const std::string& filter,
                                                     std::vector<std::string> wanted, timeval* tv) {
    std::vector<char*> attrs;
    for (auto& a : wanted) attrs.push_back(a.data());
    attrs.push_back(nullptr);
    std::vector<std::vector<Value>> rows;
    std::string cookie;
    do {
      MessagePtr res = SearchPage(ld, baseDn, filter, attrs.data(), cookie, tv);
      for (LDAPMessage* e = ldap_first_entry(ld, res.get()); e; e = ldap_next_entry(ld, e)) {
        std::vector<Value> row;
        row.reserve(wanted.size());
        for (const auto& a : wanted) row.push_back(Values(ld, e, a));
        rows.push_back(std::move(row));
      }
      cookie = NextPageCookie(ld, res.get());
    } while (!cookie.empty());
    return rows;
  }

  // One page of the search, continuing after `cookie` (empty: the first).
  static MessagePtr SearchPage(LDAP* ld, const std::string& baseDn, const std::string& filter, char** attrs,
                               std::string& cookie, timeval* tv) {
    berval cookieBv{static_cast<ber_len_t>(cookie.size()), cookie.data()};
    LDAPControl* rawPage = nullptr;
    if (ldap_create_page_control(ld, kPageSize, cookie.empty() ? nullptr : &cookieBv, 0, &rawPage) != LDAP_SUCCESS)
      throw DataError("LDAP: Steuerelement für seitenweises Lesen nicht verfügbar");
    ControlPtr page(rawPage);
    LDAPControl* ctrls[] = {page.get(), nullptr};
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(ld, baseDn.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, ctrls,
                                     nullptr, tv, LDAP_NO_LIMIT, &raw);
    MessagePtr res(raw);
    if (rc != LDAP_SUCCESS) throw SearchFailed("LDAP-Suche fehlgeschlagen: " + Detail(ld, rc), rc);
    return res;
  }

  // The server's cookie for the next page; empty after the last one.
  static std::string NextPageCookie(LDAP* ld, LDAPMessage* res) {
    std::string cookie;
    LDAPControl** rawReturned = nullptr;
    int err = LDAP_SUCCESS;
    ldap_parse_result(ld, res, &err, nullptr, nullptr, nullptr, &rawReturned, 0);
    ControlsPtr returned(rawReturned);
    if (LDAPControl* pr = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned.get(), nullptr)) {
      ber_int_t estimate = 0;
      berval next{0, nullptr};
      if (ldap_parse_pageresponse_control(ld, pr, &estimate, &next) == LDAP_SUCCESS && next.bv_val) {
        cookie.assign(next.bv_val, next.bv_len);
        ber_memfree(next.bv_val);
      }
    }
    return cookie;
  }

  void Bind(LDAP* ld, const std::string& uri, const AdsPath& path) {
    int rc;
    if (integrated_) {
      // Inside TLS no SASL layer is wanted (Active Directory refuses one
      // there); with sealing asked for on a plain connection the bind must
      // give at least an integrity layer.
      if (tls_.ssl) {
        ldap_set_option(ld, LDAP_OPT_X_SASL_SECPROPS, "maxssf=0");
      } else if (tls_.sealing) {
        ldap_set_option(ld, LDAP_OPT_X_SASL_SECPROPS, "minssf=1");
      }
      // Active Directory knows its LDAP service by each controller's own
      // name (ldap/dc1.example.com), not by the domain's name that the path
      // LDAP://example.com connects to. So first ask for the service under
      // the name the server's address resolves back to, then, where that
      // reverse name is missing or foreign (localhost), under the name as
      // written in the path.
      rc = ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, SaslDefaults,
                                        nullptr);
      if (rc != LDAP_SUCCESS && rc != LDAP_SERVER_DOWN && rc != LDAP_TIMEOUT) {
        ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
        rc = ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, SaslDefaults,
                                          nullptr);
      }
      if (rc != LDAP_SUCCESS)
        throw DataError("Integrierte Anmeldung (Kerberos/GSSAPI) an " + uri +
                        " fehlgeschlagen; der Prozess hat keine gültigen Kerberos-Anmeldedaten (kinit)? " +
                        Detail(ld, rc));
      return;
    }
    berval cred{static_cast<ber_len_t>(password_.size()), password_.data()};
    rc = ldap_sasl_bind_s(ld, userId_.empty() ? nullptr : userId_.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                          nullptr);
    if ((rc == LDAP_STRONG_AUTH_REQUIRED || rc == LDAP_CONFIDENTIALITY_REQUIRED) && !tls_.ssl && !tls_.sealing)
      throw EncryptionRequired("LDAP-Anmeldung an " + uri + " fehlgeschlagen: " + Detail(ld, rc), path.host,
                               path.port);
    if (rc != LDAP_SUCCESS) throw DataError("LDAP-Anmeldung an " + uri + " fehlgeschlagen: " + Detail(ld, rc));
  }

  static Value Values(LDAP* ld, LDAPMessage* e, const std::string& attr) {
    std::vector<Value> all;
    for (auto& text : AttributeTexts(ld, e, attr.c_str())) all.emplace_back(std::move(text));
    if (all.empty()) return Value();
    if (all.size() == 1) return std::move(all.front());
    return Value::Array(std::move(all));
  }

  // Client-side sort (servers refuse to sort on attributes without an
  // ordering rule): by text ignoring ASCII letter case, nulls first, stable.
  static void Sort(std::vector<std::vector<Value>>& rows, std::size_t col, bool descending) {
    auto key = [col](const std::vector<Value>& r) {
      const Value& v = r[col];
      return Lower(v.IsArray() && !v.Elements().empty() ? v.Elements().front().AsText() : v.AsText());
    };
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) keys.emplace_back(key(rows[i]), i);
    std::stable_sort(keys.begin(), keys.end(), [descending](const auto& a, const auto& b) {
      return descending ? a.first > b.first : a.first < b.first;
    });
    std::vector<std::vector<Value>> sorted;
    sorted.reserve(rows.size());
    for (const auto& k : keys) sorted.push_back(std::move(rows[k.second]));
    rows = std::move(sorted);
  }

  std::string userId_, password_;
  bool integrated_ = false;
  TlsOptions tls_;
  int connectTimeout_ = 15, commandTimeout_ = 60;
  bool connected_ = false;
  std::unique_ptr<BoundSession> bound_;  // the bound session, once a search made it
};

}  // namespace

std::unique_ptr<Provider> MakeLdapProvider() { return std::make_unique<LdapProvider>(); }

}  // namespace qm::data
