#include "signature/USaveSig.h"

#include <cstdint>

#include "base/UUtils.h"

std::string FormatProjectFile(const qm::TextList& mailText, const qm::TextList& signature,
                              const qm::TextList& shortNames) {
  qm::TextList lines;
  lines.reserve(3 + mailText.size() + signature.size() + shortNames.size());
  lines.push_back(std::to_string(mailText.size()));
  lines.push_back(std::to_string(signature.size()));
  lines.push_back(std::to_string(shortNames.size()));
  lines.insert(lines.end(), mailText.begin(), mailText.end());
  lines.insert(lines.end(), signature.begin(), signature.end());
  lines.insert(lines.end(), shortNames.begin(), shortNames.end());
  return qm::JoinLinesCrLf(lines);
}

namespace {

// A count as the system converts it; a negative count is never written by
// the system and is refused like any other text that is not a count.
int Count(const std::string& line) {
  int n = qm::StrToInt(line);
  if (n < 0) throw qm::EConvertError("'" + line + "' ist kein gültiger Integerwert");
  return n;
}

// Appends `count` lines starting at `next`, advancing `next`; stops at the
// first missing line with the list index error.
void TakeLines(const qm::TextList& lines, std::size_t& next, int count, qm::TextList& into) {
  for (int i = 0; i < count; ++i, ++next) {
    if (next >= lines.size())
      throw qm::EListError("Listenindex überschreitet das Maximum (" + std::to_string(next) + ")");
    into.push_back(lines[next]);
  }
}

}  // namespace

void ParseProjectFile(std::string_view bytes, qm::TextList& mailText, qm::TextList& signature,
                      qm::TextList& shortNames) {
  // The NUL ends the text before the encoding is decided.
  if (auto nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  const qm::TextList lines = qm::SplitLines(qm::DecodeStoredText(bytes));
  if (lines.size() < 3) return;
  const int m = Count(lines[0]);
  const int t = Count(lines[1]);
  const int a = Count(lines[2]);
  std::size_t next = 3;
  mailText.clear();
  TakeLines(lines, next, m, mailText);
  signature.clear();
  TakeLines(lines, next, t, signature);
  TakeLines(lines, next, a, shortNames);
}

void LoadProjectFile(const std::string& path, qm::TextList& mailText, qm::TextList& signature,
                     qm::TextList& shortNames) {
  if (path.empty() || !qm::FileExists(path)) return;
  const std::string bytes = qm::ReadWholeFile(path);
  ParseProjectFile(bytes, mailText, signature, shortNames);
}

void SaveProjectFile(const std::string& path, const qm::TextList& mailText, const qm::TextList& signature,
                     const qm::TextList& shortNames) {
  qm::WriteWholeFile(path, FormatProjectFile(mailText, signature, shortNames));
}
