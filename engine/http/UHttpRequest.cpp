#include "http/UHttpRequest.h"

#include <cctype>

namespace qm {

namespace {

// Length of a leading "scheme://" (RFC 3986 scheme characters), 0 if none.
std::size_t SchemePrefixLength(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return 0;
  std::size_t i = 1;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (std::isalnum(c) || c == '+' || c == '-' || c == '.') {
      ++i;
      continue;
    }
    break;
  }
  if (s.substr(i, 3) == "://") return i + 3;
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding only ('+' stays), for the containment check of paths.
std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

bool HasDotDotSegment(std::string_view path, bool backslashSeparates) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || (backslashSeparates && path[i] == '\\')) {
      if (path.substr(start, i - start) == "..") return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

std::string HttpDocumentPath(std::string_view target) {
  std::string doc(target.substr(0, target.find('?')));
  for (char& c : doc)
    if (c == '\\') c = '/';
  if (auto hash = doc.find('#'); hash != std::string::npos) doc.erase(hash);
  if (std::size_t n = SchemePrefixLength(doc)) {
    auto slash = doc.find('/', n);
    doc = slash == std::string::npos ? std::string("/") : doc.substr(slash);
  }
  return doc;
}

std::string HttpQueryText(std::string_view target) {
  auto q = target.find('?');
  return q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
}

std::string HttpParamText(std::string_view body, std::string_view query) {
  if (body.empty()) return std::string(query);
  if (query.empty()) return std::string(body);
  std::string text(body);
  text += "\r\n";
  text += query;
  return text;
}

std::string UrlDecode(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    char c = piece[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < piece.size() && HexValue(piece[i + 1]) >= 0 && HexValue(piece[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(piece[i + 1]) * 16 + HexValue(piece[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

TextList HttpParams(std::string_view paramText) {
  TextList list;
  if (paramText.empty()) return list;
  std::size_t start = 0;
  for (;;) {
    auto amp = paramText.find('&', start);
    list.push_back(UrlDecode(paramText.substr(start, amp == std::string_view::npos ? amp : amp - start)));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return list;
}

bool IsContainedDocumentPath(std::string_view document) {
  if (document.find('\0') != std::string_view::npos) return false;
  if (HasDotDotSegment(document, true)) return false;
  std::string decoded = PercentDecode(document);
  if (decoded.find('\0') != std::string::npos) return false;
  return !HasDotDotSegment(decoded, true);
}

}  // namespace qm
