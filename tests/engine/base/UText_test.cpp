#include "base/UText.h"

#include <gtest/gtest.h>

#include <Poco/Net/NetException.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>

#include "base/UUtils.h"
#include "mail/UMailTools.h"

using qm::TextList;

TEST(SplitLines, LineEndsAndNul) {
  struct {
    std::string in;
    TextList want;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\n\nb", {"a", "", "b"}},
      {"\r\na", {"", "a"}},
      {"a\r\r\nb", {"a", "", "b"}},
      {std::string("a\r\nb\0c\r\nd", 10), {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(qm::SplitLines(c.in), c.want);
  }
  EXPECT_EQ(qm::JoinLinesCrLf({"a", "", "b"}), "a\r\n\r\nb\r\n");
}

TEST(StoredText, Utf8KeptCp1252Decoded) {
  EXPECT_EQ(qm::DecodeStoredText("Gr\xC3\xBC\xC3\x9F" "e"), "Grüße");
  // "Grüße" as written by an older Windows installation (Windows-1252).
  EXPECT_EQ(qm::DecodeStoredText("Gr\xFC\xDF" "e"), "Grüße");
  EXPECT_EQ(qm::DecodeStoredText("\x80"), "€");
}

TEST(FixedText, CutAtCharacterBoundary) {
  std::string s(254, 'x');
  s += "ü";  // two bytes would end at 256: must be dropped whole
  uint8_t buf[256] = {};
  qm::PutFixedText(buf, s);
  EXPECT_EQ(buf[0], 254);
  EXPECT_EQ(qm::GetFixedText(buf), std::string(254, 'x'));
  qm::PutFixedText(buf, "abc");
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(qm::GetFixedText(buf), "abc");
}

// The image rule as every path sees it: the catalogue and the mail decide
// by IsImageName, the mail labels the part with ImageMediaType.
TEST(Names, ImageNameRule) {
  struct Case {
    const char* name;
    const char* mediaType;  // "" when the name is no image name
  };
  const Case cases[] = {
      {"a.gif", "image/gif"},
      {"Logo.GIF", "image/gif"},
      {"x.JPG", "image/jpeg"},
      {"foto.jpeg", "image/jpeg"},
      {"Foto.JpEg", "image/jpeg"},
      {"logo.png", "image/png"},
      {"LOGO.PNG", "image/png"},
      {"a.Png", "image/png"},        // five characters, the shortest image name
      {"logo.gif.png", "image/png"},  // the last ending counts
      {".jpeg", "image/jpeg"},        // five characters: long enough
      {".png", ""},                   // only the four characters of the ending
      {".gif", ""},
      {"png", ""},
      {"logo.png.txt", ""},
      {"logo.pngx", ""},
      {"logo_png", ""},
      {"logo.png ", ""},
      {"logo.svg", ""},
      {"logo.bmp", ""},
      {"logo.webp", ""},
      {"readme.txt", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    const bool image = *c.mediaType != '\0';
    EXPECT_EQ(qm::IsImageName(c.name), image) << c.name;
    EXPECT_EQ(qm::ImageMediaType(c.name), c.mediaType) << c.name;
  }
}

TEST(Names, PictureDialogFilterOffersEveryImageEnding) {
  EXPECT_EQ(qm::ImageFileFilter(),
            "CompuServe Gif (*.gif)|*.gif|JPEG (*.jpg, *.jpeg)|*.jpg;*.jpeg|PNG (*.png)|*.png");
}

TEST(Names, PlainFileNames) {
  for (const char* n : {"a@b.de", "x y"}) EXPECT_TRUE(qm::IsPlainFileName(n)) << n;
  for (const std::string& n : std::vector<std::string>{"", ".", "..", "a/b", "a\\b", std::string("a\0b", 3)})
    EXPECT_FALSE(qm::IsPlainFileName(n)) << n;
}

TEST(StrToInt, AcceptsIntegersOnly) {
  EXPECT_EQ(qm::StrToInt("17"), 17);
  EXPECT_EQ(qm::StrToInt("-3"), -3);
  EXPECT_EQ(qm::StrToInt("$10"), 16);
  for (const char* bad : {"", "abc", "1.5", "99999999999", " 1"}) {
    SCOPED_TRACE(bad);
    try {
      qm::StrToInt(bad);
      ADD_FAILURE() << "no error";
    } catch (const qm::EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' ist kein gültiger Integerwert");
    }
  }
}

TEST(ReplaceAll, SinglePassNoRescan) {
  EXPECT_EQ(qm::ReplaceAll("#a# #a##a#", "#a#", "x"), "x xx");
  EXPECT_EQ(qm::ReplaceAll(",,,", ",,", ","), ",,");  // inserted text not looked at again
  EXPECT_EQ(qm::ReplaceAll("abc", "", "x"), "abc");
}

// What a window shows for a failure without a sentence of its own: the
// engine's German sentences as they are, a library's failure behind the
// system's sentence with its message but never its class name.
TEST(FailureText, OwnSentencesStayLibraryFailuresGetTheSystemsSentence) {
  const std::string runtime = "Ein Laufzeitfehler ist aufgetreten!";
  struct Case {
    const char* what;
    std::function<void()> raise;
    std::string text;
    std::string detail;
  };
  const Case cases[] = {
      {"engine's own runtime_error", [] { throw std::runtime_error("Ungültiger Port für den HTTP-Server: 0"); },
       "Ungültiger Port für den HTTP-Server: 0", "Ungültiger Port für den HTTP-Server: 0"},
      {"engine's own kind", [] { qm::StrToInt("x"); }, "'x' ist kein gültiger Integerwert",
       "'x' ist kein gültiger Integerwert"},
      {"Poco exception with message", [] { throw Poco::Net::NetException("Address already in use", "0.0.0.0:8081", 98); },
       runtime + "\r\nAddress already in use: 0.0.0.0:8081", "Address already in use: 0.0.0.0:8081"},
      {"Poco exception without message", [] { throw Poco::TimeoutException(); }, runtime, ""},
      {"system_error", [] { throw std::system_error(ENOENT, std::generic_category(), "open"); },
       runtime + "\r\n" + qm::SysErrorMessage(ENOENT), qm::SysErrorMessage(ENOENT)},
      {"filesystem_error", [] { (void)std::filesystem::file_size("/nonexistent/quillmark"); },
       runtime + "\r\n" + qm::SysErrorMessage(ENOENT), qm::SysErrorMessage(ENOENT)},
      {"bad_alloc", [] { throw std::bad_alloc(); }, runtime, ""},
      {"logic_error", [] { (void)std::string("abc").substr(5); }, runtime, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.raise();
      ADD_FAILURE() << "nothing thrown";
    } catch (const std::exception& e) {
      EXPECT_EQ(qm::FailureText(e), c.text);
      EXPECT_EQ(qm::FailureDetail(e), c.detail);
    }
  }
}
