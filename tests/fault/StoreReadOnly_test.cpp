// The attachment store (temp/) cannot be written: a tmpfs mounted on it and
// remounted read-only, which stops root as well. A "/make" request fails
// after the one retry with the documented log line and answer, leaves the
// files that were there whole and adds none, frees the locks, and the next
// request succeeds once the store is writable again. A signature the files
// already hold needs no write and is answered from them.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>

#include "FaultSupport.h"
#include "HttpFaultRig.h"
#include "base/UText.h"

namespace {

std::set<std::string> StoreFiles(const std::string& store) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(store)) names.insert(e.path().filename().string());
  return names;
}

}  // namespace

TEST(StoreReadOnly, MakeFailsWholeAndSucceedsOnceWritable) {
  HttpFaultRig rig;
  TmpfsMount mount(rig.Store(), "1m");
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << "); read-only store skipped";
  WriteFileBytes(rig.Store("logo.gif"), "GIF89a");  // the mount hides what lay below it
  std::atomic<int> retries{0};
  rig.form.SetRetryWait([&](std::chrono::milliseconds d) {
    if (d == std::chrono::seconds(3)) ++retries;
  });

  const std::string before = "user00001@example.test", fresh = "user00002@example.test";
  ASSERT_EQ(rig.Make(before).body, HttpFaultRig::FileList(before));
  const std::string oldTxt = ReadFileBytes(rig.Store(before + ".txt"));
  const std::string oldHtm = ReadFileBytes(rig.Store(before + ".htm"));
  ASSERT_EQ(oldTxt, "<p>Given1 Surname1</p>\r\n");
  const auto filesBefore = StoreFiles(rig.Store());

  if (!mount.SetReadOnly(true)) GTEST_SKIP() << "cannot remount read-only here (" << mount.Error() << ")";
  // A new template: the files of the earlier request must be rewritten.
  const qm::TextList original = rig.form.M_Signatur_HTML;
  const qm::TextList changed = {"<p>#sn#, #givenName#</p>"};
  rig.form.M_Signatur_HTML = changed;
  struct {
    const char* why;
    std::string address;
  } cases[] = {
      {"generated before: its files stay as they were", before},
      {"never generated: no file appears", fresh},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::size_t mark = rig.LogMark();
    const int retriesBefore = retries;
    RawHttpReply r = rig.Make(c.address);
    ASSERT_TRUE(r.answered) << r.raw;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, HttpFaultRig::Page("ERROR - Brenlo Quillmark: Fehler in \"makeSignature\"."));
    const auto log = rig.LogSince(mark);
    const std::vector<std::string> tail = {"Fehler in \"makeSignature\". Read-only file system",
                                           "Signatur erstellt für: " + c.address};
    ASSERT_GE(log.size(), tail.size()) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()), tail) << qm::JoinLinesCrLf(log);
    EXPECT_EQ(retries - retriesBefore, 1) << "one retry after three seconds, then the failure";
    EXPECT_EQ(GetStateValue("LStatusHTTP"), "1") << "a failed generation is not counted";
    EXPECT_EQ(StoreFiles(rig.Store()), filesBefore) << "no file added, no temporary file left";
    EXPECT_EQ(ReadFileBytes(rig.Store(before + ".txt")), oldTxt);
    EXPECT_EQ(ReadFileBytes(rig.Store(before + ".htm")), oldHtm);
    EXPECT_TRUE(rig.LocksFree());
  }

  // The template the files were made with: nothing to write, the answer
  // names the files that are there.
  rig.form.M_Signatur_HTML = original;
  EXPECT_EQ(rig.Make(before).body, HttpFaultRig::FileList(before));
  EXPECT_EQ(ReadFileBytes(rig.Store(before + ".txt")), oldTxt);
  EXPECT_EQ(StoreFiles(rig.Store()), filesBefore);
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "2");
  rig.form.M_Signatur_HTML = changed;

  ASSERT_TRUE(mount.SetReadOnly(false)) << mount.Error();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(rig.Make(c.address).body, HttpFaultRig::FileList(c.address));
  }
  EXPECT_EQ(ReadFileBytes(rig.Store(fresh + ".txt")), "<p>Surname2, Given2</p>\r\n");
  EXPECT_EQ(ReadFileBytes(rig.Store(before + ".txt")), "<p>Surname1, Given1</p>\r\n");
  EXPECT_EQ(GetStateValue("LStatusHTTP"), "4");
  EXPECT_TRUE(rig.LocksFree());
}
