// The service program with a data directory (QM_DATA_DIR): its files are
// read and written there, its answer page still comes from beside the
// program, its files are made for owner and group, and the instance lock
// belongs to the data directory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "RawHttp.h"
#include "ServiceTestSupport.h"
#include "TestDir.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

using svctest::ProgramDir;
using svctest::WaitUntil;

namespace {

// A data directory with a profile serving HTTP on `port` and its state.
std::string PrepareData(const std::string& root, const std::string& name, std::uint16_t port) {
  const std::string data = root + name + "/";
  std::filesystem::create_directories(data);
  GeneralSettings g;
  g.httpServerActive = true;
  g.httpPort = port;
  g.sendAs = "body";
  svctest::WriteProfile(data + "default.config", {}, {}, g);
  ClearState();
  SetStateValue("profileName", "default");
  qm::SetProgramDirectory(data);
  SaveState();
  ClearState();
  return data;
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace

TEST(ServiceDataDirectory, FilesLiveInTheDataDirectoryTheLockWithIt) {
  ProgramDir p;
  const std::uint16_t portA = FreeLoopbackPort();
  const std::string a = PrepareData(p.Root(), "a", portA);

  ::setenv("QM_DATA_DIR", a.c_str(), 1);
  ::unsetenv("QM_SCM_SERVICE");
  svctest::Child first({p.Exe()}, p.Root() + "first.txt");
  ASSERT_GT(first.Pid(), 0);
  RawHttpReply reply;
  ASSERT_TRUE(WaitUntil([&] {
    reply = RawHttpExchange(portA, RawHttpGet("/make?nobody@example.test"));
    return reply.answered;
  })) << ReadFileBytes(p.Root() + "first.txt");
  // The answer page is the one installed beside the program.
  EXPECT_NE(reply.body.find("ist unbekannt"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find("<html"), std::string::npos) << reply.body;

  // A second program on the same data directory is refused.
  qm::scm::CommandResult second = p.Run({});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.output.find("Das Programm wird bereits ausgeführt!"), std::string::npos) << second.output;

  // One on another data directory runs beside it.
  const std::uint16_t portB = FreeLoopbackPort();
  const std::string b = PrepareData(p.Root(), "b", portB);
  ::setenv("QM_DATA_DIR", b.c_str(), 1);
  svctest::Child other({p.Exe()}, p.Root() + "other.txt");
  ::unsetenv("QM_DATA_DIR");
  ASSERT_GT(other.Pid(), 0);
  EXPECT_TRUE(WaitUntil([&] { return RawHttpExchange(portB, RawHttpGet("/make?x@example.test")).answered; }))
      << ReadFileBytes(p.Root() + "other.txt");

  first.Signal(SIGTERM);
  other.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(other.Wait(), 0);

  // The log is in the data directory, for owner and group (umask 0007),
  // and nothing was written beside the program.
  EXPECT_NE(ReadFileBytes(a + "signatur.log").find("HTTP Request erhalten"), std::string::npos);
  EXPECT_EQ(Mode(a + "signatur.log"), 0660u);
  EXPECT_FALSE(qm::FileExists(p.Prog() + "signatur.log"));
  EXPECT_FALSE(qm::FileExists(p.Prog() + "default.config"));
  EXPECT_FALSE(qm::FileExists(p.Prog() + "progstate.qms"));
}

// /CONFIG writes the data directory's profile, for owner and group only.
TEST(ServiceDataDirectory, ConfigWritesTheSharedProfileForOwnerAndGroup) {
  ProgramDir p;
  const std::string a = PrepareData(p.Root(), "a", 18124);
  ::chmod((a + "default.config").c_str(), 0644);
  ::setenv("QM_DATA_DIR", a.c_str(), 1);
  qm::scm::CommandResult set = p.Run({"/CONFIG", "smtpHost=mail.example.test"});
  qm::scm::CommandResult show = p.Run({"/CONFIG"});
  ::unsetenv("QM_DATA_DIR");
  EXPECT_EQ(set.exitCode, 0) << set.output;
  EXPECT_EQ(Mode(a + "default.config"), 0660u);
  EXPECT_NE(show.output.find("\nsmtpHost=mail.example.test\n"), std::string::npos) << show.output;
  EXPECT_NE(show.output.find("\nhttpPort=18124\n"), std::string::npos) << show.output;
  EXPECT_FALSE(qm::FileExists(p.Prog() + "default.config"));

  // A data directory that cannot be one: named, nothing started.
  WriteFileBytes(p.Root() + "plain", "x");
  ::setenv("QM_DATA_DIR", (p.Root() + "plain").c_str(), 1);
  qm::scm::CommandResult refused = p.Run({"/CONFIG"});
  ::unsetenv("QM_DATA_DIR");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find(p.Root() + "plain/"), std::string::npos) << refused.output;
}
