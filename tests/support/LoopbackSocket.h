#pragma once
// Plain TCP sockets on 127.0.0.1 for the test peers and relays.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

/// Sends all bytes (a vanished peer gives false, never SIGPIPE).
bool SendAllBytes(int fd, const char* data, std::size_t size);
/// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(std::uint16_t port);
/// A TCP port on 127.0.0.1 that was free at the moment of asking.
std::uint16_t FreeLoopbackPort();
/// A socket listening on 127.0.0.1 at a port the kernel chooses (stored in
/// `port`), or -1.
int ListenLoopback(std::uint16_t& port, int backlog = 8);

/// Listens on 127.0.0.1 at a port the kernel chooses and hands each accepted
/// connection to `serve` on a thread of its own, one connection at a time
/// (then closes it). `serve` should also watch StopFd() and return once it
/// is readable. The destructor stops the thread: declare the listener as the
/// last member of its owner, so that it goes first.
class LoopbackListener {
 public:
  explicit LoopbackListener(std::function<void(int client)> serve);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  std::uint16_t Port() const { return port_; }
  int StopFd() const { return wake_[0]; }

 private:
  void Run();

  std::function<void(int)> serve_;
  std::uint16_t port_ = 0;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};
