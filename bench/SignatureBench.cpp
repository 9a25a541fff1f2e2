// Generation of one signature (40-line HTML template, 20 field placeholders)
// against a 10,000-row SQLite table through unixODBC and against a slapd with
// 10,000 users: the time of MakeSignature beside the time of its lookup cycle
// alone (FindUser, the 20 GetFieldValue calls, CloseConnection), measured
// alternately in one run; then the time of one rich-text conversion through
// LibreOffice.
//
//   build/bench/bench_signature [rounds]

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestImage.h"
#include "directory/UDBUtil.h"
#include "signature/URichText.h"
#include "settings/USetting.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsers = 10000;
const std::vector<std::string> kFields = {"mail",        "givenName",   "sn",
                                          "telephoneNumber", "otherTelephone", "company",
                                          "title",       "description", "l",
                                          "st",          "street",      "postalCode",
                                          "mobile",      "facsimileTelephoneNumber", "displayName",
                                          "initials",    "employeeNumber", "departmentNumber",
                                          "physicalDeliveryOfficeName", "pager"};

std::string Mail(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "user%05d@example.test", i);
  return buf;
}

qm::TextList Template() {
  qm::TextList t = {"<html><head><meta charset=\"utf-8\"></head><body>",
                    "<table cellpadding=\"0\" cellspacing=\"0\" style=\"font-family:Arial\">",
                    "<tr><td><img src=\"cid:logo.gif\"/></td></tr>"};
  for (const auto& f : kFields) t.push_back("<tr><td>" + f + ":</td><td>#" + f + "#</td></tr>");
  while (t.size() < 38) t.push_back("<tr><td style=\"color:#336699\">&nbsp;</td></tr>");
  t.push_back("</table>");
  t.push_back("</body></html>");
  return t;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Result {
  std::string name;
  double lookup, make;
};

// Alternates the lookup cycle alone and the whole generation, switching which
// goes first every round, so that drift and caching weigh on both alike.
Result Measure(const std::string& name, TForm_main& form, TFDBUtil& db, int rounds) {
  const std::string address = Mail(kUsers - 123);
  std::vector<double> lookup, make;
  auto lookupOnly = [&] {
    auto t0 = Clock::now();
    db.FindUser(address);
    for (const auto& f : kFields) db.GetFieldValue(address, f);
    db.CloseConnection();
    return Ms(Clock::now() - t0);
  };
  auto generation = [&] {
    auto t0 = Clock::now();
    form.MakeSignature(address);
    return Ms(Clock::now() - t0);
  };
  for (int r = 0; r < rounds + 1; ++r) {
    double l, m;
    if (r % 2) {
      l = lookupOnly();
      m = generation();
    } else {
      m = generation();
      l = lookupOnly();
    }
    if (r == 0) continue;  // warm-up
    lookup.push_back(l);
    make.push_back(m);
  }
  return {name, Median(lookup), Median(make)};
}

// MakeSignature without a directory object: copying, substitution skipped,
// both files written, the .rtf check. The fixed cost that any lookup carries.
// Wall time and this thread's CPU time (user and system), medians; the CPU
// time is what the work itself costs when the machine is busy with others.
std::pair<double, double> FilesOnly(TForm_main& form, const TForm_main::Collaborators& wired, int rounds) {
  auto cpuMs = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
  };
  form.Wire({nullptr, wired.settings, wired.mail});
  std::vector<double> wall, cpu;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    double c0 = cpuMs();
    form.MakeSignature(Mail(kUsers - 123));
    cpu.push_back(cpuMs() - c0);
    wall.push_back(Ms(Clock::now() - t0));
  }
  form.Wire(wired);
  return {Median(wall), Median(cpu)};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  TestEngine e;
  e.UseRealWordProcessor();
  const TestDir& dir = e.dir;
  const RecordingUserInterface& ui = e.ui;
  TForm_main& form = *e.main;
  form.SetVerbosity(2);  // errors only, so the log file does not weigh on either side
  TFSettings& settings = *e.settings;
  TFDBUtil& db = *e.db;
  form.M_Signatur_HTML = Template();
  for (const auto& f : kFields) form.LB_Felder.push_back({f, PlaceholderEntry::Field});
  form.LB_Felder.push_back({"logo.gif", PlaceholderEntry::Image});

  std::fprintf(stderr, "setting up %d users in SQLite and slapd...\n", kUsers);
  OdbcFixture odbc;
  {
    std::string cols, values;
    for (const auto& f : kFields) {
      cols += (cols.empty() ? "" : ", ") + f + " TEXT";
      values += values.empty() ? "printf('user%05d@example.test', i)" : ", '" + f + " ' || i";
    }
    odbc.Execute("CREATE TABLE bench (" + cols + ")");
    odbc.Execute("INSERT INTO bench WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < " +
                 std::to_string(kUsers) + ") SELECT " + values + " FROM c");
  }
  SlapdFixture ldap;
  for (int i = 1; i <= kUsers; ++i) {
    SlapdFixture::Attributes a = {{"objectClass", {"user"}}, {"objectCategory", {"person"}}, {"cn", {Mail(i)}}};
    for (const auto& f : kFields) a.push_back({f, {f == "mail" ? Mail(i) : f + " " + std::to_string(i)}});
    ldap.AddEntry("cn=" + Mail(i) + "," + ldap.UsersDn(), a);
  }
  ldap.Start();

  std::vector<Result> results;
  {
    DirectorySettings d;
    d.odbcSource = odbc.Dsn();
    d.table = "bench";
    d.mailField = "mail";
    settings.SetDirectorySettings(d);
    settings.SetGeneralSettings(GeneralSettings{});
    db.ConfigureConnection(d.odbcSource, d.table, "", "", "", "");
    results.push_back(Measure("SQLite via ODBC, 10,000 rows", form, db, rounds));
  }
  {
    GeneralSettings g;
    g.useAD = true;
    g.adPath = ldap.AdsPath();
    g.adUserId = ldap.BindDn();
    g.adPassword = ldap.BindPassword();
    std::string list;
    for (const auto& f : kFields) list += (list.empty() ? "" : ",") + f;
    g.fieldNames1 = list;
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", g.adUserId, g.adPassword);
    results.push_back(Measure("slapd, 10,000 users", form, db, rounds));
  }
  for (const auto& l : ui.LogLines()) std::fprintf(stderr, "log: %s\n", l.c_str());

  std::printf("MakeSignature (40 lines, 20 field placeholders), median of %d rounds\n", rounds);
  std::printf("%-32s %14s %16s %10s\n", "directory", "lookup (ms)", "MakeSignature (ms)", "overhead");
  for (const auto& r : results)
    std::printf("%-32s %14.3f %16.3f %9.1f%%\n", r.name.c_str(), r.lookup, r.make,
                100.0 * (r.make - r.lookup) / r.lookup);

  auto [filesWall, filesCpu] = FilesOnly(form, {&db, &settings.Store(), e.mail}, rounds * 10);
  std::printf("%-32s %14s %16.3f   (CPU time of that: %.3f ms)\n", "no directory (files only)", "-", filesWall,
              filesCpu);

  if (qm::wordproc::FindSoffice().empty()) {
    std::printf("LibreOffice conversion: soffice not installed\n");
    return 0;
  }
  WriteFileBytes(dir.Path() + "temp/logo.gif", SmallGifImage());
  std::vector<double> conv;
  for (int r = 0; r < 3; ++r) {
    auto t0 = Clock::now();
    bool ok = form.RichText().ConvertToRtf(dir.Path() + "temp/" + Mail(kUsers - 123) + ".htm");
    conv.push_back(Ms(Clock::now() - t0));
    if (!ok) std::printf("conversion %d failed\n", r);
  }
  std::printf("LibreOffice conversion of that signature to RTF: median %.0f ms (of 3: %.0f, %.0f, %.0f)\n",
              Median(conv), conv[0], conv[1], conv[2]);
  return 0;
}
