#include "settings/SettingsStore.h"
#include "base/Texts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <variant>

#include "base/ULog.h"
#include "base/UUtils.h"

namespace {

// One stored field: its offset inside its record, how it is stored, and the
// record member it holds. The tables below are the whole stored layout of
// each record; encoding and decoding walk them.
enum class Stored { Text, Scrambled, Flag, NotFlag, Byte, Int32 };

template <class Record>
struct StoredField {
  std::size_t offset;
  Stored kind;
  std::variant<std::string Record::*, bool Record::*, std::uint8_t Record::*, std::int32_t Record::*> member;
};

const StoredField<MailSettings> kMailFields[] = {
    {0, Stored::Text, &MailSettings::pop3Host},          {256, Stored::Text, &MailSettings::pop3Login},
    {512, Stored::Scrambled, &MailSettings::pop3Password}, {768, Stored::Text, &MailSettings::senderName},
    {1024, Stored::Text, &MailSettings::subject},         {1280, Stored::Text, &MailSettings::smtpHost},
    {1536, Stored::Text, &MailSettings::smtpUserId},      {1792, Stored::Scrambled, &MailSettings::smtpPassword},
    {2048, Stored::Text, &MailSettings::senderAddress},
};

const StoredField<DirectorySettings> kDirectoryFields[] = {
    {0, Stored::Text, &DirectorySettings::odbcSource},     {256, Stored::Text, &DirectorySettings::table},
    {512, Stored::Text, &DirectorySettings::dbUserId},     {768, Stored::Scrambled, &DirectorySettings::dbPassword},
    {1024, Stored::Text, &DirectorySettings::mailField},
};

// The padding (1801-1803) and reserved (2591-3367) bytes are kept as loaded.
constexpr std::size_t kGeneralPadding = 1801, kGeneralReserved = 2591;
const StoredField<GeneralSettings> kGeneralFields[] = {
    {0, Stored::Int32, &GeneralSettings::intervalMinutes},  {4, Stored::Flag, &GeneralSettings::timerEnabled},
    {5, Stored::Byte, &GeneralSettings::verbosity},         {6, Stored::Byte, &GeneralSettings::contentType},
    {7, Stored::Flag, &GeneralSettings::altTextEnabled},    {8, Stored::Text, &GeneralSettings::altText},
    {264, Stored::Text, &GeneralSettings::adPath},          {520, Stored::Text, &GeneralSettings::adUserId},
    {776, Stored::Text, &GeneralSettings::adPassword},  // stored plain
    {1032, Stored::Flag, &GeneralSettings::useAD},          {1033, Stored::Text, &GeneralSettings::fieldNames1},
    {1289, Stored::Text, &GeneralSettings::fieldNames2},    {1545, Stored::Text, &GeneralSettings::sendAs},
    {1804, Stored::Int32, &GeneralSettings::httpPort},      {1808, Stored::Flag, &GeneralSettings::httpServerActive},
    {1809, Stored::Flag, &GeneralSettings::dropEmptyLines},
    {1810, Stored::Byte, &GeneralSettings::pop3Security},   {1811, Stored::Byte, &GeneralSettings::smtpSecurity},
    {1812, Stored::Byte, &GeneralSettings::ldapSecurity},   {1813, Stored::Byte, &GeneralSettings::httpSecurity},
    {1814, Stored::NotFlag, &GeneralSettings::tlsVerifyPeer},  // 0: verify
    {1815, Stored::Int32, &GeneralSettings::pop3Port},      {1819, Stored::Int32, &GeneralSettings::smtpPort},
    {1823, Stored::Text, &GeneralSettings::tlsCaFile},      {2079, Stored::Text, &GeneralSettings::httpsCertFile},
    {2335, Stored::Text, &GeneralSettings::httpsKeyFile},
};
static_assert(kGeneralReserved + std::tuple_size_v<decltype(GeneralSettings::reserved)> == 3368);
static_assert(kGeneralOffset + 3368 == kProfileSize);

// Scrambling and unscrambling are the same: XOR of the text bytes (not the
// length byte) with the key.
void ScrambleField(std::uint8_t* p) {
  for (std::size_t i = 1; i <= p[0]; ++i) p[i] ^= kScrambleKey;
}

template <class Record, std::size_t N>
void EncodeFields(const StoredField<Record> (&fields)[N], const Record& record, std::uint8_t* base) {
  for (const auto& f : fields) {
    std::uint8_t* p = base + f.offset;
    std::visit(
        [&](auto member) {
          const auto& value = record.*member;
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) {
            qm::PutFixedText(p, value);
            if (f.kind == Stored::Scrambled) ScrambleField(p);
          } else if constexpr (std::is_same_v<T, bool>) {
            *p = (value != (f.kind == Stored::NotFlag)) ? 1 : 0;
          } else if constexpr (std::is_same_v<T, std::uint8_t>) {
            *p = value;
          } else {
            qm::PutInt32LE(p, value);
          }
        },
        f.member);
  }
}

template <class Record, std::size_t N>
void DecodeFields(const StoredField<Record> (&fields)[N], const std::uint8_t* base, Record& record) {
  for (const auto& f : fields) {
    const std::uint8_t* p = base + f.offset;
    std::visit(
        [&](auto member) {
          auto& value = record.*member;
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) {
            if (f.kind == Stored::Scrambled) {
              std::uint8_t field[qm::kFixedTextSize];
              std::memcpy(field, p, sizeof field);
              ScrambleField(field);
              value = qm::GetFixedText(field);
            } else {
              value = qm::GetFixedText(p);
            }
          } else if constexpr (std::is_same_v<T, bool>) {
            value = (*p != 0) != (f.kind == Stored::NotFlag);
          } else if constexpr (std::is_same_v<T, std::uint8_t>) {
            value = *p;
          } else {
            value = qm::GetInt32LE(p);
          }
        },
        f.member);
  }
}

}  // namespace

int StandardPop3Port(std::uint8_t security) { return security == msImplicitTls ? 995 : 110; }
int StandardSmtpPort(std::uint8_t security) {
  return security == msImplicitTls ? 465 : security == msStartTls ? 587 : 25;
}
int Pop3PortOf(const GeneralSettings& g) { return g.pop3Port ? g.pop3Port : StandardPop3Port(g.pop3Security); }
int SmtpPortOf(const GeneralSettings& g) { return g.smtpPort ? g.smtpPort : StandardSmtpPort(g.smtpSecurity); }

std::array<std::uint8_t, kProfileSize> EncodeProfile(const MailSettings& mail, const DirectorySettings& dir,
                                                     const GeneralSettings& general) {
  std::array<std::uint8_t, kProfileSize> buf{};
  EncodeFields(kMailFields, mail, buf.data() + kMailOffset);
  EncodeFields(kDirectoryFields, dir, buf.data() + kDirectoryOffset);
  std::uint8_t* g = buf.data() + kGeneralOffset;
  EncodeFields(kGeneralFields, general, g);
  std::copy(general.padding.begin(), general.padding.end(), g + kGeneralPadding);
  std::copy(general.reserved.begin(), general.reserved.end(), g + kGeneralReserved);
  return buf;
}

void DecodeProfile(const std::uint8_t* bytes, MailSettings& mail, DirectorySettings& dir, GeneralSettings& general) {
  DecodeFields(kMailFields, bytes + kMailOffset, mail);
  DecodeFields(kDirectoryFields, bytes + kDirectoryOffset, dir);
  const std::uint8_t* g = bytes + kGeneralOffset;
  DecodeFields(kGeneralFields, g, general);
  std::copy_n(g + kGeneralPadding, general.padding.size(), general.padding.begin());
  std::copy_n(g + kGeneralReserved, general.reserved.size(), general.reserved.begin());
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

// ---- SettingsStore -------------------------------------------------------

namespace qm {

MailSettings SettingsStore::GetMailSettings() const {
  std::lock_guard lk(mutex_);
  return mail_;
}

DirectorySettings SettingsStore::GetDirectorySettings() const {
  std::lock_guard lk(mutex_);
  return directory_;
}

GeneralSettings SettingsStore::GetGeneralSettings() const {
  std::lock_guard lk(mutex_);
  return general_;
}

std::string SettingsStore::GetAddressField() const {
  std::lock_guard lk(mutex_);
  return general_.useAD ? std::string("mail") : directory_.mailField;
}

DirectoryLookupSettings SettingsStore::GetLookupSettings() const {
  std::lock_guard lock(mutex_);
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

void SettingsStore::SetMailSettings(const MailSettings& s) {
  std::lock_guard lk(mutex_);
  mail_ = s;
}

void SettingsStore::SetDirectorySettings(const DirectorySettings& s) {
  std::lock_guard lk(mutex_);
  directory_ = s;
}

void SettingsStore::SetGeneralSettings(const GeneralSettings& s) {
  std::lock_guard lk(mutex_);
  general_ = s;
}

std::string SettingsStore::ProfilePath(const std::string& name) { return qm::ProgramDirectory() + name + ".config"; }

bool SettingsStore::ReadProfile(const std::string& path) {
  if (!qm::FileExists(path)) {
    ::WriteLog(qm::text::kFileNotFoundPrefix + path, ltError);
    return false;
  }
  // Only a whole record is taken from the file; a shorter file yields
  // all-zero records, a longer one its first record.
  std::array<std::uint8_t, kProfileSize> buf{};
  try {
    std::string bytes = qm::ReadWholeFile(path);
    if (bytes.size() >= kProfileSize) std::memcpy(buf.data(), bytes.data(), kProfileSize);
  } catch (const qm::EInOutError&) {
    ::WriteLog(qm::text::kFileReadFailurePrefix + path, ltError);
    return false;
  } catch (const std::exception&) {
    ::WriteLog(qm::text::kRuntimeError, ltError);
    return false;
  }
  MailSettings mail;
  DirectorySettings dir;
  GeneralSettings general;
  DecodeProfile(buf.data(), mail, dir, general);
  std::lock_guard lk(mutex_);
  mail_ = std::move(mail);
  directory_ = std::move(dir);
  general_ = std::move(general);
  return true;
}

bool SettingsStore::WriteProfile(const std::string& name) const {
  try {
    // A name that would place the file outside the program directory is
    // refused before anything is written.
    if (!IsSafeProfileName(name)) throw qm::EInOutError(qm::SysErrorMessage(EINVAL), EINVAL);
    const std::string path = ProfilePath(name);
    std::array<std::uint8_t, kProfileSize> buf;
    {
      std::lock_guard lk(mutex_);
      buf = EncodeProfile(mail_, directory_, general_);
    }
    // The file holds passwords: owner only (owner and group in a shared data
    // directory), also when it existed before.
    const unsigned mode = qm::SecretFileMode();
    qm::WriteWholeFile(path, std::string(reinterpret_cast<const char*>(buf.data()), buf.size()), mode);
    if (::chmod(path.c_str(), mode) != 0) {
      int e = errno;
      throw qm::EInOutError(qm::SysErrorMessage(e), e);
    }
  } catch (const qm::EInOutError& e) {
    ::WriteLog(std::string(qm::text::kIoErrorPrefix) + e.what(), ltError);
    return false;
  } catch (const std::exception&) {
    ::WriteLog(qm::text::kRuntimeError, ltError);
    return false;
  }
  return true;
}

}  // namespace qm
