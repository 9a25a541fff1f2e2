#pragma once
// The Active Directory LDAP query dialect as pure functions: parsing the
// query text, the ADsPath forms and building the LDAP search filter.
//
//   SELECT attr[,attr...]
//   FROM 'LDAP://<path>'
//   [WHERE attr='literal' [AND attr='literal']...]   (AND in any letter case)
//   [ORDER BY attr [ASC|DESC]]
//
// Keywords ignore letter case; blanks and line breaks separate the parts. A
// literal runs to the next apostrophe, so a literal cannot contain one: an
// apostrophe inside a value leaves text the dialect cannot parse.

#include <string>
#include <utility>
#include <vector>

namespace qm::data {

/// Where an ADsPath points.
struct AdsPath {
  std::string host;  // server name or address
  int port = 389;
  std::string baseDn;
  bool operator==(const AdsPath&) const = default;
};

struct LdapQuery {
  std::vector<std::string> attributes;                        // SELECT list, as written
  std::string path;                                           // inside 'LDAP://...'
  std::vector<std::pair<std::string, std::string>> equals;    // WHERE attr='literal'
  std::string orderBy;                                        // "" when absent
  bool descending = false;
};

/// Parses a query; throws DataError naming what is wrong.
LdapQuery ParseLdapQuery(const std::string& text);

/// Resolves the part after "LDAP://":
///   domain[:port]            DNS name: server = that name, base DC=<label>,...
///   host[:port]/DN           server and base given
///   DN                       (contains "="): base given, server = the DNS
///                            name made of its DC= parts
/// The port is `defaultPort` unless the path names one (636 for LDAPS).
/// Throws DataError when no server or base can be derived.
AdsPath ParseAdsPath(const std::string& path, int defaultPort = 389);

/// Escapes a filter value as RFC 4515 requires: '*', '(', ')', '\' and NUL
/// become \2a, \28, \29, \5c, \00, so they match literally.
std::string EscapeFilterValue(const std::string& value);

/// "(&(a=v)(b=w))" from the WHERE pairs (values escaped); "(objectClass=*)"
/// for none, "(a=v)" for one.
std::string BuildFilter(const std::vector<std::pair<std::string, std::string>>& equals);

}  // namespace qm::data
