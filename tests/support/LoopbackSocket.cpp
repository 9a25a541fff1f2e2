#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

bool SendAllBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int ConnectLoopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int ListenLoopback(std::uint16_t& port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

std::uint16_t FreeLoopbackPort() {
  std::uint16_t port = 0;
  int fd = ListenLoopback(port);
  if (fd >= 0) ::close(fd);
  return port;
}

LoopbackListener::LoopbackListener(std::function<void(int client)> serve) : serve_(std::move(serve)) {
  listenFd_ = ListenLoopback(port_);
  if (listenFd_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("LoopbackListener: cannot listen on 127.0.0.1");
  }
  thread_ = std::thread([this] { Run(); });
}

LoopbackListener::~LoopbackListener() {
  (void)!::write(wake_[1], "x", 1);
  thread_.join();
  ::close(listenFd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void LoopbackListener::Run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serve_(client);
    ::close(client);
  }
}
