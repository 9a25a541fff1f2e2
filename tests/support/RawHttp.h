#pragma once
// A raw HTTP client for tests: sends exactly the bytes given to 127.0.0.1 and
// reads until the server closes, so that malformed requests, unknown methods,
// stalls and closes without an answer can be observed.

#include <cstdint>
#include <map>
#include <string>

struct RawHttpReply {
  std::string raw;     // every byte received until the server closed
  bool answered = false;  // a status line was received
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  /// The header value, "" when absent (name in lower case).
  std::string Header(const std::string& name) const;
};

/// A connected socket to 127.0.0.1:port; -1 on failure.
int RawHttpConnect(std::uint16_t port);
/// Sends all bytes; false on failure.
bool RawHttpSend(int fd, const std::string& bytes);
/// Reads until the peer closes (or resets, or 30 s pass) and parses the
/// answer; closes fd.
RawHttpReply RawHttpReadAll(int fd);
/// Connect, send, read all.
RawHttpReply RawHttpExchange(std::uint16_t port, const std::string& request);
/// Parses received bytes into status, headers and body.
RawHttpReply ParseRawHttpReply(const std::string& raw);
/// "GET <target> HTTP/1.1" with a Host header and no body.
std::string RawHttpGet(const std::string& target, const std::string& method = "GET");
