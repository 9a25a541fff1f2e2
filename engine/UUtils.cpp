#include "UUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace qm {

std::string SysErrorMessage(int errnum) {
  char buf[256];
  // GNU strerror_r returns the message pointer (possibly a static string).
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return msg;
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
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    int e = errno;
    throw EInOutError(SysErrorMessage(e), e);
  }
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      throw EInOutError(SysErrorMessage(e), e);
    }
    off += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    int e = errno;
    throw EInOutError(SysErrorMessage(e), e);
  }
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace qm
