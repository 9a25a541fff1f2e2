#include "platform/dataaccess/LdapDialect.h"

#include <cctype>

#include "platform/dataaccess/DataAccess.h"

namespace qm::data {

namespace {

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

class Scanner {
 public:
  explicit Scanner(const std::string& t) : text_(t) {}

  void SkipBlanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= text_.size();
  }
  // The next word made of name characters ("" when there is none); not consumed.
  std::string PeekWord() {
    SkipBlanks();
    std::size_t e = pos_;
    while (e < text_.size() && IsNameChar(text_[e])) ++e;
    return text_.substr(pos_, e - pos_);
  }
  bool TakeKeyword(const char* kw) {
    std::string w = PeekWord();
    if (w.empty() || !SameTextIgnoringCase(w, kw)) return false;
    pos_ += w.size();
    return true;
  }
  void ExpectKeyword(const char* kw) {
    if (!TakeKeyword(kw)) Fail(std::string("\"") + kw + "\" erwartet");
  }
  std::string Name(const char* what) {
    std::string w = PeekWord();
    if (w.empty()) Fail(std::string(what) + " erwartet");
    pos_ += w.size();
    return w;
  }
  bool TakeChar(char c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // 'literal': everything up to the next apostrophe.
  std::string Literal() {
    if (!TakeChar('\'')) Fail("Zeichenkette in Apostrophen erwartet");
    std::size_t close = text_.find('\'', pos_);
    if (close == std::string::npos) Fail("nicht abgeschlossene Zeichenkette");
    std::string v = text_.substr(pos_, close - pos_);
    pos_ = close + 1;
    return v;
  }
  [[noreturn]] void Fail(const std::string& what) {
    SkipBlanks();
    std::string near = text_.substr(pos_, 40);
    for (char& c : near)
      if (c == '\r' || c == '\n') c = ' ';
    throw DataError("Syntaxfehler in der Abfrage: " + what + (near.empty() ? " (am Ende)" : " bei \"" + near + "\""));
  }

 private:
  const std::string& text_;
  std::size_t pos_ = 0;
};

void SplitPort(std::string& host, int& port) {
  std::size_t colon = host.rfind(':');
  if (colon == std::string::npos) return;
  std::string digits = host.substr(colon + 1);
  host.resize(colon);
  if (digits.empty() || digits.size() > 5) throw DataError("Ungültiger Port im LDAP-Pfad: " + digits);
  for (char c : digits)
    if (!std::isdigit(static_cast<unsigned char>(c))) throw DataError("Ungültiger Port im LDAP-Pfad: " + digits);
  port = std::stoi(digits);
  if (port < 1 || port > 65535) throw DataError("Ungültiger Port im LDAP-Pfad: " + digits);
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string DomainFromDn(const std::string& dn) {
  std::string domain;
  std::size_t i = 0;
  while (i <= dn.size()) {
    std::size_t comma = i;
    while (comma < dn.size() && dn[comma] != ',') comma += dn[comma] == '\\' ? 2 : 1;
    std::string rdn = Trim(dn.substr(i, comma - i));
    std::size_t eq = rdn.find('=');
    if (eq != std::string::npos && SameTextIgnoringCase(Trim(rdn.substr(0, eq)), "DC")) {
      if (!domain.empty()) domain += '.';
      domain += Trim(rdn.substr(eq + 1));
    }
    i = comma + 1;
  }
  return domain;
}

std::string DnFromDomain(const std::string& domain) {
  std::string dn;
  std::size_t i = 0;
  while (i <= domain.size()) {
    std::size_t dot = domain.find('.', i);
    if (dot == std::string::npos) dot = domain.size();
    std::string label = domain.substr(i, dot - i);
    if (label.empty()) throw DataError("Ungültiger Domänenname im LDAP-Pfad: " + domain);
    if (!dn.empty()) dn += ',';
    dn += "DC=" + label;
    i = dot + 1;
  }
  return dn;
}

}  // namespace

LdapQuery ParseLdapQuery(const std::string& text) {
  LdapQuery q;
  Scanner s(text);
  s.ExpectKeyword("SELECT");
  do {
    q.attributes.push_back(s.Name("Attributname"));
  } while (s.TakeChar(','));
  s.ExpectKeyword("FROM");
  std::string from = s.Literal();
  if (from.size() < 7 || !SameTextIgnoringCase(from.substr(0, 7), "LDAP://"))
    s.Fail("Pfad der Form 'LDAP://...' erwartet");
  q.path = from.substr(7);
  if (s.TakeKeyword("WHERE")) {
    do {
      std::string attr = s.Name("Attributname");
      if (!s.TakeChar('=')) s.Fail("\"=\" erwartet");
      q.equals.emplace_back(attr, s.Literal());
    } while (s.TakeKeyword("AND"));
  }
  if (s.TakeKeyword("ORDER")) {
    s.ExpectKeyword("BY");
    q.orderBy = s.Name("Attributname");
    if (s.TakeKeyword("DESC"))
      q.descending = true;
    else
      s.TakeKeyword("ASC");
  }
  if (!s.AtEnd()) s.Fail("unerwarteter Text");
  return q;
}

AdsPath ParseAdsPath(const std::string& path, int defaultPort) {
  AdsPath p;
  p.port = defaultPort;
  std::size_t slash = path.find('/');
  if (slash != std::string::npos) {
    p.host = path.substr(0, slash);
    SplitPort(p.host, p.port);
    p.baseDn = path.substr(slash + 1);
    if (p.baseDn.empty() && !p.host.empty()) p.baseDn = DnFromDomain(p.host);
  } else if (path.find('=') != std::string::npos) {
    p.baseDn = path;
    p.host = DomainFromDn(path);
  } else {
    p.host = path;
    SplitPort(p.host, p.port);
    if (!p.host.empty()) p.baseDn = DnFromDomain(p.host);
  }
  if (p.host.empty()) throw DataError("Kein Server im LDAP-Pfad: LDAP://" + path);
  return p;
}

std::string EscapeFilterValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '*': out += "\\2a"; break;
      case '(': out += "\\28"; break;
      case ')': out += "\\29"; break;
      case '\\': out += "\\5c"; break;
      case '\0': out += "\\00"; break;
      default: out += c;
    }
  }
  return out;
}

std::string BuildFilter(const std::vector<std::pair<std::string, std::string>>& equals) {
  if (equals.empty()) return "(objectClass=*)";
  std::string parts;
  for (const auto& [attr, value] : equals) parts += "(" + attr + "=" + EscapeFilterValue(value) + ")";
  return equals.size() == 1 ? parts : "(&" + parts + ")";
}

}  // namespace qm::data
