#include "RawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

std::string RawHttpReply::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

int RawHttpConnect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

bool RawHttpSend(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

RawHttpReply ParseRawHttpReply(const std::string& raw) {
  RawHttpReply r;
  r.raw = raw;
  auto headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos) return r;
  r.answered = true;
  auto lineEnd = raw.find("\r\n");
  std::string statusLine = raw.substr(0, lineEnd);
  auto sp1 = statusLine.find(' ');
  auto sp2 = statusLine.find(' ', sp1 + 1);
  r.status = std::stoi(statusLine.substr(sp1 + 1, sp2 - sp1 - 1));
  r.reason = sp2 == std::string::npos ? "" : statusLine.substr(sp2 + 1);
  std::size_t pos = lineEnd + 2;
  while (pos < headEnd) {
    auto e = raw.find("\r\n", pos);
    std::string line = raw.substr(pos, e - pos);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      r.headers[name] = value;
    }
    pos = e + 2;
  }
  r.body = raw.substr(headEnd + 4);
  return r;
}

RawHttpReply RawHttpReadAll(int fd) {
  std::string raw;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    raw.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ParseRawHttpReply(raw);
}

RawHttpReply RawHttpExchange(std::uint16_t port, const std::string& request) {
  int fd = RawHttpConnect(port);
  if (fd < 0) return {};
  RawHttpSend(fd, request);
  return RawHttpReadAll(fd);
}

std::string RawHttpGet(const std::string& target, const std::string& method) {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}
