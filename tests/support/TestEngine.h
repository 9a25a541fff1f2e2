#pragma once
// One engine for a test, wired exactly as in the programs (qm::Engine) but
// without its creation steps, which a test runs itself where it needs them:
// a temporary program directory with its "temp" attachment store, a
// recording user interface and the six objects. Its seams are fakes by
// default and reset with the engine:
//   - service control: faked for every test program (TestMain);
//   - mail connections: 5 s time-outs, a pinned Date and counting
//     boundaries; the servers are chosen with UseLocalServers;
//   - word processor: one that refuses to start, so that no test starts
//     LibreOffice by accident (UseRealWordProcessor or a factory of the
//     test's own on Main().RichText()).
// tests/support/TestSupport.h has the helpers that need no engine.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "app/Engine.h"
#include "app/Main.h"
#include "app/infoForm.h"
#include "directory/UDBUtil.h"
#include "http/USocketServer.h"
#include "mail/UMailTools.h"
#include "settings/USetting.h"

class TestEngine {
 public:
  /// `ui`: a recording interface of the test's own (one that answers the
  /// dialogs), which must outlive the engine; null for the engine's own.
  explicit TestEngine(ProgramKind kind = ProgramKind::Desktop, RecordingUserInterface* ui = nullptr);
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

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
  /// The signature type of the general record (ctText, ctHtml, ctRichText).
  void SetContentType(std::uint8_t contentType);
  /// The installed LibreOffice instead of the refusing fake.
  void UseRealWordProcessor();

  TestDir dir;

 private:
  std::unique_ptr<RecordingUserInterface> ownUi_;

 public:
  RecordingUserInterface& ui;

 private:
  std::unique_ptr<qm::Engine> engine_;

 public:
  // The engine's objects (owned by it).
  TForm_main* const main;
  TFDBUtil* const db;
  TFSettings* const settings;
  TFMailTools* const mail;
  TFrm_Info* const info;
  TKomponentModule* const http;
};

/// Mail settings for servers on 127.0.0.1 (user "sig", password "secret",
/// sender "Signatur-Service" <noreply@example.test>, subject "Ihre
/// Signatur"; mailbox "requests" with "pop-secret").
MailSettings LocalMailSettings();

/// The directory settings of an ODBC users table (address column "mail").
DirectorySettings OdbcUsersSettings(const std::string& dsn, const std::string& table = "users");

/// Boundaries "qm_boundary_1", "qm_boundary_2" ... for pinned messages.
qm::BoundaryGenerator CountingBoundaries();
