#pragma once
// One engine for mail tests: a temporary program directory with its "temp"
// attachment store, the controller, directory, settings and mail objects, a
// recording user interface, and the mail test seam (ports, time-outs, a
// pinned clock and boundaries) set up and reset afterwards.

#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"

class MailTestEngine {
 public:
  MailTestEngine();
  ~MailTestEngine();

  /// The messages of the on-screen log lines, without their time stamps.
  std::vector<std::string> LogMessages() const;
  /// True when `wanted` occur in the log in this order (others may lie between).
  bool LogHasInOrder(const std::vector<std::string>& wanted) const;
  bool LogHas(const std::string& message) const { return LogHasInOrder({message}); }

  /// Mail settings for servers on 127.0.0.1 (user "sig", password "secret",
  /// sender "Signatur-Service" <noreply@example.test>, subject "Ihre Signatur").
  void UseLocalServers(std::uint16_t pop3Port, std::uint16_t smtpPort);
  /// Users from an ODBC table (address column "mail"), stored in the
  /// directory settings and configured on the connection.
  void UseOdbcUsers(const std::string& dsn, const std::string& table = "users");
  /// Switches the alternative text on or off.
  void SetAltText(bool enabled, const std::string& text = "Sie sind leider nicht im Verzeichnis.");

  TestDir dir;
  RecordingUserInterface ui;
  std::unique_ptr<TForm_main> main;
  std::unique_ptr<TFDBUtil> db;
  std::unique_ptr<TFSettings> settings;
  std::unique_ptr<TFMailTools> mail;
};

/// Boundaries "qm_boundary_1", "qm_boundary_2" ... for pinned messages.
qm::BoundaryGenerator CountingBoundaries();
