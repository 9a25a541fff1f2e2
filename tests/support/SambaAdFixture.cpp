#include "SambaAdFixture.h"

#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "TestCa.h"
#include "platform/process/Process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSamba = "/usr/sbin/samba";
constexpr const char* kSambaTool = "/usr/bin/samba-tool";
constexpr const char* kSpnUpdate = "/usr/sbin/samba_spnupdate";
constexpr const char* kLdbAdd = "/usr/bin/ldbadd";
constexpr const char* kKinit = "/usr/bin/kinit";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("SambaAdFixture: cannot write " + path);
}

std::string Base64(const std::string& in) {
  static const char* b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {b64[v >> 18], b64[(v >> 12) & 63], b64[(v >> 6) & 63], b64[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {b64[v >> 18], b64[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {b64[v >> 18], b64[(v >> 12) & 63], b64[(v >> 6) & 63], '='};
  }
  return out;
}

std::string LdifLine(const std::string& attr, const std::string& value) {
  bool safe = !value.empty() && value.front() != ' ' && value.front() != ':' && value.front() != '<' &&
              value.back() != ' ';
  for (unsigned char c : value)
    if (c < 0x20 || c >= 0x7f) safe = false;
  return safe ? attr + ": " + value + "\n" : attr + ":: " + Base64(value) + "\n";
}

// Starts args with stdin from inPath and stdout/stderr appended to logPath,
// in a process group of its own.
qm::process::Child Spawn(const std::vector<std::string>& args, const std::string& logPath,
                         const std::string& inPath = "/dev/null") {
  qm::process::SpawnOptions options;
  options.argv = args;
  options.in = qm::process::Stream::File(inPath);
  options.out = qm::process::Stream::Append(logPath);
  options.err = qm::process::Stream::ToStdout();
  options.ownProcessGroup = true;
  try {
    return qm::process::Spawn(options);
  } catch (const qm::process::SpawnError& e) {
    throw std::runtime_error("SambaAdFixture: cannot start " + args[0] + ": " + std::strerror(e.Errno()));
  }
}

// Runs args to the end; throws with the tail of its output when it fails.
void Run(const std::vector<std::string>& args, const std::string& logPath, const std::string& inPath = "/dev/null") {
  std::size_t before = ReadAll(logPath).size();
  if (!Spawn(args, logPath, inPath).Reap().Succeeded()) {
    std::string out = ReadAll(logPath).substr(before);
    if (out.size() > 1500) out = "..." + out.substr(out.size() - 1500);
    throw std::runtime_error("SambaAdFixture: " + args[0] + " failed:\n" + out);
  }
}

// True when TCP port `port` of `address` can be bound (nobody holds it).
bool PortFree(const std::string& address, int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

SambaAdFixture::SambaAdFixture() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmsamba-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("SambaAdFixture: mkdtemp failed");
  dir_ = tmpl + "/";
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                         std::filesystem::perms::others_exec);
}

SambaAdFixture::~SambaAdFixture() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string SambaAdFixture::UserLdif(const TestUser& user, int n) const {
  std::string account = "qmuser" + std::to_string(n);
  std::string ldif = "dn: CN=" + account + ",CN=Users," + BaseDn() + "\n" + "objectClass: user\n" +
                     LdifLine("sAMAccountName", account) + LdifLine("mail", user.mail);
  auto opt = [&](const char* attr, const std::optional<std::string>& v) {
    if (v && !v->empty()) ldif += LdifLine(attr, *v);
  };
  opt("givenName", user.givenName);
  opt("sn", user.sn);
  opt("telephoneNumber", user.telephoneNumber);
  for (const auto& t : user.otherTelephone) ldif += LdifLine("otherTelephone", t);
  opt("company", user.company);
  return ldif + "\n";
}

void SambaAdFixture::AddUser(const TestUser& user) {
  if (Running()) throw std::logic_error("SambaAdFixture: users are added before Start");
  pendingLdif_ += UserLdif(user, ++queued_);
}

void SambaAdFixture::AddUsers(int n, int first) {
  for (int i = first; i < first + n; ++i) AddUser(MakeTestUser(i));
}

void SambaAdFixture::Start() {
  if (geteuid() != 0) throw SambaUnavailable("Samba as a domain controller needs root");
  for (const char* tool : {kSamba, kSambaTool, kSpnUpdate, kLdbAdd})
    if (access(tool, X_OK) != 0) throw SambaUnavailable(std::string(tool) + " is not installed (scripts/bootstrap)");

  // A loopback address of our own whose LDAP and Kerberos ports are free.
  std::random_device rd;
  std::mt19937 rng(rd() ^ static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < 20 && address_.empty(); ++attempt) {
    std::string candidate = "127." + std::to_string(100 + rng() % 150) + "." + std::to_string(rng() % 256) + "." +
                            std::to_string(1 + rng() % 254);
    if (PortFree(candidate, 389) && PortFree(candidate, 88) && PortFree(candidate, 636)) address_ = candidate;
  }
  if (address_.empty()) throw SambaUnavailable("no loopback address with free ports 389/88/636");

  auto t0 = Clock::now();
  Provision();
  PatchConfig();
  Seed();
  provisionSeconds_ = Seconds(t0);
  auto t1 = Clock::now();
  Launch();
  WaitForLdap();
  startSeconds_ = Seconds(t1);
}

void SambaAdFixture::Provision() {
  Run({kSambaTool, "domain", "provision", "--realm=" + Realm(), "--domain=" + Domain(), "--server-role=dc",
       "--dns-backend=NONE", "--adminpass=" + AdminPassword(), "--targetdir=" + dir_ + "dc", "--host-name=dc",
       "--host-ip=" + address_, "--option=interfaces = " + address_ + "/8", "--option=bind interfaces only = yes",
       "--option=server services = ldap kdc"},
      dir_ + "provision.log");
}

void SambaAdFixture::PatchConfig() {
  // The server's certificate comes from the test CA, for the controller's
  // names and its address; samba takes only a key file that is its owner's
  // alone. Strong authentication stays at samba's default: simple binds
  // only over TLS.
  const TestCertificate cert = TestCa::Shared().Issue(
      "samba-" + address_, DcHostName(), "DNS:" + DcHostName() + ",DNS:" + DnsDomain() + ",IP:" + address_);
  const std::string key = dir_ + "tls-key.pem";
  WriteAll(key, ReadAll(cert.key));
  ::chmod(key.c_str(), 0600);
  std::string conf = ReadAll(dir_ + "dc/etc/smb.conf");
  std::size_t global = conf.find("[global]\n");
  if (global == std::string::npos) throw std::runtime_error("SambaAdFixture: smb.conf without [global]");
  conf.insert(global + 9, "\ttls enabled = yes\n\ttls certfile = " + cert.cert + "\n\ttls keyfile = " + key +
                              "\n\ttls cafile = " + CaFile() + "\n\tlog file = " + dir_ + "samba.log\n");
  WriteAll(dir_ + "dc/etc/smb.conf", conf);
}

std::string SambaAdFixture::CaFile() const { return TestCa::Shared().caFile; }

void SambaAdFixture::Seed() {
  // The reader may bind: a password, an enabled normal account (512).
  std::u16string quoted = u"\"";
  for (char c : ReaderPassword()) quoted += static_cast<char16_t>(c);
  quoted += u"\"";
  std::string utf16;
  for (char16_t c : quoted) utf16 += {static_cast<char>(c & 0xff), static_cast<char>(c >> 8)};
  std::string ldif = "dn: " + ReaderDn() + "\nobjectClass: user\nsAMAccountName: reader\n" +
                     "userPrincipalName: " + ReaderUpn() + "\nuserAccountControl: 512\nunicodePwd:: " +
                     Base64(utf16) + "\n\n" + pendingLdif_;
  WriteAll(dir_ + "seed.ldif", ldif);
  Run({kLdbAdd, "-H", dir_ + "dc/private/sam.ldb", dir_ + "seed.ldif"}, dir_ + "seed.log");
  // The server's LDAP service names (ldap/dc.quilltest.lan ...), which a
  // running domain controller would register itself.
  Run({kSpnUpdate, "-s", dir_ + "dc/etc/smb.conf"}, dir_ + "seed.log");
}

void SambaAdFixture::Launch() {
  samba_ = Spawn({kSamba, "-i", "-M", "single", "-s", dir_ + "dc/etc/smb.conf"}, dir_ + "samba.out");
}

void SambaAdFixture::WaitForLdap() {
  std::string uri = "ldap://" + address_ + ":389";
  auto deadline = Clock::now() + std::chrono::seconds(90);
  while (Clock::now() < deadline) {
    if (samba_.Poll()) {
      samba_.Kill(qm::process::Scope::Group);  // reaped, with whatever of the group is left
      std::string out = ReadAll(dir_ + "samba.out");
      if (out.size() > 1500) out = "..." + out.substr(out.size() - 1500);
      throw SambaUnavailable("samba ended at start:\n" + out);
    }
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, uri.c_str()) == LDAP_SUCCESS) {
      int version = LDAP_VERSION3;
      ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
      timeval tv{2, 0};
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &tv);
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &tv);
      // Simple binds need TLS here: StartTLS, the certificate checked
      // against the test CA.
      int demand = LDAP_OPT_X_TLS_DEMAND, client = 0;
      ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
      ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, CaFile().c_str());
      ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
      std::string pw = ReaderPassword();
      berval cred{static_cast<ber_len_t>(pw.size()), pw.data()};
      int rc = ldap_start_tls_s(ld, nullptr, nullptr);
      if (rc == LDAP_SUCCESS)
        rc = ldap_sasl_bind_s(ld, ReaderUpn().c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
      ldap_unbind_ext_s(ld, nullptr, nullptr);
      if (rc == LDAP_SUCCESS) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Stop();
  throw std::runtime_error("SambaAdFixture: LDAP did not answer within 90 s (see " + dir_ + "samba.out)");
}

void SambaAdFixture::Stop() {
  // SIGTERM to the group, SIGKILL after 10 s; whatever of the group is left
  // is killed in any case.
  if (samba_.Owns()) samba_.Terminate(std::chrono::seconds(10), qm::process::Scope::Group);
}

void SambaAdFixture::Kinit() {
  if (access(kKinit, X_OK) != 0) throw std::runtime_error("kinit is not installed (krb5-user)");
  WriteAll(dir_ + "krb5.conf", "[libdefaults]\n\tdefault_realm = " + Realm() +
                                   "\n\tdns_lookup_realm = false\n\tdns_lookup_kdc = false\n"
                                   "\tdns_canonicalize_hostname = false\n\trdns = false\n"
                                   "[realms]\n\t" + Realm() + " = {\n\t\tkdc = " + address_ + "\n\t}\n"
                                   "[domain_realm]\n\t" + DnsDomain() + " = " + Realm() + "\n\t." + DnsDomain() +
                                   " = " + Realm() + "\n");
  WriteAll(dir_ + "kinit.in", ReaderPassword() + "\n");
  setenv("KRB5_CONFIG", (dir_ + "krb5.conf").c_str(), 1);
  setenv("KRB5CCNAME", ("FILE:" + dir_ + "ccache").c_str(), 1);
  Run({kKinit, "reader@" + Realm()}, dir_ + "kinit.log", dir_ + "kinit.in");
}

bool UsePrivateHostsFile(const std::string& extraLines, const std::string& dir, std::string* why) {
  std::string path = dir + "hosts";
  WriteAll(path, extraLines + ReadAll("/etc/hosts"));
  if (unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("making / private: ") + std::strerror(errno);
    return false;
  }
  if (mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    *why = std::string("bind-mounting /etc/hosts: ") + std::strerror(errno);
    return false;
  }
  return true;
}
