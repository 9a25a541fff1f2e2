#pragma once
// Real mail servers for tests, each our own process on 127.0.0.1 at a port
// chosen at run time, stopped by the destructor:
//
//   Pop3Fixture pop;                   // Dovecot with a private configuration:
//   pop.Deliver(rawMessage);           //   plaintext USER/PASS without TLS,
//   pop.UseTls(cert);                  //   (or TLS required: STLS on Port(),
//                                      //   POP3S on TlsPort())
//   pop.Start();                       //   one passwd-file user, one Maildir
//   pop.Port(), pop.User(), pop.Password()
//   pop.MessageCount();                // messages still in the mailbox
//   pop.Pause(); pop.Resume();         // SIGSTOP / SIGCONT: a hung server
//   pop.Kill();                        // SIGKILL: the server dies
//
//   SmtpFixture smtp;                  // aiosmtpd (tests/support/smtp_server.py):
//   smtp.Start();                      //   AUTH LOGIN required, no TLS
//   smtp.UseTls(cert, implicit);       //   (or STARTTLS required before AUTH
//                                      //   and MAIL, or TLS from the start)
//   smtp.SetPassword("other");         //   refuse the configured password
//   smtp.RefuseRecipient("a@b");       //   550 for this RCPT TO
//   smtp.FailAt("MAIL", "451 ...");    //   refuse a step (MAIL, RCPT, DATA, END)
//   smtp.DropAt("MAIL");               //   close instead of answering a step
//   smtp.CutData(65536);               //   drop the connection inside DATA
//   smtp.ExitInData(65536);            //   the whole server dies inside DATA
//   smtp.StopInData();                 //   the server stops itself after 354
//   smtp.Pause(); smtp.Resume();       //   SIGSTOP / SIGCONT: a hung server
//   smtp.ClearFault(); smtp.Fired();   //   faults that have fired
//   smtp.Messages();                   //   accepted messages, as stored
//
// As root, the Maildir belongs to "nobody" (Dovecot will not open mail as
// uid 0) and the fixture's directories are made traversable.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process/Process.h"

class Pop3Fixture {
 public:
  Pop3Fixture();
  ~Pop3Fixture();
  Pop3Fixture(const Pop3Fixture&) = delete;
  Pop3Fixture& operator=(const Pop3Fixture&) = delete;

  /// Puts a message into the mailbox (before or after Start); messages are
  /// listed in the order they were delivered.
  void Deliver(const std::string& message);
  /// Starts Dovecot and waits until it accepts connections; throws when it
  /// does not come up (its log is in the message).
  void Start();
  /// Stops Dovecot (SIGTERM, then SIGKILL); harmless when not running. A
  /// paused Dovecot is resumed first.
  void Stop();
  /// Freezes every Dovecot process (SIGSTOP): connections are still
  /// accepted by the kernel, but nothing is answered until Resume().
  void Pause();
  void Resume();
  /// Ends every Dovecot process at once (SIGKILL), as a crash would; the
  /// mailbox stays as it is. Start() brings it back (on a new port). Safe to
  /// call from another thread while the test thread waits on the server.
  void Kill();

  /// Before Start: TLS with this certificate (PEM files) is required for
  /// the login, STLS on Port() and POP3S on TlsPort().
  void UseTls(const std::string& certFile, const std::string& keyFile);
  std::uint16_t Port() const { return port_; }
  std::uint16_t TlsPort() const { return tlsPort_; }
  std::string User() const { return "requests"; }
  std::string Password() const { return "pop-secret"; }
  /// Messages in the mailbox (new and cur).
  int MessageCount() const;
  /// The raw texts of the messages still in the mailbox.
  std::vector<std::string> Remaining() const;
  /// Logins so far that came over TLS (", TLS" in Dovecot's login line).
  int TlsLogins() const;

 private:
  std::string dir_;
  std::uint16_t port_ = 0, tlsPort_ = 0;
  std::string certFile_, keyFile_;
  std::atomic<int> pid_{-1};  // Kill() may come from a relay's thread
  int delivered_ = 0;
};

class SmtpFixture {
 public:
  struct Stored {
    std::string envelope;  // "MAIL FROM x\nRCPT TO y\n"
    std::string content;   // the message as received
  };

  SmtpFixture();
  ~SmtpFixture();
  SmtpFixture(const SmtpFixture&) = delete;
  SmtpFixture& operator=(const SmtpFixture&) = delete;

  void Start();
  /// Before Start: TLS with this certificate (PEM files): STARTTLS required
  /// before AUTH and MAIL, or (implicit) TLS from the first byte.
  void UseTls(const std::string& certFile, const std::string& keyFile, bool implicit);
  /// Before Start: STARTTLS offered with this certificate, mail taken with
  /// or without it.
  void OfferTls(const std::string& certFile, const std::string& keyFile);
  /// Stops the server; a paused one is resumed first.
  void Stop();
  /// Freezes the server process (SIGSTOP): connections are still accepted
  /// by the kernel, but no greeting or reply comes until Resume().
  void Pause();
  void Resume();
  std::uint16_t Port() const { return port_; }
  std::string User() const { return "sig"; }
  /// The password the server accepts ("secret" at first).
  void SetPassword(const std::string& password);
  void RefuseRecipient(const std::string& address);
  /// Answers a step with `reply` until ClearFault: "MAIL" (MAIL FROM),
  /// "RCPT" (every RCPT TO), "DATA" (the DATA command, instead of 354) or
  /// "END" (the end of the message; nothing is kept).
  void FailAt(const std::string& step, const std::string& reply);
  /// Closes the connection instead of answering a step ("MAIL", "RCPT" or
  /// "DATA") until ClearFault.
  void DropAt(const std::string& step);
  /// Closes the connection once `bytes` of message data have arrived.
  void CutData(std::size_t bytes);
  /// Ends the server process once `bytes` of message data have arrived; the
  /// port stays closed until Restart().
  void ExitInData(std::size_t bytes);
  /// The server process stops itself (SIGSTOP) right after its 354 reply to
  /// DATA, before it reads any of the message; Resume() lets it go on.
  void StopInData();
  void ClearFault();
  /// The faults that have fired so far, one line each ("CUT 65536").
  std::vector<std::string> Fired() const;
  /// Waits (a few seconds at most) for the server process to end by itself;
  /// true when it has.
  bool WaitExited();
  /// Starts the server again on the same port.
  void Restart();
  /// Accepted messages in the order they were accepted.
  std::vector<Stored> Messages() const;

 private:
  void Launch();
  std::string dir_;
  std::uint16_t port_ = 0;
  std::vector<std::string> tlsArgs_;
  qm::process::Child server_;  // in a process group of its own
};

