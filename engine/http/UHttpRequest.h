#pragma once
// Pure functions over the bytes of an HTTP request: the document path and the
// parameter list the signature server works with, and the checks that keep a
// document path inside the attachment store. No sockets here; the server in
// USocketServer only calls these.

#include <string>
#include <string_view>

#include "base/UText.h"

namespace qm {

/// The document path of a request target: the target up to the first '?',
/// with backslashes turned into slashes, a leading "scheme://host" dropped
/// (an absolute-form target without a path gives "/") and everything from the
/// first '#' on dropped. No percent-decoding.
std::string HttpDocumentPath(std::string_view target);

/// The text after the first '?' of the target ("" when there is none).
std::string HttpQueryText(std::string_view target);

/// The parameter text: the body, then CR LF and the query text when both are
/// non-empty; else whichever is non-empty.
std::string HttpParamText(std::string_view body, std::string_view query);

/// URL-decoding of one parameter piece: '+' becomes a space and '%' followed
/// by two hexadecimal digits becomes that byte; a '%' without two digits
/// stays as it is.
std::string UrlDecode(std::string_view piece);

/// The parameter list: the parameter text split at every '&', each piece
/// URL-decoded. An empty text gives an empty list; "a&&b" gives three pieces.
TextList HttpParams(std::string_view paramText);

/// True when a document path may name a file below the attachment store: it
/// holds no NUL and no ".." segment, neither as received nor once
/// percent-decoded (where '\' also separates). Symbolic links are checked by
/// the server against the file system.
bool IsContainedDocumentPath(std::string_view document);

}  // namespace qm
