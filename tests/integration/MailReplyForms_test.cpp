// The reply forms for known users (signature type × delivery form), the
// project's attachments, and the bulk-send grid filled from the directory:
// real SQLite directory through unixODBC, real AUTH LOGIN SMTP server.

#include <gtest/gtest.h>

#include <Poco/Net/MediaType.h>
#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/MultipartReader.h>
#include <Poco/Net/QuotedPrintableDecoder.h>
#include <Poco/String.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <thread>

#include "DirectoryFixtures.h"
#include "MailServers.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "base/UProgState.h"
#include "signature/URichText.h"

namespace {

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
int Count(const std::string& s, const std::string& part) {
  int n = 0;
  for (auto p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) ++n;
  return n;
}

class MailReplyForms : public ::testing::Test {
 protected:
  void SetUp() override {
    odbc.CreateUsersTable();
    odbc.AddUsers(3);
    e.UseOdbcUsers(odbc.Dsn());
    e.main->M_text = {"Hallo,"};
    e.main->M_Signatur_HTML = {"<b>#givenName#</b> <img src=\"cid:logo.gif\">"};
    WriteFileBytes(e.dir / "temp/logo.gif", SmallGifImage());
    WriteFileBytes(e.dir / "temp/Anleitung.txt", "Bitte so einrichten.\r\n");
    e.main->BuildPlaceholderList();
    smtp.Start();
    e.UseLocalServers(1, smtp.Port());
  }
  void Use(std::uint8_t type, const std::string& sendAs, qm::TextList attachments) {
    GeneralSettings g = e.settings->GetGeneralSettings();
    g.contentType = type;
    g.sendAs = sendAs;
    e.settings->SetGeneralSettings(g);
    e.main->LB_shortNames = std::move(attachments);
  }

  OdbcFixture odbc;
  TestEngine e;
  SmtpFixture smtp;
};

}  // namespace

TEST_F(MailReplyForms, SignatureTypesAndDeliveryForms) {
  const std::string addr = "user00001@example.test";
  struct {
    const char* what;
    std::uint8_t type;
    std::string sendAs;
    qm::TextList attachments;
    std::string topType;
    std::string part2Type;
    bool signatureInBody;
    std::vector<std::string> attached;  // file names, in order
  } cases[] = {
      {"Text body", ctText, "body", {}, "multipart/alternative", "text/plain", true, {}},
      {"Text anhang", ctText, "anhang", {}, "multipart/mixed", "text/plain", false, {addr + ".txt"}},
      {"HTML both with image and file", ctHtml, "both", {"logo.gif", "Anleitung.txt"},
       "multipart/related; type=\"multipart/alternative\"", "text/html", true,
       {addr + ".htm", "logo.gif", "Anleitung.txt"}},
      {"HTML none leaves the project files out", ctHtml, "none", {"logo.gif", "Anleitung.txt"},
       "multipart/alternative", "text/html", false, {}},
      {"unknown form still attaches project files", ctText, "Body", {"Anleitung.txt"}, "multipart/mixed",
       "text/plain", false, {"Anleitung.txt"}},
  };
  std::size_t sent = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Use(c.type, c.sendAs, c.attachments);
    ASSERT_TRUE(e.mail->SendSignature("Eins <" + addr + ">", true));
    auto stored = smtp.Messages();
    ASSERT_EQ(stored.size(), ++sent);
    const std::string& m = stored.back().content;
    EXPECT_EQ(m, e.mail->LastRenderedMessage());
    EXPECT_TRUE(Contains(m, "Content-Type: " + c.topType + "; boundary=")) << m.substr(0, 300);
    EXPECT_TRUE(Contains(m, "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable"));
    EXPECT_TRUE(Contains(m, "Content-Type: " + c.part2Type + "; charset=utf-8"));
    if (c.type == ctText) {
      EXPECT_EQ(Count(m, "Hallo,\r\n\r\n\r\n<b>Given1</b>"), c.signatureInBody ? 2 : 0);
      EXPECT_EQ(Count(m, "Hallo,\r\n\r\n\r\n"), 2) << "both text parts carry the mail text";
    } else {
      // The plain part renders the signature as text; the HTML part holds
      // the mail text at the start of the signature's markup.
      EXPECT_EQ(Count(m, "Hallo,\r\n\r\n\r\nGiven1\r\n"), c.signatureInBody ? 1 : 0);
      EXPECT_EQ(Count(m, "Hallo,\r\n\r\n\r\n"), 1);
      EXPECT_EQ(Count(m, "<div>\r\nHallo,<br>\r\n</div>\r\n<b>Given1</b>"), c.signatureInBody ? 1 : 0);
      EXPECT_EQ(Count(m, "<div>\r\nHallo,<br>\r\n</div>\r\n"), 1);
    }
    std::vector<std::string> attached;
    for (auto p = m.find("Content-Disposition: attachment; filename="); p != std::string::npos;
         p = m.find("Content-Disposition: attachment; filename=", p + 1)) {
      auto start = p + 42;
      std::string name = m.substr(start, m.find("\r\n", start) - start);
      if (!name.empty() && name.front() == '"') name = name.substr(1, name.size() - 2);
      attached.push_back(name);
    }
    EXPECT_EQ(attached, c.attached);
  }
  EXPECT_EQ(GetStateValue("LStatusGesand"), std::to_string(sent));
}

// A PNG logo travels like the other pictures: an inline part labelled
// image/png whose Content-ID the template's cid: reference names; the
// project's other files keep their plain attachment parts.
TEST_F(MailReplyForms, PngLogoIsSentAsInlineImage) {
  const std::string addr = "user00001@example.test";
  WriteFileBytes(e.dir / "temp/Logo.PNG", SmallPngImage());
  e.main->M_Signatur_HTML = {"<b>#givenName#</b> <img src=\"cid:Logo.PNG\">"};
  Use(ctHtml, "body", {"Logo.PNG", "Anleitung.txt", "logo.gif"});
  e.main->BuildPlaceholderList();
  // The catalogue offers it, and a double click inserts the reference.
  const auto entries = e.main->PlaceholderEntries();
  auto logo = std::find(entries.begin(), entries.end(), PlaceholderEntry{"Logo.PNG", PlaceholderEntry::Image});
  ASSERT_NE(logo, entries.end());
  e.main->LB_FelderItemIndex = static_cast<int>(logo - entries.begin());
  EXPECT_EQ(e.main->LB_FelderDblClick(), "<img src=\"cid:Logo.PNG\"/>");

  ASSERT_TRUE(e.mail->SendSignature(addr, true));
  auto stored = smtp.Messages();
  ASSERT_EQ(stored.size(), 1u);
  const std::string& m = stored[0].content;
  EXPECT_TRUE(Contains(m, "Content-Type: multipart/related; type=\"multipart/alternative\"; boundary="));
  EXPECT_TRUE(Contains(m, "<b>Given1</b> <img src=3D\"cid:Logo.PNG\">")) << m;
  EXPECT_TRUE(Contains(m, "Content-Type: image/png; name=Logo.PNG\r\nContent-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename=Logo.PNG\r\nContent-ID: <Logo.PNG>\r\n\r\n"
                          "iVBORw0KGgo"))
      << m;
  EXPECT_TRUE(Contains(m, "Content-Type: application/octet-stream; name=Anleitung.txt\r\n"));
  EXPECT_FALSE(Contains(m, "Content-ID: <Anleitung.txt>"));
  EXPECT_TRUE(Contains(m, "Content-Type: image/gif; name=logo.gif\r\n"));
  EXPECT_EQ(Count(m, "Content-ID: "), 2);
}

TEST_F(MailReplyForms, MissingFilesAndEmptySignature) {
  const std::string addr = "user00002@example.test";
  // A missing ordinary file is reported and left out.
  Use(ctHtml, "both", {"fehlt.pdf", "logo.gif"});
  EXPECT_TRUE(e.mail->SendSignature(addr, true));
  EXPECT_TRUE(e.LogHas("Anhang-Datei nicht gefunden: " + e.dir.Path() + "temp/fehlt.pdf"));

  // A missing image fails the send, a PNG logo as any other.
  for (const char* missing : {"weg.JPG", "weg.png"}) {
    SCOPED_TRACE(missing);
    Use(ctHtml, "both", {missing});
    EXPECT_FALSE(e.mail->SendSignature(addr, true));
    EXPECT_EQ(e.LogMessages().back().rfind("Fehler beim Versenden der Mail!\r\n", 0), 0u) << e.LogMessages().back();
  }

  // An empty template gives an empty signature: nothing is sent.
  e.main->M_Signatur_HTML = {};
  Use(ctText, "body", {});
  EXPECT_FALSE(e.mail->SendSignature(addr, true));
  EXPECT_EQ(e.LogMessages().back(), "Die E-Mail konnte nicht gesendet werden, da Ihre Signatur leer ist.");

  // An unknown address from the bulk-send dialog: nothing at all.
  auto lines = e.LogMessages().size();
  EXPECT_FALSE(e.mail->SendSignature("stranger@example.test", true));
  EXPECT_EQ(smtp.Messages().size(), 1u);
  EXPECT_EQ(GetStateValue("LStatusGesand"), "1");
  for (std::size_t i = lines; i < e.LogMessages().size(); ++i)
    EXPECT_EQ(e.LogMessages()[i].find("versandt"), std::string::npos);
}

TEST_F(MailReplyForms, BulkSendGridFromDirectory) {
  e.mail->FormShow();
  std::vector<std::vector<std::string>> want = {{"Mail senden", "Adresse"},
                                                {"Nein", "user00001@example.test"},
                                                {"Nein", "user00002@example.test"},
                                                {"Nein", "user00003@example.test"}};
  EXPECT_EQ(e.mail->SGrid_Mail, want);
  e.mail->Btn_alleClick();
  Use(ctText, "body", {});
  e.mail->Btn_sendClick();
  EXPECT_EQ(smtp.Messages().size(), 3u);
  EXPECT_EQ(e.ui.messages, std::vector<std::string>{"Signaturen wurden erfolgreich versand."});
  // The directory lock was given back: another thread can look users up.
  std::thread other([&] { EXPECT_TRUE(e.mail->IsKnownUser("user00002@example.test")); });
  other.join();

  // Shown again: refilled and all unmarked.
  e.mail->FormShow();
  EXPECT_EQ(e.mail->SGrid_Mail, want);
}

// Rich text: the word processor (LibreOffice) converts the generated HTML and
// the .rtf goes out as the file; without a word processor there is no .rtf and
// the send fails.
TEST_F(MailReplyForms, RichTextAttachment) {
  const std::string addr = "user00003@example.test";
  Use(ctRichText, "anhang", {});
  e.main->RichText().SetWordProcessorFactory([]() -> std::unique_ptr<qm::wordproc::Application> {
    throw qm::wordproc::WordProcessorError("soffice fehlt");
  });
  EXPECT_FALSE(e.mail->SendSignature(addr, true));
  EXPECT_EQ(e.LogMessages().back().rfind("Fehler beim Versenden der Mail!\r\n", 0), 0u) << e.LogMessages().back();
  EXPECT_EQ(smtp.Messages().size(), 0u);

  e.UseRealWordProcessor();
  if (qm::wordproc::FindSoffice({}).empty()) GTEST_SKIP() << "no LibreOffice installed";
  ASSERT_TRUE(e.mail->SendSignature(addr, true));
  const std::string m = smtp.Messages().back().content;
  EXPECT_TRUE(Contains(m, "Content-Type: multipart/mixed; boundary="));
  EXPECT_TRUE(Contains(m, "Content-Type: text/html; charset=utf-8"));
  EXPECT_TRUE(Contains(m, "filename=\"" + addr + ".rtf\""));
  EXPECT_EQ(Count(m, "<b>Given3</b>"), 0) << "anhang: the signature is not in the text";
}

namespace {

// The leaf parts of a MIME message as a mail client sees them: media type
// and decoded body, nested multiparts walked in order.
void CollectParts(std::istream& in, const std::string& contentType,
                  std::vector<std::pair<std::string, std::string>>& parts) {
  Poco::Net::MediaType type(contentType);
  if (type.getType() == "multipart") {
    Poco::Net::MultipartReader reader(in, type.getParameter("boundary"));
    while (reader.hasNextPart()) {
      Poco::Net::MessageHeader header;
      reader.nextPart(header);
      std::string body(std::istreambuf_iterator<char>(reader.stream()), {});
      std::istringstream inner(body);
      if (Poco::Net::MediaType(header.get("Content-Type", "text/plain")).getType() == "multipart") {
        CollectParts(inner, header.get("Content-Type"), parts);
        continue;
      }
      std::string decoded;
      if (Poco::icompare(header.get("Content-Transfer-Encoding", ""), "quoted-printable") == 0) {
        Poco::Net::QuotedPrintableDecoder qp(inner);
        decoded.assign(std::istreambuf_iterator<char>(qp), {});
      } else {
        decoded = body;
      }
      parts.emplace_back(Poco::Net::MediaType(header.get("Content-Type")).getType() + "/" +
                             Poco::Net::MediaType(header.get("Content-Type")).getSubType(),
                         decoded);
    }
  }
}

}  // namespace

// An HTML signature read as a mail client reads the reply: the plain part is
// the mail text and the signature as text, with no markup; the HTML part is
// one document with the mail text inside its body, before the signature.
TEST_F(MailReplyForms, HtmlReplyReadsRightInAMailClient) {
  Use(ctHtml, "both", {"logo.gif"});
  e.main->M_text = {"Guten Tag,", "anbei Ihre Signatur & mehr."};
  e.main->M_Signatur_HTML = {"<html>", "<body>", "<p><b>#givenName#</b><br>",
                             "<a href=\"https://example.test/\">Website</a> &amp; Co.</p>",
                             "<img src=\"cid:logo.gif\">", "</body>", "</html>"};
  ASSERT_TRUE(e.mail->SendSignature("user00001@example.test", true));
  const std::string m = smtp.Messages().back().content;
  std::istringstream in(m.substr(m.find("\r\n\r\n") + 4));
  const std::string top = m.substr(m.find("Content-Type: ") + 14, m.find("\r\n", m.find("Content-Type: ")) -
                                                                       m.find("Content-Type: ") - 14);
  std::vector<std::pair<std::string, std::string>> parts;
  CollectParts(in, top, parts);
  ASSERT_GE(parts.size(), 3u);
  EXPECT_EQ(parts[0].first, "text/plain");
  EXPECT_EQ(parts[0].second,
            "Guten Tag,\r\nanbei Ihre Signatur & mehr.\r\n\r\n\r\nGiven1\r\nWebsite <https://example.test/> & Co.\r\n");
  EXPECT_EQ(parts[1].first, "text/html");
  const std::string& html = parts[1].second;
  EXPECT_EQ(Count(html, "<html>"), 1) << html;
  const auto body = html.find("<body>"), mail = html.find("Guten Tag,<br>"), sig = html.find("<b>Given1</b>");
  ASSERT_NE(mail, std::string::npos) << html;
  EXPECT_LT(body, mail);
  EXPECT_LT(mail, sig);
  EXPECT_TRUE(Contains(html, "anbei Ihre Signatur &amp; mehr.<br>"));
  EXPECT_TRUE(Contains(html, "<img src=\"cid:logo.gif\">")) << "the image still refers to its part";
  EXPECT_EQ(parts[2].first, "application/octet-stream") << "the signature file, as before";
}
