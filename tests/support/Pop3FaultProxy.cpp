#include "Pop3FaultProxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <optional>
#include <stdexcept>

#include "LoopbackSocket.h"

namespace {

/// The message number of "<verb> <n>" (verb case-insensitive), or nothing.
std::optional<int> Argument(const std::string& line, const char* verb) {
  std::size_t len = std::char_traits<char>::length(verb);
  if (line.size() <= len + 1 || line[len] != ' ') return std::nullopt;
  for (std::size_t i = 0; i < len; ++i)
    if (std::toupper(static_cast<unsigned char>(line[i])) != verb[i]) return std::nullopt;
  try {
    return std::stoi(line.substr(len + 1));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

void Pop3FaultProxy::CutRetr(int message, std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  cutMessage_ = message;
  cutBytes_ = bytes;
}

void Pop3FaultProxy::RefuseDele(int message, const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  deleMessage_ = message;
  deleReply_ = reply;
}

void Pop3FaultProxy::OnCommand(std::function<void(const std::string& command)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void Pop3FaultProxy::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  cutMessage_ = deleMessage_ = -1;
  hook_ = nullptr;
}

std::vector<std::string> Pop3FaultProxy::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void Pop3FaultProxy::Relay(int client) {
  int server = ConnectLoopback(serverPort_);
  if (server < 0) return;  // the client sees the connection closed
  std::string pending;                // an unfinished command line
  std::optional<std::size_t> cutIn;   // bytes of the answer still passed on
  char buf[16384];
  for (;;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {listener_.StopFd(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents) break;
    if (fds[0].revents) {
      ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
      bool end = false;
      for (std::size_t nl; !end && (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl + 1);
        pending.erase(0, nl + 1);
        std::string command = line.substr(0, line.find_last_not_of("\r\n") + 1);
        int cutMessage, deleMessage;
        std::size_t cutBytes;
        std::string deleReply;
        std::function<void(const std::string&)> hook;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          commands_.push_back(command);
          cutMessage = cutMessage_;
          cutBytes = cutBytes_;
          deleMessage = deleMessage_;
          deleReply = deleReply_;
          hook = hook_;
        }
        if (hook) hook(command);
        auto dele = Argument(command, "DELE");
        if (dele && deleMessage >= 0 && (deleMessage == 0 || deleMessage == *dele)) {
          ++fired_;
          if (!SendAllBytes(client, (deleReply + "\r\n").data(), deleReply.size() + 2)) end = true;
          continue;
        }
        if (!SendAllBytes(server, line.data(), line.size())) {
          end = true;
          continue;
        }
        auto retr = Argument(command, "RETR");
        if (retr && cutMessage >= 0 && (cutMessage == 0 || cutMessage == *retr)) {
          ++fired_;
          if (cutBytes == 0) end = true;
          cutIn = cutBytes;
        }
      }
      if (end) break;
    }
    if (fds[1].revents) {
      ssize_t n = ::recv(server, buf, sizeof buf, 0);
      if (n <= 0) break;
      std::size_t pass = static_cast<std::size_t>(n);
      if (cutIn) pass = std::min(pass, *cutIn);
      if (!SendAllBytes(client, buf, pass)) break;
      if (cutIn) {
        *cutIn -= pass;
        if (*cutIn == 0) break;
      }
    }
  }
  ::close(server);
}
