#include "LdapStallRelay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "LoopbackSocket.h"
#include <string>

namespace {

/// The size of the BER-encoded LDAP message at the front of `buf` (a
/// SEQUENCE: tag, length, contents), or 0 while it is incomplete.
std::size_t CompleteMessage(const std::string& buf) {
  if (buf.size() < 2) return 0;
  const auto byte = [&buf](std::size_t i) { return static_cast<unsigned char>(buf[i]); };
  std::size_t header = 2, length = byte(1);
  if (length & 0x80) {
    const std::size_t n = length & 0x7f;
    if (buf.size() < 2 + n) return 0;
    length = 0;
    for (std::size_t i = 0; i < n; ++i) length = (length << 8) | byte(2 + i);
    header += n;
  }
  return buf.size() >= header + length ? header + length : 0;
}

}  // namespace

void LdapStallRelay::StallAfter(int messages) {
  std::lock_guard lock(mutex_);
  stallAfter_ = messages;
}

int LdapStallRelay::Stalled() const {
  std::lock_guard lock(mutex_);
  return stalled_;
}

void LdapStallRelay::Relay(int client) {
  int server = ConnectLoopback(serverPort_);
  if (server < 0) return;
  int limit;
  {
    std::lock_guard lock(mutex_);
    limit = stallAfter_;
  }
  int passed = 0;
  bool holding = false;
  std::string fromServer;
  char buf[16384];
  for (;;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {listener_.StopFd(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents) break;  // the relay is shutting down; leave the wake byte for Run
    if (fds[0].revents) {
      ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0 || !SendAllBytes(server, buf, static_cast<std::size_t>(n))) break;
    }
    if (fds[1].revents) {
      ssize_t n = ::recv(server, buf, sizeof buf, 0);
      if (n <= 0) break;
      if (holding) continue;  // swallowed: the client hears nothing more
      fromServer.append(buf, static_cast<std::size_t>(n));
      // Whole messages only, so that the count is exact.
      for (std::size_t size; (size = CompleteMessage(fromServer)) != 0;) {
        if (limit >= 0 && passed == limit) {
          holding = true;
          std::lock_guard lock(mutex_);
          ++stalled_;
          break;
        }
        if (!SendAllBytes(client, fromServer.data(), size)) break;
        fromServer.erase(0, size);
        ++passed;
      }
    }
  }
  ::close(server);
}
