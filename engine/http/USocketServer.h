#pragma once
// TKomponentModule: the HTTP signature server. Remote scripts ask for
// "/make?<address>" to have a user's signature generated and receive the list
// of file names to fetch; every other path is answered with that file from
// the attachment store. Both programs create the module once, after the
// settings holder, and run the server when the settings enable it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "directory/UDBUtil.h"
#include "settings/SettingsStore.h"
#include "signature/USignaturePipeline.h"

namespace Poco::Net {
class HTTPServerRequest;
class HTTPServerResponse;
}  // namespace Poco::Net

/// The limits that keep one slow or flooding client from exhausting the
/// process.
struct HttpServerLimits {
  /// Connections served at the same time on one listening socket, each on
  /// a thread of its own.
  int maxThreads = 64;
  /// Connections waiting for a free thread (the listening socket's
  /// backlog); beyond that the system turns new ones away.
  int maxQueued = 1024;
  /// Longest wait for the next bytes of a request (line, headers or body);
  /// a client silent for longer is disconnected without an answer.
  std::chrono::milliseconds readTimeout{10000};
  /// Largest request body taken as parameter text; a larger one is answered
  /// with the "ERROR 400" page.
  std::size_t maxBody = 64 * 1024;
};

/// HTTPS on the server's port: the certificate (PEM, the server's own
/// certificate first, intermediate CA certificates after it) and its private
/// key (PEM, without a pass phrase). Off means plain HTTP.
struct HttpServerTls {
  bool enabled = false;
  std::string certFile;
  std::string keyFile;
};

/// The threaded HTTP/1.1 server `IdHTTPServer1`: bindings, default port and
/// the active switch. One request per connection; GET, HEAD and POST go to
/// the module's handler, other methods are closed without an answer.
class TIdHTTPServer {
 public:
  struct Binding {
    std::string ip;  // "0.0.0.0" for all local addresses
    int port = 0;
  };

  explicit TIdHTTPServer(class TKomponentModule& module);
  ~TIdHTTPServer();
  TIdHTTPServer(const TIdHTTPServer&) = delete;
  TIdHTTPServer& operator=(const TIdHTTPServer&) = delete;

  /// Starts listening on every binding (with no binding: all local addresses
  /// at DefaultPort) or stops. Starting throws (Poco::Exception or
  /// std::runtime_error) when a port is outside 1-65535 or cannot be bound,
  /// and HttpsSetupFailure when HTTPS is on and the certificate or key cannot
  /// be loaded (before any port is bound); the server then stays inactive.
  /// With HTTPS, the TLS handshake runs on the connection's thread, waiting
  /// at most the read time-out for each of the client's messages; a client
  /// that stays silent or does not speak TLS is disconnected without an
  /// answer and never holds up the others. Stopping stops listening at once;
  /// requests being answered finish on their threads (destroying the server
  /// waits for them).
  void SetActive(bool active);
  bool Active() const;

  void ClearBindings();
  void AddBinding(const std::string& ip, int port);
  std::vector<Binding> Bindings() const;
  int DefaultPort() const;
  void SetDefaultPort(int port);

  /// The port each active binding listens on (differs from the binding's
  /// port only for port 0, which tests use to get a free port).
  std::vector<std::uint16_t> ListeningPorts() const;

  /// Limits take effect at the next activation.
  void SetLimits(const HttpServerLimits& limits);
  HttpServerLimits Limits() const;

  /// HTTPS or plain HTTP, from the next activation on.
  void SetTls(const HttpServerTls& tls);
  HttpServerTls Tls() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class TKomponentModule {
 public:
  /// Binds nothing. Reads the general record from `settings`, asks
  /// `directory` whether a requester is known, has `signatures` generate the
  /// files and shows the counter and failures through `ui`.
  TKomponentModule(const qm::SettingsStore& settings, TFDBUtil& directory, qm::SignatureSource& signatures,
                   UserInterface& ui);
  ~TKomponentModule();
  TKomponentModule(const TKomponentModule&) = delete;
  TKomponentModule& operator=(const TKomponentModule&) = delete;

  /// Binds the configured port on all local addresses (8081 with a warning
  /// when `httpPort` is below 1; the record keeps its value) and starts the
  /// server when `httpServerActive` is set, speaking HTTPS when
  /// `httpSecurity` is hsTls (httpsCertFile, httpsKeyFile). A port that
  /// cannot be opened is logged as an error (ServerStartFailureText), shown
  /// through the user interface's error display ("Der HTTP-Server konnte
  /// nicht auf Port <port> gestartet werden: " and the system's text) and
  /// leaves the server inactive. A certificate or key that cannot be loaded
  /// is shown and logged with that sentence and the German reason naming the
  /// file; the server then stays inactive, never falling back to plain HTTP.
  /// The outcome shows in the status area (ShowServerState).
  void DataModuleCreate();

  /// Stops the server and removes its bindings.
  void DataModuleDestroy();

  /// The settings dialog's restart: deactivate, remove the bindings, set the
  /// default port, add one binding on all local addresses at that port and
  /// activate when `active`, with HTTPS as the stored general record says.
  /// Throws std::runtime_error when activation fails (port outside 1-65535,
  /// taken, or certificate or key not loadable: the text of
  /// DataModuleCreate's display); the server is then inactive. The outcome shows in the status
  /// area (ShowServerState).
  void RestartServer(int port, bool active);

  /// The request handler for GET, HEAD and POST. Writes status 200 "OK",
  /// "text/html" and Content-Length itself. Throws only when an answer page
  /// cannot be built (ResponsePage.htm unreadable); the server then answers
  /// status 500 with the failure's text.
  void IdHTTPServer1CommandGet(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);

  /// Generates the signature for a known address through the signature
  /// pipeline (download delivery) and returns the answer body: the LF-ended
  /// file list or an error page. Counts "LStatusHTTP" when it gets as far as
  /// the list.
  std::string makeSignature(const std::string& address);

  /// Shows in the main window's label LStatusHTTPServer whether the server
  /// listens: "Port <n>", kServerOffText when switched off, kServerFailedText
  /// when it should listen but could not start.
  void ShowServerState(bool wanted);

  /// ResponsePage.htm of the program directory with every "#ResponseText#"
  /// replaced by the message, each line followed by CR LF. Throws
  /// std::runtime_error ("Fehler beim Auslesen der Datei " + path) when the
  /// file cannot be read.
  static std::string BuildResponsePage(const std::string& message);

 private:
  std::mutex counterMutex_;  // declared first: outlives the server's threads
  const qm::SettingsStore& settings_;
  TFDBUtil& directory_;
  qm::SignatureSource& signatures_;
  UserInterface& ui_;

 public:
  TIdHTTPServer IdHTTPServer1{*this};
};

/// The process's one HTTP module, set by the engine assembly for the
/// programs' edges; null outside its lifetime.
extern TKomponentModule* KomponentModule;

/// The error line logged when the server cannot listen on its port: names
/// the port and the reason (the system's text).
std::string ServerStartFailureText(int port, const std::string& reason);

/// A certificate or key of the HTTPS server that cannot be loaded; what()
/// is the German reason, naming the file.
class HttpsSetupFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The state of the server in the main window's status area: switched off,
/// or switched on but not listening (its port could not be opened).
inline constexpr const char* kServerOffText = "aus";
inline constexpr const char* kServerFailedText = "nicht gestartet";

/// The texts of the server's answers.
inline constexpr const char* kBadRequestText = "ERROR 400 - Brenlo Quillmark: Bad Request. Please try again.";
