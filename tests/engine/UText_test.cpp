#include "base/UText.h"

#include <gtest/gtest.h>

#include "base/UUtils.h"

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

TEST(Names, ImageNamesAndPlainFileNames) {
  for (const char* n : {"Logo.GIF", "foto.jpeg", "x.JPG", "a.gif"}) EXPECT_TRUE(qm::IsImageName(n)) << n;
  for (const char* n : {"bild.png", "readme.txt", ".gif", "gif", ""}) EXPECT_FALSE(qm::IsImageName(n)) << n;
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
