#pragma once
// A relay between the directory client and a real LDAP server, on 127.0.0.1
// at a port chosen at run time, that can make the server fall silent in the
// middle of a conversation: after a given number of its LDAP messages (bind
// answer, search entries, search result) it passes nothing more on, as a
// server does that hangs while working on a search.
//
//   LdapStallRelay relay(ldap.Port());
//   relay.StallAfter(1);   // next connection: the bind answer, then silence
//   relay.Clear();         // pass everything on again
//
// Connections are served one at a time, which is all one lookup needs.

#include <cstdint>
#include <mutex>

#include "LoopbackSocket.h"

class LdapStallRelay {
 public:
  explicit LdapStallRelay(std::uint16_t serverPort) : serverPort_(serverPort) {}
  LdapStallRelay(const LdapStallRelay&) = delete;
  LdapStallRelay& operator=(const LdapStallRelay&) = delete;

  std::uint16_t Port() const { return listener_.Port(); }
  /// From the next connection on, hold everything the server sends after
  /// its first `messages` LDAP messages.
  void StallAfter(int messages);
  void Clear() { StallAfter(-1); }
  /// How many connections have been held so far.
  int Stalled() const;

 private:
  void Relay(int client);

  std::uint16_t serverPort_;
  mutable std::mutex mutex_;
  int stallAfter_ = -1;  // -1: pass everything on
  int stalled_ = 0;
  LoopbackListener listener_{[this](int client) { Relay(client); }};  // last: stops first
};
