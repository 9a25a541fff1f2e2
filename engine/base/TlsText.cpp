#include "base/TlsText.h"

#include <openssl/x509_vfy.h>

namespace qm {

std::string TlsFailureText(const std::string& service, const std::string& host, int port, const std::string& reason) {
  return "Sichere Verbindung zum " + service + "-Server " + host + ":" + std::to_string(port) +
         " fehlgeschlagen: " + reason;
}

std::string TlsNoVerifyWarning(const std::string& service, const std::string& host, int port) {
  return "Warnung: Das Zertifikat des " + service + "-Servers " + host + ":" + std::to_string(port) +
         " wird nicht geprüft (tlsVerifyPeer=no)";
}

std::string TlsVerifyReason(long verifyResult, const std::string& host) {
  switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "das Zertifikat ist abgelaufen";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "das Zertifikat ist noch nicht gültig";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "das Zertifikat gilt nicht für " + host;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "das Zertifikat ist nicht vertrauenswürdig (unbekannte Zertifizierungsstelle)";
    case X509_V_ERR_CERT_REVOKED:
      return "das Zertifikat wurde widerrufen";
    default:
      return std::string("das Zertifikat wurde abgelehnt (") + X509_verify_cert_error_string(verifyResult) + ")";
  }
}

std::string LdapEncryptionRequiredText(const std::string& host, int port) {
  return "Der LDAP-Server " + host + ":" + std::to_string(port) +
         " verlangt eine verschlüsselte Verbindung; bitte in den Einstellungen StartTLS oder LDAPS wählen";
}

std::string TlsHandshakeReason(const std::string& detail) { return "TLS-Handshake fehlgeschlagen (" + detail + ")"; }

}  // namespace qm
