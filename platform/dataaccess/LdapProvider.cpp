// Provider "ADsDSOObject": queries in the Active Directory LDAP dialect run as
// LDAP searches with the OpenLDAP client library.
#include <ldap.h>
#include <sasl/sasl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

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

class LdapSession {
 public:
  ~LdapSession() {
    if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
  LDAP* ld = nullptr;
};

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
    userId_ = ConnectionValue(pairs, "User ID");
    password_ = ConnectionValue(pairs, "Password");
    integrated_ = userId_.empty() && SameTextIgnoringCase(ConnectionValue(pairs, "Integrated Security"), "SSPI");
    connectTimeout_ = connectTimeout;
    commandTimeout_ = commandTimeout;
    connected_ = true;
  }
  void Close() override { connected_ = false; }
  bool Connected() const override { return connected_; }

  ResultSet Execute(const std::string& queryText) override {
    const LdapQuery q = ParseLdapQuery(queryText);
    const AdsPath path = ParseAdsPath(q.path);
    const std::string host = path.host.find(':') != std::string::npos ? "[" + path.host + "]" : path.host;
    const std::string uri = "ldap://" + host + ":" + std::to_string(path.port);

    LdapSession s;
    timeval commandTv{commandTimeout_, 0};
    timeval* tv = commandTimeout_ > 0 ? &commandTv : nullptr;
    Connect(s, uri, tv);
    Bind(s.ld, uri);
    CheckAttributes(SchemaNames(s.ld, uri, tv), q);

    // The sort attribute is fetched too when it is not among the columns.
    std::vector<std::string> wanted = q.attributes;
    std::size_t sortIndex = wanted.size();
    if (!q.orderBy.empty()) {
      for (std::size_t i = 0; i < wanted.size(); ++i)
        if (SameTextIgnoringCase(wanted[i], q.orderBy)) sortIndex = i;
      if (sortIndex == wanted.size()) wanted.push_back(q.orderBy);
    }
    std::vector<std::vector<Value>> rows = SearchPaged(s.ld, path.baseDn, BuildFilter(q.equals), wanted, tv);

    if (!q.orderBy.empty()) Sort(rows, sortIndex, q.descending);
    ResultSet result;
    result.columns = q.attributes;
    for (auto& r : rows) r.resize(q.attributes.size());
    result.rows = std::move(rows);
    return result;
  }

  ResultSet ReadTable(const std::string&) override {
    throw DataError("Der Provider ADsDSOObject unterstützt keine Tabellen");
  }
  std::vector<TableInfo> Tables() override { throw DataError("Der Provider ADsDSOObject unterstützt kein Schema"); }
  std::vector<std::string> Columns(const std::string&) override {
    throw DataError("Der Provider ADsDSOObject unterstützt kein Schema");
  }

 private:
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
    if (rc != LDAP_SUCCESS) throw DataError("LDAP-Suche fehlgeschlagen: " + Detail(ld, rc));
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

  void Bind(LDAP* ld, const std::string& uri) {
    int rc;
    if (integrated_) {
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
  int connectTimeout_ = 15, commandTimeout_ = 60;
  bool connected_ = false;
};

}  // namespace

std::unique_ptr<Provider> MakeLdapProvider() { return std::make_unique<LdapProvider>(); }

}  // namespace qm::data
