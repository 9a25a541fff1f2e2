#include "TestEngine.h"

#include "TestSupport.h"

#include <filesystem>

#include "base/UProgState.h"
#include "platform/wordproc/WordProcessor.h"

namespace {

std::unique_ptr<qm::Engine> MakeEngine(const std::string& dir, UserInterface& ui, ProgramKind kind) {
  ClearState();
  std::filesystem::create_directories(dir + "temp");
  return std::make_unique<qm::Engine>(dir, ui, kind, qm::Engine::Hooks{}, qm::Engine::Start::None);
}

}  // namespace

TestEngine::TestEngine(ProgramKind kind, RecordingUserInterface* ui)
    : ownUi_(ui ? nullptr : std::make_unique<RecordingUserInterface>()),
      ui(ui ? *ui : *ownUi_),
      engine_(MakeEngine(dir.Path(), this->ui, kind)),
      main(&engine_->Main()),
      db(&engine_->DBUtil()),
      settings(&engine_->Settings()),
      mail(&engine_->MailTools()),
      info(&engine_->Info()),
      http(&engine_->Komponent()) {
  auto& h = mail->Hooks();
  h.timeouts.connect = std::chrono::seconds(5);
  h.timeouts.read = std::chrono::seconds(5);
  h.clock = [] { return Poco::Timestamp::fromEpochTime(1700000000); };
  h.boundary = CountingBoundaries();
  main->RichText().SetWordProcessorFactory([]() -> std::unique_ptr<qm::wordproc::Application> {
    throw qm::wordproc::WordProcessorError("In diesem Test wird kein Textverarbeitungsprogramm gestartet.");
  });
}

TestEngine::~TestEngine() {
  engine_.reset();
  ClearState();
}

std::vector<std::string> TestEngine::LogMessages() const { return LogMessagesOf(ui); }

bool TestEngine::LogHasInOrder(const std::vector<std::string>& wanted) const {
  auto lines = LogMessages();
  std::size_t k = 0;
  for (const auto& l : lines)
    if (k < wanted.size() && l == wanted[k]) ++k;
  return k == wanted.size();
}

MailSettings LocalMailSettings() {
  MailSettings m;
  m.pop3Host = "127.0.0.1";
  m.pop3Login = "requests";
  m.pop3Password = "pop-secret";
  m.senderName = "Signatur-Service";
  m.subject = "Ihre Signatur";
  m.smtpHost = "127.0.0.1";
  m.smtpUserId = "sig";
  m.smtpPassword = "secret";
  m.senderAddress = "noreply@example.test";
  return m;
}

DirectorySettings OdbcUsersSettings(const std::string& dsn, const std::string& table) {
  DirectorySettings d;
  d.odbcSource = dsn;
  d.table = table;
  d.mailField = "mail";
  return d;
}

void TestEngine::UseLocalServers(std::uint16_t pop3Port, std::uint16_t smtpPort) {
  settings->SetMailSettings(LocalMailSettings());
  mail->Hooks().pop3Port = pop3Port;
  mail->Hooks().smtpPort = smtpPort;
}

void TestEngine::UseOdbcUsers(const std::string& dsn, const std::string& table) {
  const DirectorySettings d = OdbcUsersSettings(dsn, table);
  settings->SetDirectorySettings(d);
  db->ConfigureConnection(d.odbcSource, d.table, "", "", "", "");
}

void TestEngine::SetAltText(bool enabled, const std::string& text) {
  GeneralSettings g = settings->GetGeneralSettings();
  g.altTextEnabled = enabled;
  g.altText = text;
  settings->SetGeneralSettings(g);
}

void TestEngine::SetContentType(std::uint8_t contentType) {
  GeneralSettings g = settings->GetGeneralSettings();
  g.contentType = contentType;
  settings->SetGeneralSettings(g);
}

void TestEngine::UseRealWordProcessor() { main->RichText().SetWordProcessorFactory({}); }

qm::BoundaryGenerator CountingBoundaries() {
  auto n = std::make_shared<int>(0);
  return [n] { return "qm_boundary_" + std::to_string(++*n); };
}
