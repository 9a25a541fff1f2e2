#include "HttpsClient.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/StreamCopier.h>

#include <map>
#include <mutex>
#include <sstream>

namespace {

Poco::Net::Context::Ptr ClientContext(const std::string& caFile) {
  static std::mutex mutex;
  static std::map<std::string, Poco::Net::Context::Ptr> contexts;
  std::lock_guard lock(mutex);
  Poco::Net::Context::Ptr& context = contexts[caFile];
  if (!context) {
    Poco::Net::initializeSSL();
    Poco::Net::Context::Params params;
    params.caLocation = caFile;
    params.loadDefaultCAs = false;
    // Strict: POCO's relaxed mode skips the name check for loopback.
    params.verificationMode = Poco::Net::Context::VERIFY_STRICT;
    context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
  }
  return context;
}

HttpsReply Get(Poco::Net::HTTPClientSession& session, const std::string& target, const std::string& host,
               std::uint16_t port) {
  Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, target, Poco::Net::HTTPMessage::HTTP_1_1);
  request.setHost(host, port);
  session.sendRequest(request);
  Poco::Net::HTTPResponse response;
  std::istream& in = session.receiveResponse(response);
  HttpsReply reply;
  reply.status = static_cast<int>(response.getStatus());
  reply.contentType = response.getContentType();
  std::ostringstream body;
  Poco::StreamCopier::copyStream(in, body);
  reply.body = body.str();
  return reply;
}

}  // namespace

HttpsReply HttpsGet(std::uint16_t port, const std::string& target, const std::string& caFile,
                    const std::string& host) {
  // Connects to `host` (localhost resolves to 127.0.0.1 first); the
  // handshake checks the chain against caFile and the name against `host`.
  Poco::Net::HTTPSClientSession session(host, port, ClientContext(caFile));
  session.setTimeout(Poco::Timespan(30, 0));
  return Get(session, target, host, port);
}

HttpsReply HttpGet(std::uint16_t port, const std::string& target) {
  Poco::Net::HTTPClientSession session("127.0.0.1", port);
  session.setTimeout(Poco::Timespan(30, 0));
  return Get(session, target, "127.0.0.1", port);
}
