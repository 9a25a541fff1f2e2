#include "settings/ProfileConfig.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>
#include <optional>

#include "base/UText.h"
#include "base/UUtils.h"
#include "settings/SettingsStore.h"
#include "settings/USettingDialog.h"

namespace qm {

namespace {

// How a field is shown and what it takes.
enum class Kind { Text, Password, Flag, Number, FieldList };

struct Field {
  const char* name;
  Kind kind;
  // Reads the value as shown (passwords plain; DescribeProfile masks them).
  std::function<std::string(const ProfileRecords&)> get;
  // Checks a value and returns the reason it is refused, or "".
  std::function<std::string(const std::string&)> check;
  // Stores a checked value.
  std::function<void(ProfileRecords&, const std::string&)> set;
};

// The stored text fields hold 255 bytes.
constexpr std::size_t kTextMax = 255;
// The attribute list spans two stored fields.
constexpr std::size_t kFieldListMax = 254 + 255;

std::optional<bool> ParseFlag(const std::string& v) {
  const std::string l = qm::LowerAscii(v);
  if (l == "yes" || l == "true" || l == "1") return true;
  if (l == "no" || l == "false" || l == "0") return false;
  return std::nullopt;
}

std::optional<long long> ParseNumber(const std::string& v) {
  long long n = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
  return n;
}

std::string CheckText(const std::string& v, std::size_t max) {
  if (!qm::IsValidUtf8(v)) return "kein gültiger UTF-8-Text";
  if (v.size() > max) return "zu lang (höchstens " + std::to_string(max) + " Bytes)";
  return "";
}

template <class Record>
Field TextField(const char* name, Record ProfileRecords::*record, std::string Record::*member, bool password = false) {
  return {name, password ? Kind::Password : Kind::Text,
          [=](const ProfileRecords& r) { return (r.*record).*member; },
          [](const std::string& v) { return CheckText(v, kTextMax); },
          [=](ProfileRecords& r, const std::string& v) { (r.*record).*member = v; }};
}

Field FlagField(const char* name, bool GeneralSettings::*member) {
  return {name, Kind::Flag, [=](const ProfileRecords& r) { return std::string(r.general.*member ? "yes" : "no"); },
          [](const std::string& v) { return ParseFlag(v) ? "" : "erwartet yes/no, true/false oder 1/0"; },
          [=](ProfileRecords& r, const std::string& v) { r.general.*member = *ParseFlag(v); }};
}

// A whole number in [low, high].
template <class T>
Field NumberField(const char* name, T GeneralSettings::*member, long long low, long long high) {
  return {name, Kind::Number, [=](const ProfileRecords& r) { return std::to_string(r.general.*member); },
          [=](const std::string& v) -> std::string {
            auto n = ParseNumber(v);
            if (!n || *n < low || *n > high)
              return "erwartet eine ganze Zahl von " + std::to_string(low) + " bis " + std::to_string(high);
            return "";
          },
          [=](ProfileRecords& r, const std::string& v) { r.general.*member = static_cast<T>(*ParseNumber(v)); }};
}

// One of a few words, stored as its index.
Field ChoiceField(const char* name, std::uint8_t GeneralSettings::*member, std::vector<std::string> words) {
  std::string expected = "erwartet ";
  for (std::size_t i = 0; i < words.size(); ++i)
    expected += (i == 0 ? "" : i + 1 == words.size() ? " oder " : ", ") + words[i];
  return {name, Kind::Text,
          [=](const ProfileRecords& r) {
            const auto v = r.general.*member;
            // A value no word names (written by a newer version) shows as its number.
            return v < words.size() ? words[v] : std::to_string(v);
          },
          [=](const std::string& v) {
            return std::find(words.begin(), words.end(), qm::LowerAscii(v)) != words.end() ? std::string() : expected;
          },
          [=](ProfileRecords& r, const std::string& v) {
            r.general.*member =
                static_cast<std::uint8_t>(std::find(words.begin(), words.end(), qm::LowerAscii(v)) - words.begin());
          }};
}

const std::vector<Field>& Fields() {
  using M = MailSettings;
  using D = DirectorySettings;
  using G = GeneralSettings;
  static const std::vector<Field> fields = {
      TextField("pop3Host", &ProfileRecords::mail, &M::pop3Host),
      TextField("pop3Login", &ProfileRecords::mail, &M::pop3Login),
      TextField("pop3Password", &ProfileRecords::mail, &M::pop3Password, true),
      TextField("senderName", &ProfileRecords::mail, &M::senderName),
      TextField("subject", &ProfileRecords::mail, &M::subject),
      TextField("smtpHost", &ProfileRecords::mail, &M::smtpHost),
      TextField("smtpUserId", &ProfileRecords::mail, &M::smtpUserId),
      TextField("smtpPassword", &ProfileRecords::mail, &M::smtpPassword, true),
      TextField("senderAddress", &ProfileRecords::mail, &M::senderAddress),
      TextField("odbcSource", &ProfileRecords::directory, &D::odbcSource),
      TextField("table", &ProfileRecords::directory, &D::table),
      TextField("dbUserId", &ProfileRecords::directory, &D::dbUserId),
      TextField("dbPassword", &ProfileRecords::directory, &D::dbPassword, true),
      TextField("mailField", &ProfileRecords::directory, &D::mailField),
      NumberField("intervalMinutes", &G::intervalMinutes, kIntervalMin, kIntervalMax),
      FlagField("timerEnabled", &G::timerEnabled),
      NumberField("verbosity", &G::verbosity, 0, 3),
      NumberField("contentType", &G::contentType, ctText, ctRichText),
      FlagField("altTextEnabled", &G::altTextEnabled),
      TextField("altText", &ProfileRecords::general, &G::altText),
      TextField("adPath", &ProfileRecords::general, &G::adPath),
      TextField("adUserId", &ProfileRecords::general, &G::adUserId),
      TextField("adPassword", &ProfileRecords::general, &G::adPassword, true),
      FlagField("useAD", &G::useAD),
      {"fieldNames", Kind::FieldList, [](const ProfileRecords& r) { return GetFieldNames(r.general); },
       [](const std::string& v) { return CheckText(v, kFieldListMax); },
       [](ProfileRecords& r, const std::string& v) { PutFieldNames(r.general, v); }},
      {"sendAs", Kind::Text, [](const ProfileRecords& r) { return r.general.sendAs; },
       [](const std::string& v) -> std::string {
         for (const char* ok : {"anhang", "body", "both", "none"})
           if (v == ok) return "";
         return "erwartet anhang, body, both oder none";
       },
       [](ProfileRecords& r, const std::string& v) { r.general.sendAs = v; }},
      {"httpPort", Kind::Number, [](const ProfileRecords& r) { return std::to_string(r.general.httpPort); },
       [](const std::string& v) -> std::string {
         // The one port rule of the dialog and the server.
         const auto n = ParseNumber(v);
         return n && qm::IsValidPort(*n) ? "" : "erwartet eine ganze Zahl von 1 bis 65535";
       },
       [](ProfileRecords& r, const std::string& v) { r.general.httpPort = static_cast<std::int32_t>(*ParseNumber(v)); }},
      FlagField("httpServerActive", &G::httpServerActive),
      FlagField("dropEmptyLines", &G::dropEmptyLines),
      ChoiceField("pop3Security", &G::pop3Security, {"none", "stls", "tls"}),
      ChoiceField("smtpSecurity", &G::smtpSecurity, {"none", "starttls", "tls"}),
      ChoiceField("ldapSecurity", &G::ldapSecurity, {"none", "starttls", "ldaps"}),
      ChoiceField("httpSecurity", &G::httpSecurity, {"none", "tls"}),
      FlagField("tlsVerifyPeer", &G::tlsVerifyPeer),
      NumberField("pop3Port", &G::pop3Port, 0, 65535),
      NumberField("smtpPort", &G::smtpPort, 0, 65535),
      TextField("tlsCaFile", &ProfileRecords::general, &G::tlsCaFile),
      TextField("httpsCertFile", &ProfileRecords::general, &G::httpsCertFile),
      TextField("httpsKeyFile", &ProfileRecords::general, &G::httpsKeyFile),
  };
  return fields;
}

const Field* Find(const std::string& name) {
  for (const auto& f : Fields())
    if (name == f.name) return &f;
  return nullptr;
}

}  // namespace

std::vector<std::string> DescribeProfile(const ProfileRecords& records) {
  std::vector<std::string> lines;
  for (const auto& f : Fields()) {
    std::string value = f.get(records);
    if (f.kind == Kind::Password && !value.empty()) value = "***";
    lines.push_back(std::string(f.name) + "=" + value);
  }
  return lines;
}

bool IsConfigField(const std::string& name) { return Find(name) != nullptr; }

bool IsConfigPassword(const std::string& name) {
  const Field* f = Find(name);
  return f && f->kind == Kind::Password;
}

std::vector<std::string> ApplyConfig(const std::vector<std::pair<std::string, std::string>>& pairs,
                                     ProfileRecords& records) {
  std::vector<std::string> refused;
  for (const auto& [name, value] : pairs) {
    const Field* f = Find(name);
    if (!f) {
      refused.push_back(name + ": unbekannte Einstellung");
      continue;
    }
    const std::string why = f->check(value);
    if (!why.empty()) refused.push_back(name + ": " + why);
  }
  if (!refused.empty()) return refused;
  for (const auto& [name, value] : pairs) Find(name)->set(records, value);
  return refused;
}

}  // namespace qm
