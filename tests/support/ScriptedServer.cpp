#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

std::string ScriptedServer::Connection::ReadLine() {
  while (true) {
    auto p = buffer_.find("\r\n");
    if (p != std::string::npos) {
      std::string line = buffer_.substr(0, p);
      buffer_.erase(0, p + 2);
      std::lock_guard lk(server_->mutex_);
      server_->commands_.push_back(line);
      return line;
    }
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return {};
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

std::string ScriptedServer::Connection::Expect(const std::string& prefix) {
  std::string line = ReadLine();
  std::string head = line.substr(0, prefix.size());
  bool ok = head.size() == prefix.size() &&
            std::equal(head.begin(), head.end(), prefix.begin(),
                       [](char a, char b) { return std::toupper((unsigned char)a) == std::toupper((unsigned char)b); });
  EXPECT_TRUE(ok) << "expected " << prefix << ", got " << line;
  return line;
}

std::string ScriptedServer::Connection::ReadData() {
  std::string body;
  while (true) {
    auto p = buffer_.find("\r\n");
    if (p == std::string::npos) {
      char buf[65536];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return body;
      buffer_.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    std::string line = buffer_.substr(0, p);
    buffer_.erase(0, p + 2);
    if (line == ".") break;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    body += line + "\r\n";
  }
  std::lock_guard lk(server_->mutex_);
  server_->messages_.push_back(body);
  return body;
}

void ScriptedServer::Connection::Send(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

void ScriptedServer::Connection::Stall(int ms) {
  pollfd p{fd_, POLLIN, 0};
  int waited = 0;
  while (waited < ms) {
    if (::poll(&p, 1, 50) > 0) {
      char buf[4096];
      if (::recv(fd_, buf, sizeof buf, 0) <= 0) return;  // client gave up
    }
    waited += 50;
    std::lock_guard lk(server_->mutex_);
    if (server_->stopping_) return;
  }
}

void ScriptedServer::Connection::Close() {
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

ScriptedServer::ScriptedServer(Script script) : ScriptedServer(std::vector<Script>{std::move(script)}) {}

ScriptedServer::ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0)
    throw std::runtime_error("ScriptedServer: cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard lk(mutex_);
    stopping_ = true;
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
}

void ScriptedServer::Run() {
  for (std::size_t k = 0;; ++k) {
    pollfd p{listenFd_, POLLIN, 0};
    while (true) {
      {
        std::lock_guard lk(mutex_);
        if (stopping_) return;
      }
      if (::poll(&p, 1, 50) > 0) break;
    }
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    {
      std::lock_guard lk(mutex_);
      ++connections_;
    }
    Connection c;
    c.fd_ = fd;
    c.server_ = this;
    scripts_[std::min(k, scripts_.size() - 1)](c);
    c.Close();
  }
}

std::vector<std::string> ScriptedServer::Commands() const {
  std::lock_guard lk(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedServer::Messages() const {
  std::lock_guard lk(mutex_);
  return messages_;
}

int ScriptedServer::Connections() const {
  std::lock_guard lk(mutex_);
  return connections_;
}

ScriptedServer::Script Pop3Mailbox(std::vector<std::string> messages,
                                   std::function<bool(ScriptedServer::Connection&, const std::string&)> onCommand) {
  return [messages, onCommand](ScriptedServer::Connection& c) {
    c.Send("+OK ready\r\n");
    while (true) {
      std::string line = c.ReadLine();
      if (line.empty()) return;
      if (onCommand && onCommand(c, line)) continue;
      std::string cmd = line.substr(0, 4);
      for (char& ch : cmd) ch = static_cast<char>(std::toupper((unsigned char)ch));
      if (cmd == "STAT") {
        std::size_t total = 0;
        for (auto& m : messages) total += m.size();
        c.Send("+OK " + std::to_string(messages.size()) + " " + std::to_string(total) + "\r\n");
      } else if (cmd == "RETR") {
        std::size_t i = std::stoul(line.substr(5));
        if (i < 1 || i > messages.size()) {
          c.Send("-ERR no such message\r\n");
          continue;
        }
        std::string out = "+OK\r\n";
        std::string m = messages[i - 1];
        std::size_t pos = 0;
        while (pos < m.size()) {
          std::size_t e = m.find("\r\n", pos);
          std::string l = m.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
          if (!l.empty() && l[0] == '.') out += '.';
          out += l + "\r\n";
          pos = e == std::string::npos ? m.size() : e + 2;
        }
        c.Send(out + ".\r\n");
      } else if (cmd == "QUIT") {
        c.Send("+OK bye\r\n");
        return;
      } else {
        c.Send("+OK\r\n");  // USER, PASS, DELE, NOOP
      }
    }
  };
}
