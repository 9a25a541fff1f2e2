// The HTTP server's request handling on arbitrary request bytes, up to the
// answer: the bytes arrive over a loopback connection, POCO reads the request
// as the server does, and the module's handler answers it. The answer must
// be well-formed (status line, a Content-Length that matches the body) and
// never carry a file from outside the attachment store.

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponseImpl.h>
#include <Poco/Net/HTTPServerSession.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "app/Engine.h"
#include "app/Main.h"
#include "directory/UDBUtil.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"
#include "base/UUtils.h"

namespace {

const char kSecret[] = "SECRET-OUTSIDE-THE-STORE-7f3a";

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Setup {
  Setup()
      : dir(FuzzProgramDir()),
        engine(dir, ui, ProgramKind::Service, {}, qm::Engine::Start::None),
        listener(Poco::Net::SocketAddress("127.0.0.1", 0)),
        params(new Poco::Net::HTTPServerParams) {
    ::mkdir((dir + "temp").c_str(), 0755);
    ::mkdir((dir + "temp/sub").c_str(), 0755);
    std::ifstream page(std::string(QM_SOURCE_DIR) + "/packaging/ResponsePage.htm", std::ios::binary);
    Write(dir + "ResponsePage.htm", std::string(std::istreambuf_iterator<char>(page), {}));
    Write(dir + "secret.txt", kSecret);
    Write(dir + "temp/logo.gif", "GIF89a logo");
    Write(dir + "temp/sub/a.txt", "in sub");
    Write(dir + "temp/make", "a file named make");
    ::symlink((dir + "secret.txt").c_str(), (dir + "temp/link.txt").c_str());
    ::symlink(dir.c_str(), (dir + "temp/up").c_str());
    engine.Main().SetVerbosity(0);
    params->setKeepAlive(false);
    params->setTimeout(Poco::Timespan(0, 200000));
  }
  std::string dir;
  NullUserInterface ui;
  // Wired as in the programs; no creation step runs.
  qm::Engine engine;
  TKomponentModule& module = engine.Komponent();
  Poco::Net::ServerSocket listener;
  Poco::Net::HTTPServerParams::Ptr params;
};

// The handler as the server's request handler calls it: GET, HEAD and POST
// only, a failure before any answer becomes status 500.
void Handle(TKomponentModule& module, Poco::Net::HTTPServerRequest& request,
            Poco::Net::HTTPServerResponse& response) {
  const std::string& method = request.getMethod();
  if (method != "GET" && method != "HEAD" && method != "POST") return;
  try {
    module.IdHTTPServer1CommandGet(request, response);
  } catch (const std::exception&) {
    if (!response.sent()) {
      response.setStatus(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
      response.send();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  TrimFile(setup.dir + "signatur.log");

  Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", setup.listener.address().port()));
  Poco::Net::StreamSocket conn = setup.listener.acceptConnection();
  if (size) client.sendBytes(data, static_cast<int>(size));
  client.shutdownSend();

  bool isHead = false;
  try {
    Poco::Net::HTTPServerSession session(conn, setup.params);
    Poco::Net::HTTPServerResponseImpl response(session);
    Poco::Net::HTTPServerRequestImpl request(response, session, setup.params);
    isHead = request.getMethod() == "HEAD";
    Handle(setup.module, request, response);
  } catch (const Poco::Exception&) {
    // A request POCO cannot read: the server answers 400 or closes, without
    // calling the handler.
  }
  conn.close();

  std::string answer;
  char buf[8192];
  for (;;) {
    int n = 0;
    try {
      n = client.receiveBytes(buf, sizeof buf);
    } catch (const Poco::Exception&) {
      break;
    }
    if (n <= 0) break;
    answer.append(buf, static_cast<std::size_t>(n));
  }
  client.close();

  if (answer.empty()) return 0;
  FUZZ_CHECK(answer.rfind("HTTP/1.", 0) == 0, "an answer starts with a status line");
  auto end = answer.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string::npos, "an answer has a complete header");
  const std::string head = qm::LowerAscii(answer.substr(0, end + 2));
  auto cl = head.find("\r\ncontent-length: ");
  if (cl != std::string::npos && !isHead) {
    std::size_t length = std::stoul(head.substr(cl + 18));
    FUZZ_CHECK(answer.size() - (end + 4) == length, "the body is as long as announced");
  }
  // A served file is the body exactly; an error page may quote the request,
  // so only an exact match shows a file from outside the store.
  FUZZ_CHECK(answer.substr(end + 4) != kSecret, "no file from outside the store");
  return 0;
}
