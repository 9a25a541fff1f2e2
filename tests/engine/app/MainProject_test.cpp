#include <gtest/gtest.h>

#include <filesystem>

#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

namespace {

const char* kQuestion = "Wollen Sie die Änderungen am geöffneten Projekt speichern?";

std::vector<std::string> Names(const std::vector<PlaceholderEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name);
  return out;
}

class Project : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearState();
    std::filesystem::create_directory(dir / "temp");
    std::filesystem::create_directory(dir / "quelle");
  }
  void TearDown() override { ClearState(); }

  // An open project "alt.qm" with one image attachment, catalogue built.
  void OpenOld() {
    WriteFileBytes(dir / "alt.qm", "1\r\n1\r\n1\r\nHallo\r\n<img src=\"cid:logo.gif\"/>\r\nlogo.gif\r\n");
    f.OpenProject(dir / "alt.qm");
  }
  std::string Source(const std::string& name, const std::string& content) {
    WriteFileBytes(dir / ("quelle/" + name), content);
    return dir / ("quelle/" + name);
  }
  std::string LogText() const {
    std::string all;
    for (const auto& l : ui.LogLines()) all += l + "\n";
    return all;
  }

  TestDir dir;
  RecordingUserInterface ui;
  TForm_main f{dir.Path(), ui};
};

}  // namespace

TEST_F(Project, OpenLoadsNamesTheFileAndRebuildsTheCatalogue) {
  WriteFileBytes(dir / "p.qm", "1\r\n0\r\n2\r\nHallo\r\nLogo.GIF\r\nreadme.txt\r\n");
  ui.openAnswers.push_back(dir / "p.qm");
  f.MarkSignatureModified();
  ui.dialogAnswers.push_back(ModalResult::No);
  f.OpenProjectClick();

  ASSERT_EQ(ui.openDialogs.size(), 1u);
  EXPECT_EQ(ui.openDialogs[0].filter, "Quillmark 2.0 Projekte (*.qm)|*.qm|Alle Dateien (*.*)|*.*");
  EXPECT_EQ(ui.openDialogs[0].defaultExt, ".qm");
  EXPECT_EQ(ui.openDialogs[0].initialDir, dir / "Projekte/");
  EXPECT_EQ(f.MailTextLines(), qm::TextList{"Hallo"});
  EXPECT_EQ(f.AttachmentNames(), (qm::TextList{"Logo.GIF", "readme.txt"}));
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "p.qm");
  EXPECT_TRUE(qm::FileExists(dir / "progstate.qms")) << "state saved before opening";
  EXPECT_FALSE(f.IsModified());
  EXPECT_EQ(f.Title(), "Quillmark 2.2 - p.qm");
  EXPECT_EQ(Names(f.PlaceholderEntries()), std::vector<std::string>{"Logo.GIF"});
}

TEST_F(Project, CancelledOpenLeavesAnEmptyProjectUnderTheOldName) {
  OpenOld();
  f.OpenProjectClick();  // open dialog cancelled (no scripted answer)
  EXPECT_TRUE(f.MailTextLines().empty());
  EXPECT_TRUE(f.TemplateLines().empty());
  EXPECT_TRUE(f.AttachmentNames().empty());
  EXPECT_EQ(f.Title(), "Quillmark 2.2 - alt.qm");
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "alt.qm");
  EXPECT_EQ(Names(f.PlaceholderEntries()), std::vector<std::string>{"logo.gif"});
}

TEST_F(Project, OpenFailures) {
  OpenOld();
  // A missing file becomes the current file; the next Save creates it.
  f.OpenProject(dir / "neu.qm");
  EXPECT_EQ(f.Title(), "Quillmark 2.2 - neu.qm");
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "neu.qm");
  EXPECT_TRUE(ui.errors.empty());
  f.SaveProject();
  EXPECT_EQ(ReadFileBytes(dir / "neu.qm"), "1\r\n1\r\n1\r\nHallo\r\n<img src=\"cid:logo.gif\"/>\r\nlogo.gif\r\n");

  // Bad counts are shown; the file does not become current, no rebuild.
  struct {
    std::string bytes, error;
  } bad[] = {{"abc\r\n0\r\n0\r\n", "'abc' ist kein gültiger Integerwert"},
             {"2\r\n0\r\n0\r\nx\r\n", "Listenindex überschreitet das Maximum (4)"}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.error);
    ui.errors.clear();
    WriteFileBytes(dir / "kaputt.qm", c.bytes);
    { std::unique_lock lk(f.ProjectMutex()); f.LB_Felder = {{"bleibt", PlaceholderEntry::Field}}; }
    f.OpenProject(dir / "kaputt.qm");
    EXPECT_EQ(ui.errors, std::vector<std::string>{c.error});
    EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "neu.qm");
    EXPECT_EQ(f.Title(), "Quillmark 2.2 - neu.qm");
    EXPECT_EQ(Names(f.PlaceholderEntries()), std::vector<std::string>{"bleibt"});
  }

  // Present but unreadable: a warning in the log, current file kept.
  f.OpenProject("/proc/self/mem");
  EXPECT_NE(LogText().find(": Fehler beim Öffnen der Datei:/proc/self/mem\n"), std::string::npos) << LogText();
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "neu.qm");
  EXPECT_EQ(f.Title(), "Quillmark 2.2 - neu.qm");
}

TEST_F(Project, NewEmptiesTheProjectAndForgetsTheFile) {
  OpenOld();
  f.NewProject();
  EXPECT_TRUE(ui.dialogs.empty()) << "an unmodified project is not asked about";
  EXPECT_TRUE(f.MailTextLines().empty());
  EXPECT_TRUE(f.TemplateLines().empty());
  EXPECT_TRUE(f.AttachmentNames().empty());
  EXPECT_EQ(GetStateValue("lastOpenedFile"), "");
  EXPECT_EQ(f.Title(), "Quillmark 2.2");
  EXPECT_TRUE(f.PlaceholderEntries().empty());
  // The state was saved before the file was forgotten.
  LoadState(dir / "progstate.qms");
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "alt.qm");
}

TEST_F(Project, SaveChangesQuestion) {
  struct {
    const char* what;
    ModalResult answer;
    bool current;                      // a current file exists
    std::optional<std::string> saveAs;  // answer of the save dialog
    bool saved, goesOn;
  } cases[] = {
      {"Ja saves to the current file", ModalResult::Yes, true, std::nullopt, true, true},
      {"Ja, no file, dialog cancelled", ModalResult::Yes, false, std::nullopt, false, true},
      {"Ja, no file, file chosen", ModalResult::Yes, false, "gewaehlt.qm", true, true},
      {"Nein", ModalResult::No, true, std::nullopt, false, true},
      {"Abbrechen", ModalResult::Cancel, true, std::nullopt, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearState();
    ui.dialogs.clear();
    ui.saveDialogs.clear();
    std::filesystem::remove(dir / "alt.qm");
    std::filesystem::remove(dir / "gewaehlt.qm");
    std::filesystem::remove(dir / "progstate.qms");
    {
      std::unique_lock lk(f.ProjectMutex());
      f.M_text = {"geändert"};
      f.LB_shortNames = {"a.txt"};
    }
    f.MarkMailTextModified();
    SetStateValue("lastOpenedFile", c.current ? dir / "alt.qm" : "");
    ui.dialogAnswers.push_back(c.answer);
    if (c.saveAs) ui.saveAnswers.push_back(dir / *c.saveAs);

    f.NewProject();

    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(ui.dialogs[0].text, kQuestion);
    EXPECT_EQ(ui.dialogs[0].kind, MsgDlgType::Warning);
    EXPECT_EQ(ui.dialogs[0].buttons, (std::vector<MsgDlgBtn>{MsgDlgBtn::Yes, MsgDlgBtn::No, MsgDlgBtn::Cancel}));
    EXPECT_EQ(ui.dialogs[0].captions, (std::vector<std::string>{"Ja", "Nein", "Abbrechen"}));
    const std::string target = c.current ? dir / "alt.qm" : dir / (c.saveAs ? *c.saveAs : "none");
    EXPECT_EQ(ReadFileBytes(target), c.saved ? "1\r\n0\r\n1\r\ngeändert\r\na.txt\r\n" : "");
    EXPECT_EQ(f.AttachmentNames().empty(), c.goesOn);
    EXPECT_EQ(qm::FileExists(dir / "progstate.qms"), c.goesOn);
    EXPECT_EQ(f.IsModified(), !c.goesOn);
  }
}

TEST_F(Project, SaveAndSaveAs) {
  {
    std::unique_lock lk(f.ProjectMutex());
    f.M_Signatur_HTML = {"#givenName#"};
  }
  f.MarkSignatureModified();

  f.SaveProject();  // no current file, dialog cancelled: nothing
  ASSERT_EQ(ui.saveDialogs.size(), 1u);
  EXPECT_EQ(ui.saveDialogs[0].filter, "Quillmark 2.0 Projekte (*.qm)|*.qm");
  EXPECT_EQ(ui.saveDialogs[0].defaultExt, ".qm");
  EXPECT_TRUE(ui.saveDialogs[0].overwritePrompt);
  EXPECT_TRUE(f.IsModified());
  EXPECT_TRUE(ui.titles.empty());

  // Writing fails: shown, flags and title unchanged.
  ui.saveAnswers.push_back(dir / "fehlt/p.qm");
  f.SaveProject();
  EXPECT_EQ(ui.errors, std::vector<std::string>{"I/O Fehler: No such file or directory"});
  EXPECT_TRUE(f.IsModified());
  EXPECT_TRUE(ui.titles.empty());

  ui.saveAnswers.push_back(dir / "p.qm");
  f.SaveProjectAs();
  EXPECT_EQ(ReadFileBytes(dir / "p.qm"), "0\r\n1\r\n0\r\n#givenName#\r\n");
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "p.qm");
  EXPECT_FALSE(f.IsModified());
  EXPECT_EQ(f.Title(), "Quillmark 2.2 - p.qm");

  f.SaveProjectAs();  // cancelled: nothing changes
  EXPECT_EQ(GetStateValue("lastOpenedFile"), dir / "p.qm");
  f.MarkMailTextModified();
  f.SaveProject();  // to the current file, no dialog
  EXPECT_EQ(ui.saveDialogs.size(), 4u);
  EXPECT_FALSE(f.IsModified());
}

TEST_F(Project, AddingAttachmentsAndPictures) {
  OpenOld();
  { std::unique_lock lk(f.ProjectMutex()); f.LB_Felder.push_back({"sn", PlaceholderEntry::Field}); }

  // Cancelled dialogs change nothing.
  f.AddAttachment();
  f.AddPicture();
  EXPECT_FALSE(f.IsModified());
  ASSERT_EQ(ui.openDialogs.size(), 2u);
  EXPECT_EQ(ui.openDialogs[0].filter, "Alle Dateien (*.*)|*.*");
  EXPECT_EQ(ui.openDialogs[1].filter,
            "CompuServe Gif (*.gif)|*.gif|JPEG (*.jpg, *.jpeg)|*.jpg;*.jpeg|PNG (*.png)|*.png");
  for (const auto& o : ui.openDialogs) {
    EXPECT_TRUE(o.fileMustExist);
    EXPECT_TRUE(o.noRecentDocuments);
  }

  // A picture is appended to the catalogue without a rebuild.
  ui.openAnswers.push_back(Source("foto.jpeg", "JPEG"));
  f.AddPicture();
  EXPECT_EQ(f.AttachmentNames(), (qm::TextList{"logo.gif", "foto.jpeg"}));
  EXPECT_EQ(Names(f.PlaceholderEntries()), (std::vector<std::string>{"logo.gif", "sn", "foto.jpeg"}));
  EXPECT_EQ(ReadFileBytes(dir / "temp/foto.jpeg"), "JPEG");
  EXPECT_TRUE(f.mailTextModified);
  EXPECT_FALSE(f.signatureModified);

  // An attachment is appended and the catalogue rebuilt (image names only).
  ui.openAnswers.push_back(Source("x.JPG", "X"));
  f.AddAttachment();
  EXPECT_EQ(Names(f.PlaceholderEntries()), (std::vector<std::string>{"logo.gif", "foto.jpeg", "x.JPG"}));
  EXPECT_EQ(ReadFileBytes(dir / "temp/x.JPG"), "X");

  // Re-adding a listed name in another spelling adds no entry but refreshes
  // the listed file's stored copy.
  WriteFileBytes(dir / "temp/logo.gif", "alt");
  for (int how = 0; how < 2; ++how) {
    SCOPED_TRACE(how);
    ui.openAnswers.push_back(Source("Logo.gif", how ? "neu2" : "neu1"));
    how ? f.AddAttachment() : f.AddPicture();
    EXPECT_EQ(f.AttachmentNames(), (qm::TextList{"logo.gif", "foto.jpeg", "x.JPG"}));
    EXPECT_EQ(ReadFileBytes(dir / "temp/logo.gif"), how ? "neu2" : "neu1");
    EXPECT_FALSE(qm::FileExists(dir / "temp/Logo.gif"));
  }
  EXPECT_EQ(Names(f.PlaceholderEntries()), (std::vector<std::string>{"logo.gif", "foto.jpeg", "x.JPG"}));

  // A PNG logo, whichever way it comes in, is an image placeholder too.
  ui.openAnswers.push_back(Source("Logo.PNG", "PNG"));
  f.AddAttachment();
  ui.openAnswers.push_back(Source("bild.png", "PNG"));
  f.AddPicture();
  EXPECT_EQ(Names(f.PlaceholderEntries()),
            (std::vector<std::string>{"logo.gif", "foto.jpeg", "x.JPG", "Logo.PNG", "bild.png"}));
}

TEST_F(Project, RemovingAnAttachment) {
  WriteFileBytes(dir / "p.qm", "0\r\n0\r\n3\r\nlogo.gif\r\nLies.txt\r\n../draussen.txt\r\n");
  f.OpenProject(dir / "p.qm");
  WriteFileBytes(dir / "temp/logo.gif", "GIF");
  WriteFileBytes(dir / "draussen.txt", "bleibt");

  f.RemoveAttachment();  // nothing selected: not even asked
  EXPECT_TRUE(ui.dialogs.empty());

  f.LB_shortNamesItemIndex = 0;
  ui.dialogAnswers.push_back(ModalResult::Cancel);  // "Nein"
  f.RemoveAttachment();
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0].text, "logo.gif wirklich abhängen?");
  EXPECT_EQ(ui.dialogs[0].kind, MsgDlgType::Warning);
  EXPECT_EQ(ui.dialogs[0].buttons, (std::vector<MsgDlgBtn>{MsgDlgBtn::Ok, MsgDlgBtn::Cancel}));
  EXPECT_EQ(ui.dialogs[0].captions, (std::vector<std::string>{"Ja", "Nein"}));
  EXPECT_EQ(f.AttachmentNames().size(), 3u);
  EXPECT_TRUE(qm::FileExists(dir / "temp/logo.gif"));
  EXPECT_FALSE(f.IsModified());

  ui.dialogAnswers.push_back(ModalResult::Ok);  // "Ja"
  f.RemoveAttachment();
  EXPECT_EQ(f.AttachmentNames(), (qm::TextList{"Lies.txt", "../draussen.txt"}));
  EXPECT_FALSE(qm::FileExists(dir / "temp/logo.gif"));
  EXPECT_TRUE(f.PlaceholderEntries().empty());
  EXPECT_TRUE(f.mailTextModified);
  EXPECT_EQ(f.LB_shortNamesItemIndex, -1);

  // A name that points outside the attachment store leaves files alone.
  f.LB_shortNamesItemIndex = 1;
  ui.dialogAnswers.push_back(ModalResult::Ok);
  f.RemoveAttachment();
  EXPECT_EQ(f.AttachmentNames(), qm::TextList{"Lies.txt"});
  EXPECT_EQ(ReadFileBytes(dir / "draussen.txt"), "bleibt");
}
