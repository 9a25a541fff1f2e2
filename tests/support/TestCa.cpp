#include "TestCa.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test CA: ") + what);
}

Key NewKey() {
  // P-256 keys: quick to make, and every peer in the tests takes them.
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Check(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `cn` valid from `fromDays` to `toDays` (relative to now),
// signed by `issuer`/`issuerKey`, or self-signed when issuer is null.
Cert Make(EVP_PKEY* key, const char* cn, const char* altNames, long fromDays, long toDays, X509* issuer,
          EVP_PKEY* issuerKey, long serial) {
  Cert cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400L);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (altNames) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), signer, NID_subject_alt_name, altNames);
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  Check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
  return cert;
}

void Write(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  Check(f != nullptr, "write");
  const bool ok = cert ? PEM_write_X509(f, cert) == 1
                       : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  Check(ok, "PEM");
  ::chmod(path.c_str(), 0644);
}

TestCertificate Issue(const std::string& dir, const char* name, const char* cn, const char* altNames,
                      long fromDays, long toDays, X509* ca, EVP_PKEY* caKey, long serial) {
  Key key = NewKey();
  Cert cert = Make(key.get(), cn, altNames, fromDays, toDays, ca, caKey, serial);
  TestCertificate out{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
  Write(out.cert, cert.get(), nullptr);
  Write(out.key, nullptr, key.get());
  return out;
}

TestCa MakeAll() {
  TestCa ca;
  char tmpl[] = "/tmp/qm-test-ca-XXXXXX";
  Check(::mkdtemp(tmpl) != nullptr, "mkdtemp");
  ca.dir = tmpl;
  ::chmod(ca.dir.c_str(), 0755);
  Key caKey = NewKey();
  Cert caCert = Make(caKey.get(), "Quillmark Test CA", nullptr, -1, 30, nullptr, nullptr, 1);
  ca.caFile = ca.dir + "/ca.pem";
  Write(ca.caFile, caCert.get(), nullptr);
  ca.caKey = ca.dir + "/ca.key";
  Write(ca.caKey, nullptr, caKey.get());
  const char* local = "DNS:localhost,IP:127.0.0.1";
  ca.server = Issue(ca.dir, "server", "localhost", local, -1, 30, caCert.get(), caKey.get(), 2);
  ca.wrongName = Issue(ca.dir, "wrongname", "wrong.example", "DNS:wrong.example", -1, 30, caCert.get(),
                       caKey.get(), 3);
  ca.expired = Issue(ca.dir, "expired", "localhost", local, -30, -1, caCert.get(), caKey.get(), 4);
  Key otherKey = NewKey();
  Cert otherCa = Make(otherKey.get(), "Unknown Test CA", nullptr, -1, 30, nullptr, nullptr, 1);
  ca.untrusted = Issue(ca.dir, "untrusted", "localhost", local, -1, 30, otherCa.get(), otherKey.get(), 5);
  return ca;
}

}  // namespace

TestCertificate TestCa::Issue(const std::string& name, const std::string& cn, const std::string& altNames) const {
  auto read = [](const std::string& path, bool key) -> void* {
    FILE* f = std::fopen(path.c_str(), "r");
    Check(f != nullptr, "read");
    void* out = key ? static_cast<void*>(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr))
                    : static_cast<void*>(PEM_read_X509(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    Check(out != nullptr, "PEM read");
    return out;
  };
  Cert caCert(static_cast<X509*>(read(caFile, false)), X509_free);
  Key key(static_cast<EVP_PKEY*>(read(caKey, true)), EVP_PKEY_free);
  static std::atomic<long> serial{100};
  return ::Issue(dir, name.c_str(), cn.c_str(), altNames.c_str(), -1, 30, caCert.get(), key.get(), serial++);
}

const TestCa& TestCa::Shared() {
  static const TestCa ca = [] {
    TestCa made = MakeAll();
    static const std::string dir = made.dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    return made;
  }();
  return ca;
}
