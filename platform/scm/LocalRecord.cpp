#include "platform/scm/LocalRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qm::scm::local {

namespace {

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes a file under a temporary name and renames it into place, so a
// reader sees the old or the new text, never half of one.
bool ReplaceFile(const std::string& path, const std::string& text, Error* err) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (err) *err = ErrnoError(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      if (err) *err = ErrnoError(e);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    if (err) *err = ErrnoError(e);
    return false;
  }
  return true;
}

std::uint32_t ToU32(const std::string& s) { return static_cast<std::uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }

template <class F>
void ForEachLine(const std::string& text, F f) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    auto eq = line.find('=');
    if (eq != std::string::npos) f(line.substr(0, eq), line.substr(eq + 1));
    pos = end + 1;
  }
}

}  // namespace

bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\n') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string ConfigPath(const std::string& dir, const std::string& name) { return dir + "/" + name + ".service"; }
std::string StatePath(const std::string& dir, const std::string& name) { return dir + "/" + name + ".state"; }

std::optional<ServiceConfig> ReadConfig(const std::string& dir, const std::string& name) {
  auto text = ReadText(ConfigPath(dir, name));
  if (!text) return std::nullopt;
  ServiceConfig c;
  c.name = name;
  ForEachLine(*text, [&](const std::string& k, const std::string& v) {
    if (k == "displayName") c.displayName = v;
    else if (k == "serviceType") c.serviceType = ToU32(v);
    else if (k == "startType") c.startType = ToU32(v);
    else if (k == "errorControl") c.errorControl = ToU32(v);
    else if (k == "binaryPath") c.binaryPath = v;
  });
  return c;
}

bool WriteConfig(const std::string& dir, const ServiceConfig& c, bool mustBeNew, Error* err) {
  std::string path = ConfigPath(dir, c.name);
  if (mustBeNew && ::access(path.c_str(), F_OK) == 0) {
    if (err) *err = MakeError(ERROR_SERVICE_EXISTS);
    return false;
  }
  std::ostringstream out;
  out << "name=" << c.name << "\n"
      << "displayName=" << c.displayName << "\n"
      << "serviceType=" << c.serviceType << "\n"
      << "startType=" << c.startType << "\n"
      << "errorControl=" << c.errorControl << "\n"
      << "binaryPath=" << c.binaryPath << "\n";
  return ReplaceFile(path, out.str(), err);
}

std::optional<StateRecord> ReadState(const std::string& dir, const std::string& name) {
  auto text = ReadText(StatePath(dir, name));
  if (!text) return std::nullopt;
  StateRecord r;
  ForEachLine(*text, [&](const std::string& k, const std::string& v) {
    if (k == "state") r.state = ToU32(v);
    else if (k == "pid") r.pid = std::strtol(v.c_str(), nullptr, 10);
    else if (k == "start") r.startTime = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "controls") r.controls = ToU32(v);
    else if (k == "arg") r.args.push_back(v);
  });
  return r;
}

bool WriteState(const std::string& dir, const std::string& name, const StateRecord& r, Error* err) {
  std::ostringstream out;
  out << "state=" << r.state << "\n"
      << "pid=" << r.pid << "\n"
      << "start=" << r.startTime << "\n"
      << "controls=" << r.controls << "\n";
  for (const auto& a : r.args) out << "arg=" << a << "\n";
  return ReplaceFile(StatePath(dir, name), out.str(), err);
}

unsigned long long ProcessStartTime(long pid) {
  if (pid <= 0) return 0;
  auto text = ReadText("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return 0;
  // "pid (comm) S ppid ..." - comm may hold blanks and parentheses, so the
  // fields are counted from the last ')'.
  auto close = text->rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(text->substr(close + 1));
  std::string field;
  std::vector<std::string> fields;
  while (in >> field) fields.push_back(field);
  // fields[0] is the state (field 3); the start time is field 22.
  if (fields.size() < 20) return 0;
  if (fields[0] == "Z" || fields[0] == "X" || fields[0] == "x") return 0;
  return std::strtoull(fields[19].c_str(), nullptr, 10);
}

std::uint32_t EffectiveState(const std::optional<StateRecord>& record) {
  if (!record || record->state == SERVICE_STOPPED) return SERVICE_STOPPED;
  unsigned long long start = ProcessStartTime(record->pid);
  if (start == 0 || (record->startTime != 0 && start != record->startTime)) return SERVICE_STOPPED;
  return record->state;
}

RecordLock::RecordLock(const std::string& dir, const std::string& name) {
  std::string path = dir + "/" + name + ".lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

RecordLock::~RecordLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

}  // namespace qm::scm::local
