#include "base/UUtils.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <cstring>
#include <mutex>
#include <system_error>

namespace qm {

std::string SysErrorMessage(int errnum) {
  char buf[256];
  // GNU strerror_r returns the message pointer (possibly a static string).
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return msg;
}

namespace {
// The engine's and the platform layer's own failures: a std::runtime_error
// that is no std::system_error (which the standard library throws).
bool IsOwnFailure(const std::exception& e) {
  return dynamic_cast<const std::runtime_error*>(&e) && !dynamic_cast<const std::system_error*>(&e);
}
}  // namespace

std::string FailureDetail(const std::exception& e) {
  if (const auto* poco = dynamic_cast<const Poco::Exception*>(&e)) return poco->message();
  if (const auto* sys = dynamic_cast<const std::system_error*>(&e)) return sys->code().message();
  if (IsOwnFailure(e)) return e.what();
  return "";
}

std::string FailureText(const std::exception& e) {
  if (IsOwnFailure(e)) return e.what();
  const std::string detail = FailureDetail(e);
  return detail.empty() ? std::string(qm::text::kRuntimeError) : std::string(qm::text::kRuntimeError) + "\r\n" + detail;
}

namespace {
std::mutex g_dirMutex;
std::string g_programDir;
}  // namespace

void SetProgramDirectory(const std::string& dir) {
  std::lock_guard lk(g_dirMutex);
  g_programDir = dir;
  if (!g_programDir.empty() && g_programDir.back() != '/') g_programDir += '/';
}

std::string ProgramDirectory() {
  std::lock_guard lk(g_dirMutex);
  return g_programDir;
}

namespace {
std::string g_installDir;
std::atomic<bool> g_sharedDataDir{false};
}  // namespace

void SetInstallDirectory(const std::string& dir) {
  std::lock_guard lk(g_dirMutex);
  g_installDir = dir;
  if (!g_installDir.empty() && g_installDir.back() != '/') g_installDir += '/';
}

std::string InstallDirectory() {
  std::lock_guard lk(g_dirMutex);
  return g_installDir.empty() ? g_programDir : g_installDir;
}

std::string ShippedFile(const std::string& name) {
  const std::string own = ProgramDirectory() + name;
  return FileExists(own) ? own : InstallDirectory() + name;
}

void SetSharedDataDirectory(bool shared) { g_sharedDataDir = shared; }
bool SharedDataDirectory() { return g_sharedDataDir; }
unsigned SecretFileMode() { return g_sharedDataDir ? 0660u : 0600u; }

std::string AttachmentStore() { return ProgramDirectory() + "temp/"; }

std::string ExecutableDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<std::size_t>(n));
  auto pos = path.rfind('/');
  return pos == std::string::npos ? std::string("./") : path.substr(0, pos + 1);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    throw EInOutError(SysErrorMessage(e), e);
  }
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      throw EInOutError(SysErrorMessage(e), e);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

void WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode) {
  // The bytes go to a new file beside the target, which is then renamed over
  // it: a write that fails half-way (a full disk, an I/O error) leaves the old
  // file whole instead of a truncated one, and a reader never sees half a
  // file. A symbolic link is followed, so the file it names is replaced.
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) throw EInOutError(SysErrorMessage(EISDIR), EISDIR);

  static std::atomic<unsigned> serial{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    tmp = target + ".~" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1)) + ".tmp";
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    int e = errno;
    throw EInOutError(SysErrorMessage(e), e);
  }
  auto fail = [&](int e) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw EInOutError(SysErrorMessage(e), e);
  };
  // An existing file keeps its permissions.
  if (exists && ::fchmod(fd, old.st_mode & 07777) != 0) fail(errno);
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    off += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw EInOutError(SysErrorMessage(e), e);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw EInOutError(SysErrorMessage(e), e);
  }
}

void LimitMemoryPools() { ::mallopt(M_ARENA_MAX, 2); }

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace qm
