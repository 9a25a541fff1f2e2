// Signature generation against real directories: an SQLite table through
// unixODBC and a private slapd, both holding the same users.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <thread>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestSupport.h"
#include "TestImage.h"
#include "directory/UDBUtil.h"
#include "signature/URichText.h"
#include "settings/USetting.h"
#include "base/UUtils.h"

namespace {

using Lines = qm::TextList;

// Users every directory of these tests holds besides the generated ones.
std::vector<TestUser> SpecialUsers() {
  return {
      {"anna.berg@example.test", "Anna", "Berg", std::nullopt, {"+49 40 1", "+49 40 2"}, "Testfirma GmbH"},
      // A surname that is a later field's placeholder, and one that is its own.
      {"tricky@example.test", "Tim", "#givenName#", "#sn#", {}, "#company#"},
      // Only a name: no telephone numbers, no company.
      {"sparse@example.test", "Sven", "Sand", std::nullopt, {}, std::nullopt},
  };
}

class SignatureTest : public ::testing::TestWithParam<bool> {  // true: LDAP
 protected:
  static void SetUpTestSuite() {
    odbc_ = new OdbcFixture;
    odbc_->CreateUsersTable();
    odbc_->AddUsers(50);
    for (const auto& u : SpecialUsers()) odbc_->AddUser(u);
    ldap_ = new SlapdFixture;
    ldap_->AddUsers(50);
    for (const auto& u : SpecialUsers()) ldap_->AddUser(u);
    ldap_->Start();
  }
  static void TearDownTestSuite() {
    delete ldap_;
    delete odbc_;
    ldap_ = nullptr;
    odbc_ = nullptr;
  }

  void SetUp() override {
    mkdir((dir.Path() + "temp").c_str(), 0755);
    form.SetRetryWait([](std::chrono::milliseconds) {});
    Configure(odbc_->Dsn(), "users");
  }

  bool Ldap() const { return GetParam(); }

  void Configure(const std::string& source, const std::string& table) {
    GeneralSettings g;
    DirectorySettings d;
    d.odbcSource = source;
    d.table = table;
    d.mailField = "mail";
    if (Ldap()) {
      g.useAD = true;
      g.adPath = ldap_->AdsPath();
      g.adUserId = ldap_->BindDn();
      g.adPassword = ldap_->BindPassword();
      g.fieldNames1 = "mail,givenName,sn,telephoneNumber,otherTelephone,company";
    }
    settings.SetGeneralSettings(g);
    settings.SetDirectorySettings(d);
    db.ConfigureConnection(d.odbcSource, d.table, d.dbUserId, d.dbPassword, g.adUserId, g.adPassword);
  }

  void Catalogue(const std::vector<std::string>& fields, const std::vector<std::string>& images = {}) {
    form.LB_Felder.clear();
    for (const auto& f : fields) form.LB_Felder.push_back({f, PlaceholderEntry::Field});
    for (const auto& i : images) form.LB_Felder.push_back({i, PlaceholderEntry::Image});
  }

  // A wrong password for the directory, a missing table for the data source.
  void BreakDirectory() {
    if (Ldap()) {
      GeneralSettings g = settings.GetGeneralSettings();
      g.adPassword = "wrong";
      settings.SetGeneralSettings(g);
      db.ConfigureConnection("", "", "", "", g.adUserId, g.adPassword);
    } else {
      Configure(odbc_->Dsn(), "no_such_table");
    }
  }

  std::string Store(const std::string& name) const { return dir.Path() + "temp/" + name; }
  Lines Txt(const std::string& address) const { return qm::SplitLines(ReadFileBytes(Store(address + ".txt"))); }

  bool LocksFree() { return LocksAreFree({&form.SignatureLock(), &db.DirectoryLock()}); }

  static OdbcFixture* odbc_;
  static SlapdFixture* ldap_;

  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form{dir.Path(), ui};
  qm::SettingsStore settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
  bool wired = (form.Wire({&db, &settings, nullptr}), true);
};

OdbcFixture* SignatureTest::odbc_ = nullptr;
SlapdFixture* SignatureTest::ldap_ = nullptr;

TEST_P(SignatureTest, TemplateCases) {
  const std::vector<std::string> all = {"mail", "givenName", "sn", "telephoneNumber", "company"};
  struct {
    const char* name;
    std::string address;
    std::vector<std::string> catalogue;
    Lines templ, expected;
  } cases[] = {
      {"fields in one line, rest unchanged", "anna.berg@example.test", all,
       {"<p>#givenName# #sn#, <b>#company#</b></p>"}, {"<p>Anna Berg, <b>Testfirma GmbH</b></p>"}},
      {"address written in other letter case", "Anna.Berg@EXAMPLE.test", all, {"#sn#"}, {"Berg"}},
      {"case-sensitive placeholder", "anna.berg@example.test", all, {"#GivenName# #SN#"}, {"#GivenName# #SN#"}},
      {"three times in one line", "anna.berg@example.test", all, {"#sn#-#sn#-#sn#"}, {"Berg-Berg-Berg"}},
      {"empty value removes the placeholder", "anna.berg@example.test", all, {"Tel: #telephoneNumber#."},
       {"Tel: ."}},
      {"placeholder split over two lines stays", "anna.berg@example.test", all, {"#given", "Name#"},
       {"#given", "Name#"}},
      {"field outside the catalogue stays", "anna.berg@example.test", {"sn"}, {"#givenName# #sn#"},
       {"#givenName# Berg"}},
      {"value holding a later field's placeholder is replaced again", "tricky@example.test", {"sn", "givenName"},
       {"#sn#"}, {"Tim"}},
      {"value holding an earlier field's placeholder stays", "tricky@example.test", {"givenName", "sn"},
       {"#sn#"}, {"#givenName#"}},
      {"a value holding its own placeholder is not rescanned", "tricky@example.test", {"company"},
       {"#company# and #company#"}, {"#company# and #company#"}},
      {"unknown user: the directory answers without a record", "nobody@example.test", all,
       {"#givenName# #sn#|"}, {" |"}},
      {"empty template", "anna.berg@example.test", all, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Catalogue(c.catalogue);
    form.M_Signatur_HTML = c.templ;
    form.MakeSignature(c.address);
    EXPECT_EQ(Txt(c.address), c.expected);
    EXPECT_TRUE(LocksFree());
  }
}

// With "Leere Zeilen weglassen" a template line goes when it held field
// placeholders and every one of them came out empty; any other line stays as
// the substitution left it, in the .txt and the .htm alike.
TEST_P(SignatureTest, EmptiedLinesLeftOutOnRequest) {
  const std::vector<std::string> all = {"mail", "givenName", "sn", "telephoneNumber", "otherTelephone", "company"};
  struct {
    const char* name;
    bool drop;
    std::string address;
    std::vector<std::string> catalogue;
    Lines templ, expected;
  } cases[] = {
      {"text: the telephone line goes, a line with a value stays",
       true,
       "anna.berg@example.test",
       all,
       {"#givenName# #sn#", "Tel. #telephoneNumber#", "Tel. #telephoneNumber# / #company#", "#company#"},
       {"Anna Berg", "Tel.  / Testfirma GmbH", "Testfirma GmbH"}},
      {"switched off, the line stays as today",
       false,
       "anna.berg@example.test",
       all,
       {"#givenName# #sn#", "Tel. #telephoneNumber#"},
       {"Anna Berg", "Tel. "}},
      {"lines without placeholders stay, blank ones too",
       true,
       "sparse@example.test",
       all,
       {"Mit freundlichen Grüßen", "", "#telephoneNumber#", "  ", "--"},
       {"Mit freundlichen Grüßen", "", "  ", "--"}},
      {"several empty fields in one line",
       true,
       "sparse@example.test",
       all,
       {"#givenName#", "Tel. #telephoneNumber#, Fax #otherTelephone#, #company#", "#company##company#"},
       {"Sven"}},
      {"html: the row of an empty field goes, images stay",
       true,
       "sparse@example.test",
       all,
       {"<table>", "<tr><td>#givenName# #sn#</td></tr>", "<tr><td>Tel. #telephoneNumber#</td></tr>",
        "<tr><td><img src=\"cid:logo.gif\"/> #company#</td></tr>", "<tr><td><img src=\"cid:logo.gif\"/></td></tr>",
        "</table>"},
       {"<table>", "<tr><td>Sven Sand</td></tr>", "<tr><td><img src=\"cid:logo.gif\"/></td></tr>", "</table>"}},
      {"a placeholder outside the catalogue is no field",
       true,
       "sparse@example.test",
       {"company"},
       {"#telephoneNumber#", "#company#", "#company# #fax#"},
       {"#telephoneNumber#"}},
      {"an image placeholder is no field", true, "sparse@example.test", all, {"#logo.gif#"}, {"#logo.gif#"}},
      {"an empty catalogue entry's ## is no field",
       true,
       "sparse@example.test",
       {"", "givenName"},
       {"Farbe ##", "#givenName#"},
       {"Farbe ", "Sven"}},
      {"a line filled through a value holding a placeholder stays",
       true,
       "tricky@example.test",
       {"telephoneNumber", "sn", "otherTelephone"},
       {"#telephoneNumber#", "#otherTelephone#"},
       {"#givenName#"}},
      {"a user without a record: every placeholder line goes",
       true,
       "nobody@example.test",
       all,
       {"Kontakt:", "#givenName# #sn#", "#mail#"},
       {"Kontakt:"}},
      {"every line emptied gives empty files",
       true,
       "sparse@example.test",
       all,
       {"#telephoneNumber#", "#company#"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GeneralSettings g = settings.GetGeneralSettings();
    g.dropEmptyLines = c.drop;
    settings.SetGeneralSettings(g);
    Catalogue(c.catalogue, {"logo.gif"});
    form.M_Signatur_HTML = c.templ;
    EXPECT_TRUE(form.MakeSignature(c.address));
    EXPECT_EQ(ReadFileBytes(Store(c.address + ".txt")), qm::JoinLinesCrLf(c.expected));
    Lines htm = c.expected;
    for (auto& line : htm) line = qm::ReplaceAll(line, "src=\"cid:", "src=\"");
    EXPECT_EQ(ReadFileBytes(Store(c.address + ".htm")), qm::JoinLinesCrLf(htm));
    EXPECT_TRUE(LocksFree());
  }
}

// The preview page's signature for a typed address: the generation of
// "/make" written into preview/, so a user's files in temp/ stay as they are.
TEST_P(SignatureTest, PreviewForUser) {
  using Kind = TForm_main::UserPreview::Kind;
  const std::string templ = "<img src=\"cid:logo.gif\"/> #givenName# #sn#";
  const std::string unknown = "Die EMail Adresse nobody@example.test konnte nicht in der Datenbank gefunden werden.";
  struct {
    const char* name;
    std::string address;
    std::uint8_t contentType;
    bool drop;
    Lines templ;
    Kind kind;
    Lines lines;
  } cases[] = {
      {"html", "anna.berg@example.test", ctHtml, false, {templ}, Kind::Html, {"<img src=\"logo.gif\"/> Anna Berg"}},
      {"rich text shows the html",
       " anna.berg@example.test ",
       ctRichText,
       false,
       {templ},
       Kind::Html,
       {"<img src=\"logo.gif\"/> Anna Berg"}},
      {"text", "anna.berg@example.test", ctText, false, {templ}, Kind::Text, {"<img src=\"cid:logo.gif\"/> Anna Berg"}},
      {"empty lines left out as configured",
       "sparse@example.test",
       ctHtml,
       true,
       {"#givenName#", "Tel. #telephoneNumber#"},
       Kind::Html,
       {"Sven"}},
      {"unknown address", "nobody@example.test", ctHtml, false, {templ}, Kind::Message, {unknown}},
      {"empty address: the template",
       "",
       ctHtml,
       false,
       {templ},
       Kind::Html,
       {"<img src=\"" + Store("logo.gif") + "\"/> #givenName# #sn#"}},
  };
  form.LB_shortNames = {"logo.gif"};
  const std::string own = "the user's own file\r\n";
  for (const char* ext : {".txt", ".htm"}) WriteFileBytes(Store("anna.berg@example.test") + ext, own);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GeneralSettings g = settings.GetGeneralSettings();
    g.contentType = c.contentType;
    g.dropEmptyLines = c.drop;
    settings.SetGeneralSettings(g);
    Catalogue({"mail", "givenName", "sn", "telephoneNumber"}, {"logo.gif"});
    form.M_Signatur_HTML = c.templ;
    const TForm_main::UserPreview preview = form.PreviewForUser(c.address);
    EXPECT_EQ(preview.kind, c.kind);
    EXPECT_EQ(preview.lines, c.lines);
    if (c.kind != Kind::Message) {
      EXPECT_EQ(preview.imageDir, Store(""));
    }
    for (const char* ext : {".txt", ".htm"}) EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test") + ext), own);
    EXPECT_FALSE(qm::FileExists(Store("sparse@example.test.txt")));
    if (qm::DirectoryExists(dir.Path() + "preview")) {
      EXPECT_TRUE(std::filesystem::is_empty(dir.Path() + "preview")) << "nothing of the user stays behind";
    }
    EXPECT_TRUE(LocksFree());
  }

  BreakDirectory();
  const TForm_main::UserPreview broken = form.PreviewForUser("anna.berg@example.test");
  EXPECT_EQ(broken.kind, Kind::Message);
  EXPECT_EQ(broken.lines, Lines{"Quillmark konnte sich nicht mit der Datenquelle verbinden."});
  EXPECT_TRUE(LocksFree());
}

TEST_P(SignatureTest, ImagesAndFileForms) {
  Catalogue({"givenName", "sn"}, {"logo.gif"});
  form.M_Signatur_HTML = {"<img src=\"cid:logo.gif\"/> #givenName#", "<IMG SRC=\"cid:logo.gif\"/> #logo.gif#"};
  WriteFileBytes(Store("anna.berg@example.test.rtf"), "{\\rtf1 stale}");
  form.MakeSignature("anna.berg@example.test");
  EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test.txt")),
            "<img src=\"cid:logo.gif\"/> Anna\r\n<IMG SRC=\"cid:logo.gif\"/> #logo.gif#\r\n");
  EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test.htm")),
            "<img src=\"logo.gif\"/> Anna\r\n<IMG SRC=\"cid:logo.gif\"/> #logo.gif#\r\n");
  EXPECT_FALSE(qm::FileExists(Store("anna.berg@example.test.rtf")));
  // An image entry is never looked up: no error about an unknown field.
  for (const auto& l : ui.LogLines()) EXPECT_EQ(l.find("Feldname"), std::string::npos) << l;
}

TEST_P(SignatureTest, MultiValuedAttribute) {
  if (!Ldap()) GTEST_SKIP() << "multi-valued attributes exist only in the directory";
  Catalogue({"otherTelephone"});
  form.M_Signatur_HTML = {"#otherTelephone#"};
  form.MakeSignature("anna.berg@example.test");
  EXPECT_EQ(Txt("anna.berg@example.test"), Lines{"+49 40 1 / +49 40 2"});
}

TEST_P(SignatureTest, UnreachableDirectoryReplacesNothing) {
  BreakDirectory();
  Catalogue({"givenName", "sn"});
  form.M_Signatur_HTML = {"#givenName# #sn#", "<img src=\"cid:a.gif\"/>"};
  WriteFileBytes(Store("anna.berg@example.test.rtf"), "stale");
  form.MakeSignature("anna.berg@example.test");
  EXPECT_EQ(Txt("anna.berg@example.test"), (Lines{"#givenName# #sn#", "<img src=\"cid:a.gif\"/>"}));
  EXPECT_EQ(ReadFileBytes(Store("anna.berg@example.test.htm")), "#givenName# #sn#\r\n<img src=\"a.gif\"/>\r\n");
  EXPECT_FALSE(qm::FileExists(Store("anna.berg@example.test.rtf")));
  EXPECT_TRUE(LocksFree());
}

TEST_P(SignatureTest, UnreachableDirectoryLeavesEveryLineWithTheOptionOn) {
  BreakDirectory();
  GeneralSettings g = settings.GetGeneralSettings();
  g.dropEmptyLines = true;
  settings.SetGeneralSettings(g);
  Catalogue({"givenName", "telephoneNumber"});
  form.M_Signatur_HTML = {"#givenName#", "Tel. #telephoneNumber#"};
  EXPECT_FALSE(form.MakeSignature("sparse@example.test"));
  EXPECT_EQ(Txt("sparse@example.test"), (Lines{"#givenName#", "Tel. #telephoneNumber#"}));
  EXPECT_TRUE(LocksFree());
}

TEST_P(SignatureTest, ConcurrentCallsForDifferentAddressesGiveUnmixedFiles) {
  Catalogue({"mail", "givenName", "sn", "telephoneNumber", "company"});
  Lines templ;
  for (int i = 0; i < 40; ++i) templ.push_back("<tr><td>" + std::to_string(i) + " #givenName# #sn# #mail#</td></tr>");
  form.M_Signatur_HTML = templ;
  auto expectedFor = [&](int user) {
    TestUser u = MakeTestUser(user);
    Lines out;
    for (int i = 0; i < 40; ++i)
      out.push_back("<tr><td>" + std::to_string(i) + " " + *u.givenName + " " + *u.sn + " " + u.mail + "</td></tr>");
    return out;
  };
  auto worker = [&](int user, int rounds) {
    for (int r = 0; r < rounds; ++r) form.MakeSignature(MakeTestUser(user).mail);
  };
  std::thread a(worker, 7, 15), b(worker, 23, 15);
  // The main thread joins in for a third address.
  worker(42, 15);
  a.join();
  b.join();
  for (int user : {7, 23, 42}) {
    SCOPED_TRACE(user);
    EXPECT_EQ(Txt(MakeTestUser(user).mail), expectedFor(user));
  }
  EXPECT_TRUE(LocksFree());
}

TEST_P(SignatureTest, CatalogueFromTheConfiguredSource) {
  form.LB_shortNames = {"logo.gif"};
  form.BuildPlaceholderList();
  std::vector<PlaceholderEntry> expected;
  for (const char* f : {"mail", "givenName", "sn", "telephoneNumber", "otherTelephone", "company"})
    expected.push_back({f, PlaceholderEntry::Field});
  expected.push_back({"logo.gif", PlaceholderEntry::Image});
  EXPECT_EQ(form.PlaceholderEntries(), expected);
  EXPECT_TRUE(ui.LogLines().empty());
}

TEST_P(SignatureTest, CatalogueWarnsWhenColumnsCannotBeRead) {
  if (Ldap()) GTEST_SKIP() << "the directory's fields come from the attribute list";
  struct {
    const char* name;
    std::string source, table;
  } cases[] = {{"unknown data source", "no_such_dsn", "users"}, {"unknown table", odbc_->Dsn(), "no_such_table"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingUserInterface localUi;
    TestDir localDir;
    TForm_main localForm(localDir.Path(), localUi);
    localForm.Wire({&db, &settings, nullptr});
    Configure(c.source, c.table);
    localForm.LB_shortNames = {"logo.gif"};
    localForm.BuildPlaceholderList();
    std::vector<PlaceholderEntry> expected = {{"logo.gif", PlaceholderEntry::Image}};
    EXPECT_EQ(localForm.PlaceholderEntries(), expected);
    auto log = localUi.LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(": Quillmark konnte sich nicht mit der Datenquelle verbinden."), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Directories, SignatureTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Ldap" : "Odbc"; });

// One real conversion of a generated HTML signature with a table and an image.
TEST(RichTextConversion, GeneratedSignatureThroughLibreOffice) {
  if (qm::wordproc::FindSoffice().empty()) GTEST_SKIP() << "LibreOffice (soffice) is not installed";
  TestDir dir;
  RecordingUserInterface ui;
  TForm_main form(dir.Path(), ui);
  mkdir((dir.Path() + "temp").c_str(), 0755);
  WriteFileBytes(dir.Path() + "temp/logo.gif", SmallGifImage());
  form.M_Signatur_HTML = {"<html><body><table><tr>", "<td><img src=\"cid:logo.gif\"/></td>",
                          "<td>Anna Berg<br/>Testfirma GmbH</td>", "</tr></table></body></html>"};
  form.MakeSignature("anna.berg@example.test");
  EXPECT_TRUE(form.RichText().ConvertToRtf(dir.Path() + "temp/anna.berg@example.test.htm"));
  std::string rtf = ReadFileBytes(dir.Path() + "temp/anna.berg@example.test.rtf");
  EXPECT_NE(rtf.find("Testfirma GmbH"), std::string::npos);
  EXPECT_NE(rtf.find("\\pngblip"), std::string::npos);
  std::vector<std::string> log;
  for (const auto& l : ui.LogLines()) log.push_back(l.substr(l.find(": ") + 2));
  EXPECT_EQ(log, std::vector<std::string>{"Neue Word-Instanz geöffnet."});
}

}  // namespace
