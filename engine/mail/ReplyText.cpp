#include "mail/ReplyText.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace qm {

namespace {

std::string Lower(std::string_view s) { return LowerAscii(s); }

// UTF-8 of a code point (invalid ones become U+FFFD).
void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The named entities a signature uses; others stay as written.
struct Named {
  const char* name;
  unsigned long cp;
};
constexpr Named kNamed[] = {
    {"amp", '&'},    {"lt", '<'},      {"gt", '>'},      {"quot", '"'},    {"apos", '\''},   {"nbsp", 0xA0},
    {"auml", 0xE4},  {"ouml", 0xF6},   {"uuml", 0xFC},   {"Auml", 0xC4},   {"Ouml", 0xD6},   {"Uuml", 0xDC},
    {"szlig", 0xDF}, {"eacute", 0xE9}, {"egrave", 0xE8}, {"copy", 0xA9},   {"reg", 0xAE},    {"euro", 0x20AC},
    {"ndash", 0x2013}, {"mdash", 0x2014}, {"middot", 0xB7}, {"bull", 0x2022}, {"trade", 0x2122},
};

// Decodes one entity starting at text[i] == '&'; advances i past it.
void DecodeEntity(std::string_view text, std::size_t& i, std::string& out) {
  const std::size_t semi = text.find(';', i);
  if (semi == std::string_view::npos || semi - i > 10) {
    out.push_back('&');
    ++i;
    return;
  }
  const std::string_view body = text.substr(i + 1, semi - i - 1);
  if (!body.empty() && body[0] == '#') {
    const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    const std::string digits(body.substr(hex ? 2 : 1));
    char* end = nullptr;
    const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
    if (!digits.empty() && end && *end == 0) {
      AppendUtf8(out, cp);
      i = semi + 1;
      return;
    }
  } else {
    for (const auto& n : kNamed)
      if (body == n.name) {
        AppendUtf8(out, n.cp);
        i = semi + 1;
        return;
      }
  }
  out.push_back('&');
  ++i;
}

// The value of an attribute in a tag's text ("a href=\"x\""), "" when none.
std::string Attribute(std::string_view tag, std::string_view name) {
  const std::string lower = Lower(tag);
  std::size_t p = 0;
  while ((p = lower.find(name, p)) != std::string::npos) {
    const bool start = p > 0 && std::isspace(static_cast<unsigned char>(lower[p - 1]));
    std::size_t q = p + name.size();
    while (q < lower.size() && std::isspace(static_cast<unsigned char>(lower[q]))) ++q;
    if (start && q < lower.size() && lower[q] == '=') {
      ++q;
      while (q < lower.size() && std::isspace(static_cast<unsigned char>(lower[q]))) ++q;
      if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
        const std::size_t end = tag.find(tag[q], q + 1);
        return std::string(tag.substr(q + 1, end == std::string_view::npos ? std::string_view::npos : end - q - 1));
      }
      std::size_t end = q;
      while (end < tag.size() && !std::isspace(static_cast<unsigned char>(tag[end]))) ++end;
      return std::string(tag.substr(q, end - q));
    }
    p += name.size();
  }
  return {};
}

bool BreaksLine(const std::string& name) {
  for (const char* n : {"br", "p", "div", "tr", "li", "h1", "h2", "h3", "h4", "h5", "h6", "table", "ul", "ol",
                        "blockquote", "hr"})
    if (name == n) return true;
  return false;
}

}  // namespace

std::string HtmlToPlainText(std::string_view html) {
  std::string text;       // folded text with '\n' for breaks
  bool space = false;     // a pending folded blank
  std::string linkTarget; // the href of the open link
  std::string linkText;   // text since the link opened
  std::size_t i = 0;
  auto put = [&](const std::string& s) {
    if (space && !text.empty() && text.back() != '\n') text.push_back(' ');
    space = false;
    text += s;
    if (!linkTarget.empty()) linkText += s;
  };
  while (i < html.size()) {
    const char c = html[i];
    if (html.substr(i, 4) == "<!--") {  // a comment, up to its end
      const std::size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      continue;
    }
    if (c == '<') {
      const std::size_t close = html.find('>', i);
      if (close == std::string_view::npos) break;
      std::string_view tag = html.substr(i + 1, close - i - 1);
      i = close + 1;
      const bool closing = !tag.empty() && tag[0] == '/';
      std::size_t n = closing ? 1 : 0;
      while (n < tag.size() && std::isalnum(static_cast<unsigned char>(tag[n]))) ++n;
      const std::string name = Lower(tag.substr(closing ? 1 : 0, n - (closing ? 1 : 0)));
      if (!closing && (name == "head" || name == "style" || name == "script" || name == "title")) {
        const std::size_t end = Lower(html.substr(i)).find("</" + name);
        i = end == std::string::npos ? html.size() : html.find('>', i + end) + 1;
        if (i == 0) i = html.size();
        continue;
      }
      if (name == "a" && !closing) {
        linkTarget = Attribute(tag, "href");
        linkText.clear();
      } else if (name == "a" && closing) {
        std::string target = linkTarget;
        linkTarget.clear();
        if (!target.empty() && target.rfind("mailto:", 0) == 0) target = target.substr(7);
        if (!target.empty() && target != linkText) put(" <" + target + ">");
      } else if (BreaksLine(name)) {
        space = false;
        text.push_back('\n');
      }
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      space = true;
      ++i;
      continue;
    }
    std::string piece;
    if (c == '&')
      DecodeEntity(html, i, piece);
    else
      piece.push_back(html[i++]);
    if (piece == "\xC2\xA0") piece = " ";
    put(piece);
  }
  // Lines trimmed, no blank line at either end, never two in a row.
  std::string out;
  bool blank = false;
  for (const auto& raw : SplitLines(text)) {
    std::size_t a = raw.find_first_not_of(' '), b = raw.find_last_not_of(' ');
    const std::string line = a == std::string::npos ? std::string() : raw.substr(a, b - a + 1);
    if (line.empty()) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += "\r\n";
    blank = false;
    out += line + "\r\n";
  }
  return out;
}

std::string HtmlReply(const TextList& mailText, std::string_view signatureHtml) {
  std::string mail;
  for (std::size_t k = 0; k < mailText.size(); ++k) mail += HtmlEscapeText(mailText[k]) + "<br>\r\n";
  const std::string block = mail.empty() ? std::string() : "<div>\r\n" + mail + "</div>\r\n";
  if (signatureHtml.empty())
    return "<!DOCTYPE html>\r\n<html>\r\n<body>\r\n" + block + "</body>\r\n</html>\r\n";
  const std::string lower = Lower(signatureHtml);
  std::size_t body = lower.find("<body");
  if (body != std::string::npos) {
    const std::size_t open = signatureHtml.find('>', body);
    if (open != std::string_view::npos) {
      std::string out(signatureHtml.substr(0, open + 1));
      out += "\r\n" + block;
      out += signatureHtml.substr(open + 1);
      return out;
    }
  }
  return block + std::string(signatureHtml);
}

}  // namespace qm
