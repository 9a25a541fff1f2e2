#include "settings/USetting.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/Main.h"
#include "directory/UDBUtil.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

TFSettings* FSettings = nullptr;

namespace {

// Field offsets inside each record (the record's own offset is added).
namespace mailOff {
constexpr std::size_t pop3Host = 0, pop3Login = 256, pop3Password = 512, senderName = 768, subject = 1024,
                      smtpHost = 1280, smtpUserId = 1536, smtpPassword = 1792, senderAddress = 2048;
}
namespace dirOff {
constexpr std::size_t odbcSource = 0, table = 256, dbUserId = 512, dbPassword = 768, mailField = 1024;
}
namespace genOff {
constexpr std::size_t intervalMinutes = 0, timerEnabled = 4, verbosity = 5, contentType = 6, altTextEnabled = 7,
                      altText = 8, adPath = 264, adUserId = 520, adPassword = 776, useAD = 1032,
                      fieldNames1 = 1033, fieldNames2 = 1289, sendAs = 1545, padding = 1801, httpPort = 1804,
                      httpServerActive = 1808, reserved = 1809;
}
static_assert(genOff::reserved + 1559 == 3368);
static_assert(kGeneralOffset + 3368 == kProfileSize);

// Scrambling and unscrambling are the same: XOR of the text bytes (not the
// length byte) with the key.
void ScrambleField(std::uint8_t* p) {
  for (std::size_t i = 1; i <= p[0]; ++i) p[i] ^= kScrambleKey;
}

void PutScrambled(std::uint8_t* p, const std::string& text) {
  qm::PutFixedText(p, text);
  ScrambleField(p);
}

std::string GetScrambled(const std::uint8_t* p) {
  std::uint8_t field[qm::kFixedTextSize];
  std::memcpy(field, p, sizeof field);
  ScrambleField(field);
  return qm::GetFixedText(field);
}

}  // namespace

std::array<std::uint8_t, kProfileSize> EncodeProfile(const MailSettings& mail, const DirectorySettings& dir,
                                                     const GeneralSettings& general) {
  std::array<std::uint8_t, kProfileSize> buf{};
  std::uint8_t* m = buf.data() + kMailOffset;
  qm::PutFixedText(m + mailOff::pop3Host, mail.pop3Host);
  qm::PutFixedText(m + mailOff::pop3Login, mail.pop3Login);
  PutScrambled(m + mailOff::pop3Password, mail.pop3Password);
  qm::PutFixedText(m + mailOff::senderName, mail.senderName);
  qm::PutFixedText(m + mailOff::subject, mail.subject);
  qm::PutFixedText(m + mailOff::smtpHost, mail.smtpHost);
  qm::PutFixedText(m + mailOff::smtpUserId, mail.smtpUserId);
  PutScrambled(m + mailOff::smtpPassword, mail.smtpPassword);
  qm::PutFixedText(m + mailOff::senderAddress, mail.senderAddress);

  std::uint8_t* d = buf.data() + kDirectoryOffset;
  qm::PutFixedText(d + dirOff::odbcSource, dir.odbcSource);
  qm::PutFixedText(d + dirOff::table, dir.table);
  qm::PutFixedText(d + dirOff::dbUserId, dir.dbUserId);
  PutScrambled(d + dirOff::dbPassword, dir.dbPassword);
  qm::PutFixedText(d + dirOff::mailField, dir.mailField);

  std::uint8_t* g = buf.data() + kGeneralOffset;
  qm::PutInt32LE(g + genOff::intervalMinutes, general.intervalMinutes);
  g[genOff::timerEnabled] = general.timerEnabled ? 1 : 0;
  g[genOff::verbosity] = general.verbosity;
  g[genOff::contentType] = general.contentType;
  g[genOff::altTextEnabled] = general.altTextEnabled ? 1 : 0;
  qm::PutFixedText(g + genOff::altText, general.altText);
  qm::PutFixedText(g + genOff::adPath, general.adPath);
  qm::PutFixedText(g + genOff::adUserId, general.adUserId);
  qm::PutFixedText(g + genOff::adPassword, general.adPassword);  // stored plain
  g[genOff::useAD] = general.useAD ? 1 : 0;
  qm::PutFixedText(g + genOff::fieldNames1, general.fieldNames1);
  qm::PutFixedText(g + genOff::fieldNames2, general.fieldNames2);
  qm::PutFixedText(g + genOff::sendAs, general.sendAs);
  std::copy(general.padding.begin(), general.padding.end(), g + genOff::padding);
  qm::PutInt32LE(g + genOff::httpPort, general.httpPort);
  g[genOff::httpServerActive] = general.httpServerActive ? 1 : 0;
  std::copy(general.reserved.begin(), general.reserved.end(), g + genOff::reserved);
  return buf;
}

void DecodeProfile(const std::uint8_t* bytes, MailSettings& mail, DirectorySettings& dir, GeneralSettings& general) {
  const std::uint8_t* m = bytes + kMailOffset;
  mail.pop3Host = qm::GetFixedText(m + mailOff::pop3Host);
  mail.pop3Login = qm::GetFixedText(m + mailOff::pop3Login);
  mail.pop3Password = GetScrambled(m + mailOff::pop3Password);
  mail.senderName = qm::GetFixedText(m + mailOff::senderName);
  mail.subject = qm::GetFixedText(m + mailOff::subject);
  mail.smtpHost = qm::GetFixedText(m + mailOff::smtpHost);
  mail.smtpUserId = qm::GetFixedText(m + mailOff::smtpUserId);
  mail.smtpPassword = GetScrambled(m + mailOff::smtpPassword);
  mail.senderAddress = qm::GetFixedText(m + mailOff::senderAddress);

  const std::uint8_t* d = bytes + kDirectoryOffset;
  dir.odbcSource = qm::GetFixedText(d + dirOff::odbcSource);
  dir.table = qm::GetFixedText(d + dirOff::table);
  dir.dbUserId = qm::GetFixedText(d + dirOff::dbUserId);
  dir.dbPassword = GetScrambled(d + dirOff::dbPassword);
  dir.mailField = qm::GetFixedText(d + dirOff::mailField);

  const std::uint8_t* g = bytes + kGeneralOffset;
  general.intervalMinutes = qm::GetInt32LE(g + genOff::intervalMinutes);
  general.timerEnabled = g[genOff::timerEnabled] != 0;
  general.verbosity = g[genOff::verbosity];
  general.contentType = g[genOff::contentType];
  general.altTextEnabled = g[genOff::altTextEnabled] != 0;
  general.altText = qm::GetFixedText(g + genOff::altText);
  general.adPath = qm::GetFixedText(g + genOff::adPath);
  general.adUserId = qm::GetFixedText(g + genOff::adUserId);
  general.adPassword = qm::GetFixedText(g + genOff::adPassword);
  general.useAD = g[genOff::useAD] != 0;
  general.fieldNames1 = qm::GetFixedText(g + genOff::fieldNames1);
  general.fieldNames2 = qm::GetFixedText(g + genOff::fieldNames2);
  general.sendAs = qm::GetFixedText(g + genOff::sendAs);
  std::copy_n(g + genOff::padding, general.padding.size(), general.padding.begin());
  general.httpPort = qm::GetInt32LE(g + genOff::httpPort);
  general.httpServerActive = g[genOff::httpServerActive] != 0;
  std::copy_n(g + genOff::reserved, general.reserved.size(), general.reserved.begin());
}

void PutFieldNames(GeneralSettings& general, const std::string& list) {
  general.fieldNames1 = qm::CutUtf8(list, 254);
  general.fieldNames2 = qm::CutUtf8(std::string_view(list).substr(general.fieldNames1.size()), 255);
}

std::string GetFieldNames(const GeneralSettings& general) { return general.fieldNames1 + general.fieldNames2; }

bool IsSafeProfileName(const std::string& name) {
  if (name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

// ---- TFSettings --------------------------------------------------------

TFSettings::TFSettings() { FSettings = this; }

TFSettings::~TFSettings() {
  if (FSettings == this) FSettings = nullptr;
}

MailSettings TFSettings::GetMailSettings() const {
  std::lock_guard lk(recordsMutex_);
  return mail_;
}

DirectorySettings TFSettings::GetDirectorySettings() const {
  std::lock_guard lk(recordsMutex_);
  return directory_;
}

GeneralSettings TFSettings::GetGeneralSettings() const {
  std::lock_guard lk(recordsMutex_);
  return general_;
}

std::string TFSettings::GetAddressField() const {
  std::lock_guard lk(recordsMutex_);
  return general_.useAD ? std::string("mail") : directory_.mailField;
}

DirectoryLookupSettings TFSettings::GetLookupSettings() const {
  std::lock_guard lock(recordsMutex_);
  DirectoryLookupSettings out;
  out.useAD = general_.useAD;
  out.fieldNames1 = general_.fieldNames1;
  out.fieldNames2 = general_.fieldNames2;
  out.adPath = general_.adPath;
  out.mailField = directory_.mailField;
  out.odbcSource = directory_.odbcSource;
  out.table = directory_.table;
  return out;
}

void TFSettings::SetMailSettings(const MailSettings& s) {
  std::lock_guard lk(recordsMutex_);
  mail_ = s;
}

void TFSettings::SetDirectorySettings(const DirectorySettings& s) {
  std::lock_guard lk(recordsMutex_);
  directory_ = s;
}

void TFSettings::SetGeneralSettings(const GeneralSettings& s) {
  std::lock_guard lk(recordsMutex_);
  general_ = s;
}

std::string TFSettings::ProfilePath(const std::string& name) { return qm::ProgramDirectory() + name + ".config"; }

void TFSettings::LoadSettings(const std::string& path) {
  if (!qm::FileExists(path)) {
    ::WriteLog("Die Datei wurde nicht gefunden: " + path, ltError);
    return;
  }
  // Only a whole record is taken from the file; a shorter file yields
  // all-zero records, a longer one its first record.
  std::array<std::uint8_t, kProfileSize> buf{};
  try {
    std::string bytes = qm::ReadWholeFile(path);
    if (bytes.size() >= kProfileSize) std::memcpy(buf.data(), bytes.data(), kProfileSize);
  } catch (const qm::EInOutError&) {
    ::WriteLog("Fehler beim Auslesen der Datei " + path, ltError);
    return;
  } catch (const std::exception&) {
    ::WriteLog("Ein Laufzeitfehler ist aufgetreten!", ltError);
    return;
  }
  MailSettings mail;
  DirectorySettings dir;
  GeneralSettings general;
  DecodeProfile(buf.data(), mail, dir, general);
  {
    std::lock_guard lk(recordsMutex_);
    mail_ = std::move(mail);
    directory_ = std::move(dir);
    general_ = std::move(general);
  }
  try {
    SettingsToDialog();
    if (Form_main) Form_main->BuildPlaceholderList();
  } catch (const EDataSourceError&) {
    ::WriteLog("Quillmark konnte sich nicht mit der Datenquelle verbinden.", ltError);
  } catch (const qm::EInOutError&) {
    ::WriteLog("Fehler beim Auslesen der Datei " + path, ltError);
  } catch (const std::exception&) {
    ::WriteLog("Ein Laufzeitfehler ist aufgetreten!", ltError);
  }
}

void TFSettings::SaveSettings() {
  const std::string name = CB_profil;
  try {
    // A name that would place the file outside the program directory is
    // refused before anything is written.
    if (!IsSafeProfileName(name)) throw qm::EInOutError(qm::SysErrorMessage(EINVAL), EINVAL);
    const std::string path = ProfilePath(name);
    std::array<std::uint8_t, kProfileSize> buf;
    {
      std::lock_guard lk(recordsMutex_);
      buf = EncodeProfile(mail_, directory_, general_);
    }
    // The file holds passwords: owner only, also when it existed before.
    qm::WriteWholeFile(path, std::string(reinterpret_cast<const char*>(buf.data()), buf.size()), 0600);
    if (::chmod(path.c_str(), 0600) != 0) {
      int e = errno;
      throw qm::EInOutError(qm::SysErrorMessage(e), e);
    }
  } catch (const qm::EInOutError& e) {
    ::WriteLog(std::string("I/O Fehler: ") + e.what(), ltError);
    return;
  } catch (const std::exception&) {
    ::WriteLog("Ein Laufzeitfehler ist aufgetreten!", ltError);
    return;
  }
  SetStateValue("profilename", name);
}

void TFSettings::FormCreate() {
  if (FDBUtil) FDBUtil->GetOdbcDataSources(CB_OdbcItems);
  std::string name = GetStateValue("profileName");
  if (name.empty()) name = "default";
  CB_profil = name;
  // An unsafe remembered name is never looked up; SaveSettings refuses it.
  if (IsSafeProfileName(name) && qm::FileExists(ProfilePath(name)))
    LoadSettings(ProfilePath(name));
  else
    SaveSettings();
  if (Form_main) Form_main->BuildPlaceholderList();
}
