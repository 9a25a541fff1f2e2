#include "base/UText.h"

#include <Poco/TextConverter.h>
#include <Poco/UTF8Encoding.h>
#include <Poco/Windows1252Encoding.h>

#include <cstring>
#include <iterator>

#include "base/UUtils.h"

namespace qm {

TextList SplitLines(std::string_view text) {
  TextList lines;
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinLinesCrLf(const TextList& lines) {
  std::string out;
  std::size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  out.reserve(total);
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  // Poco's UTF8Encoding::isLegal checks one sequence; walk the text with it.
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    int len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    if (!Poco::UTF8Encoding::isLegal(p + i, len)) return false;
    i += len;
  }
  return true;
}

std::string DecodeStoredText(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  Poco::Windows1252Encoding cp1252;
  Poco::UTF8Encoding utf8;
  Poco::TextConverter conv(cp1252, utf8);
  std::string out;
  conv.convert(bytes.data(), static_cast<int>(bytes.size()), out);
  return out;
}

std::string CutUtf8(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t cut = maxBytes;
  // Step back over continuation bytes so that no character is split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

void PutFixedText(std::uint8_t* p, std::string_view text) {
  std::string cut = CutUtf8(text, kFixedTextMax);
  p[0] = static_cast<std::uint8_t>(cut.size());
  if (!cut.empty()) std::memcpy(p + 1, cut.data(), cut.size());
}

std::string GetFixedText(const std::uint8_t* p) {
  std::size_t n = p[0];
  return DecodeStoredText(std::string_view(reinterpret_cast<const char*>(p + 1), n));
}

void PutInt32LE(std::uint8_t* p, std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}

std::int32_t GetInt32LE(const std::uint8_t* p) {
  std::uint32_t u = std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
                    (std::uint32_t(p[3]) << 24);
  return static_cast<std::int32_t>(u);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

const ImageType* FindImageType(std::string_view name) {
  if (name.size() < 5) return nullptr;
  for (const ImageType& type : kImageTypes)
    if (EndsWithIgnoreCase(name, type.extension)) return &type;
  return nullptr;
}

bool IsImageName(std::string_view name) { return FindImageType(name) != nullptr; }

std::string ImageFileFilter() {
  std::string filter;
  const std::size_t count = std::size(kImageTypes);
  for (std::size_t first = 0; first < count;) {
    std::size_t end = first + 1;
    while (end < count && kImageTypes[end].filterLabel == kImageTypes[first].filterLabel) ++end;
    std::string shown, patterns;
    for (std::size_t i = first; i < end; ++i) {
      // Appended piece by piece: GCC 12 warns (-Wrestrict) on a literal
      // plus a string here in optimised builds.
      if (i != first) {
        shown += ", ";
        patterns += ";";
      }
      shown.append("*").append(kImageTypes[i].extension);
      patterns.append("*").append(kImageTypes[i].extension);
    }
    if (!filter.empty()) filter += "|";
    filter += std::string(kImageTypes[first].filterLabel) + " (" + shown + ")|" + patterns;
    first = end;
  }
  return filter;
}

std::string ExtractFileName(std::string_view path) {
  auto pos = path.find_last_of("/\\");
  return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

namespace {
bool ParseInt(const std::string& text, int& out) {
  std::size_t i = 0;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    neg = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * base + d;
    if (v > 0x80000000LL) return false;
  }
  if (neg) v = -v;
  if (v > 0x7FFFFFFFLL || v < -0x80000000LL) return false;
  out = static_cast<int>(v);
  return true;
}
}  // namespace

int StrToInt(const std::string& text) {
  int v = 0;
  if (!ParseInt(text, v)) throw EConvertError("'" + text + "' ist kein gültiger Integerwert");
  return v;
}

int StrToIntDef(const std::string& text, int fallback) {
  int v = 0;
  return ParseInt(text, v) ? v : fallback;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string HtmlEscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace qm
