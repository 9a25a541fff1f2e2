// The word processor failing behind a Rich-Text "/make" request: a fake
// soffice that hangs (and has started a child of its own), one that crashes,
// one that writes nothing, and none at all. The hanging one is killed with
// its whole process group at the (shortened) time-out; every case logs the
// documented lines, answers the RTF error page, frees the locks, and the next
// request succeeds with a working (fake) word processor.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "HttpFaultRig.h"
#include "signature/URichText.h"
#include "base/UText.h"
#include "base/UUtils.h"
#include "platform/wordproc/WordProcessor.h"

namespace {

using namespace std::chrono_literals;

void WriteScript(const std::string& path, const std::string& body) {
  WriteFileBytes(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

// Converts like soffice does as far as the engine can tell: the input named
// last, written as <name>.rtf into the directory after --outdir.
constexpr const char* kWorkingSoffice = R"(prev=""
for a in "$@"; do
  if [ "$prev" = "--outdir" ]; then out="$a"; fi
  prev="$a"
  last="$a"
done
name=$(basename "$last")
printf '{\\rtf1\\ansi converted}\n' > "$out/${name%.*}.rtf"
)";

void UseSoffice(HttpFaultRig& rig, const std::string& path, std::chrono::milliseconds timeout) {
  rig.form.RichText().SetWordProcessorFactory([path, timeout] {
    qm::wordproc::LibreOfficeOptions options;
    options.sofficePath = path;
    options.timeout = timeout;
    return qm::wordproc::CreateLibreOfficeApplication(options);
  });
}

// Orphans of the processes this test starts are handed to the test itself,
// so that it can see them end (no init process reaps them here).
struct ChildSubreaper {
  ChildSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~ChildSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

// Points TMPDIR (where every word-processor instance makes its work
// directory) at a directory of the test's own for the object's lifetime.
// Set before any thread of the test runs.
class OwnTempDir {
 public:
  explicit OwnTempDir(const std::string& dir) : dir_(dir) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~OwnTempDir() {
    if (old_)
      ::setenv("TMPDIR", old_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }
  /// Entries left whose names begin with prefix.
  std::vector<std::string> Left(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
    return out;
  }

 private:
  std::string dir_;
  std::optional<std::string> old_;
};

}  // namespace

TEST(WordProcessorFault, RichTextRequestFailsWithTheLogLinesAndRecovers) {
  ChildSubreaper subreaper;
  TestDir temp;
  OwnTempDir ownTemp(temp.Path());
  HttpFaultRig rig;
  rig.SetContentType(ctRichText);
  const std::string pidFile = rig.dir / "soffice.pid", childFile = rig.dir / "child.pid";
  const std::string argsFile = rig.dir / "soffice.args";
  const std::string working = rig.dir / "soffice-working";
  WriteScript(working, kWorkingSoffice);
  // Long enough for the script to note its process ids first.
  const auto timeout = 1500ms;

  struct {
    const char* why;
    bool hangs;
    std::string script;  // empty: no word processor installed
    std::vector<std::string> logTail;
  } cases[] = {
      {"hangs past the time-out with a child of its own", true,
       "echo \"$@\" > '" + argsFile + "'\necho $$ > '" + pidFile + "'\nsleep 30 &\necho $! > '" + childFile + "'\nwait\n",
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: LibreOffice hat nach 1500 ms nicht geantwortet und wurde beendet."}},
      {"crashes", false, "ulimit -c 0\necho 'soffice: fatal error' >&2\nkill -SEGV $$\n",
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: LibreOffice ist mit dem Status 139 beendet worden: soffice: fatal error"}},
      {"ends without writing anything", false, "echo 'no export filter'\nexit 0\n",
       {"Neue Word-Instanz geöffnet.", "Fehler in MS Word. RTF-Version ggf. nicht verfügbar.",
        "Fehlerdetails: LibreOffice hat keine RTF-Datei geschrieben: no export filter"}},
      {"not installed", false, "",
       {"MS Word konnte nicht gestartet werden. RTF-Version nicht verfügbar.",
        "Fehlerdetails: LibreOffice ist nicht installiert: " + rig.dir / "soffice-missing" +
            " wurde nicht gefunden (Debian-Paket libreoffice-writer-nogui)."}},
  };
  const std::string user = "user00001@example.test";
  int counted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::string soffice = rig.dir / "soffice-missing";
    if (!c.script.empty()) {
      soffice = rig.dir / "soffice-fake";
      WriteScript(soffice, c.script);
    }
    UseSoffice(rig, soffice, timeout);

    const std::size_t mark = rig.LogMark();
    RawHttpReply r = rig.Make(user);
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, HttpFaultRig::Page("Fehler: RTF-Version konnte nicht erstellt werden."));
    auto log = rig.LogSince(mark);
    std::vector<std::string> tail = c.logTail;
    tail.push_back("Signatur erstellt für: " + user);
    ASSERT_GE(log.size(), tail.size()) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<long>(tail.size()), log.end()), tail)
        << qm::JoinLinesCrLf(log);
    EXPECT_FALSE(qm::FileExists(rig.Store(user + ".rtf")));
    EXPECT_EQ(ownTemp.Left("qm-soffice-"), std::vector<std::string>{}) << "the instance's work directory is gone";
    EXPECT_EQ(GetStateValue("LStatusHTTP"), counted ? std::to_string(counted) : "") << "a failure is not counted";
    EXPECT_TRUE(rig.LocksFree());

    if (c.hangs) {
      ASSERT_TRUE(qm::FileExists(childFile)) << "the fake word processor did not get to start its child";
      EXPECT_NE(ReadFileBytes(argsFile).find("-env:UserInstallation=file://" + temp.Path() + "qm-soffice-"),
                std::string::npos)
          << "the instance works below the test's TMPDIR: " << ReadFileBytes(argsFile);
      // The hung word processor's process group is gone: its leader was
      // killed and reaped by the engine, its child was killed with it.
      const pid_t group = std::stoi(ReadFileBytes(pidFile));
      const pid_t child = std::stoi(ReadFileBytes(childFile));
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child) << "the child was handed to the test when its parent died";
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ran on until it ended by itself";
      EXPECT_EQ(::kill(-group, 0), -1);
      EXPECT_EQ(errno, ESRCH) << "a process of the group is still there";
      ::unlink(pidFile.c_str());
      ::unlink(childFile.c_str());
    }

    // A working word processor: the next request is answered in full.
    UseSoffice(rig, working, timeout);
    RawHttpReply ok = rig.Make(user);
    EXPECT_EQ(ok.body, HttpFaultRig::FileList(user, ".rtf"));
    ++counted;
    EXPECT_EQ(ReadFileBytes(rig.Store(user + ".rtf")), "{\\rtf1\\ansi converted}\n");
    EXPECT_EQ(GetStateValue("LStatusHTTP"), std::to_string(counted));
    EXPECT_TRUE(rig.LocksFree());
  }
}
