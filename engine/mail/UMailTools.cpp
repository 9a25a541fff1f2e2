#include "mail/UMailTools.h"
#include "base/Texts.h"

#include <Poco/Base64Encoder.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/Net/MailMessage.h>
#include <Poco/Net/MailRecipient.h>
#include <Poco/Net/MailStream.h>
#include <Poco/Net/MultipartWriter.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/InvalidCertificateHandler.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/POP3ClientSession.h>
#include <Poco/Net/SMTPClientSession.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/VerificationErrorArgs.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/StringPartSource.h>

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "directory/UDBUtil.h"
#include "base/TlsText.h"
#include "base/ULog.h"
#include "base/UserInterface.h"
#include "mail/ReplyText.h"
#include "base/UProgState.h"
#include "settings/SettingsStore.h"
#include "signature/USignaturePipeline.h"
#include "base/UText.h"
#include "base/UUtils.h"

TFMailTools* FMailTools = nullptr;

namespace {

const char* const kSmtpReplyFailure =
    "Fehler beim Senden über Smtp. Aktivieren Sie ggf. Authentifizierung bei Ihrem SMTP-Account!";
const char* const kSendFailure = "Fehler beim Versenden der Mail!";
const char* const kSmtpConnectionLost = "Die Verbindung zum SMTP-Server ist abgebrochen";

/// An SMTP error reply; `reply` is the server's reply as received.
class SmtpReplyError : public std::runtime_error {
 public:
  SmtpReplyError(int code, const std::string& reply) : std::runtime_error(reply), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

/// The SMTP session with its dialogue socket in reach, for writing the
/// message body straight to it.
class SmtpSession : public Poco::Net::SMTPClientSession {
 public:
  using SMTPClientSession::SMTPClientSession;
  using SMTPClientSession::login;  // with the EHLO reply
  using SMTPClientSession::socket;
};

/// A secured connection that could not be made or would not be safe; the
/// text is the German log line (TlsFailureText).
class TlsFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The certificate check's result of the last handshake on this thread, as
/// OpenSSL reported it to the certificate handler (X509_V_OK when none).
thread_local long lastVerifyError = X509_V_OK;

/// Rejects every certificate OpenSSL finds fault with and keeps the reason
/// for the log line. Installed as the client handler of POCO's SSLManager,
/// so that the manager never looks for an application configuration or a
/// console handler.
class RejectAndRecordHandler : public Poco::Net::InvalidCertificateHandler {
 public:
  RejectAndRecordHandler() : InvalidCertificateHandler(false) {}
  void onInvalidCertificate(const void*, Poco::Net::VerificationErrorArgs& args) override {
    lastVerifyError = args.errorNumber();
    args.setIgnoreError(false);
  }
};

void InitializeTls() {
  static std::once_flag once;
  std::call_once(once, [] {
    Poco::Net::initializeSSL();
    Poco::Net::SSLManager::instance().initializeClient(
        nullptr, Poco::Net::SSLManager::InvalidCertificateHandlerPtr(new RejectAndRecordHandler), nullptr);
  });
}

/// The client context of the connections: the system's CAs plus the
/// profile's CA file; the server's certificate and name checked unless
/// tlsVerifyPeer is off. (VERIFY_STRICT: POCO skips the name check for a
/// loopback address in its relaxed mode.) Loading the system's CA bundle
/// costs more than a handshake, so a context is made once per CA file (and
/// its modification time) and check setting, and shared by every connection
/// of the process; OpenSSL allows connections on several threads to share
/// one.
/// Throws TlsFailure when the CA file cannot be loaded; no connection is
/// made then.
Poco::Net::Context::Ptr ClientContext(const GeneralSettings& general, const std::string& service,
                                      const std::string& host, int port) {
  InitializeTls();
  std::string key = std::string(general.tlsVerifyPeer ? "1" : "0") + general.tlsCaFile;
  std::error_code ec;
  if (!general.tlsCaFile.empty()) {
    const auto stamp = std::filesystem::last_write_time(general.tlsCaFile, ec);
    if (!ec) key += "\n" + std::to_string(stamp.time_since_epoch().count());
  }
  static std::mutex mutex;
  static std::map<std::string, Poco::Net::Context::Ptr> contexts;
  std::lock_guard<std::mutex> lock(mutex);
  Poco::Net::Context::Ptr& context = contexts[key];
  if (context) return context;
  Poco::Net::Context::Params params;
  params.caLocation = general.tlsCaFile;
  params.loadDefaultCAs = true;
  params.verificationMode =
      general.tlsVerifyPeer ? Poco::Net::Context::VERIFY_STRICT : Poco::Net::Context::VERIFY_NONE;
  try {
    context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
  } catch (const Poco::Exception& e) {
    throw TlsFailure(qm::TlsFailureText(service, host, port,
                                        "die CA-Datei " + general.tlsCaFile + " kann nicht geladen werden (" +
                                            e.displayText() + ")"));
  }
  return context;
}

bool IsIpAddress(const std::string& host) {
  Poco::Net::IPAddress ip;
  return Poco::Net::IPAddress::tryParse(host, ip);
}

/// TLS on a connected socket: the handshake and the check of the server's
/// certificate for `host`. Throws TlsFailure with the log line.
Poco::Net::SecureStreamSocket Secure(const Poco::Net::StreamSocket& plain, const std::string& service,
                                     const std::string& host, int port, const Poco::Net::Context::Ptr& context) {
  lastVerifyError = X509_V_OK;
  try {
    Poco::Net::SecureStreamSocket secure = Poco::Net::SecureStreamSocket::attach(plain, host, context);
    // When the read time-out ends a handshake the peer does not answer,
    // POCO leaves it unfinished and would finish it at the first read,
    // without the name check. It is finished and checked here.
    if (secure.completeHandshake() != 1)
      throw TlsFailure(qm::TlsFailureText(service, host, port, qm::TlsHandshakeReason("Zeitüberschreitung")));
    secure.verifyPeerCertificate(host);
    return secure;
  } catch (const TlsFailure&) {
    throw;
  } catch (const Poco::Net::CertificateValidationException&) {
    // Thrown after the handshake when the certificate does not name `host`.
    long result = lastVerifyError;
    if (result == X509_V_OK) result = IsIpAddress(host) ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH;
    throw TlsFailure(qm::TlsFailureText(service, host, port, qm::TlsVerifyReason(result, host)));
  } catch (const Poco::Exception& e) {
    const std::string reason = lastVerifyError != X509_V_OK ? qm::TlsVerifyReason(lastVerifyError, host)
                                                            : qm::TlsHandshakeReason(e.displayText());
    throw TlsFailure(qm::TlsFailureText(service, host, port, reason));
  }
}

/// True when an EHLO reply announces STARTTLS (one keyword per line).
bool OffersStartTls(const std::string& ehloReply) {
  std::istringstream lines(ehloReply);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 4) continue;
    std::string keyword = line.substr(4);
    keyword = keyword.substr(0, keyword.find_first_of(" \r"));
    std::transform(keyword.begin(), keyword.end(), keyword.begin(), [](unsigned char c) { return std::toupper(c); });
    if (keyword == "STARTTLS") return true;
  }
  return false;
}

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}

/// Header texts come from the settings; a line break in them would end the
/// header field, so it is replaced by a blank.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return s;
}

/// An unstructured header text: RFC 2047 encoded when it is not plain ASCII.
std::string HeaderText(const std::string& s) {
  std::string line = OneLine(s);
  return IsAscii(line) ? line : Poco::Net::MailMessage::encodeWord(line, "UTF-8");
}

/// The sender as "Name <address>"; a name with specials is quoted.
std::string Mailbox(const std::string& name, const std::string& address) {
  std::string n = OneLine(name);
  std::string addr = "<" + OneLine(address) + ">";
  if (n.empty()) return addr;
  if (!IsAscii(n)) return Poco::Net::MailMessage::encodeWord(n, "UTF-8") + " " + addr;
  if (n.find_first_of("()<>[]:;@\\,.\"") != std::string::npos) {
    std::string q = "\"";
    for (char c : n) {
      if (c == '"' || c == '\\') q += '\\';
      q += c;
    }
    return q + "\" " + addr;
  }
  return n + " " + addr;
}

/// Replaces the random boundaries POCO's writer chose ("MIME_boundary_" and
/// 16 hex digits) by the generator's, in order of first appearance.
std::string PinBoundaries(const std::string& text, const qm::BoundaryGenerator& gen) {
  static const std::string kPrefix = "MIME_boundary_";
  constexpr std::size_t kLen = 14 + 16;
  std::map<std::string, std::string> map;
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = text.find(kPrefix, pos);
    if (hit == std::string::npos || hit + kLen > text.size()) break;
    std::string token = text.substr(hit, kLen);
    bool hex = std::all_of(token.begin() + 14, token.end(), [](char c) { return std::isxdigit((unsigned char)c); });
    if (!hex) {
      out.append(text, pos, hit + 1 - pos);
      pos = hit + 1;
      continue;
    }
    auto it = map.find(token);
    if (it == map.end()) it = map.emplace(token, gen()).first;
    out.append(text, pos, hit - pos);
    out += it->second;
    pos = hit + kLen;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

/// A text or attachment part source with its header lines laid out in the
/// order the reply shows them: Content-Type, Content-Transfer-Encoding,
/// Content-Disposition, then Content-ID. The writer fills in the first
/// three values; it keeps the positions of fields that exist already.
Poco::Net::PartSource* MakeSource(const qm::ReplyPart& part) {
  std::string type;
  if (part.kind == qm::ReplyPart::Text) {
    type = part.contentType + "; charset=utf-8";
  } else {
    type = part.contentType.empty() ? "application/octet-stream" : part.contentType;
  }
  auto* src = new Poco::Net::StringPartSource(part.body, type, part.fileName);
  if (!part.contentId.empty()) {
    src->headers().set("Content-Type", "");
    src->headers().set("Content-Transfer-Encoding", "");
    src->headers().set("Content-Disposition", "");
    src->headers().set("Content-ID", OneLine(part.contentId));
  }
  return src;
}

std::string Base64(const std::string& s) {
  std::ostringstream out;
  Poco::Base64Encoder enc(out);
  enc.rdbuf()->setLineLength(0);
  enc << s;
  enc.close();
  return out.str();
}

std::chrono::milliseconds Positive(std::chrono::milliseconds ms) {
  return ms.count() > 0 ? ms : std::chrono::milliseconds(1);
}

Poco::Timespan Span(std::chrono::milliseconds ms) { return Poco::Timespan(Positive(ms).count() * 1000); }

/// The server's reply carried by one of POCO's SMTP exceptions: the text
/// after the exception's own sentence ("Login failed: 535 ...").
std::string ReplyOf(const Poco::Net::SMTPException& e) {
  const std::string& m = e.message();
  auto p = m.find(": ");
  return p == std::string::npos ? m : m.substr(p + 2);
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Composition

namespace qm {

std::string ImageMediaType(std::string_view name) {
  const ImageType* type = FindImageType(name);
  return type ? std::string(type->mediaType) : "";
}

std::string ComposeReply(const ReplyMessage& message, const Poco::Timestamp& date, const BoundaryGenerator& boundary) {
  using Poco::Net::MailMessage;
  MailMessage m;
  m.setDate(date);
  m.setSender(Mailbox(message.senderName, message.senderAddress));
  m.setSubject(HeaderText(message.subject));
  m.addRecipient(Poco::Net::MailRecipient(Poco::Net::MailRecipient::PRIMARY_RECIPIENT, OneLine(message.recipient)));

  bool attachments = false, related = false;
  for (const auto& p : message.parts) {
    if (p.kind == ReplyPart::Attachment) {
      attachments = true;
      if (!p.contentId.empty()) related = true;
    }
  }
  if (!attachments) {
    m.setContentType("multipart/alternative");
    for (const auto& p : message.parts)
      m.addPart("", MakeSource(p), MailMessage::CONTENT_INLINE, MailMessage::ENCODING_QUOTED_PRINTABLE);
  } else {
    m.setContentType(related ? "multipart/related; type=\"multipart/alternative\"" : "multipart/mixed");
    auto* alternative = new Poco::Net::MultipartSource("multipart/alternative");
    for (const auto& p : message.parts)
      if (p.kind == ReplyPart::Text)
        alternative->addPart("", MakeSource(p), MailMessage::CONTENT_INLINE, MailMessage::ENCODING_QUOTED_PRINTABLE);
    m.addPart("", alternative, MailMessage::CONTENT_INLINE, MailMessage::ENCODING_7BIT);
    for (const auto& p : message.parts)
      if (p.kind == ReplyPart::Attachment)
        m.addPart(p.fileName, MakeSource(p), MailMessage::CONTENT_ATTACHMENT, MailMessage::ENCODING_BASE64);
  }
  std::ostringstream out;
  m.write(out);
  return boundary ? PinBoundaries(out.str(), boundary) : out.str();
}

// ---------------------------------------------------------------------------
// Request mails

std::string RawFromHeader(std::string_view message) {
  // Walk the header block line by line (CR LF or LF); continuation lines
  // (starting with a blank) belong to the field before them.
  std::size_t pos = 0;
  bool inFrom = false, found = false;
  std::string value;
  while (pos < message.size()) {
    std::size_t end = message.find('\n', pos);
    std::size_t next = end == std::string_view::npos ? message.size() : end + 1;
    std::string_view line = message.substr(pos, (end == std::string_view::npos ? message.size() : end) - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = next;
    if (line.empty()) break;  // end of the header block
    if (line.front() == ' ' || line.front() == '\t') {
      if (inFrom) value.append(line);
      continue;
    }
    if (found) break;
    inFrom = false;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (EqualsIgnoreCase(name, "From")) {
      inFrom = found = true;
      value.assign(line.substr(colon + 1));
    }
  }
  return value;
}

std::string BareAddress(std::string_view v) {
  // Scan the first mailbox of the list: quoted strings and comments are
  // skipped, the first angle-address wins; without one, the text outside
  // quotes and comments is the address.
  std::string plain, angle;
  bool haveAngle = false;
  std::size_t i = 0;
  int comment = 0;
  while (i < v.size()) {
    char c = v[i];
    if (comment > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++comment;
      else if (c == ')') --comment;
      ++i;
      continue;
    }
    if (c == '(') {
      comment = 1;
      ++i;
    } else if (c == '"') {
      ++i;
      while (i < v.size() && v[i] != '"') i += v[i] == '\\' ? 2 : 1;
      ++i;
      plain += ' ';  // a quoted display name is never part of the address
    } else if (c == '<') {
      std::size_t close = v.find('>', i + 1);
      angle.assign(v.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
      haveAngle = true;
      break;
    } else if (c == ',' || c == ';') {
      break;
    } else {
      plain += c;
      ++i;
    }
  }
  std::string addr = haveAngle ? angle : plain;
  auto notBlank = [](unsigned char ch) { return ch != ' ' && ch != '\t'; };
  auto b = std::find_if(addr.begin(), addr.end(), notBlank);
  auto e = std::find_if(addr.rbegin(), addr.rend(), notBlank).base();
  addr = b < e ? std::string(b, e) : std::string();
  if (addr.find('@') == std::string::npos || HasControl(addr) || addr.find_first_of(" \t<>\"") != std::string::npos)
    return {};
  return addr;
}

}  // namespace qm

// ---------------------------------------------------------------------------
// TFMailTools

TFMailTools::TFMailTools(const qm::SettingsStore& settings, TFDBUtil& directory, qm::SignatureSource& signatures,
                         UserInterface& ui)
    : settings_(settings), directory_(directory), signatures_(signatures), ui_(ui) {}

TFMailTools::~TFMailTools() {
  DropSmtp();
  DropPop3();
}

std::string TFMailTools::ExtractAddress(const std::string& text) {
  std::string out;
  bool inside = false;
  for (char c : text) {
    if (c == '<') inside = true;
    else if (c == '>') inside = false;
    else if (inside) out += c;
  }
  return out.empty() ? text : out;
}

bool TFMailTools::IsKnownUser(const std::string& address) { return directory_.IsKnownUser(address); }

void TFMailTools::DropSmtp() {
  // Closing the shared socket first makes the session's own QUIT in its
  // destructor fail at once instead of waiting on a dead peer.
  if (smtpSocket_) {
    try {
      smtpSocket_->close();
    } catch (...) {
    }
  }
  theSmtp.reset();
  smtpSocket_.reset();
}

void TFMailTools::DropPop3() {
  if (pop3Socket_) {
    try {
      pop3Socket_->close();
    } catch (...) {
    }
  }
  thePOP3.reset();
  pop3Socket_.reset();
}

void TFMailTools::Transmit(const std::string& host, const std::string& user, const std::string& password,
                           const std::string& from, const std::string& to, const std::string& rendered) {
  using Poco::Net::SMTPClientSession;
  if (HasControl(from) || HasControl(to)) throw std::invalid_argument("Ungültige Adresse: " + OneLine(to));
  const TestHooks& hooks = Hooks();
  const GeneralSettings general = settings_.GetGeneralSettings();
  const std::uint8_t security = general.smtpSecurity;
  const std::uint16_t port = hooks.smtpPort ? hooks.smtpPort : static_cast<std::uint16_t>(SmtpPortOf(general));
  Poco::Net::Context::Ptr context;
  if (security != msNone) {
    if (!general.tlsVerifyPeer) WriteLog(qm::TlsNoVerifyWarning("SMTP", host, port), ltWarning);
    context = ClientContext(general, "SMTP", host, port);
  }
  smtpSocket_ = std::make_unique<Poco::Net::StreamSocket>();
  smtpSocket_->connect(Poco::Net::SocketAddress(host, port), Span(hooks.timeouts.connect));
  smtpSocket_->setReceiveTimeout(Span(hooks.timeouts.read));
  smtpSocket_->setSendTimeout(Span(hooks.timeouts.read));
  if (security == msImplicitTls) *smtpSocket_ = Secure(*smtpSocket_, "SMTP", host, port, context);
  theSmtp = std::make_unique<SmtpSession>(*smtpSocket_);
  theSmtp->setTimeout(Span(hooks.timeouts.read));

  // Greeting and EHLO (HELO when EHLO is refused); then AUTH LOGIN is sent
  // whatever the server announced.
  std::string ehlo;
  static_cast<SmtpSession&>(*theSmtp).login(Poco::Environment::nodeName(), ehlo);
  if (security == msStartTls) {
    // No credentials before TLS: a server that does not offer STARTTLS, or
    // refuses it, gets a QUIT and nothing else. (POCO's secure session
    // would check the certificate against the address instead of the host
    // name, so the switch is made here the way it makes it.)
    std::string reply;
    if (!OffersStartTls(ehlo) || theSmtp->sendCommand("STARTTLS", reply) / 100 != 2) {
      try {
        theSmtp->close();  // QUIT
      } catch (...) {
      }
      throw TlsFailure(qm::TlsFailureText("SMTP", host, port, qm::kTlsNoStartTls));
    }
    Poco::Net::DialogSocket& dialog = static_cast<SmtpSession&>(*theSmtp).socket();
    dialog = Secure(dialog, "SMTP", host, port, context);
    *smtpSocket_ = dialog;
    static_cast<SmtpSession&>(*theSmtp).login(Poco::Environment::nodeName(), ehlo);  // EHLO again, now over TLS
  }
  // No reply at all means the server closed the connection: that is a lost
  // connection, not an error reply.
  auto check = [](int status, const std::string& reply, int wanted) {
    if (status <= 0 && reply.empty()) throw std::runtime_error(kSmtpConnectionLost);
    bool ok = wanted == 250 ? status / 100 == 2 : status == wanted;
    if (!ok) throw SmtpReplyError(status, reply);
  };
  auto expect = [this, &check](const std::string& command, int wanted) {
    std::string reply;
    int status = theSmtp->sendCommand(command, reply);
    check(status, reply, wanted);
  };
  expect("AUTH LOGIN", 334);
  expect(Base64(user), 334);
  expect(Base64(password), 235);
  expect("MAIL FROM:<" + from + ">", 250);
  expect("RCPT TO:<" + to + ">", 250);
  expect("DATA", 354);

  // The message with dot-stuffing and the terminating line, written straight
  // to the socket: a server that goes away in the middle of the body makes
  // the write fail with the socket's own error. (Writing through a stream,
  // as the session's sendMessage does, swallows that error, and the missing
  // reply is then reported as a rejection of the message.)
  std::ostringstream stuffed;
  {
    Poco::Net::MailOutputStream body(stuffed);
    body << rendered;
    body.close();
  }
  const std::string wire = stuffed.str();
  Poco::Net::DialogSocket& socket = static_cast<SmtpSession&>(*theSmtp).socket();
  for (std::size_t sent = 0; sent < wire.size();) {
    const int chunk = static_cast<int>(std::min<std::size_t>(wire.size() - sent, 64 * 1024));
    int n = 0;
    try {
      n = socket.sendBytes(wire.data() + sent, chunk);
    } catch (const Poco::IOException& e) {
      // The send time-out shows as EAGAIN ("Operation would block"): the
      // server has stopped reading. It is a time-out like a missing reply.
      if (e.code() == EAGAIN || e.code() == EWOULDBLOCK) throw Poco::TimeoutException();
      throw;
    }
    if (n <= 0) throw std::runtime_error(kSmtpConnectionLost);
    sent += static_cast<std::size_t>(n);
  }
  std::string reply;
  const int status = socket.receiveStatusMessage(reply);
  check(status, reply, 250);
}

void TFMailTools::Fail(const std::string& text) {
  lastFailure_ = text;
  WriteLog(text, ltError);
}

bool TFMailTools::SendSignature(const std::string& address0, bool manual) {
  const std::string address = ExtractAddress(address0);
  const MailSettings mail = settings_.GetMailSettings();
  const GeneralSettings general = settings_.GetGeneralSettings();
  lastFailure_.clear();

  const bool known = IsKnownUser(address);
  if (!known && (manual || !general.altTextEnabled)) {
    // Not logged: the dialog's message is the only report of it.
    lastFailure_ = "Die EMail Adresse " + address + " konnte nicht in der Datenbank gefunden werden.";
    return false;
  }

  WriteLog("Die Nachricht wird versandt...", ltInformation);
  sendMessage.Clear();
  sendMessage.subject = mail.subject;
  sendMessage.senderName = mail.senderName;
  sendMessage.senderAddress = mail.senderAddress;
  sendMessage.recipient = address;
  if (known) {
    if (!AddSignatureParts(address, general)) return false;
  } else {
    AddAlternativeParts(address, general);
  }
  if (!TransmitReply(mail, address)) return false;

  // The server accepted the message.
  const std::string count = AddToStateCounter(qm::text::kLabelSent, 1);
  ui_.SetLabel(qm::text::kLabelSent, count);
  WriteLog("Antwort/ Signatur erfolgreich gesendet an:" + address, ltInformation);
  try {
    theSmtp->close();  // QUIT
  } catch (...) {
  }
  DropSmtp();
  return true;
}

bool TFMailTools::AddSignatureParts(const std::string& address, const GeneralSettings& general) {
  const std::string& sendAs = general.sendAs;
  qm::SignatureOrder order;
  order.address = address;
  order.delivery = qm::SignatureDelivery::Mail;
  order.attachments = sendAs != "none";
  if (sendAs == "anhang" || sendAs == "both") {
    if (general.contentType == ctText)
      order.file = qm::SignatureFileKind::Text;
    else if (general.contentType == ctHtml)
      order.file = qm::SignatureFileKind::Html;
    else if (general.contentType == ctRichText)
      order.file = qm::SignatureFileKind::RichText;
  }
  // Generates, converts and reads every file under SignatureLock, which is
  // free again before the server is contacted.
  qm::SignatureBundle signature = qm::RunSignaturePipeline(signatures_, order);
  if (signature.outcome == qm::SignatureBundle::LookupFailed) {
    Fail(qm::text::kDataSourceFailure);
    return false;
  }
  if (signature.outcome == qm::SignatureBundle::EmptyText) {
    Fail("Die E-Mail konnte nicht gesendet werden, da Ihre Signatur leer ist.");
    return false;
  }
  const qm::TextList mailText = signatures_.MailTextLines();
  const bool inBody = sendAs == "body" || sendAs == "both";
  const std::string signatureText = inBody ? qm::DecodeStoredText(signature.text) : std::string();
  qm::TextList lines = mailText;
  lines.push_back("\r\n");
  if (general.contentType == ctText) {
    // A text signature: both parts carry the mail text and the signature.
    qm::TextList sig = qm::SplitLines(signatureText);
    lines.insert(lines.end(), sig.begin(), sig.end());
    const std::string text = qm::JoinLinesCrLf(lines);
    sendMessage.parts.push_back({qm::ReplyPart::Text, "text/plain", text, "", ""});
    sendMessage.parts.push_back({qm::ReplyPart::Text, "text/plain", text, "", ""});
  } else {
    // An HTML signature: the plain part renders it as text, the HTML part
    // is its document with the mail text at the start of the body.
    const std::string plain = qm::JoinLinesCrLf(lines) + qm::HtmlToPlainText(signatureText);
    sendMessage.parts.push_back({qm::ReplyPart::Text, "text/plain", plain, "", ""});
    sendMessage.parts.push_back({qm::ReplyPart::Text, "text/html", qm::HtmlReply(mailText, signatureText), "", ""});
  }
  if (signature.outcome == qm::SignatureBundle::FileUnreadable) {
    Fail(std::string(kSendFailure) + "\r\n" + signature.failure);
    return false;
  }

  if (signature.signatureFile) {
    auto& f = *signature.signatureFile;
    sendMessage.parts.push_back({qm::ReplyPart::Attachment, "", std::move(f.bytes), f.name, ""});
  }
  for (auto& f : signature.attachments) {
    const bool image = qm::IsImageName(f.name);
    sendMessage.parts.push_back({qm::ReplyPart::Attachment, image ? qm::ImageMediaType(f.name) : "",
                                 std::move(f.bytes), qm::ExtractFileName(f.name), image ? "<" + f.name + ">" : ""});
  }
  return true;
}

void TFMailTools::AddAlternativeParts(const std::string& address, const GeneralSettings& general) {
  WriteLog("Die EMail Adresse " + address +
               " konnte nicht in der Datenbank gefunden werden. Es wird eine Ersatznachricht versand!",
           ltWarning);
  const std::string text = qm::JoinLinesCrLf({general.altText});
  sendMessage.parts.push_back({qm::ReplyPart::Text, "text/plain", text, "", ""});
  sendMessage.parts.push_back({qm::ReplyPart::Text, "text/plain", text, "", ""});
}

bool TFMailTools::TransmitReply(const MailSettings& mail, const std::string& address) {
  try {
    const TestHooks& hooks = Hooks();
    Poco::Timestamp date = hooks.clock ? hooks.clock() : Poco::Timestamp();
    lastRendered_ = qm::ComposeReply(sendMessage, date, hooks.boundary);
    Transmit(mail.smtpHost, mail.smtpUserId, mail.smtpPassword, mail.senderAddress, address, lastRendered_);
    return true;
  } catch (const TlsFailure& e) {
    DropSmtp();
    Fail(std::string(kSendFailure) + "\r\n" + e.what());
  } catch (const SmtpReplyError& e) {
    DropSmtp();
    Fail(std::string(kSmtpReplyFailure) + "\r\n" + e.what());
  } catch (const Poco::Net::SMTPException& e) {
    DropSmtp();
    if (e.code() != 0)
      Fail(std::string(kSmtpReplyFailure) + "\r\n" + ReplyOf(e));
    else
      Fail(std::string(kSendFailure) + "\r\n" + e.displayText());
  } catch (const Poco::Exception& e) {
    DropSmtp();
    Fail(std::string(kSendFailure) + "\r\n" + e.displayText());
  } catch (const std::exception& e) {
    DropSmtp();
    Fail(std::string(kSendFailure) + "\r\n" + e.what());
  }
  return false;
}

// ---------------------------------------------------------------------------
// Request mailbox

void TFMailTools::ReceiveMails(const PollProgress& progress) {
  const MailSettings mail = settings_.GetMailSettings();
  if (thePOP3) return;  // a poll is still connected

  try {
    ConnectPop3(mail);
    const int n = thePOP3->messageCount();
    if (n <= 0) {
      WriteLog("Keine neuen Nachrichten auf dem Server.", ltInformation);
    } else {
      ui_.SetLabel(qm::text::kLabelReceived, AddToStateCounter(qm::text::kReceivedCounter, n));
      WriteLog(std::to_string(n) + " neue Nachrichten werden empfangen.", ltInformation);
      for (int i = 1; i <= n; ++i) {
        if (progress) progress(i, n);
        AnswerRequest(i);
      }
    }
    thePOP3->close();  // QUIT: the server carries out the deletions
    DropPop3();
  } catch (const TlsFailure& e) {
    // Nothing was fetched or deleted: the requests wait for the next poll.
    QuitPop3AfterFailure();
    WriteLog(e.what(), ltError);
    WriteLog("Fehler beim Abholen von EMails über Pop3!", ltError);
  } catch (...) {
    QuitPop3AfterFailure();
    WriteLog("Fehler beim Abholen von EMails über Pop3!", ltError);
  }
}

void TFMailTools::ConnectPop3(const MailSettings& mail) {
  const TestHooks& hooks = Hooks();
  const GeneralSettings general = settings_.GetGeneralSettings();
  const std::uint8_t security = general.pop3Security;
  const std::string& host = mail.pop3Host;
  const std::uint16_t port = hooks.pop3Port ? hooks.pop3Port : static_cast<std::uint16_t>(Pop3PortOf(general));
  Poco::Net::Context::Ptr context;
  if (security != msNone) {
    if (!general.tlsVerifyPeer) WriteLog(qm::TlsNoVerifyWarning("POP3", host, port), ltWarning);
    context = ClientContext(general, "POP3", host, port);
  }
  pop3Socket_ = std::make_unique<Poco::Net::StreamSocket>();
  pop3Socket_->connect(Poco::Net::SocketAddress(host, port), Span(hooks.timeouts.connect));
  pop3Socket_->setReceiveTimeout(Span(hooks.timeouts.read));
  pop3Socket_->setSendTimeout(Span(hooks.timeouts.read));
  if (security == msNone) {
    thePOP3 = std::make_unique<Poco::Net::POP3ClientSession>(*pop3Socket_);
    thePOP3->setTimeout(Span(hooks.timeouts.read));
    thePOP3->login(mail.pop3Login, mail.pop3Password);
  } else {
    if (security == msStartTls) {
      // Greeting and STLS in the clear; a server that refuses STLS gets a
      // QUIT and no credentials.
      Poco::Net::DialogSocket dialog(*pop3Socket_);
      std::string reply;
      dialog.receiveMessage(reply);
      if (reply.rfind("+OK", 0) != 0) throw Poco::Net::POP3Exception("The POP3 service is unavailable", reply);
      dialog.sendMessage("STLS");
      dialog.receiveMessage(reply);
      if (reply.rfind("+OK", 0) != 0) {
        try {
          dialog.sendMessage("QUIT");
          dialog.receiveMessage(reply);
        } catch (...) {
        }
        throw TlsFailure(qm::TlsFailureText("POP3", host, port, qm::kTlsNoStls));
      }
    }
    *pop3Socket_ = Secure(*pop3Socket_, "POP3", host, port, context);
    thePOP3 = std::make_unique<Poco::Net::POP3ClientSession>(*pop3Socket_);
    thePOP3->setTimeout(Span(hooks.timeouts.read));
    if (security == msImplicitTls) {
      thePOP3->login(mail.pop3Login, mail.pop3Password);  // greeting, USER, PASS
    } else {
      // The greeting came before STLS: USER and PASS as the session's login sends them.
      std::string reply;
      if (!thePOP3->sendCommand("USER", mail.pop3Login, reply))
        throw Poco::Net::POP3Exception("Login rejected for user", reply);
      if (!thePOP3->sendCommand("PASS", mail.pop3Password, reply))
        throw Poco::Net::POP3Exception("Password rejected for user", reply);
    }
  }
  WriteLog("Verbunden mit Mailbox: " + mail.pop3Host, ltInformation);
}

void TFMailTools::AnswerRequest(int i) {
  std::string requestMail;  // the message object of this poll
  try {
    std::ostringstream out;
    thePOP3->retrieveMessage(i, out);
    requestMail = out.str();
  } catch (const Poco::Net::POP3Exception&) {
    requestMail.clear();  // "-ERR": the message stays empty
  }
  // The retrieval stream ends without an error when the connection drops or
  // stalls in the middle of a message, so a message counts as whole only
  // when the session still answers afterwards. A cut-off request must not
  // be answered or deleted.
  std::string reply;
  if (!thePOP3->sendCommand("NOOP", reply))
    throw Poco::Net::POP3Exception("Die Verbindung zum POP3-Server ist abgebrochen", reply);

  const std::string sender = qm::BareAddress(qm::RawFromHeader(requestMail));
  if (sender.empty()) return;
  WriteLog("Neue Mail von:" + sender, ltWarning);
  if (!SendSignature(sender, false)) WriteLog("Es konnte keine Antwort gesendet werden.", ltError);
  try {
    thePOP3->deleteMessage(i);
  } catch (const Poco::Net::POP3Exception& e) {
    // A refusal ("-ERR") is reported and the poll goes on; a lost connection
    // ends the poll.
    if (e.message().find("-ERR") == std::string::npos) throw;
    WriteLog("Nachricht konnte nicht vom pop3 Konto gelöscht werden!", ltError);
  }
}

void TFMailTools::QuitPop3AfterFailure() {
  // QUIT still carries out the deletions of the requests answered so far; a
  // dead connection is dropped after a short wait.
  if (thePOP3) {
    try {
      const auto read = Hooks().timeouts.read;
      thePOP3->setTimeout(Span(std::min<std::chrono::milliseconds>(read, std::chrono::seconds(10))));
      thePOP3->close();
    } catch (...) {
    }
  }
  DropPop3();
}

// ---------------------------------------------------------------------------
// Bulk-send dialog

void TFMailTools::FormShow() {
  if (SGrid_Mail.empty()) SGrid_Mail.assign(2, {"", ""});
  SGrid_Mail[0] = {"Mail senden", "Adresse"};
  SGrid_MailColWidth1 = 300;
  if (directory_.FindUser("")) {
    try {
      // The current result set is the data set the directory's grid shows.
      qm::data::DataSet* users = directory_.DBGrid1.DataSource ? directory_.DBGrid1.DataSource->DataSet : nullptr;
      if (!users) throw qm::data::DataError("Keine Ergebnismenge geöffnet");
      const std::string field = settings_.GetAddressField();
      const std::size_t count = users->RecordCount();
      SGrid_Mail.resize(count + 1, {"", ""});
      users->First();
      for (std::size_t k = 1; !users->Eof() && k < SGrid_Mail.size(); ++k) {
        const qm::data::Value& v = users->FieldByName(field);
        SGrid_Mail[k][1] = v.IsArray() ? TFDBUtil::JoinMultiValue(v) : v.AsText();
        users->Next();
      }
    } catch (const std::exception& e) {
      WriteLog(std::string("Datenbankfehler: ") + e.what(), ltError);
    }
  }
  directory_.CloseConnection();
  for (std::size_t r = 1; r < SGrid_Mail.size(); ++r) SGrid_Mail[r][0] = "Nein";
  SGrid_MailCol = 0;
  SGrid_MailRow = 1;
  closeRequested = false;
}

void TFMailTools::Btn_alleClick() {
  for (std::size_t r = 1; r < SGrid_Mail.size(); ++r) SGrid_Mail[r][0] = "Ja";
}

void TFMailTools::Btn_keineClick() {
  for (std::size_t r = 1; r < SGrid_Mail.size(); ++r) SGrid_Mail[r][0] = "Nein";
}

void TFMailTools::SGrid_MailMouseUp() {
  if (SGrid_MailCol != 0 || SGrid_MailRow < 1 || static_cast<std::size_t>(SGrid_MailRow) >= SGrid_Mail.size()) return;
  std::string& mark = SGrid_Mail[SGrid_MailRow][0];
  mark = mark == "Ja" ? "Nein" : "Ja";
}

void TFMailTools::Btn_sendClick() {
  SendRun run = PrepareSend(false);
  RunSend(run);
  ReportSend(run);
}

void TFMailTools::Button2Click() {
  SendRun run = PrepareSend(true);
  RunSend(run);
  ReportSend(run);
}

TFMailTools::SendRun TFMailTools::PrepareSend(bool single) const {
  SendRun run;
  run.single = single;
  if (single) {
    if (!E_eineAdr.empty()) run.addresses.push_back(E_eineAdr);  // as typed
  } else {
    for (std::size_t r = 1; r < SGrid_Mail.size(); ++r)
      if (SGrid_Mail[r].size() >= 2 && SGrid_Mail[r][0] == "Ja") run.addresses.push_back(SGrid_Mail[r][1]);
  }
  return run;
}

void TFMailTools::RunSend(SendRun& run, const SendProgress& progress, const std::atomic<bool>* cancel) {
  const std::size_t count = run.addresses.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (cancel && cancel->load()) {
      run.cancelled = true;
      WriteLog("Der Versand wurde abgebrochen. Es wurden " + std::to_string(run.sent) + " von " +
                   std::to_string(count) + " Signaturen versendet.",
               ltWarning);
      return;
    }
    if (progress) progress(i + 1, count, run.addresses[i]);
    lastFailure_.clear();
    if (!SendSignature(run.addresses[i], true)) {
      run.failed = true;
      run.failure = lastFailure_;
      return;  // the rest are not attempted
    }
    ++run.sent;
  }
}

void TFMailTools::ReportSend(const SendRun& run) {
  UserInterface& ui = ui_;
  if (run.single) {
    if (run.addresses.empty() || run.failed) {
      std::string text = "Fehler! Die Signatur konnte nicht gesendet werden!";
      if (!run.failure.empty()) text += "\r\n" + run.failure;
      ui.ShowMessage(text);
    }
    return;
  }
  if (run.addresses.empty())
    ui.ShowMessage("Es wurde kein Benutzer ausgewählt.");
  else if (run.failed)
    ui.ShowMessage(
        "Es konnten nicht alle Signaturen versand werden. Genauere Informationen finden Sie in dem Log-File.");
  else if (run.cancelled)
    ui.ShowMessage("Der Versand wurde abgebrochen. Es wurden " + std::to_string(run.sent) + " von " +
                   std::to_string(run.addresses.size()) + " Signaturen versendet.");
  else
    ui.ShowMessage("Signaturen wurden erfolgreich versand.");
}

void TFMailTools::Button1Click() { closeRequested = true; }
