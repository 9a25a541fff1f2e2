#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "DirectoryFixtures.h"
#include "TestCa.h"
#include "platform/process/Process.h"

namespace {

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

// The Active Directory names our queries use, as a private schema. The OIDs
// lie in a private test arc.
constexpr const char* kAdSchema = R"(attributetype ( 1.3.6.1.4.1.32473.1.1.1 NAME 'objectCategory'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.32473.1.1.2 NAME 'otherTelephone'
  EQUALITY telephoneNumberMatch SUBSTR telephoneNumberSubstringsMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.50 )
attributetype ( 1.3.6.1.4.1.32473.1.1.3 NAME 'company'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
objectclass ( 1.3.6.1.4.1.32473.1.2.1 NAME 'user' SUP inetOrgPerson STRUCTURAL
  MAY ( objectCategory $ otherTelephone $ company ) )
)";

int FreeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("SlapdFixture: no free port");
  }
  close(s);
  return ntohs(a.sin_port);
}

// True when process `pid` holds the socket listening on 127.0.0.1:`port`.
// A free port can be taken by another test's server between our choice and
// our bind; such a server would answer in our place, so accepting alone does
// not prove that the server we started is up.
bool OwnsListener(pid_t pid, int port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line, inode;
  std::getline(tcp, line);  // header
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, node;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> node;
    if (local == wanted && state == "0A") inode = node;
  }
  if (inode.empty()) return false;
  const std::string target = "socket:[" + inode + "]";
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code readEc;
    if (std::filesystem::read_symlink(fd.path(), readEc).string() == target) return true;
  }
  return false;
}

bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Starts argv with stdout and stderr appended to logPath.
qm::process::Child Spawn(const std::vector<std::string>& args, const std::string& logPath) {
  qm::process::SpawnOptions options;
  options.argv = args;
  options.in = qm::process::Stream::Null();
  options.out = qm::process::Stream::Append(logPath);
  options.err = qm::process::Stream::ToStdout();
  try {
    return qm::process::Spawn(options);
  } catch (const qm::process::SpawnError&) {
    throw std::runtime_error("SlapdFixture: cannot start " + args[0]);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string LdifLine(const std::string& attr, const std::string& value) {
  bool safe = !value.empty() && value.front() != ' ' && value.front() != ':' && value.front() != '<' &&
              value.back() != ' ';
  for (unsigned char c : value)
    if (c < 0x20 || c >= 0x7f) safe = false;
  if (value.empty()) return attr + ":\n";
  if (safe) return attr + ": " + value + "\n";
  static const char* b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < value.size(); i += 3) {
    unsigned n = (unsigned char)value[i] << 16 | (unsigned char)value[i + 1] << 8 | (unsigned char)value[i + 2];
    out += {b64[n >> 18], b64[(n >> 12) & 63], b64[(n >> 6) & 63], b64[n & 63]};
  }
  if (i + 1 == value.size()) {
    unsigned n = (unsigned char)value[i] << 16;
    out += {b64[n >> 18], b64[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == value.size()) {
    unsigned n = (unsigned char)value[i] << 16 | (unsigned char)value[i + 1] << 8;
    out += {b64[n >> 18], b64[(n >> 12) & 63], b64[(n >> 6) & 63], '='};
  }
  return attr + ":: " + out + "\n";
}

std::string EntryLdif(const std::string& dn, const SlapdFixture::Attributes& attrs) {
  std::string out = LdifLine("dn", dn);
  for (const auto& [name, values] : attrs)
    for (const auto& v : values) out += LdifLine(name, v);
  return out + "\n";
}

// Escapes an RDN value (RFC 4514) for the few characters test names carry.
std::string RdnValue(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (std::string(",+\"\\<>;=#").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

SlapdFixture::SlapdFixture(std::string bindPassword) : bindPassword_(std::move(bindPassword)) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmslapd-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("SlapdFixture: mkdtemp failed");
  dir_ = tmpl + "/";
  std::filesystem::create_directory(dir_ + "db");
  pendingLdif_ = EntryLdif(suffix_, {{"objectClass", {"dcObject", "organization"}}, {"dc", {"example"}}, {"o", {"Example"}}}) +
                 EntryLdif(UsersDn(), {{"objectClass", {"organizationalUnit"}}, {"ou", {"users"}}}) +
                 EntryLdif(BindDn(), {{"objectClass", {"person"}},
                                      {"cn", {"reader"}},
                                      {"sn", {"reader"}},
                                      {"userPassword", {BindPassword()}}});
}

SlapdFixture::~SlapdFixture() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string SlapdFixture::Uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
std::string SlapdFixture::AdsPath() const { return "127.0.0.1:" + std::to_string(port_) + "/" + suffix_; }
std::string SlapdFixture::LdapsUri() const { return "ldaps://127.0.0.1:" + std::to_string(ldapsPort_); }
std::string SlapdFixture::LdapsAdsPath() const {
  return "127.0.0.1:" + std::to_string(ldapsPort_) + "/" + suffix_;
}

void SlapdFixture::UseTls(const std::string& certFile, const std::string& keyFile) {
  certFile_ = certFile;
  keyFile_ = keyFile;
}

void SlapdFixture::WriteConfig() {
  std::ofstream(dir_ + "ad.schema", std::ios::trunc) << kAdSchema;
  std::ofstream conf(dir_ + "slapd.conf", std::ios::trunc);
  conf << "include /etc/ldap/schema/core.schema\n"
          "include /etc/ldap/schema/cosine.schema\n"
          "include /etc/ldap/schema/inetorgperson.schema\n"
          "include " << dir_ << "ad.schema\n"
          "pidfile " << dir_ << "slapd.pid\n"
          "argsfile " << dir_ << "slapd.args\n"
          "modulepath /usr/lib/ldap\n"
          "moduleload back_mdb\n"
          "loglevel none\n";
  if (Tls())
    conf << "TLSCertificateFile " << certFile_ << "\n"
            "TLSCertificateKeyFile " << keyFile_ << "\n"
            "security simple_bind=1\n";
  conf << "sizelimit size.soft=1000 size.hard=1000 size.prtotal=unlimited\n"
          "database mdb\n"
          "maxsize 1073741824\n"
          "suffix \"" << suffix_ << "\"\n"
          "rootdn \"" << AdminDn() << "\"\n"
          "rootpw " << AdminPassword() << "\n"
          "directory " << dir_ << "db\n"
          "index objectClass eq\n"
          "index mail eq\n"
          "access to attrs=userPassword by anonymous auth by * none\n"
          "access to * by users read by * none\n"
          // Connection counts for tests, readable by the administrator.
          "database monitor\n"
          "access to * by dn.exact=\"" << AdminDn() << "\" read by * none\n";
}

void SlapdFixture::LoadPending() {
  // Entries queued while slapd was not running go in with slapadd.
  if (pendingLdif_.empty()) return;
  std::ofstream(dir_ + "load.ldif", std::ios::trunc) << pendingLdif_;
  auto status =
      Spawn({kSlapadd, "-q", "-f", dir_ + "slapd.conf", "-l", dir_ + "load.ldif"}, dir_ + "slapadd.log").Reap();
  if (!status.Succeeded())
    throw std::runtime_error("SlapdFixture: slapadd failed: " + ReadAll(dir_ + "slapadd.log"));
  pendingLdif_.clear();
}

void SlapdFixture::Start() {
  if (Running()) return;
  WriteConfig();
  LoadPending();
  for (int attempt = 0; attempt < 5 && !Running(); ++attempt) {
    port_ = FreeLoopbackPort();
    if (Tls()) {
      do ldapsPort_ = FreeLoopbackPort();
      while (ldapsPort_ == port_);
    }
    Launch();
  }
  if (!Running()) throw std::runtime_error("SlapdFixture: slapd did not start: " + ReadAll(dir_ + "slapd.log"));
}

bool SlapdFixture::Launch() {
  // A slapd that ends or does not come up is killed and reaped with `p`.
  const std::string urls = Tls() ? Uri() + "/ " + LdapsUri() + "/" : Uri() + "/";
  auto p = Spawn({kSlapd, "-d", "0", "-f", dir_ + "slapd.conf", "-h", urls}, dir_ + "slapd.log");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port_) && OwnsListener(p.Pid(), port_) &&
        (!Tls() || (Accepts(ldapsPort_) && OwnsListener(p.Pid(), ldapsPort_)))) {
      pid_ = p.Release();
      countQueries_ = 0;
      return true;
    }
    if (p.Poll()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void SlapdFixture::Pause() {
  if (!Running()) return;
  kill(pid_, SIGSTOP);
  // kill returns before every thread has stopped; a thread still running
  // could answer one more request. Wait (bounded) until all have.
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  for (int i = 0; i < 500; ++i) {
    bool allStopped = true;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
      std::ifstream stat(task.path() / "stat");
      std::string line;
      std::getline(stat, line);
      // The state follows the command name in parentheses: "pid (comm) T ...".
      const auto close = line.rfind(')');
      if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') allStopped = false;
    }
    if (allStopped && !ec) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void SlapdFixture::Resume() {
  if (Running()) kill(pid_, SIGCONT);
}

void SlapdFixture::Restart() {
  if (port_ == 0) {
    Start();
    return;
  }
  Stop();
  WriteConfig();
  LoadPending();
  // The old listening socket may linger a moment; slapd binds with
  // SO_REUSEADDR, so a few tries suffice.
  for (int attempt = 0; attempt < 5 && !Running(); ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Launch();
  }
  if (!Running())
    throw std::runtime_error("SlapdFixture: slapd did not start again on port " + std::to_string(port_) + ": " +
                             ReadAll(dir_ + "slapd.log"));
}

void SlapdFixture::Stop() {
  if (!Running()) return;
  // A paused server is continued, so that it can act on SIGTERM.
  qm::process::Child::Adopt(pid_).Terminate(std::chrono::seconds(10));
  pid_ = -1;
}

SlapdFixture::Attributes SlapdFixture::UserAttributes(const TestUser& u) {
  std::string cn = u.mail.substr(0, u.mail.find('@'));
  Attributes a{{"objectClass", {"user"}},
               {"objectCategory", {"person"}},
               {"cn", {cn.empty() ? "nomail" : cn}},
               {"sn", {u.sn.value_or("-")}}};
  if (!u.mail.empty()) a.push_back({"mail", {u.mail}});
  if (u.givenName) a.push_back({"givenName", {*u.givenName}});
  if (u.telephoneNumber) a.push_back({"telephoneNumber", {*u.telephoneNumber}});
  if (!u.otherTelephone.empty()) a.push_back({"otherTelephone", u.otherTelephone});
  if (u.company) a.push_back({"company", {*u.company}});
  return a;
}

void SlapdFixture::AddUser(const TestUser& user) {
  // The RDN is the whole address, so every test user gets its own entry.
  AddEntry("cn=" + RdnValue(user.mail.empty() ? "nomail" : user.mail) + "," + UsersDn(), UserAttributes(user));
}

void SlapdFixture::AddUsers(int n, int first) {
  if (!Running()) {
    for (int i = first; i < first + n; ++i) {
      TestUser u = MakeTestUser(i);
      pendingLdif_ += EntryLdif("cn=" + RdnValue(u.mail) + "," + UsersDn(), UserAttributes(u));
    }
    return;
  }
  for (int i = first; i < first + n; ++i) AddUser(MakeTestUser(i));
}

int SlapdFixture::AdminBind(LDAP*& ld) const {
  // With TLS on, the administrator binds over LDAPS (certificate unchecked:
  // this is the fixture's own server).
  if (ldap_initialize(&ld, (Tls() ? LdapsUri() : Uri()).c_str()) != LDAP_SUCCESS)
    throw std::runtime_error("SlapdFixture: ldap_initialize");
  int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (Tls()) {
    int never = LDAP_OPT_X_TLS_NEVER, client = 0;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &never);
    ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
  }
  std::string pw = AdminPassword();
  berval cred{static_cast<ber_len_t>(pw.size()), pw.data()};
  return ldap_sasl_bind_s(ld, AdminDn().c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
}

int SlapdFixture::ConnectionsAccepted() const {
  LDAP* ld = nullptr;
  int rc = AdminBind(ld);
  LDAPMessage* res = nullptr;
  char attr[] = "monitorCounter";
  char* attrs[] = {attr, nullptr};
  if (rc == LDAP_SUCCESS)
    rc = ldap_search_ext_s(ld, "cn=Total,cn=Connections,cn=Monitor", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                           nullptr, nullptr, nullptr, 0, &res);
  long total = -1;
  if (rc == LDAP_SUCCESS)
    if (LDAPMessage* e = ldap_first_entry(ld, res))
      if (berval** v = ldap_get_values_len(ld, e, attr)) {
        if (v[0]) total = std::stol(std::string(v[0]->bv_val, v[0]->bv_len));
        ldap_value_free_len(v);
      }
  ldap_msgfree(res);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  if (total < 0) throw std::runtime_error(std::string("SlapdFixture: connection count: ") + ldap_err2string(rc));
  // The connections that asked (this one and the earlier ones since the
  // start) are not counted.
  return static_cast<int>(total) - ++countQueries_;
}

void SlapdFixture::AddEntry(const std::string& dn, const Attributes& attributes) {
  if (!Running()) {
    pendingLdif_ += EntryLdif(dn, attributes);
    return;
  }
  LDAP* ld = nullptr;
  int rc = AdminBind(ld);
  if (rc == LDAP_SUCCESS) {
    std::vector<LDAPMod> mods(attributes.size());
    std::vector<std::vector<berval>> vals(attributes.size());
    std::vector<std::vector<berval*>> valPtrs(attributes.size());
    std::vector<LDAPMod*> modPtrs;
    for (size_t i = 0; i < attributes.size(); ++i) {
      for (const auto& v : attributes[i].second)
        vals[i].push_back(berval{static_cast<ber_len_t>(v.size()), const_cast<char*>(v.data())});
      for (auto& b : vals[i]) valPtrs[i].push_back(&b);
      valPtrs[i].push_back(nullptr);
      mods[i].mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
      mods[i].mod_type = const_cast<char*>(attributes[i].first.c_str());
      mods[i].mod_bvalues = valPtrs[i].data();
      modPtrs.push_back(&mods[i]);
    }
    modPtrs.push_back(nullptr);
    rc = ldap_add_ext_s(ld, dn.c_str(), modPtrs.data(), nullptr, nullptr);
  }
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) throw std::runtime_error("SlapdFixture: adding " + dn + ": " + ldap_err2string(rc));
}

std::map<std::string, std::unique_ptr<SlapdFixture>> SlapdPerTestCertificate(int users) {
  const TestCa& ca = TestCa::Shared();
  const std::pair<const char*, const TestCertificate*> certs[] = {
      {"good", &ca.server}, {"wrong name", &ca.wrongName}, {"expired", &ca.expired}, {"untrusted", &ca.untrusted}};
  std::map<std::string, std::unique_ptr<SlapdFixture>> servers;
  for (const auto& [name, cert] : certs) {
    auto server = std::make_unique<SlapdFixture>();
    server->UseTls(cert->cert, cert->key);
    server->AddUsers(users);
    server->Start();
    servers[name] = std::move(server);
  }
  return servers;
}
