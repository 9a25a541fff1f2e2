#pragma once
// Certificates for TLS peers in tests, made once per test program run by a
// private test CA: a good server certificate for localhost and 127.0.0.1,
// and the failure cases a client must refuse (wrong name, expired, signed by
// a CA nobody trusts). Files are PEM, readable by every user, so that peers
// started under other accounts can load them.

#include <string>

struct TestCertificate {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key (unencrypted)
};

struct TestCa {
  std::string dir;
  std::string caFile;            // the test CA's certificate: trust this
  TestCertificate server;        // localhost, 127.0.0.1; valid for 30 days
  TestCertificate wrongName;     // wrong.example only
  TestCertificate expired;       // localhost, 127.0.0.1; expired yesterday
  TestCertificate untrusted;     // localhost, 127.0.0.1; signed by a CA not in caFile
  std::string caKey;             // the test CA's key, for Issue
  /// The certificates of this run (made on first use, removed at exit).
  static const TestCa& Shared();
  /// A further server certificate of this CA, valid for 30 days: `name`
  /// names its files in dir, `cn` is its subject's common name, `altNames`
  /// its subjectAltName ("DNS:dc.example.test,IP:127.0.0.5").
  TestCertificate Issue(const std::string& name, const std::string& cn, const std::string& altNames) const;
};
