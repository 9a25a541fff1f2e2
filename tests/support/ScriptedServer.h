#pragma once
// A scripted dialogue server on 127.0.0.1 for protocol fault cases that real
// servers do not produce on demand (a refused DELE, a connection dropped in
// the middle of RETR or DATA, an error reply at a chosen step). The script
// runs on the server's own thread against each accepted connection in turn.
//
//   ScriptedServer pop([](ScriptedServer::Connection& c) {
//     c.Send("+OK ready\r\n");
//     c.Expect("USER");  c.Send("+OK\r\n");
//     ...
//     c.Close();         // or just return: the connection is closed
//   });
//   TFMailTools::Hooks().pop3Port = pop.Port();
//   ...
//   pop.Commands();      // every line the client sent, in order

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
 public:
  class Connection {
   public:
    /// Reads one line (without CR LF); "" at the end of the stream.
    std::string ReadLine();
    /// Reads one line and fails the test unless it starts with `prefix`
    /// (case-insensitive). Returns the line.
    std::string Expect(const std::string& prefix);
    /// Reads a DATA body up to the "." line; the body without it.
    std::string ReadData();
    void Send(const std::string& bytes);
    /// Waits until the client closes (or `ms` pass) without answering.
    void Stall(int ms);
    void Close();

   private:
    friend class ScriptedServer;
    int fd_ = -1;
    std::string buffer_;
    ScriptedServer* server_ = nullptr;
  };
  using Script = std::function<void(Connection&)>;

  /// Listens at once; each accepted connection runs the next script (the
  /// last one again when there are fewer scripts than connections).
  explicit ScriptedServer(Script script);
  explicit ScriptedServer(std::vector<Script> scripts);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t Port() const { return port_; }
  /// Every line read by the scripts, in order.
  std::vector<std::string> Commands() const;
  /// DATA bodies read by the scripts.
  std::vector<std::string> Messages() const;
  int Connections() const;

 private:
  void Run();
  std::vector<Script> scripts_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_, messages_;
  int connections_ = 0;
  bool stopping_ = false;
};

/// A POP3 mailbox script: greeting, USER/PASS, STAT with the given messages,
/// RETR/DELE/NOOP/QUIT answered normally. `onCommand` may take over a
/// command: return true when it has answered (or closed) itself.
ScriptedServer::Script Pop3Mailbox(std::vector<std::string> messages,
                                   std::function<bool(ScriptedServer::Connection&, const std::string&)> onCommand = {});
