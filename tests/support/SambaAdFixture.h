#pragma once
// A throw-away Active Directory domain for tests: Samba as domain controller,
// provisioned into a temporary directory and run as our own process.
//
//   SambaAdFixture ad;                 // nothing runs yet
//   ad.AddUsers(1100);                 // before Start: written straight into
//   ad.AddUser(TestUser{...});         //   the domain database (ldbadd)
//   ad.Start();                        // provisions, seeds, starts, waits for
//                                      //   LDAP; throws SambaUnavailable
//   ad.Address();                      // "127.x.y.z": a loopback address of
//                                      //   its own (LDAP 389, Kerberos 88)
//   ad.Realm(), ad.Domain(), ad.BaseDn() // QUILLTEST.LAN, QUILLTEST,
//                                      //   DC=quilltest,DC=lan
//   ad.ReaderUpn(), ReaderDownLevel(), ReaderDn(), ReaderPassword()
//   ad.HostsLines();                   // "<addr> dc.quilltest.lan quilltest.lan"
//   ad.Kinit();                        // ticket in a private cache; sets
//                                      //   KRB5_CONFIG and KRB5CCNAME
//   ~SambaAdFixture / ad.Stop()        // always stops the server
//
// Samba's LDAP port is fixed at 389, so every instance gets a loopback address
// of its own (any 127.0.0.0/8 address is local) instead of a port: two test
// programs never collide, and nothing reaches beyond loopback. Only LDAP and
// the KDC run, with samba's default strong authentication: a simple bind
// needs TLS (StartTLS on 389 or LDAPS on 636, the server's certificate made
// by the test CA for the controller's names and address, see CaFile), a
// Kerberos bind on the plain port a SASL signing or sealing layer. Users are stored
// below CN=Users with objectClass user (so objectCategory is the schema's
// Person class), mail, givenName, sn, telephoneNumber, multi-valued
// otherTelephone and company; generated users have no password and are
// disabled, the reader account has a password and may bind.
//
// Provisioning takes several seconds (more on a busy machine): share one
// instance per test program.

#include <stdexcept>
#include <string>

#include "DirectoryFixtures.h"
#include "platform/process/Process.h"

/// Samba cannot run here (not installed, no root, address or ports taken).
class SambaUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SambaAdFixture {
 public:
  SambaAdFixture();
  ~SambaAdFixture();
  SambaAdFixture(const SambaAdFixture&) = delete;
  SambaAdFixture& operator=(const SambaAdFixture&) = delete;

  /// Queues users for the database (before Start only).
  void AddUser(const TestUser& user);
  void AddUsers(int n, int first = 1);

  /// Provisions the domain, writes the queued users, starts samba and waits
  /// until the reader account can bind over LDAP. Throws SambaUnavailable
  /// when samba cannot run on this machine, std::runtime_error on failure.
  void Start();
  /// Stops samba (SIGTERM to its process group, then SIGKILL); harmless when
  /// it is not running. The directory goes with the destructor.
  void Stop();
  bool Running() const { return samba_.Owns(); }

  const std::string& Address() const { return address_; }
  /// The CA file that the server's certificate verifies against.
  std::string CaFile() const;
  std::string Realm() const { return "QUILLTEST.LAN"; }
  std::string DnsDomain() const { return "quilltest.lan"; }
  std::string Domain() const { return "QUILLTEST"; }
  std::string BaseDn() const { return "DC=quilltest,DC=lan"; }
  std::string DcHostName() const { return "dc.quilltest.lan"; }
  /// The line an /etc/hosts needs for the domain's names.
  std::string HostsLines() const { return address_ + " " + DcHostName() + " " + DnsDomain() + "\n"; }

  std::string ReaderUpn() const { return "reader@quilltest.lan"; }
  std::string ReaderDownLevel() const { return "QUILLTEST\\reader"; }
  std::string ReaderDn() const { return "CN=Reader,CN=Users," + BaseDn(); }
  std::string ReaderPassword() const { return "Les3r-Geheim!"; }
  std::string AdminPassword() const { return "Adm1n-Geheim!"; }

  /// Gets a ticket for the reader with a private krb5.conf and credential
  /// cache and points KRB5_CONFIG and KRB5CCNAME at them (for this process
  /// and its children). Throws std::runtime_error when kinit fails.
  void Kinit();

  /// Seconds that provisioning and starting took (for the report).
  double ProvisionSeconds() const { return provisionSeconds_; }
  double StartSeconds() const { return startSeconds_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string UserLdif(const TestUser& user, int n) const;
  void Provision();
  void PatchConfig();
  void Seed();
  void Launch();
  void WaitForLdap();

  std::string dir_;
  std::string address_;
  std::string pendingLdif_;
  int queued_ = 0;
  qm::process::Child samba_;  // in a process group of its own
  double provisionSeconds_ = 0, startSeconds_ = 0;
};

/// Gives this process (and its children) a private view of /etc/hosts made of
/// the machine's file plus `extraLines`, in a mount namespace of its own; the
/// machine's file is untouched. Must run while the process has one thread.
/// Returns false with the reason in *why when the system does not allow it.
bool UsePrivateHostsFile(const std::string& extraLines, const std::string& dir, std::string* why);
