// The directory's query dialect: any query text parsed (or refused with
// DataError), any ADsPath resolved, and the search filter built from the
// WHERE pairs. A filter built from any values is well-formed: balanced
// parentheses, every value escaped so that it matches literally.

#include <cstddef>
#include <cctype>
#include <cstdint>
#include <utility>
#include <vector>
#include <string>

#include "FuzzSupport.h"
#include "platform/dataaccess/DataAccess.h"
#include "platform/dataaccess/LdapDialect.h"

namespace {

// True when the filter's parentheses balance and no value holds an
// unescaped '*', '(' , ')' or NUL (each value sits between '=' and ')').
bool WellFormedFilter(const std::string& f) {
  int depth = 0;
  bool inValue = false;
  for (std::size_t i = 0; i < f.size(); ++i) {
    char c = f[i];
    if (inValue) {
      if (c == ')') {
        inValue = false;
        if (--depth < 0) return false;
      } else if (c == '(' || c == '*' || c == '\0') {
        return false;
      } else if (c == '\\') {
        if (i + 2 >= f.size() || !std::isxdigit(static_cast<unsigned char>(f[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(f[i + 2])))
          return false;
        i += 2;
      }
      continue;
    }
    if (c == '(') ++depth;
    else if (c == ')') {
      if (--depth < 0) return false;
    } else if (c == '=') inValue = true;
  }
  return depth == 0 && !inValue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const qm::data::LdapQuery q = qm::data::ParseLdapQuery(text);
    try {
      (void)qm::data::ParseAdsPath(q.path);
    } catch (const qm::data::DataError&) {
    }
    // Attribute names of a parsed query are plain names; the filter from
    // its pairs is well-formed.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& [attr, value] : q.equals) {
      bool plain = !attr.empty();
      for (unsigned char c : attr) plain = plain && (std::isalnum(c) || c == '-' || c == ';' || c == '.');
      if (plain) pairs.emplace_back(attr, value);
    }
    const std::string filter = qm::data::BuildFilter(pairs);
    if (pairs.empty())
      FUZZ_CHECK(filter == "(objectClass=*)", "no condition: every entry");
    else
      FUZZ_CHECK(WellFormedFilter(filter), "filter from a parsed query is well-formed");
  } catch (const qm::data::DataError&) {
  }
  try {
    (void)qm::data::ParseAdsPath(text);
  } catch (const qm::data::DataError&) {
  }
  // Any bytes as the value of an equality: escaped, they match literally.
  FUZZ_CHECK(WellFormedFilter(qm::data::BuildFilter({{"mail", text}})), "any value is escaped");
  FUZZ_CHECK(WellFormedFilter(qm::data::BuildFilter({{"mail", text}, {"objectClass", "user"}})), "and-filter");
  return 0;
}
