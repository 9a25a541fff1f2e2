#include "platform/dataaccess/ConnectionString.h"

#include <algorithm>
#include <cctype>

#include "platform/dataaccess/DataAccess.h"

namespace qm::data {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool HasOuterBlank(const std::string& value) {
  return !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string QuotedConnectionValue(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

std::string ConnectionPair(const std::string& key, const std::string& value) {
  bool quote = value.find_first_of(";\"'") != std::string::npos || HasOuterBlank(value);
  return key + "=" + (quote ? QuotedConnectionValue(value) : value);
}

std::string BuildConnectionString(const ConnectionPairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (!out.empty()) out += ';';
    out += ConnectionPair(key, value);
  }
  return out;
}

ConnectionPairs ParseConnectionString(const std::string& text) {
  ConnectionPairs pairs;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t eq = text.find('=', i);
    std::size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      // A piece without "=": skipped, as the key is incomplete.
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    std::string key = Trim(text.substr(i, eq - i));
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    if (v < text.size() && (text[v] == '"' || text[v] == '\'')) {
      const char q = text[v];
      std::size_t p = v + 1;
      for (; p < text.size(); ++p) {
        if (text[p] != q) {
          value += text[p];
        } else if (p + 1 < text.size() && text[p + 1] == q) {
          value += q;  // a doubled quote stands for itself
          ++p;
        } else {
          break;  // the closing quote
        }
      }
      semi = text.find(';', p);
    } else {
      semi = text.find(';', v);
      value = text.substr(v, semi == std::string::npos ? std::string::npos : semi - v);
    }
    if (!key.empty()) pairs.emplace_back(std::move(key), std::move(value));
    if (semi == std::string::npos) break;
    i = semi + 1;
  }
  return pairs;
}

std::string ConnectionValue(const ConnectionPairs& pairs, const std::string& key) {
  for (const auto& [k, v] : pairs)
    if (SameTextIgnoringCase(k, key)) return v;
  return {};
}

std::string OdbcAttribute(const std::string& key, const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos && !HasOuterBlank(value)) return key + "=" + value;
  std::string out = key + "={";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + '}';
}

std::string OdbcConnectionString(const ConnectionPairs& pairs) {
  std::string out = ConnectionValue(pairs, "Extended Properties");
  auto add = [&out](const std::string& key, const std::string& value) {
    if (value.empty()) return;
    if (!out.empty() && out.back() != ';') out += ';';
    out += OdbcAttribute(key, value);
  };
  const ConnectionPairs given = ParseOdbcConnectionString(out);
  const bool namesSource = std::any_of(given.begin(), given.end(), [](const auto& pair) {
    return SameTextIgnoringCase(pair.first, "DSN") || SameTextIgnoringCase(pair.first, "DRIVER") ||
           SameTextIgnoringCase(pair.first, "FILEDSN");
  });
  if (!namesSource) add("DSN", ConnectionValue(pairs, "Data Source"));
  add("UID", ConnectionValue(pairs, "User ID"));
  add("PWD", ConnectionValue(pairs, "Password"));
  return out;
}

ConnectionPairs ParseOdbcConnectionString(const std::string& text) {
  ConnectionPairs pairs;
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ';')) ++i;
    std::size_t eq = text.find('=', i);
    if (i >= text.size() || eq == std::string::npos) break;
    std::string key = text.substr(i, eq - i);
    std::string value;
    i = eq + 1;
    if (i < text.size() && text[i] == '{') {
      for (++i; i < text.size(); ++i) {
        if (text[i] != '}') {
          value += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '}') {
          value += '}';  // a doubled brace stands for one
          ++i;
        } else {
          ++i;  // the closing brace
          break;
        }
      }
    } else {
      std::size_t semi = std::min(text.find(';', i), text.size());
      value = text.substr(i, semi - i);
      i = semi;
    }
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

}  // namespace qm::data
