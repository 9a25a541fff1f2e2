#include "platform/instance/InstanceLock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qm {

std::string InstanceLockName(const std::string& programDir) {
  std::string dir = programDir;
  if (dir.empty() || dir.back() != '/') dir += '/';
  std::string name = "Quillmark_";
  for (char c : dir)
    if (c != '/') name += c;
  return name;
}

namespace {

// The socket address: a NUL, then the name. A name too long for the address
// is replaced by its prefix and a 64-bit FNV-1a hash of the whole name, which
// is the same in every program built from this code.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::size_t room = sizeof addr.sun_path - 1;
  std::string key = name;
  if (key.size() > room) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
      h ^= c;
      h *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    key = name.substr(0, room - 17) + "#" + hex;
  }
  std::memcpy(addr.sun_path + 1, key.data(), key.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::Claim(const std::string& name, bool* taken, std::string* error) {
  if (taken) *taken = false;
  // Close-on-exec: programs started by the holder must not inherit the lock.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return nullptr;
  }
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    int e = errno;
    ::close(fd);
    if (e == EADDRINUSE) {
      if (taken) *taken = true;
    } else if (error) {
      *error = std::strerror(e);
    }
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd, name));
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace qm
