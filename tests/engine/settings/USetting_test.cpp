#include "settings/USetting.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

namespace {

// Records with a distinct value in every field.
void FillRecords(MailSettings& m, DirectorySettings& d, GeneralSettings& g) {
  m = {"pop.example", "poplogin", "popgeheim", "Absender", "Ihre Signatur", "smtp.example", "smtpuser",
       "smtpgeheim", "sig@example.org"};
  d = {"Firma", "Personal", "dbuser", "dbgeheim", "EMail"};
  g.intervalMinutes = 15;
  g.timerEnabled = true;
  g.verbosity = 2;
  g.contentType = ctHtml;
  g.altTextEnabled = true;
  g.altText = "Unbekannt";
  g.adPath = "example.org";
  g.adUserId = "admin";
  g.adPassword = "adgeheim";
  g.useAD = true;
  g.fieldNames1 = "givenName,sn";
  g.fieldNames2 = ",mail";
  g.sendAs = "both";
  g.httpPort = 8081;
  g.httpServerActive = true;
  g.dropEmptyLines = true;
}

std::string Field(const std::string& file, std::size_t off) {
  return file.substr(off + 1, static_cast<unsigned char>(file[off]));
}

std::string ToBytes(const std::array<std::uint8_t, kProfileSize>& a) {
  return std::string(reinterpret_cast<const char*>(a.data()), a.size());
}

std::string Xor(std::string s) {
  for (auto& c : s) c = static_cast<char>(c ^ 0x0E);
  return s;
}

}  // namespace

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    qm::SetProgramDirectory(dir.Path());
    SetCurrentLog(&log);
  }
  void TearDown() override {
    SetCurrentLog(nullptr);
    ClearState();
  }
  std::string LogText() const {
    std::string all;
    for (const auto& l : ui.LogLines()) all += l + "\n";
    return all;
  }
  TestDir dir;
  RecordingUserInterface ui;
  TEventLog log{dir.Path(), &ui};
  // The settings model with an unconfigured directory beside it.
  TFDBUtil db{[this] { return settings.GetLookupSettings(); }, ui};
  TFSettings settings{ui, db};
};

TEST(ProfileRecord, FieldsLieAtTheirFileOffsets) {
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  FillRecords(m, d, g);
  const std::string f = ToBytes(EncodeProfile(m, d, g));
  ASSERT_EQ(f.size(), 6952u);
  struct {
    std::size_t offset;
    std::string want;
  } texts[] = {
      {0, "pop.example"},          {256, "poplogin"},        {512, Xor("popgeheim")},
      {768, "Absender"},           {1024, "Ihre Signatur"},  {1280, "smtp.example"},
      {1536, "smtpuser"},          {1792, Xor("smtpgeheim")}, {2048, "sig@example.org"},
      {2304, "Firma"},             {2560, "Personal"},       {2816, "dbuser"},
      {3072, Xor("dbgeheim")},     {3328, "EMail"},          {3592, "Unbekannt"},
      {3848, "example.org"},       {4104, "admin"},          {4360, "adgeheim"},  // AD password plain
      {4617, "givenName,sn"},      {4873, ",mail"},          {5129, "both"},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.offset);
    EXPECT_EQ(Field(f, t.offset), t.want);
  }
  struct {
    std::size_t offset;
    int want;
  } bytes[] = {{3584, 15},   {3585, 0},    {3588, 1}, {3589, 2}, {3590, ctHtml}, {3591, 1}, {4616, 1},
               {5388, 0x91}, {5389, 0x1F}, {5390, 0}, {5391, 0}, {5392, 1},      {5393, 1}};
  for (const auto& b : bytes) {
    SCOPED_TRACE(b.offset);
    EXPECT_EQ(static_cast<unsigned char>(f[b.offset]), b.want);
  }
  EXPECT_EQ(f.substr(5394), std::string(1558, '\0'))
      << "transport fields (plain, verifying, standard ports) and reserved bytes of a new record are zero";

  MailSettings m2;
  DirectorySettings d2;
  GeneralSettings g2;
  DecodeProfile(reinterpret_cast<const std::uint8_t*>(f.data()), m2, d2, g2);
  EXPECT_EQ(m2, m);
  EXPECT_EQ(d2, d);
  EXPECT_EQ(g2, g);
}

TEST(ProfileRecord, ScramblingKeepsLengthAndLeavesEmptyPasswordsEmpty) {
  struct {
    std::string password;
  } cases[] = {{""}, {"a"}, {"Geheim123!"}, {std::string(255, 'x')}, {"\x0e\x0e"}, {"Pässwort"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    MailSettings m;
    DirectorySettings d;
    GeneralSettings g;
    m.pop3Password = m.smtpPassword = d.dbPassword = g.adPassword = c.password;
    const std::string f = ToBytes(EncodeProfile(m, d, g));
    for (std::size_t off : {512u, 1792u, 3072u}) {
      std::string stored = Field(f, off);
      ASSERT_EQ(stored.size(), c.password.size());
      for (std::size_t i = 0; i < stored.size(); ++i) EXPECT_NE(stored[i], c.password[i]);
      EXPECT_EQ(Xor(stored), c.password);
    }
    EXPECT_EQ(Field(f, 4360), c.password);
    MailSettings m2;
    DirectorySettings d2;
    GeneralSettings g2;
    DecodeProfile(reinterpret_cast<const std::uint8_t*>(f.data()), m2, d2, g2);
    EXPECT_EQ(m2.pop3Password, c.password);
    EXPECT_EQ(m2.smtpPassword, c.password);
    EXPECT_EQ(d2.dbPassword, c.password);
    EXPECT_EQ(g2.adPassword, c.password);
  }
}

TEST(ProfileRecord, AttributeListIsSplit254And255) {
  std::string list;
  for (int i = 0; i < 600; ++i) list += static_cast<char>('a' + i % 26);
  std::string umlauts = "a";
  for (int i = 0; i < 300; ++i) umlauts += "ä";
  struct {
    std::string list;
    std::size_t first, second;
  } cases[] = {
      {list, 254, 255},
      {list.substr(0, 254), 254, 0},
      {list.substr(0, 300), 254, 46},
      {"", 0, 0},
      {umlauts, 253, 254},  // never splits a two-byte character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list.size());
    GeneralSettings g;
    PutFieldNames(g, c.list);
    EXPECT_EQ(g.fieldNames1.size(), c.first);
    EXPECT_EQ(g.fieldNames2.size(), c.second);
    EXPECT_EQ(GetFieldNames(g), c.list.substr(0, c.first + c.second));
    const std::string f = ToBytes(EncodeProfile({}, {}, g));
    EXPECT_EQ(Field(f, 4617), g.fieldNames1);
    EXPECT_EQ(Field(f, 4873), g.fieldNames2);
  }
}

TEST(ProfileRecord, NonUtf8TextsAreWindows1252AndFlagsAreAnyNonZero) {
  std::string f(6952, '\0');
  f[0] = 6;
  f.replace(1, 6, "M\xfcller");  // "Müller" in Windows-1252
  f[3588] = 7;                    // timerEnabled: any non-zero value is true
  f[4616] = static_cast<char>(0xFF);
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  DecodeProfile(reinterpret_cast<const std::uint8_t*>(f.data()), m, d, g);
  EXPECT_EQ(m.pop3Host, "Müller");
  EXPECT_TRUE(g.timerEnabled);
  EXPECT_TRUE(g.useAD);
  const std::string again = ToBytes(EncodeProfile(m, d, g));
  EXPECT_EQ(again[3588], 1) << "booleans are written as 0 or 1";
}

// "Leere Zeilen weglassen" is the first byte of the general record's
// reserved area: a profile of an older version (zero there) keeps every line,
// and the bytes after it are still kept as loaded.
TEST(ProfileRecord, DropEmptyLinesIsTheFirstReservedByte) {
  std::string f(6952, '\0');
  for (std::size_t i = 6175; i < f.size(); ++i) f[i] = static_cast<char>((i * 13 + 5) % 251 + 2);
  struct {
    unsigned char stored;
    bool on;
    unsigned char written;
  } cases[] = {{0, false, 0}, {1, true, 1}, {0xFF, true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.stored));
    f[5393] = static_cast<char>(c.stored);
    MailSettings m;
    DirectorySettings d;
    GeneralSettings g;
    DecodeProfile(reinterpret_cast<const std::uint8_t*>(f.data()), m, d, g);
    EXPECT_EQ(g.dropEmptyLines, c.on);
    std::string again = ToBytes(EncodeProfile(m, d, g));
    EXPECT_EQ(static_cast<unsigned char>(again[5393]), c.written);
    EXPECT_EQ(again.substr(5394), f.substr(5394)) << "the rest of the reserved area as loaded";
    g.dropEmptyLines = !g.dropEmptyLines;
    again = ToBytes(EncodeProfile(m, d, g));
    EXPECT_EQ(static_cast<unsigned char>(again[5393]), c.on ? 0 : 1);
    EXPECT_EQ(again.substr(0, 5393), f.substr(0, 5393)) << "no other field moved";
    EXPECT_EQ(again.substr(5394), f.substr(5394));
  }
}

// The transport fields follow "Leere Zeilen weglassen" in what older versions
// reserved. Their profiles (zero there) connect as they did: plain, on the
// standard ports; the bytes after the fields stay as loaded.
TEST(ProfileRecord, TransportFieldsTakeReservedBytesAndZeroMeansPlain) {
  std::string f(6952, '\0');
  for (std::size_t i = 6175; i < f.size(); ++i) f[i] = static_cast<char>((i * 13 + 5) % 251 + 2);
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  DecodeProfile(reinterpret_cast<const std::uint8_t*>(f.data()), m, d, g);
  EXPECT_EQ(g.pop3Security, msNone);
  EXPECT_EQ(g.smtpSecurity, msNone);
  EXPECT_EQ(g.ldapSecurity, lsNone);
  EXPECT_EQ(g.httpSecurity, hsNone);
  EXPECT_TRUE(g.tlsVerifyPeer);
  EXPECT_EQ(Pop3PortOf(g), 110);
  EXPECT_EQ(SmtpPortOf(g), 25);
  EXPECT_EQ(ToBytes(EncodeProfile(m, d, g)), f) << "an older profile is written back byte for byte";

  g.pop3Security = msImplicitTls;
  g.smtpSecurity = msStartTls;
  g.ldapSecurity = lsLdaps;
  g.httpSecurity = hsTls;
  g.tlsVerifyPeer = false;
  g.pop3Port = 0x01020304;
  g.smtpPort = 2525;
  g.tlsCaFile = "/etc/ssl/ca.pem";
  g.httpsCertFile = "/etc/quillmark/cert.pem";
  g.httpsKeyFile = "/etc/quillmark/key.pem";
  const std::string again = ToBytes(EncodeProfile(m, d, g));
  struct {
    std::size_t offset;
    int want;
  } bytes[] = {{5394, 2}, {5395, 1},    {5396, 2},    {5397, 1},    {5398, 1},
               {5399, 4}, {5400, 3},    {5401, 2},    {5402, 1},    {5403, 0xDD},
               {5404, 9}, {5405, 0},    {5406, 0}};
  for (const auto& b : bytes) {
    SCOPED_TRACE(b.offset);
    EXPECT_EQ(static_cast<unsigned char>(again[b.offset]), b.want);
  }
  EXPECT_EQ(Field(again, 5407), "/etc/ssl/ca.pem");
  EXPECT_EQ(Field(again, 5663), "/etc/quillmark/cert.pem");
  EXPECT_EQ(Field(again, 5919), "/etc/quillmark/key.pem");
  EXPECT_EQ(again.substr(6175), f.substr(6175)) << "the rest of the reserved area as loaded";
  EXPECT_EQ(again.substr(0, 5394), f.substr(0, 5394)) << "no older field moved";

  struct {
    std::uint8_t security;
    int pop3, smtp;
  } ports[] = {{msNone, 110, 25}, {msStartTls, 110, 587}, {msImplicitTls, 995, 465}};
  for (const auto& p : ports) {
    SCOPED_TRACE(static_cast<int>(p.security));
    GeneralSettings h;
    h.pop3Security = h.smtpSecurity = p.security;
    EXPECT_EQ(Pop3PortOf(h), p.pop3);
    EXPECT_EQ(SmtpPortOf(h), p.smtp);
    h.pop3Port = 1110;
    h.smtpPort = 2525;
    EXPECT_EQ(Pop3PortOf(h), 1110);
    EXPECT_EQ(SmtpPortOf(h), 2525);
  }
}

TEST_F(Settings, AddressFieldFollowsTheSource) {
  DirectorySettings d;
  d.mailField = "EMail";
  settings.SetDirectorySettings(d);
  GeneralSettings g;
  EXPECT_EQ(settings.GetAddressField(), "EMail");
  g.useAD = true;
  settings.SetGeneralSettings(g);
  EXPECT_EQ(settings.GetAddressField(), "mail");
}

TEST_F(Settings, FirstStartWritesAZeroDefaultProfileForTheOwnerOnly) {
  settings.FormCreate();
  EXPECT_EQ(settings.CB_profil, "default");
  EXPECT_EQ(ReadFileBytes(dir / "default.config"), std::string(6952, '\0'));
  EXPECT_EQ(GetStateValue("profileName"), "default");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "default.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(LogText(), "");
}

TEST_F(Settings, CreationLoadsTheRememberedProfile) {
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  FillRecords(m, d, g);
  WriteFileBytes(dir / "büro.config", ToBytes(EncodeProfile(m, d, g)));
  SetStateValue("profileName", "büro");
  settings.FormCreate();
  EXPECT_EQ(settings.CB_profil, "büro");
  EXPECT_EQ(settings.GetMailSettings(), m);
  EXPECT_EQ(settings.GetDirectorySettings(), d);
  EXPECT_EQ(settings.GetGeneralSettings(), g);
  EXPECT_FALSE(qm::FileExists(dir / "default.config"));
}

TEST_F(Settings, SaveAndLoadKeepEveryByteIncludingReservedOnes) {
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  FillRecords(m, d, g);
  for (std::size_t i = 0; i < g.reserved.size(); ++i) g.reserved[i] = static_cast<std::uint8_t>(i * 7 + 1);
  g.padding = {0xAA, 0xBB, 0xCC};
  const std::string original = ToBytes(EncodeProfile(m, d, g));
  WriteFileBytes(dir / "alt.config", original);

  settings.LoadSettings(dir / "alt.config");
  EXPECT_EQ(settings.GetGeneralSettings(), g);
  settings.CB_profil = "neu";
  settings.SaveSettings();
  EXPECT_EQ(ReadFileBytes(dir / "neu.config"), original);
  EXPECT_EQ(GetStateValue("profilename"), "neu");
  EXPECT_EQ(settings.GetMailSettings().pop3Password, "popgeheim") << "records in memory stay plain";
}

TEST_F(Settings, ShortLongAndGarbageFiles) {
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  FillRecords(m, d, g);
  const std::string good = ToBytes(EncodeProfile(m, d, g));
  std::string garbage(6952, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 17) % 256);
  struct {
    const char* name;
    std::string file;
    bool zero;  // expect all-zero records
  } cases[] = {
      {"empty", "", true},
      {"short", good.substr(0, 6951), true},
      {"long", good + std::string(100, '\xff'), false},
      {"two records", good + std::string(6952, '\x01'), false},
      {"garbage", garbage, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    settings.SetMailSettings(m);  // something to be replaced
    WriteFileBytes(dir / "p.config", c.file);
    settings.LoadSettings(dir / "p.config");
    if (c.zero) {
      EXPECT_EQ(settings.GetMailSettings(), MailSettings{});
      EXPECT_EQ(settings.GetDirectorySettings(), DirectorySettings{});
      GeneralSettings zero;
      zero.httpPort = 8081;  // showing the loaded settings corrects port 0
      EXPECT_EQ(settings.GetGeneralSettings(), zero);
    } else if (std::string(c.name) != "garbage") {
      EXPECT_EQ(settings.GetMailSettings(), m);
      EXPECT_EQ(settings.GetGeneralSettings(), g);
    } else {
      EXPECT_TRUE(qm::IsValidUtf8(settings.GetMailSettings().pop3Host));
      EXPECT_TRUE(qm::IsValidUtf8(settings.GetGeneralSettings().sendAs));
    }
  }
  EXPECT_EQ(LogText(), "");
}

TEST_F(Settings, MissingFileIsReportedAndChangesNothing) {
  MailSettings m;
  DirectorySettings d;
  GeneralSettings g;
  FillRecords(m, d, g);
  settings.SetMailSettings(m);
  settings.LoadSettings(dir / "fehlt.config");
  EXPECT_EQ(settings.GetMailSettings(), m);
  EXPECT_NE(LogText().find(": Die Datei wurde nicht gefunden: " + dir / "fehlt.config" + "\n"), std::string::npos)
      << LogText();
}

TEST_F(Settings, NamesOutsideTheProgramDirectoryAreRefused) {
  std::filesystem::create_directory(dir / "sub");
  const char* names[] = {"../ausserhalb", "sub/p", ".", "..", "a\\b", "/tmp/qm-abs"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ClearState();
    const auto before = ui.LogLines().size();
    settings.CB_profil = name;
    settings.SaveSettings();
    auto lines = ui.LogLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find(": I/O Fehler: "), std::string::npos) << lines.back();
    EXPECT_EQ(GetStateValue("profilename"), "");
  }
  std::size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u) << "only signatur.log";
  EXPECT_FALSE(qm::FileExists(dir / "../ausserhalb.config"));
  EXPECT_FALSE(qm::FileExists("/tmp/qm-abs.config"));
}

TEST_F(Settings, SavingTightensAnExistingFileAndReportsWriteFailures) {
  WriteFileBytes(dir / "alt.config", "x");
  ::chmod((dir / "alt.config").c_str(), 0644);
  settings.CB_profil = "alt";
  settings.SaveSettings();
  struct stat st {};
  ASSERT_EQ(::stat((dir / "alt.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 6952);

  std::filesystem::create_directory(dir / "dir.config");  // cannot be opened as a file
  settings.CB_profil = "dir";
  settings.SaveSettings();
  EXPECT_NE(LogText().find(": I/O Fehler: Is a directory\n"), std::string::npos) << LogText();
  EXPECT_EQ(GetStateValue("profilename"), "alt") << "a failed save keeps the remembered name";
}

TEST_F(Settings, CopiesHandedToOtherThreadsAreNeverTorn) {
  MailSettings a, b;
  a.pop3Host = a.smtpHost = std::string(200, 'a');
  b.pop3Host = b.smtpHost = std::string(10, 'b');
  settings.SetMailSettings(a);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop) {
      MailSettings c = settings.GetMailSettings();
      if (c.pop3Host != c.smtpHost) ++torn;
    }
  });
  for (int i = 0; i < 20000; ++i) settings.SetMailSettings(i % 2 ? a : b);
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}
