#pragma once
// Connection strings, built and read in one place so that every value put in
// comes back out unchanged.
//
// The connection string of a Connection is a list of "key=value" pairs
// separated by ";". A value is written as it is unless the reader would take
// it differently: a value holding ";", a double or single quote, or starting
// or ending with a blank is enclosed in double quotes, each double quote in it
// doubled. The reader takes both quote characters, a doubled quote inside
// standing for one.
//
// The string the ODBC driver manager receives has the same shape with its
// own quoting: a value holding ";", "{" or "}", or starting or ending with a
// blank is enclosed in braces, each "}" in it doubled.
//
// Keys are the callers' fixed names; they are never quoted.

#include <string>
#include <utility>
#include <vector>

namespace qm::data {

/// The pairs of a connection string, in order.
using ConnectionPairs = std::vector<std::pair<std::string, std::string>>;

/// The value enclosed in double quotes, each double quote in it doubled.
/// ParseConnectionString reads it back unchanged, whatever it holds.
std::string QuotedConnectionValue(const std::string& value);

/// "key=value" with the value quoted only where ParseConnectionString would
/// otherwise read it differently (see above); a plain value stays as given.
std::string ConnectionPair(const std::string& key, const std::string& value);

/// The pairs as ConnectionPair texts joined by ";".
std::string BuildConnectionString(const ConnectionPairs& pairs);

/// Splits a connection string into its pairs, in order. Keys are trimmed;
/// blanks before a value are skipped; a value starting with a double or a
/// single quote runs to the matching closing quote (a doubled one stands for
/// itself, a missing one ends the value at the end of the text) and anything
/// after it up to the next ";" is ignored. A piece without "=" or with an
/// empty key is skipped.
ConnectionPairs ParseConnectionString(const std::string& text);

/// The value of the first pair whose key equals key (letter case ignored),
/// "" when there is none.
std::string ConnectionValue(const ConnectionPairs& pairs, const std::string& key);

/// "key=value" for an ODBC connection string, the value in braces (each "}"
/// doubled) where the driver manager would otherwise read it differently.
std::string OdbcAttribute(const std::string& key, const std::string& value);

/// The ODBC connection string for the pairs of an ODBC connection: the
/// "Extended Properties" as given, then DSN (the "Data Source") unless they
/// already name a DSN or a driver, UID ("User ID") and PWD ("Password");
/// empty values are left out.
std::string OdbcConnectionString(const ConnectionPairs& pairs);

/// Splits an ODBC connection string as the unixODBC driver manager does:
/// ";" and blanks before a pair are skipped, the keyword runs to the next
/// "=" (taken as it stands), a value starting with "{" runs to the first "}"
/// not doubled (a doubled one standing for one "}"), any other value to the
/// next ";". Pairs in order, repeated keywords kept.
ConnectionPairs ParseOdbcConnectionString(const std::string& text);

}  // namespace qm::data
