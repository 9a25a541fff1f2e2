#include "mail/UMailTools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "TestEngine.h"
#include "TestDir.h"
#include "base/UProgState.h"

namespace {

std::string Golden(const std::string& name) { return std::string(QM_SOURCE_DIR) + "/tests/engine/mail/data/" + name; }

qm::ReplyMessage BaseMessage() {
  qm::ReplyMessage m;
  m.senderName = "Signatur-Service";
  m.senderAddress = "noreply@example.test";
  m.recipient = "anna.berg@example.test";
  m.subject = "Ihre Signatur";
  return m;
}

qm::ReplyPart Text(const std::string& type, const std::string& body) {
  return {qm::ReplyPart::Text, type, body, "", ""};
}
qm::ReplyPart File(const std::string& type, const std::string& body, const std::string& name,
                   const std::string& cid = "") {
  return {qm::ReplyPart::Attachment, type, body, name, cid};
}

}  // namespace

TEST(ExtractAddress, Cases) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"Anna Berg <anna@example.test>", "anna@example.test"},
      {"anna@example.test", "anna@example.test"},
      {"no bracket at all", "no bracket at all"},
      {"empty <>", "empty <>"},
      {"open <anna@example.test", "anna@example.test"},
      {"<a@b><c@d>", "a@bc@d"},
      {"x <a> y <b> z", "ab"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TFMailTools::ExtractAddress(c.in), c.out);
  }
}

TEST(RequestSender, RawFromHeaderAndBareAddress) {
  std::string manyFields;
  for (int i = 0; i < 500; ++i) manyFields += "X-Field-" + std::to_string(i) + ": value\r\n";
  const std::string longName(20000, 'n');
  struct {
    const char* what;
    std::string message;
    std::string sender;
  } cases[] = {
      {"display name and address", "From: Anna Berg <anna@example.test>\r\nSubject: x\r\n\r\nbody", "anna@example.test"},
      {"bare address", "from: anna@example.test\r\n\r\n", "anna@example.test"},
      {"no From", "Subject: hi\r\n\r\nFrom: body@example.test\r\n", ""},
      {"display name only", "From: Anna Berg\r\n\r\n", ""},
      {"empty angle", "From: Anna <>\r\n\r\n", ""},
      {"RFC 2047 name with a fake address inside",
       "From: =?UTF-8?Q?Boss_=3Cceo@example.test=3E?= <mallory@evil.test>\r\n\r\n", "mallory@evil.test"},
      {"RFC 2047 base64 name", "From: =?utf-8?B?w4RybmUgw5Zy?= <aerne@example.test>\r\n\r\n", "aerne@example.test"},
      {"quoted name with a fake address", "From: \"ceo@example.test <ceo@example.test>\" <mallory@evil.test>\r\n\r\n",
       "mallory@evil.test"},
      {"comment", "From: anna@example.test (Anna <x@y>)\r\n\r\n", "anna@example.test"},
      {"folded header", "From: Anna Berg\r\n <anna@example.test>\r\nTo: x\r\n\r\n", "anna@example.test"},
      {"LF line ends", "Subject: a\nFrom: Anna <anna@example.test>\n\n", "anna@example.test"},
      {"two mailboxes", "From: a@example.test, b@example.test\r\n\r\n", "a@example.test"},
      {"first From wins", "From: a@example.test\r\nFrom: b@example.test\r\n\r\n", "a@example.test"},
      {"500 header fields before From", manyFields + "From: <anna@example.test>\r\n\r\n", "anna@example.test"},
      {"very long display name", "From: " + longName + " <anna@example.test>\r\n\r\n", "anna@example.test"},
      {"blank inside the address", "From: <anna berg@example.test>\r\n\r\n", ""},
      {"empty message", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qm::BareAddress(qm::RawFromHeader(c.message)), c.sender);
  }
}

// The three message structures, each against a pinned message.
TEST(ComposeReply, StructuresMatchPinnedMessages) {
  const std::string text = "Guten Tag,\r\nanbei Ihre Signatur f\xC3\xBCr Gr\xC3\xBC\xC3\x9F" "e.\r\n\r\n\r\n-- \r\nAnna Berg\r\n";
  const std::string html = "Guten Tag,\r\n\r\n\r\n<p>Anna Berg <img src=\"cid:logo.gif\"></p>\r\n";
  struct {
    const char* file;
    std::vector<qm::ReplyPart> parts;
  } cases[] = {
      {"alternative.eml", {Text("text/plain", text), Text("text/plain", text)}},
      {"mixed.eml",
       {Text("text/plain", text), Text("text/plain", text), File("", "Anna Berg\r\n", "anna.berg@example.test.txt"),
        File("", "%PDF-1.4 tiny\n", "Anleitung.pdf")}},
      {"related.eml",
       {Text("text/plain", html), Text("text/html", html), File("", "<p>Anna</p>\r\n", "anna.berg@example.test.htm"),
        File("image/gif", std::string("GIF89a\x01\x00\x01\x00\x00\xff\x00,", 14), "logo.gif", "<logo.gif>")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    qm::ReplyMessage m = BaseMessage();
    m.parts = c.parts;
    std::string got = qm::ComposeReply(m, Poco::Timestamp::fromEpochTime(1700000000), CountingBoundaries());
    if (std::getenv("QM_UPDATE_GOLDEN")) WriteFileBytes(Golden(c.file), got);
    EXPECT_EQ(got, ReadFileBytes(Golden(c.file)));
  }
}

TEST(ComposeReply, HeaderTextsAreEncodedAndKeptOnOneLine) {
  qm::ReplyMessage m = BaseMessage();
  m.senderName = "M\xC3\xBCller, IT";
  m.subject = "Ihre Signatur\r\nBcc: victim@example.test";
  m.parts = {Text("text/plain", "x\r\n"), Text("text/plain", "x\r\n")};
  std::string got = qm::ComposeReply(m, Poco::Timestamp::fromEpochTime(1700000000), CountingBoundaries());
  std::string header = got.substr(0, got.find("\r\n\r\n") + 2);
  EXPECT_EQ(header.find("\r\nBcc:"), std::string::npos) << header;
  EXPECT_NE(header.find("From: =?UTF-8?"), std::string::npos) << header;
  EXPECT_NE(header.find("<noreply@example.test>"), std::string::npos) << header;
}

TEST(ComposeReply, RandomBoundariesWithoutGenerator) {
  qm::ReplyMessage m = BaseMessage();
  m.parts = {Text("text/plain", "a\r\n"), Text("text/plain", "a\r\n"), File("", "b", "b.txt")};
  std::string got = qm::ComposeReply(m, Poco::Timestamp());
  EXPECT_NE(got.find("multipart/mixed; boundary="), std::string::npos);
  EXPECT_NE(got.find("multipart/alternative; boundary="), std::string::npos);
}
