#pragma once
// An HTTPS client for tests and benchmarks: one GET on a new connection to
// 127.0.0.1, the server's certificate checked against a CA file and for a
// host name, as a careful client (a logon script with curl --cacert) does.

#include <cstdint>
#include <string>

struct HttpsReply {
  int status = 0;
  std::string contentType;
  std::string body;
};

/// GET `target` from https://127.0.0.1:`port`, trusting only `caFile` and
/// requiring the certificate to name `host` ("localhost" or "127.0.0.1").
/// Throws Poco::Exception when the connection, the handshake or the check
/// fails.
HttpsReply HttpsGet(std::uint16_t port, const std::string& target, const std::string& caFile,
                    const std::string& host = "localhost");

/// The same over plain HTTP with the same client code (for side-by-side
/// measurements).
HttpsReply HttpGet(std::uint16_t port, const std::string& target);
