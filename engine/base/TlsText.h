#pragma once
// The log texts of secured connections, shared by the mail, directory and
// HTTP code so that every server's TLS trouble reads the same way.

#include <string>

namespace qm {

/// "Sichere Verbindung zum <service>-Server <host>:<port> fehlgeschlagen: <reason>"
/// (`service` is e.g. "SMTP", "POP3", "LDAP").
std::string TlsFailureText(const std::string& service, const std::string& host, int port, const std::string& reason);

/// The warning every connection logs while certificate checks are off:
/// "Warnung: Das Zertifikat des <service>-Servers <host>:<port> wird nicht geprüft (tlsVerifyPeer=no)".
std::string TlsNoVerifyWarning(const std::string& service, const std::string& host, int port);

/// The reason of a failed certificate check, from OpenSSL's verify result
/// (X509_V_ERR_*): untrusted, expired, not yet valid, another name, other.
std::string TlsVerifyReason(long verifyResult, const std::string& host);

/// Reasons without a certificate behind them.
inline constexpr const char* kTlsNoStartTls = "der Server bietet kein STARTTLS an, Anmeldedaten wurden nicht gesendet";
inline constexpr const char* kTlsNoStls = "der Server bietet kein STLS an, Anmeldedaten wurden nicht gesendet";
/// A directory server that refused a simple bind on a connection without TLS:
/// "Der LDAP-Server <host>:<port> verlangt eine verschlüsselte Verbindung;
/// bitte in den Einstellungen StartTLS oder LDAPS wählen".
std::string LdapEncryptionRequiredText(const std::string& host, int port);
/// "TLS-Handshake fehlgeschlagen (<detail>)"
std::string TlsHandshakeReason(const std::string& detail);

}  // namespace qm
