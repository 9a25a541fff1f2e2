#pragma once
// The three settings records. In memory they are plain C++ values; their
// stored form (one 6,952-byte profile record) is written and read field by
// field from explicit offsets by USetting.cpp, never by dumping these structs.

#include <array>
#include <cstdint>
#include <string>

/// Mail servers and reply sender (2,304 bytes in the file).
struct MailSettings {
  std::string pop3Host;
  std::string pop3Login;
  std::string pop3Password;  // plain in memory, scrambled in the file
  std::string senderName;
  std::string subject;
  std::string smtpHost;
  std::string smtpUserId;
  std::string smtpPassword;  // plain in memory, scrambled in the file
  std::string senderAddress;
  bool operator==(const MailSettings&) const = default;
};

/// The ODBC user table (1,280 bytes in the file).
struct DirectorySettings {
  std::string odbcSource;
  std::string table;
  std::string dbUserId;
  std::string dbPassword;  // plain in memory, scrambled in the file
  std::string mailField;
  bool operator==(const DirectorySettings&) const = default;
};

/// Everything else (3,368 bytes in the file).
struct GeneralSettings {
  std::int32_t intervalMinutes = 0;
  bool timerEnabled = false;
  std::uint8_t verbosity = 0;    // 0 all, 1 errors+warnings, 2 errors, 3 none
  std::uint8_t contentType = 0;  // 0 Text, 1 HTML, 2 Rich-Text
  bool altTextEnabled = false;
  std::string altText;
  std::string adPath;
  std::string adUserId;
  std::string adPassword;  // stored plain
  bool useAD = false;
  std::string fieldNames1;  // attribute list, first part (up to 254 bytes)
  std::string fieldNames2;  // attribute list, second part (up to 255 bytes)
  std::string sendAs;       // "anhang", "body", "both", "none"
  std::int32_t httpPort = 0;
  bool httpServerActive = false;
  /// Leave out of the generated signature every template line whose
  /// placeholders all came out empty (byte 1809, the first byte of the area
  /// older versions reserved; 0 there keeps every line).
  bool dropEmptyLines = false;
  // Transport security (bytes 1810-2590, taken from the reserved area; all
  // zero, as older versions wrote it, means plain connections on the
  // standard ports, which is how those versions connected).
  std::uint8_t pop3Security = 0;  // `MailSecurity`
  std::uint8_t smtpSecurity = 0;  // `MailSecurity`
  std::uint8_t ldapSecurity = 0;  // `LdapSecurity`
  std::uint8_t httpSecurity = 0;  // `HttpSecurity`
  /// Verify the certificates of TLS peers (stored inverted: 0 verifies).
  bool tlsVerifyPeer = true;
  std::int32_t pop3Port = 0;  // 0: the security mode's standard port
  std::int32_t smtpPort = 0;  // 0: the security mode's standard port
  std::string tlsCaFile;      // PEM file of a private CA, trusted besides the system's
  std::string httpsCertFile;  // PEM certificate (chain) of the HTTPS server
  std::string httpsKeyFile;   // PEM private key of the HTTPS server
  /// Bytes 1801-1803 (padding) and 2591-3367 (reserved) of the record as they
  /// were loaded; written back unchanged.
  std::array<std::uint8_t, 3> padding{};
  std::array<std::uint8_t, 777> reserved{};
  bool operator==(const GeneralSettings&) const = default;
};

/// Transport security of the POP3 and the SMTP connection.
enum MailSecurity : std::uint8_t {
  msNone = 0,         // plain, as older versions connected
  msStartTls = 1,     // plain connect, then STLS (POP3) or STARTTLS (SMTP) before any credentials
  msImplicitTls = 2,  // TLS from the first byte (POP3S, SMTPS)
};

/// Transport security of the LDAP connection.
enum LdapSecurity : std::uint8_t { lsNone = 0, lsStartTls = 1, lsLdaps = 2 };

/// Transport of the HTTP signature server.
enum HttpSecurity : std::uint8_t { hsNone = 0, hsTls = 1 };

/// The ports a mail connection uses when its port field is 0.
int StandardPop3Port(std::uint8_t security);  // 110, 110, 995
int StandardSmtpPort(std::uint8_t security);  // 25, 587, 465
/// The port field if set, else the mode's standard port.
int Pop3PortOf(const GeneralSettings& general);
int SmtpPortOf(const GeneralSettings& general);

/// Signature types (`contentType`).
enum ContentType : std::uint8_t { ctText = 0, ctHtml = 1, ctRichText = 2 };
