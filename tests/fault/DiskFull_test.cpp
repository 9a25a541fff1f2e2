// A full disk under the program directory (a 64 KiB tmpfs): saving the
// program state, a profile and a project file fails with the documented
// report, leaves the last good file whole and leaves no stray temporary
// file; once there is room again the next save succeeds.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "FaultSupport.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "signature/USaveSig.h"
#include "settings/USetting.h"
#include "base/UUtils.h"

namespace {

std::string LogText(const std::string& dir) {
  try {
    return qm::ReadWholeFile(dir + "signatur.log");
  } catch (...) {
    return {};
  }
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(DiskFull, SavesFailWholeAndSucceedOnceThereIsRoom) {
  TestDir outer;
  const std::string dir = outer / "prog/";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  TmpfsMount mount(dir, "64k");
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << "); disk-full cases skipped";

  RecordingUserInterface ui;
  TForm_main form(dir, ui, ProgramKind::Service);
  TFDBUtil db{[] { return DirectoryLookupSettings{}; }, ui};
  TFSettings settings{ui, db};
  ClearState();

  // The last good state: program state, a profile and a project.
  SetStateValue("LStatusHTTP", "5");
  SaveState();
  MailSettings mail;
  mail.pop3Host = "pop.example.test";
  mail.pop3Password = "geheim";
  settings.SetMailSettings(mail);
  settings.CB_profil = "default";
  settings.SaveSettings();
  form.M_text = {"Hallo"};
  form.M_Signatur_HTML = {"<p>#givenName#</p>"};
  form.SaveProjectFile(dir + "projekt.qm");
  form.WriteLog("vor dem vollen Datenträger", ltInformation);  // the log keeps a page with room
  const std::string goodState = qm::ReadWholeFile(dir + "progstate.qms");
  const std::string goodProfile = qm::ReadWholeFile(dir + "default.config");
  const std::string goodProject = qm::ReadWholeFile(dir + "projekt.qm");
  ASSERT_EQ(goodState.size(), kStateFileSize);
  ASSERT_EQ(goodProfile.size(), kProfileSize);

  const std::string filler = FillDisk(dir);

  SetStateValue("LStatusHTTP", "6");
  SaveState();
  mail.pop3Host = "anders.example.test";
  settings.SetMailSettings(mail);
  settings.SaveSettings();
  form.M_text = {"Neuer Text"};
  EXPECT_THROW(form.SaveProjectFile(dir + "projekt.qm"), qm::EInOutError);

  EXPECT_EQ(Count(LogText(dir), ": I/O Fehler: No space left on device\r\n"), 2u) << LogText(dir);
  EXPECT_EQ(qm::ReadWholeFile(dir + "progstate.qms"), goodState) << "a failed save keeps the old state file";
  EXPECT_EQ(qm::ReadWholeFile(dir + "default.config"), goodProfile) << "a failed save keeps the old profile";
  EXPECT_EQ(qm::ReadWholeFile(dir + "projekt.qm"), goodProject) << "a failed save keeps the old project";
  for (const auto& e : std::filesystem::directory_iterator(dir))
    EXPECT_NE(e.path().extension(), ".tmp") << "stray temporary file " << e.path();

  // Room again: the same saves succeed.
  ASSERT_EQ(::unlink(filler.c_str()), 0);
  SaveState();
  settings.SaveSettings();
  form.SaveProjectFile(dir + "projekt.qm");
  ClearState();
  LoadState(dir + "progstate.qms");
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "6");
  MailSettings m2;
  DirectorySettings d2;
  GeneralSettings g2;
  const std::string profile = qm::ReadWholeFile(dir + "default.config");
  ASSERT_EQ(profile.size(), kProfileSize);
  DecodeProfile(reinterpret_cast<const std::uint8_t*>(profile.data()), m2, d2, g2);
  EXPECT_EQ(m2.pop3Host, "anders.example.test");
  qm::TextList t, s, n;
  LoadProjectFile(dir + "projekt.qm", t, s, n);
  EXPECT_EQ(t, qm::TextList{"Neuer Text"});
  ClearState();
}

TEST(DiskFull, LogLineThatDoesNotFitStaysOnScreenAndTheNextOneIsWritten) {
  // With no byte left, a log line cannot be written: it still reaches the
  // screen with the failure after it, and the caller goes on (the HTTP server
  // and the poll with an unwritable log are in LogUnwritable_test).
  TestDir outer;
  const std::string dir = outer / "prog/";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  TmpfsMount mount(dir, "64k");
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << "); disk-full cases skipped";
  RecordingUserInterface ui;
  TForm_main form(dir, ui);  // the desktop program: a screen line too
  ClearState();
  const std::string filler = FillDisk(dir);
  EXPECT_NO_THROW(form.WriteLog("kein Platz", ltError));
  const auto screen = ui.LogLines();
  ASSERT_EQ(screen.size(), 2u);
  EXPECT_EQ(screen[0].substr(21), "kein Platz");
  EXPECT_EQ(screen[1].substr(21), "I/O Fehler: No space left on device (" + dir + "signatur.log)");
  EXPECT_EQ(LogText(dir), "") << "nothing of the line reached the file";
  ASSERT_EQ(::unlink(filler.c_str()), 0);
  form.WriteLog("wieder Platz", ltError);
  EXPECT_NE(LogText(dir).find(": wieder Platz\r\n"), std::string::npos);
  ClearState();
}
