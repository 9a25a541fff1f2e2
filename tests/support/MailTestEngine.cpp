#include "MailTestEngine.h"

#include <filesystem>

#include "base/UProgState.h"

MailTestEngine::MailTestEngine() {
  ClearState();
  std::filesystem::create_directories(dir / "temp");
  main = std::make_unique<TForm_main>(dir.Path(), ui);
  settings = std::make_unique<TFSettings>(ui);
  db = std::make_unique<TFDBUtil>(SettingsSourceOf(*settings), ui);
  mail = std::make_unique<TFMailTools>();
  auto& h = TFMailTools::Hooks();
  h = TFMailTools::TestHooks{};
  h.timeouts.connect = std::chrono::seconds(5);
  h.timeouts.read = std::chrono::seconds(5);
  h.clock = [] { return Poco::Timestamp::fromEpochTime(1700000000); };
  h.boundary = CountingBoundaries();
}

MailTestEngine::~MailTestEngine() {
  TFMailTools::Hooks() = TFMailTools::TestHooks{};
  mail.reset();
  db.reset();
  settings.reset();
  main.reset();
  ClearState();
}

std::vector<std::string> MailTestEngine::LogMessages() const {
  std::vector<std::string> out;
  for (const auto& line : ui.LogLines()) out.push_back(line.size() > 21 ? line.substr(21) : line);
  return out;
}

bool MailTestEngine::LogHasInOrder(const std::vector<std::string>& wanted) const {
  auto lines = LogMessages();
  std::size_t k = 0;
  for (const auto& l : lines)
    if (k < wanted.size() && l == wanted[k]) ++k;
  return k == wanted.size();
}

void MailTestEngine::UseLocalServers(std::uint16_t pop3Port, std::uint16_t smtpPort) {
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
  settings->SetMailSettings(m);
  TFMailTools::Hooks().pop3Port = pop3Port;
  TFMailTools::Hooks().smtpPort = smtpPort;
}

void MailTestEngine::UseOdbcUsers(const std::string& dsn, const std::string& table) {
  DirectorySettings d;
  d.odbcSource = dsn;
  d.table = table;
  d.mailField = "mail";
  settings->SetDirectorySettings(d);
  db->ConfigureConnection(d.odbcSource, d.table, "", "", "", "");
}

void MailTestEngine::SetAltText(bool enabled, const std::string& text) {
  GeneralSettings g = settings->GetGeneralSettings();
  g.altTextEnabled = enabled;
  g.altText = text;
  settings->SetGeneralSettings(g);
}

qm::BoundaryGenerator CountingBoundaries() {
  auto n = std::make_shared<int>(0);
  return [n] { return "qm_boundary_" + std::to_string(++*n); };
}
