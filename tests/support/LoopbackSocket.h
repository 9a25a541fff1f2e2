#pragma once
// Plain TCP sockets on 127.0.0.1 for the test peers and relays.

#include <cstddef>
#include <cstdint>

/// Sends all bytes (a vanished peer gives false, never SIGPIPE).
bool SendAllBytes(int fd, const char* data, std::size_t size);
/// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(std::uint16_t port);
/// A socket listening on 127.0.0.1 at a port the kernel chooses (stored in
/// `port`), or -1.
int ListenLoopback(std::uint16_t& port, int backlog = 8);
