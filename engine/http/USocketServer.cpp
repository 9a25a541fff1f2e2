#include "http/USocketServer.h"
#include "base/Texts.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerConnectionFactory.h>
#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/HTTPServerSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Thread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "base/TlsText.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "base/UserInterface.h"
#include "directory/UDBUtil.h"
#include "http/UHttpRequest.h"
#include "settings/SettingsStore.h"
#include "signature/USignaturePipeline.h"
#include "base/UUtils.h"

TKomponentModule* KomponentModule = nullptr;

using Poco::Net::HTTPRequestHandler;
using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;

namespace {

constexpr int kFallbackPort = 8081;
// Bytes of an over-long body read and thrown away after the answer, so that
// closing the connection does not reset it before the client has read the
// answer.
constexpr std::streamsize kDrainLimit = 4 * 1024 * 1024;

// Writes the whole answer, header and body, with one send: POCO's response
// stream would split anything above its 4 KiB buffer into several sends, and
// on a connection that carries one request every extra send is an extra
// segment and an extra wake-up of the client. HEAD gets the header alone,
// with the length the body would have. A client that went away meanwhile is
// not an error: its connection ends right after this.
void Answer(HTTPServerRequest& request, HTTPServerResponse& response, std::string_view body,
            HTTPResponse::HTTPStatus status = HTTPResponse::HTTP_OK) {
  const bool isHead = request.getMethod() == Poco::Net::HTTPRequest::HTTP_HEAD;
  response.setStatusAndReason(status, status == HTTPResponse::HTTP_OK ? "OK" : HTTPResponse::getReasonForStatus(status));
  response.setContentType("text/html");
  response.setKeepAlive(false);
  response.setContentLength64(static_cast<Poco::Int64>(body.size()));
  auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request);
  if (!impl) {
    // Not on one of our connections (no socket to write to): POCO's stream.
    std::ostream& out = response.send();
    if (!isHead) out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.flush();
    return;
  }
  std::ostringstream head;
  response.write(head);
  std::string bytes = std::move(head).str();
  if (!isHead) bytes.append(body);
  try {
    Poco::Net::StreamSocket& socket = impl->socket();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = socket.sendBytes(bytes.data() + sent, static_cast<int>(std::min<std::size_t>(bytes.size() - sent, INT_MAX)));
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  } catch (const Poco::Exception&) {
  }
}

// "Der HTTP-Server konnte nicht auf Port <port> gestartet werden: <detail>".
// A socket's failure carries its error number: the detail is the system's
// text for it ("Address already in use"); any other failure gives its own.
std::string ServerFailureDetail(const std::exception& e) {
  const auto* net = dynamic_cast<const Poco::Net::NetException*>(&e);
  if (net && net->code() > 0) return qm::SysErrorMessage(net->code());
  return qm::FailureDetail(e);
}

std::string ServerStartFailure(int port, const std::exception& e) {
  const std::string detail = ServerFailureDetail(e);
  const std::string sentence = "Der HTTP-Server konnte nicht auf Port " + std::to_string(port) + " gestartet werden";
  return detail.empty() ? sentence + "." : sentence + ": " + detail;
}

HttpServerTls TlsOf(const GeneralSettings& general) {
  return {general.httpSecurity == hsTls, general.httpsCertFile, general.httpsKeyFile};
}

std::string RealPath(const std::string& path) {
  char* r = ::realpath(path.c_str(), nullptr);
  if (!r) return {};
  std::string s(r);
  std::free(r);
  return s;
}

// Sends the store file a document path names, when it is a regular file that
// really lies below the store (no "..", no link leading out). False when
// there is no such file; the caller answers the "ERROR 400" page.
bool SendStoreFile(const std::string& document, HTTPServerRequest& request, HTTPServerResponse& response) {
  if (!qm::IsContainedDocumentPath(document)) return false;
  std::string store = RealPath(qm::AttachmentStore());
  std::string file = RealPath(qm::AttachmentStore() + document);
  if (store.empty() || file.size() <= store.size() + 1 || file.compare(0, store.size(), store) != 0 ||
      file[store.size()] != '/')
    return false;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  std::string bytes;
  bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);  // a file shrinking meanwhile yields what was there
  Answer(request, response, bytes);
  return true;
}

// Reads the request body into `body`. False when the client broke off or
// went silent (no answer is then given); `tooLarge` when the body exceeds
// the limit (the rest is left unread).
bool ReadBody(HTTPServerRequest& request, std::size_t maxBody, std::string& body, bool& tooLarge) {
  tooLarge = false;
  const bool chunked = request.getChunkedTransferEncoding();
  // A request without a length and not chunked has no body.
  if (!chunked && !request.hasContentLength()) return true;
  if (!chunked) {
    auto length = request.getContentLength64();
    if (length < 0) return false;
    if (static_cast<std::uint64_t>(length) > maxBody) {
      tooLarge = true;
      return true;
    }
  }
  std::istream& in = request.stream();
  body.resize(maxBody + 1);
  in.read(body.data(), static_cast<std::streamsize>(body.size()));
  body.resize(static_cast<std::size_t>(in.gcount()));
  if (body.size() > maxBody) {
    tooLarge = true;
    body.clear();
    return true;
  }
  if (in.bad()) return false;
  if (auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request)) {
    if (impl->session().networkException()) return false;
  }
  if (!chunked && body.size() != static_cast<std::size_t>(request.getContentLength64())) return false;
  return true;
}

// After the answer to an over-long request: stop sending, then read and
// discard what the client still sends (bounded by size and read time-out).
void LingeringClose(HTTPServerRequest& request) {
  try {
    if (auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request)) impl->socket().shutdownSend();
    request.stream().ignore(kDrainLimit);
  } catch (...) {
    // The connection is closed right after this in any case.
  }
}

class RequestHandler : public HTTPRequestHandler {
 public:
  explicit RequestHandler(TKomponentModule& module) : module_(module) {}
  void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override {
    const std::string& method = request.getMethod();
    // Other methods get no answer: returning without one closes the
    // connection cleanly.
    if (method != "GET" && method != "HEAD" && method != "POST") return;
    std::string failure;
    try {
      module_.IdHTTPServer1CommandGet(request, response);
      return;
    } catch (const Poco::Exception& e) {
      failure = e.displayText();
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = qm::text::kRuntimeError;
    }
    if (response.sent()) return;
    WriteLog(failure, ltError);
    try {
      Answer(request, response, failure, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
    } catch (...) {
    }
  }

 private:
  TKomponentModule& module_;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  explicit HandlerFactory(TKomponentModule& module) : module_(module) {}
  HTTPRequestHandler* createRequestHandler(const HTTPServerRequest&) override { return new RequestHandler(module_); }

 private:
  TKomponentModule& module_;
};

// ---- HTTPS ------------------------------------------------------------------

// OpenSSL's pass-phrase prompt would read the terminal (or block a service);
// a protected key is refused instead.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

// Empty when the file can be opened for reading, else the system's text.
std::string UnreadableReason(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return qm::SysErrorMessage(errno);
  std::fclose(f);
  return {};
}

// The server's TLS context: TLS 1.2 or newer, the certificate chain and the
// key from their PEM files, no client certificates asked for. Throws
// HttpsSetupFailure with the German reason naming the file.
Poco::Net::Context::Ptr MakeServerContext(const HttpServerTls& tls) {
  static std::once_flag once;
  std::call_once(once, [] { Poco::Net::initializeSSL(); });

  if (tls.certFile.empty()) throw HttpsSetupFailure("für HTTPS ist keine Zertifikatsdatei angegeben (httpsCertFile)");
  if (tls.keyFile.empty())
    throw HttpsSetupFailure("für HTTPS ist keine Datei mit dem privaten Schlüssel angegeben (httpsKeyFile)");
  if (std::string why = UnreadableReason(tls.certFile); !why.empty())
    throw HttpsSetupFailure("die Zertifikatsdatei " + tls.certFile + " kann nicht gelesen werden (" + why + ")");
  if (std::string why = UnreadableReason(tls.keyFile); !why.empty())
    throw HttpsSetupFailure("die Schlüsseldatei " + tls.keyFile + " kann nicht gelesen werden (" + why + ")");

  Poco::Net::Context::Params params;
  params.verificationMode = Poco::Net::Context::VERIFY_NONE;  // clients show no certificate
  params.loadDefaultCAs = false;
  params.cipherList = "HIGH:!aNULL:!MD5:!RC4:!3DES";
  Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, params);
  context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
  context->preferServerCiphers();
  SSL_CTX* ssl = context->sslContext();
  SSL_CTX_set_default_passwd_cb(ssl, NoPassphrase);

  // OpenSSL keeps its reasons on this thread's error queue; they are not
  // wanted beyond this function (POCO reads that queue after socket calls).
  struct ClearErrors {
    ~ClearErrors() { ERR_clear_error(); }
  } clearErrors;

  if (SSL_CTX_use_certificate_chain_file(ssl, tls.certFile.c_str()) != 1)
    throw HttpsSetupFailure("die Zertifikatsdatei " + tls.certFile + " enthält kein Zertifikat im PEM-Format");

  EVP_PKEY* key = nullptr;
  if (BIO* in = BIO_new_file(tls.keyFile.c_str(), "r")) {
    key = PEM_read_bio_PrivateKey(in, nullptr, NoPassphrase, nullptr);
    BIO_free(in);
  }
  if (!key)
    throw HttpsSetupFailure("die Schlüsseldatei " + tls.keyFile +
                            " enthält keinen privaten Schlüssel im PEM-Format (oder er ist mit einem Passwort geschützt)");
  const bool used = SSL_CTX_use_PrivateKey(ssl, key) == 1;
  EVP_PKEY_free(key);
  if (!used || SSL_CTX_check_private_key(ssl) != 1)
    throw HttpsSetupFailure("der private Schlüssel in " + tls.keyFile + " passt nicht zum Zertifikat in " + tls.certFile);
  return context;
}

// One HTTPS connection on its worker thread: the TLS handshake first, then
// the same HTTP handling as a plain connection. The accept loop only took
// the connection, so a client that never finishes the handshake holds up
// nobody but this thread, and only for the read time-out per message.
class HttpsConnection : public Poco::Net::TCPServerConnection {
 public:
  HttpsConnection(const Poco::Net::StreamSocket& socket, Poco::Net::HTTPServerParams::Ptr params,
                  Poco::Net::HTTPRequestHandlerFactory::Ptr handlers)
      : TCPServerConnection(socket), params_(std::move(params)), handlers_(std::move(handlers)) {}

  void run() override {
    std::string failure;
    try {
      Poco::Net::SecureStreamSocket secure(socket());
      const Poco::Timespan timeout = params_->getTimeout();
      secure.setReceiveTimeout(timeout);
      secure.setSendTimeout(timeout);
      // Non-blocking while the handshake waits, so that each wait for the
      // client is one poll of at most the time-out (a blocking read would
      // wait its own time-out before POCO polls for another).
      secure.setBlocking(false);
      for (;;) {
        const int rc = secure.completeHandshake();
        if (rc == 1) break;
        const bool wantRead = rc == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ;
        if (!wantRead && rc != Poco::Net::SecureStreamSocket::ERR_SSL_WANT_WRITE) {
          failure = "Verbindung vom Client beendet";
          break;
        }
        if (!secure.poll(timeout, wantRead ? Poco::Net::Socket::SELECT_READ : Poco::Net::Socket::SELECT_WRITE)) {
          failure = "Zeitüberschreitung";
          break;
        }
      }
      secure.setBlocking(true);
    } catch (const Poco::TimeoutException&) {
      failure = "Zeitüberschreitung";
    } catch (const Poco::Exception& e) {
      failure = e.displayText();
    }
    if (!failure.empty()) {
      // Scanners and plain-HTTP clients end up here: information only, so
      // that the usual error-and-warning log stays free of them.
      WriteLog("HTTPS-Verbindung von " + PeerText() + ": " + qm::TlsHandshakeReason(failure), ltInformation);
      return;  // closing the socket ends the connection without an answer
    }
    Poco::Net::HTTPServerConnection http(socket(), params_, handlers_);
    http.run();
  }

 private:
  std::string PeerText() {
    try {
      return socket().peerAddress().host().toString();
    } catch (...) {
      return "?";  // the client is already gone
    }
  }

  Poco::Net::HTTPServerParams::Ptr params_;
  Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
};

class HttpsConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
 public:
  HttpsConnectionFactory(Poco::Net::HTTPServerParams::Ptr params, Poco::Net::HTTPRequestHandlerFactory::Ptr handlers)
      : params_(std::move(params)), handlers_(std::move(handlers)) {}
  Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override {
    return new HttpsConnection(socket, params_, handlers_);
  }

 private:
  Poco::Net::HTTPServerParams::Ptr params_;
  Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
};

// One listening socket and the threads that serve it. Every thread takes
// the next connection itself (accept) and answers it on the spot, so a
// connection is never handed from an accepting thread to a worker: no queue,
// no wake-up of a second thread, no lock shared per connection. The kernel
// gives each new connection to one waiting thread; connections nobody has
// taken yet wait in the socket's backlog. Threads are added as connections
// arrive, up to the limit, so that one always waits in accept while the
// others answer; they stay until the listener stops.
class Listener {
 public:
  Listener(Poco::Net::ServerSocket socket, Poco::Net::TCPServerConnectionFactory::Ptr factory, int maxThreads)
      : socket_(std::move(socket)), factory_(std::move(factory)), maxThreads_(std::max(1, maxThreads)) {}
  ~Listener() {
    Stop();
    Join();
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void Start() {
    std::lock_guard lk(mutex_);
    AddThreadLocked();
  }

  // Stops taking connections: threads waiting in accept return at once and
  // new connections are refused; connections being answered finish on their
  // threads. The socket itself is closed when the last thread has left.
  void Stop() {
    {
      std::lock_guard lk(mutex_);
      stopped_ = true;
    }
    ::shutdown(socket_.impl()->sockfd(), SHUT_RDWR);
  }

  // True when every thread has left (Join is quick).
  bool Finished() const { return running_.load() == 0; }

  // After Stop: waits for the threads.
  void Join() {
    std::vector<std::unique_ptr<Poco::Thread>> threads;
    {
      std::lock_guard lk(mutex_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t->join();
  }

 private:
  // POCO threads, as the server's were: they block SIGTERM, SIGQUIT and
  // SIGPIPE, which the programs handle on their own threads.
  void AddThreadLocked() {
    if (stopped_ || static_cast<int>(threads_.size()) >= maxThreads_) return;
    ++running_;
    ++waiting_;
    threads_.push_back(std::make_unique<Poco::Thread>("HTTP"));
    threads_.back()->startFunc([this] { Serve(); });
  }

  void Serve() {
    while (!stopped_) {
      Poco::Net::StreamSocket connection;
      try {
        connection = socket_.acceptConnection();
      } catch (const Poco::Exception&) {
        // Stopped, or out of descriptors or memory for a moment: try again
        // shortly instead of spinning.
        if (!stopped_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (waiting_.fetch_sub(1) == 1) {
        std::lock_guard lk(mutex_);
        AddThreadLocked();
      }
      try {
        connection.setNoDelay(true);
        std::unique_ptr<Poco::Net::TCPServerConnection> served(factory_->createConnection(connection));
        served->run();
      } catch (...) {
        // The client broke off or went silent; its connection ends here.
      }
      ++waiting_;
    }
    --running_;
  }

  Poco::Net::ServerSocket socket_;
  Poco::Net::TCPServerConnectionFactory::Ptr factory_;
  const int maxThreads_;
  std::mutex mutex_;  // threads_ and the change of stopped_
  std::vector<std::unique_ptr<Poco::Thread>> threads_;
  std::atomic<int> waiting_{0};  // threads in (or on their way to) accept
  std::atomic<bool> stopped_{false};
  std::atomic<int> running_{0};
};

}  // namespace

// ---- TIdHTTPServer --------------------------------------------------------

struct TIdHTTPServer::Impl {
  explicit Impl(TKomponentModule& m) : module(m) {}
  TKomponentModule& module;

  mutable std::mutex dataMutex;  // bindings, default port, limits, TLS
  std::vector<Binding> bindings;
  int defaultPort = 80;
  HttpServerLimits limits;
  HttpServerTls tls;

  mutable std::mutex stateMutex;  // activation; held while stopping
  std::vector<std::unique_ptr<Listener>> servers;
  // Stopped listeners whose threads may still be answering; joined once
  // they are done (or when the server is destroyed).
  std::vector<std::unique_ptr<Listener>> retired;
  std::vector<std::uint16_t> ports;

  // Closes the listening sockets. Requests being answered finish on their
  // own threads: waiting for them here could deadlock the main thread, which
  // may hold DirectoryLock (connection-test window) that a request waits for.
  void StopLocked() {
    for (auto& s : servers) {
      s->Stop();
      retired.push_back(std::move(s));
    }
    servers.clear();
    ports.clear();
    std::erase_if(retired, [](const std::unique_ptr<Listener>& l) { return l->Finished(); });
  }
};

TIdHTTPServer::TIdHTTPServer(TKomponentModule& module) : impl_(std::make_unique<Impl>(module)) {}

TIdHTTPServer::~TIdHTTPServer() {
  std::lock_guard lk(impl_->stateMutex);
  impl_->StopLocked();
  impl_->retired.clear();  // waits for the requests still being answered
}

void TIdHTTPServer::SetActive(bool active) {
  std::lock_guard lk(impl_->stateMutex);
  if (!active) {
    impl_->StopLocked();
    return;
  }
  if (!impl_->servers.empty()) return;

  std::vector<Binding> bindings;
  HttpServerLimits limits;
  HttpServerTls tls;
  {
    std::lock_guard dk(impl_->dataMutex);
    bindings = impl_->bindings;
    if (bindings.empty()) bindings.push_back({"0.0.0.0", impl_->defaultPort});
    limits = impl_->limits;
    tls = impl_->tls;
  }
  // Port 0 asks the system for a free port (tests bind that way).
  for (const auto& b : bindings)
    if (b.port != 0 && !qm::IsValidPort(b.port))
      throw std::runtime_error("Ungültiger Port für den HTTP-Server: " + std::to_string(b.port));

  // Certificate and key are loaded before any port is bound: when they
  // fail, nothing listens (no plain HTTP in their place).
  Poco::Net::Context::Ptr context;
  if (tls.enabled) context = MakeServerContext(tls);

  const int threads = std::max(1, limits.maxThreads);

  try {
    for (const auto& b : bindings) {
      Poco::Net::ServerSocket socket = context ? Poco::Net::SecureServerSocket(context) : Poco::Net::ServerSocket();
      // SO_REUSEADDR for a quick restart, but never SO_REUSEPORT: a port in
      // use by another program must fail to bind.
      socket.bind(Poco::Net::SocketAddress(b.ip, static_cast<Poco::UInt16>(b.port)), true, false);
      // Not handed down to child processes (the word processor, the service
      // started when the desktop program closes): a child holding it would
      // keep the port taken, accepting connections nobody answers.
      ::fcntl(socket.impl()->sockfd(), F_SETFD, FD_CLOEXEC);
      // Connections no thread has taken yet wait here.
      socket.listen(std::max(1, limits.maxQueued));
      Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
      params->setKeepAlive(false);
      params->setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(limits.readTimeout.count()) * 1000));
      params->setServerName("Quillmark");
      Poco::Net::HTTPRequestHandlerFactory::Ptr handlers = new HandlerFactory(impl_->module);
      Poco::Net::TCPServerConnectionFactory::Ptr factory;
      if (context)
        factory = new HttpsConnectionFactory(params, handlers);
      else
        factory = new Poco::Net::HTTPServerConnectionFactory(params, handlers);
      auto server = std::make_unique<Listener>(socket, factory, threads);
      server->Start();
      impl_->ports.push_back(socket.address().port());
      impl_->servers.push_back(std::move(server));
    }
  } catch (...) {
    impl_->StopLocked();
    throw;
  }
}

bool TIdHTTPServer::Active() const {
  std::lock_guard lk(impl_->stateMutex);
  return !impl_->servers.empty();
}

void TIdHTTPServer::ClearBindings() {
  std::lock_guard lk(impl_->dataMutex);
  impl_->bindings.clear();
}

void TIdHTTPServer::AddBinding(const std::string& ip, int port) {
  std::lock_guard lk(impl_->dataMutex);
  impl_->bindings.push_back({ip, port});
}

std::vector<TIdHTTPServer::Binding> TIdHTTPServer::Bindings() const {
  std::lock_guard lk(impl_->dataMutex);
  return impl_->bindings;
}

int TIdHTTPServer::DefaultPort() const {
  std::lock_guard lk(impl_->dataMutex);
  return impl_->defaultPort;
}

void TIdHTTPServer::SetDefaultPort(int port) {
  std::lock_guard lk(impl_->dataMutex);
  impl_->defaultPort = port;
}

std::vector<std::uint16_t> TIdHTTPServer::ListeningPorts() const {
  std::lock_guard lk(impl_->stateMutex);
  return impl_->ports;
}

void TIdHTTPServer::SetLimits(const HttpServerLimits& limits) {
  std::lock_guard lk(impl_->dataMutex);
  impl_->limits = limits;
}

HttpServerLimits TIdHTTPServer::Limits() const {
  std::lock_guard lk(impl_->dataMutex);
  return impl_->limits;
}

void TIdHTTPServer::SetTls(const HttpServerTls& tls) {
  std::lock_guard lk(impl_->dataMutex);
  impl_->tls = tls;
}

HttpServerTls TIdHTTPServer::Tls() const {
  std::lock_guard lk(impl_->dataMutex);
  return impl_->tls;
}

// ---- TKomponentModule -----------------------------------------------------

std::string ServerStartFailureText(int port, const std::string& reason) {
  return "HTTP-Server: Port " + std::to_string(port) + " konnte nicht geöffnet werden (" + reason +
         "). HTTP-Anfragen werden nicht beantwortet.";
}

TKomponentModule::TKomponentModule(const qm::SettingsStore& settings, TFDBUtil& directory,
                                   qm::SignatureSource& signatures, UserInterface& ui)
    : settings_(settings), directory_(directory), signatures_(signatures), ui_(ui) {}

TKomponentModule::~TKomponentModule() {
  IdHTTPServer1.SetActive(false);
}

void TKomponentModule::DataModuleCreate() {
  GeneralSettings general = settings_.GetGeneralSettings();
  IdHTTPServer1.ClearBindings();
  int port = general.httpPort;
  if (!qm::IsValidPort(port)) {
    port = kFallbackPort;
    WriteLog("HTTP-Server Port automaticly set to " + std::to_string(kFallbackPort) + ".", ltWarning);
  }
  IdHTTPServer1.AddBinding("0.0.0.0", port);
  IdHTTPServer1.SetTls(TlsOf(general));
  if (!general.httpServerActive) {
    ShowServerState(false);
    return;
  }
  try {
    IdHTTPServer1.SetActive(true);
    ShowServerState(true);
  } catch (const HttpsSetupFailure& e) {
    // Not the port's fault: the log line is the shown sentence with the
    // reason naming the file.
    const std::string shown = ServerStartFailure(port, e);
    WriteLog(shown, ltError);
    ShowServerState(true);
    ui_.ShowError(shown);
  } catch (const std::exception& e) {
    // The log names the port and the reason: the service has no screen, and
    // without this line an administrator would only see that nobody answers.
    WriteLog(ServerStartFailureText(port, ServerFailureDetail(e)), ltError);
    ShowServerState(true);
    ui_.ShowError(ServerStartFailure(port, e));
  }
}

void TKomponentModule::DataModuleDestroy() {
  IdHTTPServer1.SetActive(false);
  IdHTTPServer1.ClearBindings();
}

void TKomponentModule::RestartServer(int port, bool active) {
  IdHTTPServer1.SetActive(false);
  IdHTTPServer1.ClearBindings();
  IdHTTPServer1.SetDefaultPort(port);
  IdHTTPServer1.AddBinding("0.0.0.0", port);
  // The dialog stores the record before it restarts the server.
  IdHTTPServer1.SetTls(TlsOf(settings_.GetGeneralSettings()));
  if (!active) {
    ShowServerState(false);
    return;
  }
  if (!qm::IsValidPort(port)) {
    ShowServerState(true);
    throw std::runtime_error("Ungültiger Port für den HTTP-Server: " + std::to_string(port));
  }
  try {
    IdHTTPServer1.SetActive(true);
  } catch (const std::exception& e) {
    ShowServerState(true);
    throw std::runtime_error(ServerStartFailure(port, e));
  }
  ShowServerState(true);
}

void TKomponentModule::ShowServerState(bool wanted) {
  const std::vector<std::uint16_t> ports = IdHTTPServer1.ListeningPorts();
  std::string text = kServerOffText;
  if (!ports.empty())
    text = "Port " + std::to_string(ports.front());
  else if (wanted)
    text = kServerFailedText;
  ui_.SetLabel(qm::text::kLabelHttpServer, text);
}

std::string TKomponentModule::BuildResponsePage(const std::string& message) {
  const std::string path = qm::ShippedFile("ResponsePage.htm");
  std::string bytes;
  try {
    bytes = qm::ReadWholeFile(path);
  } catch (const std::exception&) {
    throw std::runtime_error(qm::text::kFileReadFailurePrefix + path);
  }
  qm::TextList lines = qm::SplitLines(qm::DecodeStoredText(bytes));
  for (auto& line : lines) line = qm::ReplaceAll(line, "#ResponseText#", message);
  return qm::JoinLinesCrLf(lines);
}

void TKomponentModule::IdHTTPServer1CommandGet(HTTPServerRequest& request, HTTPServerResponse& response) {
  const std::string& target = request.getURI();
  const std::string document = qm::HttpDocumentPath(target);
  WriteLog("HTTP Request erhalten von: " + request.clientAddress().host().toString() + " -> " + document,
           ltInformation);

  std::string body;
  bool tooLarge = false;
  if (!ReadBody(request, IdHTTPServer1.Limits().maxBody, body, tooLarge)) return;  // client broke off
  if (tooLarge) {
    Answer(request, response, BuildResponsePage(kBadRequestText));
    LingeringClose(request);
    return;
  }

  const std::string paramText = qm::HttpParamText(body, qm::HttpQueryText(target));
  std::string address;
  if (!paramText.empty()) address = qm::HttpParams(paramText).front();

  if (document != "/make" || address.empty()) {
    if (!SendStoreFile(document, request, response)) Answer(request, response, BuildResponsePage(kBadRequestText));
    return;
  }
  if (directory_.IsKnownUser(address)) {
    const std::string answer = makeSignature(address);
    WriteLog("Signatur erstellt für: " + address, ltInformation);
    Answer(request, response, answer);
  } else {
    Answer(request, response, BuildResponsePage("ERROR - Brenlo Quillmark: Die Mail-Adresse " + qm::HtmlEscapeText(address) +
                                       " ist unbekannt."));
  }
}

std::string TKomponentModule::makeSignature(const std::string& address) {
  const GeneralSettings general = settings_.GetGeneralSettings();
  std::string answer = BuildResponsePage("Fehler: Abbruch der Methode \"getFileList\".");
  qm::SignatureOrder order;
  order.address = address;
  order.delivery = qm::SignatureDelivery::Download;
  if (general.contentType == ctText || general.contentType == ctHtml) {
    order.file = qm::SignatureFileKind::Text;
  } else if (general.contentType == ctRichText) {
    order.file = qm::SignatureFileKind::RichText;
  }

  // The pipeline holds SignatureLock from the generation until the text has
  // been read and converted: a simultaneous request or mail reply for the
  // same address never rewrites the files in between.
  const std::string failed = "ERROR - Brenlo Quillmark: Fehler in \"makeSignature\".";
  qm::SignatureBundle signature;
  try {
    signature = qm::RunSignaturePipeline(signatures_, order);
  } catch (const std::exception& e) {
    WriteLog(std::string("Fehler in \"makeSignature\". ") + e.what(), ltError);
    return BuildResponsePage(failed);
  }
  switch (signature.outcome) {
    case qm::SignatureBundle::LookupFailed:
      WriteLog(std::string("Fehler in \"makeSignature\". ") + qm::text::kDataSourceFailure, ltError);
      return BuildResponsePage(failed);
    case qm::SignatureBundle::EmptyText: {
      const std::string empty = "Die Signatur konnte nicht erstellt werden, da der Signaturtext leer ist.";
      WriteLog(empty, ltError);
      return BuildResponsePage("ERROR - Brenlo Quillmark: " + empty);
    }
    case qm::SignatureBundle::ConversionFailed:
      return BuildResponsePage("Fehler: RTF-Version konnte nicht erstellt werden.");
    case qm::SignatureBundle::Ready:
    case qm::SignatureBundle::FileUnreadable:  // only for mail delivery
      break;
  }

  // Without a signature file (an unknown signature type) the preset answer
  // is followed by the names.
  if (signature.signatureFile) answer = signature.signatureFile->name + "\n";
  for (const auto& file : signature.attachments) answer += file.name + "\n";

  {
    // One lock around count and label, so the label never shows an older
    // count than the store holds.
    std::lock_guard lk(counterMutex_);
    const std::string count = AddToStateCounter(qm::text::kLabelHttp, 1);
    ui_.SetLabel(qm::text::kLabelHttp, count);
  }
  return answer;
}
