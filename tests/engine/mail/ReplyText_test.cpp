// The text parts of a reply with an HTML signature.

#include "mail/ReplyText.h"

#include <gtest/gtest.h>

TEST(ReplyText, HtmlRendersAsPlainText) {
  struct {
    const char* what;
    std::string html, text;
  } cases[] = {
      {"tags go, breaks stay, paragraphs apart", "<p><b>Anna Berg</b><br>Vertrieb</p><p>Beispiel GmbH</p>",
       "Anna Berg\r\nVertrieb\r\n\r\nBeispiel GmbH\r\n"},
      {"source line breaks fold like a browser's", "<td>Anna\r\n   Berg</td>", "Anna Berg\r\n"},
      {"entities decoded", "M&uuml;ller &amp; S&ouml;hne &lt;GmbH&gt; &#8364; &#x41;&nbsp;B", "Müller & Söhne <GmbH> € A B\r\n"},
      {"unknown entity and a bare ampersand stay", "&foo; A & B", "&foo; A & B\r\n"},
      {"head, style and script left out",
       "<html><head><title>T</title><style>p{color:red}</style></head><body><script>x()</script>Hallo</body></html>",
       "Hallo\r\n"},
      {"link target kept after its text", "<a href=\"https://example.org/\">Website</a>",
       "Website <https://example.org/>\r\n"},
      {"mailto shown as the address, not twice", "<a href='mailto:anna@example.org'>anna@example.org</a>",
       "anna@example.org\r\n"},
      {"image and comment give nothing", "<img src=\"cid:logo.gif\"><!-- <p>hidden</p> -->Text", "Text\r\n"},
      {"blank lines folded, none at the ends", "<div></div><p>A</p><p></p><p></p><p>B</p><br><br>",
       "A\r\n\r\nB\r\n"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qm::HtmlToPlainText(c.html), c.text);
  }
}

TEST(ReplyText, MailTextGoesIntoTheSignaturesBody) {
  const qm::TextList mail = {"Guten Tag <Team> & Co,", "", "anbei Ihre Signatur."};
  const std::string block = "<div>\r\nGuten Tag &lt;Team&gt; &amp; Co,<br>\r\n<br>\r\nanbei Ihre Signatur.<br>\r\n</div>\r\n";
  struct {
    const char* what;
    std::string signature, reply;
  } cases[] = {
      {"a whole document", "<html>\r\n<body style=\"x\">\r\n<p>Anna</p>\r\n</body>\r\n</html>\r\n",
       "<html>\r\n<body style=\"x\">\r\n" + block + "\r\n<p>Anna</p>\r\n</body>\r\n</html>\r\n"},
      {"a fragment", "<p>Anna</p>\r\n", block + "<p>Anna</p>\r\n"},
      {"no signature in the body", "", "<!DOCTYPE html>\r\n<html>\r\n<body>\r\n" + block + "</body>\r\n</html>\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qm::HtmlReply(mail, c.signature), c.reply);
  }
}
