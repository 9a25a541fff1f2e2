#pragma once
// A fault-injecting relay between the mail class and a real POP3 server, on
// 127.0.0.1 at a port chosen at run time. It passes every byte on unchanged
// until a fault is armed, then breaks the dialogue the way a failing server
// or network would:
//
//   Pop3FaultProxy proxy(pop.Port());  // in front of the Dovecot fixture
//   TFMailTools::Hooks().pop3Port = proxy.Port();
//   proxy.CutRetr(2, 40);              // drop the connection 40 bytes into
//                                      //   the answer to "RETR 2"
//   proxy.RefuseDele(1, "-ERR ...");   // answer "DELE 1" itself; the server
//                                      //   never sees it
//   proxy.OnCommand(hook);             // hook(line) on the relay's thread
//                                      //   before a command is passed on
//   proxy.Clear();                     // pass everything on again
//   proxy.SetServerPort(pop.Port());   // a restarted server's new port
//
// Connections are served one at a time, which is all a poll needs.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackSocket.h"

class Pop3FaultProxy {
 public:
  explicit Pop3FaultProxy(std::uint16_t serverPort) : serverPort_(serverPort) {}
  Pop3FaultProxy(const Pop3FaultProxy&) = delete;
  Pop3FaultProxy& operator=(const Pop3FaultProxy&) = delete;

  std::uint16_t Port() const { return listener_.Port(); }

  /// Closes both sides once `bytes` of the server's answer to "RETR
  /// <message>" (0: any message) have been passed on; 0 bytes closes right
  /// after the command has been passed on.
  void CutRetr(int message, std::size_t bytes);
  /// Answers "DELE <message>" (0: every DELE) with `reply` instead of
  /// passing it on.
  void RefuseDele(int message, const std::string& reply);
  /// Calls `hook` with each command line (without CR LF) before it is
  /// passed on, on the relay's thread; the command goes on once the hook
  /// returns, so the hook can stop or kill the server first.
  void OnCommand(std::function<void(const std::string& command)> hook);
  /// Disarms all faults and the command hook.
  void Clear();
  /// Relays later connections to another server port.
  void SetServerPort(std::uint16_t port) { serverPort_ = port; }

  /// Every command line the client sent, in order (without CR LF).
  std::vector<std::string> Commands() const;
  /// How often an armed fault has fired.
  int Fired() const { return fired_; }

 private:
  void Relay(int client);

  std::atomic<std::uint16_t> serverPort_;
  mutable std::mutex mutex_;
  int cutMessage_ = -1;  // -1: not armed
  std::size_t cutBytes_ = 0;
  int deleMessage_ = -1;
  std::string deleReply_;
  std::function<void(const std::string&)> hook_;
  std::vector<std::string> commands_;
  std::atomic<int> fired_{0};
  LoopbackListener listener_{[this](int client) { Relay(client); }};  // last: stops first
};
