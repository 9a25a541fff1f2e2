#include "signature/USaveSig.h"

#include <gtest/gtest.h>

#include "TestDir.h"
#include "base/UUtils.h"

using namespace std::string_literals;

namespace {
struct Lists {
  qm::TextList mail, sig, names;
  bool operator==(const Lists&) const = default;
};
}  // namespace

TEST(ProjectFile, WritesCountsThenLinesEachEndedByCrLf) {
  EXPECT_EQ(FormatProjectFile({}, {}, {}), "0\r\n0\r\n0\r\n");
  EXPECT_EQ(FormatProjectFile({"Hallo"}, {"#givenName# #sn#", "<img src=\"cid:logo.gif\"/>"}, {"logo.gif"}),
            "1\r\n2\r\n1\r\nHallo\r\n#givenName# #sn#\r\n<img src=\"cid:logo.gif\"/>\r\nlogo.gif\r\n");
  EXPECT_EQ(FormatProjectFile({"", ""}, {}, {}), "2\r\n0\r\n0\r\n\r\n\r\n") << "empty lines count";
}

TEST(ProjectFile, ReadingFollowsTheCountsAndReportsBadOnes) {
  const Lists before{{"alt"}, {"alte Vorlage"}, {"vorher.txt"}};
  const std::string kIndex = "Listenindex überschreitet das Maximum (";
  struct Case {
    const char* what;
    std::string bytes;
    Lists want;
    std::string error;  // "" for none
  } cases[] = {
      {"empty file", "", before, ""},
      {"two lines load nothing", "0\r\n0\r\n", before, ""},
      {"empty project", "0\r\n0\r\n0\r\n", {{}, {}, {"vorher.txt"}}, ""},
      {"example", "1\r\n2\r\n1\r\nHallo\r\n#sn#\r\n<img>\r\nlogo.gif\r\n",
       {{"Hallo"}, {"#sn#", "<img>"}, {"vorher.txt", "logo.gif"}}, ""},
      {"extra lines ignored", "1\r\n0\r\n0\r\nHallo\r\nübrig\r\n", {{"Hallo"}, {}, {"vorher.txt"}}, ""},
      {"any line end, no final one", "1\n1\r1\r\nA\rB\nC", {{"A"}, {"B"}, {"vorher.txt", "C"}}, ""},
      {"NUL ends the text", "1\r\n0\r\n0\r\nA\0\r\nB\r\n"s, {{"A"}, {}, {"vorher.txt"}}, ""},
      {"Windows-1252", "1\r\n0\r\n0\r\nGr\xfc\xdf" "e\r\n", {{"Grüße"}, {}, {"vorher.txt"}}, ""},
      {"UTF-8 kept", "1\r\n0\r\n0\r\nGrüße\r\n", {{"Grüße"}, {}, {"vorher.txt"}}, ""},
      {"not a number", "abc\r\n0\r\n0\r\nx\r\n", before, "'abc' ist kein gültiger Integerwert"},
      {"third count bad", "0\r\n0\r\n1x\r\n", before, "'1x' ist kein gültiger Integerwert"},
      {"blank before count", " 1\r\n0\r\n0\r\nx\r\n", before, "' 1' ist kein gültiger Integerwert"},
      {"negative", "0\r\n-1\r\n0\r\n", before, "'-1' ist kein gültiger Integerwert"},
      {"beyond int", "99999999999\r\n0\r\n0\r\n", before, "'99999999999' ist kein gültiger Integerwert"},
      {"mail text past the end", "2\r\n0\r\n0\r\nHallo\r\n", {{"Hallo"}, {"alte Vorlage"}, {"vorher.txt"}},
       kIndex + "4)"},
      {"huge count", "2147483647\r\n0\r\n0\r\nA\r\nB\r\n", {{"A", "B"}, {"alte Vorlage"}, {"vorher.txt"}},
       kIndex + "5)"},
      {"attachments past the end", "0\r\n1\r\n3\r\nT\r\na.txt\r\n", {{}, {"T"}, {"vorher.txt", "a.txt"}},
       kIndex + "5)"},
      {"NUL hides the rest", "1\r\n0\r\n0\r\n\0Hallo\r\n"s, {{}, {"alte Vorlage"}, {"vorher.txt"}}, kIndex + "3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Lists l = before;
    std::string error;
    try {
      ParseProjectFile(c.bytes, l.mail, l.sig, l.names);
    } catch (const qm::EConvertError& e) {
      error = e.what();
    } catch (const qm::EListError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(l, c.want);
  }
}

TEST(ProjectFile, FilesRoundTripAndMissingOnesChangeNothing) {
  TestDir dir;
  Lists saved{{"Hallo", "", "Grüße"}, {"<p>#givenName#</p>"}, {"logo.gif", "Anleitung.pdf"}};
  SaveProjectFile(dir / "p.qm", saved.mail, saved.sig, saved.names);
  Lists loaded;
  LoadProjectFile(dir / "p.qm", loaded.mail, loaded.sig, loaded.names);
  EXPECT_EQ(loaded, saved);

  Lists untouched = saved;
  LoadProjectFile("", untouched.mail, untouched.sig, untouched.names);
  LoadProjectFile(dir / "fehlt.qm", untouched.mail, untouched.sig, untouched.names);
  LoadProjectFile(dir.Path(), untouched.mail, untouched.sig, untouched.names);  // a directory
  EXPECT_EQ(untouched, saved);

  EXPECT_THROW(SaveProjectFile(dir / "no/such/dir.qm", {}, {}, {}), qm::EInOutError);
  // Present but unreadable: the kernel refuses to read address 0.
  EXPECT_THROW(LoadProjectFile("/proc/self/mem", loaded.mail, loaded.sig, loaded.names), qm::EInOutError);
}
