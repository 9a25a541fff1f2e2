// One directory lookup cycle against the command-line tools doing the same
// work, on a 10,000-row SQLite table (unixODBC) and a 10,000-entry slapd:
//   ODBC: FindUser + GetFieldValue + CloseConnection  vs  isql -b reading the
//         whole table to /dev/null
//   LDAP: the same cycle for one address              vs  ldapsearch for the
//         same filter and attributes
//   StartTLS, LDAPS: the cycle over a secured connection (certificate
//         checked against the test CA) vs ldapsearch doing the same, and
//         vs the plain cycle
// Prints the median of each side and their ratio. Run by directory_bench.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "DirectoryFixtures.h"
#include "RecordingUserInterface.h"
#include "TestCa.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"

namespace {

double MedianMs(int runs, const std::function<void()>& f) {
  for (int i = 0; i < 3; ++i) f();  // warm-up
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

void Report(const char* what, double ours, double tool, const char* toolName) {
  std::printf("%-5s cycle %8.2f ms   %-10s %8.2f ms   ratio %.2f\n", what, ours, toolName, tool, ours / tool);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::string address = "user05000@example.test";

  OdbcFixture odbc;
  odbc.CreateUsersTable();
  odbc.AddUsers(rows);
  SlapdFixture ldap;
  ldap.AddUsers(rows);
  ldap.Start();
  const TestCa& ca = TestCa::Shared();
  SlapdFixture secured;
  secured.UseTls(ca.server.cert, ca.server.key);
  secured.AddUsers(rows);
  secured.Start();

  RecordingUserInterface ui;
  qm::SettingsStore settings;
  TFDBUtil db{SettingsSourceOf(settings), ui};
  std::printf("%d rows / entries, median of %d runs\n", rows, runs);

  // ODBC.
  DirectorySettings d;
  d.odbcSource = odbc.Dsn();
  d.table = "users";
  d.mailField = "mail";
  settings.SetDirectorySettings(d);
  settings.SetGeneralSettings(GeneralSettings{});
  db.ConfigureConnection(d.odbcSource, d.table, "", "", "", "");
  double odbcOurs = MedianMs(runs, [&] {
    if (!db.FindUser(address) || db.GetFieldValue(address, "givenName") != "Given5000") std::exit(2);
    db.CloseConnection();
  });
  double odbcTool = MedianMs(runs, [&] { Run("echo 'SELECT * FROM users' | isql -b " + odbc.Dsn() + " >/dev/null"); });

  // LDAP.
  GeneralSettings g;
  g.useAD = true;
  g.adPath = ldap.AdsPath();
  g.fieldNames1 = "mail,givenName,sn,telephoneNumber,otherTelephone,company";
  settings.SetGeneralSettings(g);
  db.ConfigureConnection("", "", "", "", ldap.BindDn(), ldap.BindPassword());
  double ldapOurs = MedianMs(runs, [&] {
    if (!db.FindUser(address) || db.GetFieldValue(address, "givenName") != "Given5000") std::exit(3);
    db.CloseConnection();
  });
  double ldapTool = MedianMs(runs, [&] {
    Run("ldapsearch -x -LLL -H " + ldap.Uri() + " -D '" + ldap.BindDn() + "' -w " + ldap.BindPassword() + " -b '" +
        ldap.Suffix() + "' -E pr=1000/noprompt '(&(objectCategory=person)(objectClass=user)(mail=" + address +
        "))' mail givenName sn telephoneNumber otherTelephone company >/dev/null");
  });

  // Secured: the same cycle over StartTLS and over LDAPS.
  auto securedCycle = [&](DirectoryTransport::Security security) {
    g.adPath = security == DirectoryTransport::kLdaps ? secured.LdapsAdsPath() : secured.AdsPath();
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", secured.BindDn(), secured.BindPassword(),
                           DirectoryTransport{security, ca.caFile, true});
    return MedianMs(runs, [&] {
      if (!db.FindUser(address) || db.GetFieldValue(address, "givenName") != "Given5000") std::exit(4);
      db.CloseConnection();
    });
  };
  auto securedTool = [&](const std::string& uri, const char* startTls) {
    return MedianMs(runs, [&] {
      Run("LDAPTLS_CACERT=" + ca.caFile + " ldapsearch -x " + startTls + " -LLL -H " + uri + " -D '" +
          secured.BindDn() + "' -w " + secured.BindPassword() + " -b '" + secured.Suffix() +
          "' -E pr=1000/noprompt '(&(objectCategory=person)(objectClass=user)(mail=" + address +
          "))' mail givenName sn telephoneNumber otherTelephone company >/dev/null");
    });
  };
  const double startTlsOurs = securedCycle(DirectoryTransport::kStartTls);
  const double startTlsTool = securedTool(secured.Uri(), "-ZZ");
  const double ldapsOurs = securedCycle(DirectoryTransport::kLdaps);
  const double ldapsTool = securedTool(secured.LdapsUri(), "");

  Report("ODBC", odbcOurs, odbcTool, "isql -b");
  Report("LDAP", ldapOurs, ldapTool, "ldapsearch");
  Report("STLS", startTlsOurs, startTlsTool, "ldapsearch");
  Report("LDAPS", ldapsOurs, ldapsTool, "ldapsearch");
  std::printf("secured cycle / plain cycle: StartTLS %.2f, LDAPS %.2f\n", startTlsOurs / ldapOurs,
              ldapsOurs / ldapOurs);
  return 0;
}
