// The data directory: its choice (QM_DATA_DIR, the setting file beside the
// program, the program's own directory), and what a shared one changes:
// group-writable files, profiles for owner and group, shipped files found
// where they were installed.

#include "base/DataDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "TestDir.h"
#include "base/ULog.h"
#include "base/UUtils.h"
#include "platform/instance/InstanceLock.h"
#include "settings/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

// QM_DATA_DIR set or removed for one test; the process's own state (umask,
// directories, the shared flag) restored afterwards.
class DataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QM_DATA_DIR");
    umask_ = ::umask(0022);
    ::umask(umask_);
  }
  void TearDown() override {
    ::unsetenv("QM_DATA_DIR");
    ::umask(umask_);
    qm::SetSharedDataDirectory(false);
    qm::SetInstallDirectory("");
    qm::SetProgramDirectory("");
  }
  std::string Exe() const { return dir / "prog/"; }
  void Setting(const std::string& text) const {
    fs::create_directories(Exe());
    WriteFileBytes(Exe() + "quillmark.conf", text);
  }
  TestDir dir;
  mode_t umask_ = 0;
};

}  // namespace

TEST(DataDirSetting, ValueOfTheDataDirLine) {
  struct {
    const char* text;
    const char* value;
  } cases[] = {
      {"data-dir=/var/lib/quillmark\n", "/var/lib/quillmark"},
      {"  data-dir =  /srv/qm  \r\n", "/srv/qm"},
      {"# data-dir=/commented\n; data-dir=/also\n", ""},
      {"other=1\ndata-dir=/first\n\ndata-dir=/last", "/last"},
      {"data-dir\n", ""},
      {"data-dir=\n", ""},
      {"data-dirx=/no\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(qm::ParseDataDirSetting(c.text), c.value);
  }
}

TEST_F(DataDir, WithoutSettingItIsTheExecutablesDirectoryUnshared) {
  fs::create_directories(Exe());
  qm::DataDirectoryChoice c = qm::ResolveDataDirectory(Exe());
  EXPECT_EQ(c.dir, Exe());
  EXPECT_FALSE(c.shared);
  EXPECT_EQ(c.error, "");

  // A setting file without the line changes nothing either.
  Setting("# nothing set\n");
  c = qm::ResolveDataDirectory(Exe());
  EXPECT_EQ(c.dir, Exe());
  EXPECT_FALSE(c.shared);
}

TEST_F(DataDir, EnvironmentBeforeSettingFileBothCreatedAndCanonical) {
  const std::string fromFile = dir / "var/lib/qm";  // not there yet
  Setting("data-dir=" + fromFile + "\n");
  qm::DataDirectoryChoice c = qm::ResolveDataDirectory(Exe());
  EXPECT_EQ(c.error, "");
  EXPECT_TRUE(c.shared);
  EXPECT_EQ(c.dir, fromFile + "/");
  EXPECT_EQ(c.source, Exe() + "quillmark.conf");
  EXPECT_TRUE(qm::DirectoryExists(fromFile)) << "created with its parents";

  // The environment wins; a link and a trailing '/' spell the same
  // directory, so its programs share one instance lock.
  fs::create_directories(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  ::setenv("QM_DATA_DIR", (dir / "link/").c_str(), 1);
  c = qm::ResolveDataDirectory(Exe());
  EXPECT_EQ(c.error, "");
  EXPECT_EQ(c.source, "QM_DATA_DIR");
  EXPECT_EQ(c.dir, dir / "real/");
  ::setenv("QM_DATA_DIR", (dir / "real").c_str(), 1);
  EXPECT_EQ(qm::ResolveDataDirectory(Exe()).dir, dir / "real/");

  // An empty variable counts as not set.
  ::setenv("QM_DATA_DIR", "", 1);
  EXPECT_EQ(qm::ResolveDataDirectory(Exe()).dir, fromFile + "/");
}

TEST_F(DataDir, SomethingElseThanADirectoryIsNamedAsTheError) {
  WriteFileBytes(dir / "plain", "x");
  ::setenv("QM_DATA_DIR", (dir / "plain").c_str(), 1);
  qm::DataDirectoryChoice c = qm::ResolveDataDirectory(Exe());
  EXPECT_NE(c.error.find(dir / "plain/"), std::string::npos) << c.error;
  EXPECT_NE(c.error.find("QM_DATA_DIR"), std::string::npos) << c.error;
}

TEST_F(DataDir, InstanceLockPerDataDirectory) {
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  ::setenv("QM_DATA_DIR", (dir / "a").c_str(), 1);
  const std::string a = qm::ResolveDataDirectory(Exe()).dir;
  ::setenv("QM_DATA_DIR", (dir / "b").c_str(), 1);
  const std::string b = qm::ResolveDataDirectory(Exe()).dir;
  auto lockA = qm::InstanceLock::Claim(qm::InstanceLockName(a));
  ASSERT_NE(lockA, nullptr);
  EXPECT_NE(qm::InstanceLock::Claim(qm::InstanceLockName(b)), nullptr) << "another data directory runs beside it";
  bool taken = false;
  EXPECT_EQ(qm::InstanceLock::Claim(qm::InstanceLockName(a), &taken), nullptr);
  EXPECT_TRUE(taken) << "one data directory, one engine";
}

// Shared: files come out group-writable and never for others, the profile
// (passwords) owner and group only, also one that was world-readable; the
// shipped answer page is taken from the installation unless the data
// directory has its own.
TEST_F(DataDir, SharedDirectoryFileModesAndShippedFiles) {
  fs::create_directories(Exe());
  WriteFileBytes(Exe() + "ResponsePage.htm", "installed");
  ::setenv("QM_DATA_DIR", (dir / "data").c_str(), 1);
  ::umask(0022);  // an administrator's usual umask
  qm::DataDirectoryChoice c = qm::ResolveDataDirectory(Exe());
  ASSERT_EQ(c.error, "");
  qm::UseDataDirectory(c, Exe());
  EXPECT_EQ(qm::ProgramDirectory(), dir / "data/");
  EXPECT_EQ(qm::InstallDirectory(), Exe());

  auto mode = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  };
  qm::WriteWholeFile(dir / "data/progstate.qms", "state");
  EXPECT_EQ(mode(dir / "data/progstate.qms"), 0660u);
  {
    TEventLog log(dir / "data/", nullptr);
    log.WriteLog("Zeile", ltError);
  }
  EXPECT_EQ(mode(dir / "data/signatur.log"), 0660u);

  qm::SettingsStore store;
  ASSERT_TRUE(store.WriteProfile("default"));
  EXPECT_EQ(mode(dir / "data/default.config"), 0660u);
  ::chmod((dir / "data/default.config").c_str(), 0644);
  ASSERT_TRUE(store.WriteProfile("default"));
  EXPECT_EQ(mode(dir / "data/default.config"), 0660u);

  EXPECT_EQ(qm::ShippedFile("ResponsePage.htm"), Exe() + "ResponsePage.htm");
  WriteFileBytes(dir / "data/ResponsePage.htm", "own");
  EXPECT_EQ(qm::ShippedFile("ResponsePage.htm"), dir / "data/ResponsePage.htm");
}

// The program's own directory keeps the rules it always had: the profile for
// the owner only, the umask left alone.
TEST_F(DataDir, UnsharedDirectoryKeepsOwnerOnlyProfiles) {
  fs::create_directories(Exe());
  ::umask(0022);
  qm::UseDataDirectory(qm::ResolveDataDirectory(Exe()), Exe());
  const mode_t now = ::umask(0022);
  EXPECT_EQ(now, 0022u);
  qm::SettingsStore store;
  ASSERT_TRUE(store.WriteProfile("default"));
  struct stat st {};
  ASSERT_EQ(::stat((Exe() + "default.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(qm::ShippedFile("ResponsePage.htm"), Exe() + "ResponsePage.htm");
}
