#pragma once
// The text parts of a reply with an HTML signature, each right for its type:
// the plain part renders the signature as text, the HTML part puts the mail
// text into the signature document's body.

#include <string>
#include <string_view>

#include "base/UText.h"

namespace qm {

/// A plain-text rendering of HTML: tags removed; head, style and script
/// left out; line breaks where the markup breaks lines (br, p, div, tr,
/// li, headings); a link's target kept after its text as " <target>" when it
/// differs; entities decoded; white space folded as a browser does. Lines
/// end in CR LF; no blank line at either end and never two in a row.
std::string HtmlToPlainText(std::string_view html);

/// The reply's HTML: the signature document with the mail text, escaped and
/// with its line breaks, at the start of its body (before the signature).
/// A signature without a body element gets the mail text in front of it. An
/// empty signature gives a document of the mail text alone.
std::string HtmlReply(const TextList& mailText, std::string_view signatureHtml);

}  // namespace qm
