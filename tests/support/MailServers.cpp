#include "MailServers.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "LoopbackSocket.h"
#include "TestDir.h"
#include "platform/process/Process.h"

namespace fs = std::filesystem;

namespace {

std::string MakeTempDir(const char* tag) {
  std::string tmpl = (fs::temp_directory_path() / (std::string("qm") + tag + "-XXXXXX")).string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  ::chmod(tmpl.c_str(), 0755);  // the mail user must traverse it
  return tmpl + "/";
}

bool Accepts(std::uint16_t port) {
  int fd = ConnectLoopback(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

using qm::process::Child;
using qm::process::Scope;

/// Starts argv (a full path) with stdin from /dev/null and stdout/stderr
/// appended to logPath, in a process group of its own.
Child Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  qm::process::SpawnOptions options;
  options.argv = argv;
  options.searchPath = false;
  options.in = qm::process::Stream::Null();
  options.out = qm::process::Stream::Append(logPath);
  options.err = qm::process::Stream::ToStdout();
  options.ownProcessGroup = true;
  return qm::process::Spawn(options);
}

/// Waits until the server accepts connections; throws with its log when it
/// ends or does not come up (it is then killed with its group).
Child WaitReady(Child child, std::uint16_t port, const std::string& logPath, const char* what) {
  for (int i = 0; i < 300; ++i) {
    if (Accepts(port)) return child;
    if (child.Poll()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error(std::string(what) + " did not start: " + ReadFileBytes(logPath));
}

void StopProcess(Child& server) {
  // Dovecot takes about a second; a paused server is continued to end.
  if (server.Owns()) server.Terminate(std::chrono::seconds(5), Scope::Group);
}

}  // namespace

// ---- Dovecot ---------------------------------------------------------------

Pop3Fixture::Pop3Fixture() : dir_(MakeTempDir("pop3")) {
  for (const char* d : {"Maildir/new", "Maildir/cur", "Maildir/tmp", "run", "home"}) fs::create_directories(dir_ + d);
}

Pop3Fixture::~Pop3Fixture() {
  Stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void Pop3Fixture::Deliver(const std::string& message) {
  ++delivered_;
  std::string name = std::to_string(1700000000 + delivered_) + ".M" + std::to_string(delivered_) + "P1.qmtest";
  WriteFileBytes(dir_ + "Maildir/tmp/" + name, message);
  fs::rename(dir_ + "Maildir/tmp/" + name, dir_ + "Maildir/new/" + name);
  if (::geteuid() == 0) {
    ::chown((dir_ + "Maildir/new/" + name).c_str(), 65534, 65534);
  }
}

void Pop3Fixture::UseTls(const std::string& certFile, const std::string& keyFile) {
  certFile_ = certFile;
  keyFile_ = keyFile;
}

void Pop3Fixture::Start() {
  port_ = FreeLoopbackPort();
  const bool tls = !certFile_.empty();
  tlsPort_ = tls ? FreeLoopbackPort() : 0;
  const bool root = ::geteuid() == 0;
  const unsigned uid = root ? 65534 : ::geteuid();
  const unsigned gid = root ? 65534 : ::getegid();
  std::string me = root ? "root" : std::string(getlogin() ? getlogin() : "");
  if (root) {
    for (auto& p : fs::recursive_directory_iterator(dir_ + "Maildir")) ::chown(p.path().c_str(), uid, gid);
    for (const char* d : {"Maildir", "home"}) ::chown((dir_ + d).c_str(), uid, gid);
  }
  WriteFileBytes(dir_ + "passwd", User() + ":{PLAIN}" + Password() + "::::::\n");
  std::string internalUser = root ? "dovecot" : me;
  std::string loginUser = root ? "dovenull" : me;
  std::string conf =
      "base_dir = " + dir_ + "run\n"
      "state_dir = " + dir_ + "run\n"
      "log_path = " + dir_ + "dovecot.log\n"
      "protocols = pop3\n"
      "listen = 127.0.0.1\n"
      + (tls ? "ssl = required\nssl_cert = <" + certFile_ + "\nssl_key = <" + keyFile_ + "\n"
             : std::string("ssl = no\n")) +
      "disable_plaintext_auth = no\n"
      "auth_mechanisms = plain login\n"
      "default_internal_user = " + internalUser + "\n"
      "default_login_user = " + loginUser + "\n"
      "first_valid_uid = 1\n"
      "mail_location = maildir:" + dir_ + "Maildir\n"
      "pop3_uidl_format = %08Xu%08Xv\n"
      "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + dir_ + "passwd\n}\n"
      "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid) + " gid=" + std::to_string(gid) +
      " home=" + dir_ + "home\n}\n"
      "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " +
      std::to_string(port_) + "\n  }\n" +
      (tls ? "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " + std::to_string(tlsPort_) +
                 "\n    ssl = yes\n  }\n"
           : std::string()) +
      "}\n"
      "service imap-login {\n  inet_listener imap {\n    port = 0\n  }\n}\n";
  WriteFileBytes(dir_ + "dovecot.conf", conf);
  // The pid alone is kept: Kill() may come from a relay's thread.
  pid_ = WaitReady(Spawn({"/usr/sbin/dovecot", "-F", "-c", dir_ + "dovecot.conf"}, dir_ + "dovecot.out"), port_,
                   dir_ + "dovecot.out", "dovecot")
             .Release();
}

void Pop3Fixture::Stop() {
  int pid = pid_.exchange(-1);
  if (pid <= 0) return;
  Child dovecot = Child::Adopt(pid, true);
  StopProcess(dovecot);
}

// Dovecot's master, login, auth and mail processes share the process group
// the fixture started it in.
void Pop3Fixture::Pause() {
  if (int pid = pid_; pid > 0) ::kill(-pid, SIGSTOP);
}

void Pop3Fixture::Resume() {
  if (int pid = pid_; pid > 0) ::kill(-pid, SIGCONT);
}

void Pop3Fixture::Kill() {
  int pid = pid_.exchange(-1);
  if (pid > 0) Child::Adopt(pid, true).Kill(Scope::Group);
}

std::vector<std::string> Pop3Fixture::Remaining() const {
  std::vector<std::string> names;
  for (const char* d : {"Maildir/new", "Maildir/cur"})
    for (auto& p : fs::directory_iterator(dir_ + d)) names.push_back(p.path().string());
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return fs::path(a).filename() < fs::path(b).filename(); });
  std::vector<std::string> out;
  for (auto& n : names) out.push_back(ReadFileBytes(n));
  return out;
}

int Pop3Fixture::TlsLogins() const {
  std::istringstream log(fs::exists(dir_ + "dovecot.log") ? ReadFileBytes(dir_ + "dovecot.log") : "");
  int n = 0;
  for (std::string line; std::getline(log, line);)
    if (line.find("Login: user=<" + User() + ">") != std::string::npos &&
        (line.find(", TLS, ") != std::string::npos || line.rfind(", TLS") + 5 == line.size()))
      ++n;
  return n;
}

int Pop3Fixture::MessageCount() const { return static_cast<int>(Remaining().size()); }

// ---- aiosmtpd ----------------------------------------------------------------

SmtpFixture::SmtpFixture() : dir_(MakeTempDir("smtp")) {
  WriteFileBytes(dir_ + "user", User());
  WriteFileBytes(dir_ + "password", "secret");
  WriteFileBytes(dir_ + "refuse", "");
}

SmtpFixture::~SmtpFixture() {
  Stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void SmtpFixture::Start() {
  port_ = FreeLoopbackPort();
  Launch();
}

void SmtpFixture::Restart() {
  Stop();
  Launch();
}

void SmtpFixture::UseTls(const std::string& certFile, const std::string& keyFile, bool implicit) {
  tlsArgs_ = {implicit ? "implicit" : "starttls", certFile, keyFile};
}

void SmtpFixture::OfferTls(const std::string& certFile, const std::string& keyFile) {
  tlsArgs_ = {"optional", certFile, keyFile};
}

void SmtpFixture::Launch() {
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(QM_SOURCE_DIR) + "/tests/support/smtp_server.py",
                                   std::to_string(port_), dir_};
  argv.insert(argv.end(), tlsArgs_.begin(), tlsArgs_.end());
  server_ = WaitReady(Spawn(argv,
                            dir_ + "server.log"),
                      port_, dir_ + "server.log", "smtp_server.py");
}

void SmtpFixture::Stop() { StopProcess(server_); }

void SmtpFixture::Pause() { server_.Signal(SIGSTOP, Scope::Group); }

void SmtpFixture::Resume() { server_.Signal(SIGCONT, Scope::Group); }

void SmtpFixture::SetPassword(const std::string& password) { WriteFileBytes(dir_ + "password", password); }

void SmtpFixture::RefuseRecipient(const std::string& address) {
  WriteFileBytes(dir_ + "refuse", ReadFileBytes(dir_ + "refuse") + address + "\n");
}

void SmtpFixture::FailAt(const std::string& step, const std::string& reply) {
  WriteFileBytes(dir_ + "fault", step + " " + reply + "\n");
}

void SmtpFixture::DropAt(const std::string& step) { WriteFileBytes(dir_ + "fault", "DROP " + step + "\n"); }

void SmtpFixture::CutData(std::size_t bytes) { WriteFileBytes(dir_ + "fault", "CUT " + std::to_string(bytes) + "\n"); }

void SmtpFixture::ExitInData(std::size_t bytes) {
  WriteFileBytes(dir_ + "fault", "EXIT " + std::to_string(bytes) + "\n");
}

void SmtpFixture::StopInData() { WriteFileBytes(dir_ + "fault", "STOP DATA\n"); }

void SmtpFixture::ClearFault() { WriteFileBytes(dir_ + "fault", ""); }

std::vector<std::string> SmtpFixture::Fired() const {
  std::vector<std::string> out;
  if (!fs::exists(dir_ + "fired")) return out;
  std::string text = ReadFileBytes(dir_ + "fired");
  std::size_t pos = 0;
  for (std::size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) out.push_back(text.substr(pos, nl - pos));
  return out;
}

bool SmtpFixture::WaitExited() {
  if (!server_.Owns()) return true;
  if (!server_.WaitFor(std::chrono::seconds(5))) return false;
  server_.Kill(Scope::Group);  // whatever else of the group is left
  return true;
}

std::vector<SmtpFixture::Stored> SmtpFixture::Messages() const {
  std::vector<std::string> names;
  if (fs::exists(dir_ + "messages"))
    for (auto& p : fs::directory_iterator(dir_ + "messages"))
      if (p.path().extension() == ".eml") names.push_back(p.path().string());
  std::sort(names.begin(), names.end());
  std::vector<Stored> out;
  for (auto& n : names) {
    std::string base = n.substr(0, n.size() - 4);
    out.push_back({ReadFileBytes(base + ".env"), ReadFileBytes(n)});
  }
  return out;
}
