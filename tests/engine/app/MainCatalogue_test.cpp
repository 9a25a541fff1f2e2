// The placeholder catalogue, the double-click insertion rule and the preview's
// content.

#include <gtest/gtest.h>

#include <optional>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "settings/SettingsStore.h"

namespace {

struct CatalogueFixture : ::testing::Test {
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form{dir.Path(), ui};
  // The controller reads the records from a store and has no directory.
  qm::SettingsStore settings;
  bool wired = (form.Wire({nullptr, &settings, nullptr}), true);

  void UseAd(const std::string& names1, const std::string& names2 = "") {
    GeneralSettings g;
    g.useAD = true;
    g.fieldNames1 = names1;
    g.fieldNames2 = names2;
    settings.SetGeneralSettings(g);
  }
  std::vector<std::string> Names(PlaceholderEntry::Kind kind) const {
    std::vector<std::string> out;
    for (const auto& e : form.PlaceholderEntries())
      if (e.kind == kind) out.push_back(e.name);
    return out;
  }
};

using V = std::vector<std::string>;

TEST_F(CatalogueFixture, AttributeListTextRules) {
  struct {
    const char* name;
    std::string names1, names2;
    V expected;
  } cases[] = {
      {"blank after comma, double comma", "givenName, sn,,telephoneNumber", "", {"givenName", "sn", "telephoneNumber"}},
      {"comma before line end", "mail,\r\nsn", "", {"mail", "sn"}},
      {"comma after line end", "mail\r\n,sn", "", {"mail", "sn"}},
      {"blank line keeps an empty entry", "mail\r\n\r\nsn", "", {"mail", "", "sn"}},
      {"leading comma", ",mail", "", {"", "mail"}},
      {"trailing comma", "mail,", "", {"mail"}},
      {"two commas", "a,,b", "", {"a", "b"}},
      {"three commas", "a,,,b", "", {"a", "b"}},
      {"four commas", "a,,,,b", "", {"a", "b"}},
      {"five commas leave an empty entry", "a,,,,,b", "", {"a", "", "b"}},
      {"blank inside a name", "given Name", "", {"givenName"}},
      {"tabs stay", "a\tb,c", "", {"a\tb", "c"}},
      {"lone LF and lone CR end lines", "a\nb\rc", "", {"a", "b", "c"}},
      {"comma before lone LF is a separator of its own", "a,\nb", "", {"a", "", "b"}},
      {"the two pieces are joined directly", "given", "Name,sn", {"givenName", "sn"}},
      {"a comma split over the pieces folds", "a,", ",b", {"a", "b"}},
      {"line end at the very end adds nothing", "a\r\nb\r\n", "", {"a", "b"}},
      {"empty list", "", "", {}},
      {"a lone comma is one empty line", " , ", "", {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseAd(c.names1, c.names2);
    form.BuildPlaceholderList();
    EXPECT_EQ(Names(PlaceholderEntry::Field), c.expected);
    EXPECT_EQ(Names(PlaceholderEntry::Image), V{});
  }
  EXPECT_TRUE(ui.LogLines().empty());
}

TEST_F(CatalogueFixture, ImageEntriesFollowFieldsInAttachmentOrder) {
  UseAd("sn,mail");
  form.LB_shortNames = {"a.gif", "logo.JPEG", "doc.pdf", ".gif", "x.jpg", "photo.Jpg", "b.png", ".png", "Logo.PNG"};
  form.BuildPlaceholderList();
  std::vector<PlaceholderEntry> expected = {{"sn", PlaceholderEntry::Field},
                                            {"mail", PlaceholderEntry::Field},
                                            {"a.gif", PlaceholderEntry::Image},
                                            {"logo.JPEG", PlaceholderEntry::Image},
                                            {"x.jpg", PlaceholderEntry::Image},
                                            {"photo.Jpg", PlaceholderEntry::Image},
                                            {"b.png", PlaceholderEntry::Image},
                                            {"Logo.PNG", PlaceholderEntry::Image}};
  EXPECT_EQ(form.PlaceholderEntries(), expected);

  // A rebuild replaces everything, it never appends to the old catalogue.
  form.LB_shortNames = {};
  form.BuildPlaceholderList();
  EXPECT_EQ(form.PlaceholderEntries().size(), 2u);
}

TEST_F(CatalogueFixture, SourcesOtherThanTheAttributeList) {
  struct {
    const char* name;
    bool useAd;
    std::string source, table;
    bool warning;
  } cases[] = {
      // With the directory chosen the ODBC settings are never consulted.
      {"directory chosen, ODBC configured", true, "Quillmark", "users", false},
      {"no table", false, "Quillmark", "", false},
      {"no data source", false, "", "users", false},
      {"nothing configured", false, "", "", false},
      // No directory object at all: the columns cannot be read.
      {"ODBC configured, no directory object", false, "Quillmark", "users", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingUserInterface localUi;
    TestDir localDir;
    TForm_main localForm(localDir.Path(), localUi);
    localForm.Wire({nullptr, &settings, nullptr});
    localForm.LB_shortNames = {"logo.gif"};
    GeneralSettings g;
    g.useAD = c.useAd;
    DirectorySettings d;
    d.odbcSource = c.source;
    d.table = c.table;
    settings.SetGeneralSettings(g);
    settings.SetDirectorySettings(d);
    localForm.BuildPlaceholderList();
    std::vector<PlaceholderEntry> onlyImage = {{"logo.gif", PlaceholderEntry::Image}};
    EXPECT_EQ(localForm.PlaceholderEntries(), onlyImage);
    auto lines = localUi.LogLines();
    if (c.warning) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find(": Quillmark konnte sich nicht mit der Datenquelle verbinden."), std::string::npos);
    } else {
      EXPECT_TRUE(lines.empty());
    }
  }
}

TEST_F(CatalogueFixture, WithoutSettingsHolderOnlyImages) {
  UseAd("givenName,sn");
  form.Wire({});
  form.LB_shortNames = {"a.gif"};
  form.BuildPlaceholderList();
  EXPECT_EQ(Names(PlaceholderEntry::Image), V{"a.gif"});
}

TEST_F(CatalogueFixture, RemovePlaceholderIgnoresCaseAndKind) {
  UseAd("Logo.gif,sn,LOGO.GIF,mail");
  form.LB_shortNames = {"logo.gif"};
  form.BuildPlaceholderList();
  form.RemovePlaceholder("logo.GIF");
  EXPECT_EQ(Names(PlaceholderEntry::Field), (V{"sn", "mail"}));
  EXPECT_EQ(Names(PlaceholderEntry::Image), V{});
}

TEST(PlaceholderInsertion, ByNameNotByKind) {
  struct {
    std::string name;
    qm::TextList attachments;
    std::optional<std::string> expected;
  } cases[] = {
      {"sn", {}, "#sn#"},
      {"", {}, "##"},
      {"Logo.gif", {"doc.pdf", "logo.gif"}, "<img src=\"cid:logo.gif\"/>"},
      {"logo.gif", {"LOGO.GIF"}, "<img src=\"cid:LOGO.GIF\"/>"},
      {"Logo.png", {"doc.pdf", "logo.PNG"}, "<img src=\"cid:logo.PNG\"/>"},
      {"photo.jpeg", {"photo.jpg"}, std::nullopt},  // attachment no longer listed
      {"logo.gif", {}, std::nullopt},
      {".gif", {".gif"}, "#.gif#"},  // too short for an image name
      {"doc.pdf", {"doc.pdf"}, "#doc.pdf#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TForm_main::PlaceholderInsertion(c.name, c.attachments), c.expected);
  }
}

TEST_F(CatalogueFixture, DoubleClickUsesTheSelectedEntry) {
  UseAd("sn,logo.gif");  // a field entry that carries an image name
  form.LB_shortNames = {"Logo.GIF"};
  form.BuildPlaceholderList();
  EXPECT_EQ(form.LB_FelderDblClick(), std::nullopt);  // nothing selected
  form.LB_FelderItemIndex = 0;
  EXPECT_EQ(form.LB_FelderDblClick(), "#sn#");
  form.LB_FelderItemIndex = 1;
  EXPECT_EQ(form.LB_FelderDblClick(), "<img src=\"cid:Logo.GIF\"/>");
  form.LB_FelderItemIndex = 2;
  EXPECT_EQ(form.LB_FelderDblClick(), "<img src=\"cid:Logo.GIF\"/>");
  form.LB_FelderItemIndex = 3;  // past the end
  EXPECT_EQ(form.LB_FelderDblClick(), std::nullopt);
}

TEST_F(CatalogueFixture, PreviewRewritesListedNamesExactly) {
  form.M_Signatur_HTML = {"<img src=\"cid:logo.gif\"/> <img src=\"cid:LOGO.GIF\"/>",
                          "#givenName# cid:doc.pdf cid:logo.gif",
                          "cid:other.gif", ""};
  form.LB_shortNames = {"logo.gif", "doc.pdf"};
  const std::string store = dir.Path() + "temp/";
  qm::TextList expected = {"<img src=\"" + store + "logo.gif\"/> <img src=\"cid:LOGO.GIF\"/>",
                           "#givenName# " + store + "doc.pdf " + store + "logo.gif", "cid:other.gif", ""};
  EXPECT_EQ(form.TabS_previewShow(), expected);
  form.M_Signatur_HTML.clear();
  EXPECT_EQ(form.TabS_previewShow(), qm::TextList{});
}

}  // namespace
