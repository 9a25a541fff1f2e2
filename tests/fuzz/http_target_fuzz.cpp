// The pure request-target functions of the HTTP server on arbitrary targets
// and bodies: what the document path and the parameter list are, whether a
// path stays inside the attachment store, and the escaping of answer text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "http/UHttpRequest.h"

namespace {

// Lexically resolves a path below a root ('/' separates); false when a ".."
// would climb above the root.
bool StaysBelowRoot(std::string_view path) {
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string_view seg = path.substr(start, i - start);
      if (seg == "..") {
        if (--depth < 0) return false;
      } else if (!seg.empty() && seg != ".") {
        ++depth;
      }
      start = i + 1;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  // First line: the target; the rest: a request body.
  auto nl = in.find('\n');
  std::string_view target = in.substr(0, nl);
  std::string_view body = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);

  const std::string doc = qm::HttpDocumentPath(target);
  FUZZ_CHECK(doc.find('\\') == std::string::npos, "backslashes become slashes");
  FUZZ_CHECK(doc.find('?') == std::string::npos && doc.find('#') == std::string::npos, "no query or fragment");

  if (qm::IsContainedDocumentPath(doc)) {
    FUZZ_CHECK(doc.find('\0') == std::string::npos, "a contained path holds no NUL");
    FUZZ_CHECK(StaysBelowRoot(doc), "a contained path stays below the store");
    std::string decoded = doc;
    // What a server that decodes percent escapes (or a file system that
    // treats '\' as a separator) would see must stay inside as well.
    std::string pct;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      auto hex = [](char c) {
        return (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      };
      if (decoded[i] == '%' && i + 2 < decoded.size() && hex(decoded[i + 1]) >= 0 && hex(decoded[i + 2]) >= 0) {
        pct.push_back(static_cast<char>(hex(decoded[i + 1]) * 16 + hex(decoded[i + 2])));
        i += 2;
      } else {
        pct.push_back(decoded[i]);
      }
    }
    for (char& c : pct)
      if (c == '\\') c = '/';
    FUZZ_CHECK(pct.find('\0') == std::string::npos, "decoded path holds no NUL");
    FUZZ_CHECK(StaysBelowRoot(pct), "decoded path stays below the store");
  }

  const std::string query = qm::HttpQueryText(target);
  FUZZ_CHECK(query.size() <= target.size(), "query is part of the target");
  const std::string params = qm::HttpParamText(body, query);
  const qm::TextList list = qm::HttpParams(params);
  std::size_t amps = 0;
  for (char c : params) amps += c == '&';
  FUZZ_CHECK(params.empty() ? list.empty() : list.size() == amps + 1, "one piece per '&' plus one");
  for (const auto& piece : list) {
    FUZZ_CHECK(piece.size() <= params.size(), "decoding never grows");
    const std::string escaped = qm::HtmlEscapeText(piece);
    FUZZ_CHECK(escaped.find_first_of("<>") == std::string::npos, "escaped text adds no markup");
  }
  return 0;
}
