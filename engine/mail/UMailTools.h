#pragma once
// TFMailTools: the mail class. It answers request mails from the POP3 request
// mailbox (ReceiveMails), composes and sends signature replies over SMTP
// (SendSignature), and holds the model of the bulk-send dialog ("TFrm_Mail").
//
// The reply's MIME text is composed by a pure function (qm::ComposeReply)
// with the date and the boundary generator passed in, so that it can be
// compared byte for byte; the connections only carry the rendered text.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <Poco/Timestamp.h>

#include "directory/UDBUtil.h"
#include "settings/SettingsStore.h"
#include "signature/USignaturePipeline.h"

namespace Poco::Net {
class SMTPClientSession;
class POP3ClientSession;
class StreamSocket;
}  // namespace Poco::Net

namespace qm {

/// One part of a reply mail.
struct ReplyPart {
  enum Kind { Text, Attachment };
  Kind kind = Text;
  /// Text parts: "text/plain" or "text/html" (charset=utf-8 is added).
  /// Attachments: the media type, "" for application/octet-stream.
  std::string contentType;
  /// Text parts: UTF-8 text with CR LF line ends. Attachments: the file's bytes.
  std::string body;
  /// Attachments: the file name without directory (filename= and name=).
  std::string fileName;
  /// Attachments: the Content-ID value ("<logo.gif>"), "" for none.
  std::string contentId;
  bool operator==(const ReplyPart&) const = default;
};

/// The outgoing message: sender, one recipient, subject and ordered parts.
struct ReplyMessage {
  std::string senderName;
  std::string senderAddress;
  std::string recipient;
  std::string subject;
  std::vector<ReplyPart> parts;
  void Clear() { *this = ReplyMessage{}; }
};

/// Produces the next MIME boundary string.
using BoundaryGenerator = std::function<std::string()>;

/// Renders a reply as the complete message text (headers and body, CR LF).
/// The top-level type follows from the parts: only text parts give
/// multipart/alternative; attachments give multipart/mixed with a nested
/// multipart/alternative of the text parts first; an attachment with a
/// Content-ID makes it multipart/related; type="multipart/alternative".
/// Text parts are quoted-printable, attachments base64 with
/// Content-Disposition attachment. `boundary` is called once per multipart,
/// outer first; an empty generator keeps random boundaries.
std::string ComposeReply(const ReplyMessage& message, const Poco::Timestamp& date,
                         const BoundaryGenerator& boundary = {});

/// The media type of a project image by its ending ("image/gif",
/// "image/jpeg", "image/png"); "" for a name that is no image name.
std::string ImageMediaType(std::string_view name);

/// The bare address of a From header value as it stands in the raw message
/// (before any RFC 2047 decoding): the first mailbox's angle-address, or the
/// bare address (RFC 5322) when there are no angle brackets. Quoted strings and comments
/// are skipped, so a display name cannot pose as the address. "" when there
/// is no usable address (no '@', blanks or control characters in it).
std::string BareAddress(std::string_view fromValue);

/// The raw (unfolded, undecoded) value of the first From header field of a
/// message, "" when the header has none. Reads only the header block; any
/// number and length of fields is accepted.
std::string RawFromHeader(std::string_view message);

}  // namespace qm

class TFMailTools {
 public:
  /// Connects to nothing. Reads the mail and general records from
  /// `settings`, asks `directory` for users, has `signatures` generate the
  /// replies' files and shows counters and messages through `ui`.
  TFMailTools(const qm::SettingsStore& settings, TFDBUtil& directory, qm::SignatureSource& signatures,
              UserInterface& ui);
  virtual ~TFMailTools();
  TFMailTools(const TFMailTools&) = delete;
  TFMailTools& operator=(const TFMailTools&) = delete;

  // ---- request mailbox ------------------------------------------------
  /// Told before each request of a poll is handled: its number (from 1) and
  /// the number of waiting requests.
  using PollProgress = std::function<void(int number, int count)>;
  /// One poll of the request mailbox: answers and deletes every waiting
  /// request. Reports everything through the event log; never throws.
  /// `progress` is called on the polling thread; it must not throw.
  void ReceiveMails(const PollProgress& progress = {});

  // ---- replies --------------------------------------------------------
  /// Composes and sends the reply for one address (signature, or the
  /// alternative text for an unknown requester when `manual` is false).
  /// The signature's files come from the signature pipeline (mail
  /// delivery), which holds SignatureLock until they are read; the lock is
  /// free while the server is contacted. True exactly when the SMTP server
  /// accepted the message. Failures of MakeSignature and of the rich-text
  /// conversion are not caught here.
  virtual bool SendSignature(const std::string& address, bool manual);
  /// True when the directory holds a non-empty address field for the
  /// address; always ends the lookup cycle. Any thread.
  bool IsKnownUser(const std::string& address);
  /// The characters between '<' and '>' (all bracketed stretches joined);
  /// the text unchanged when that is empty.
  static std::string ExtractAddress(const std::string& text);

  /// Why the last SendSignature returned false, as the event log has it
  /// (for an address the directory does not know, which is not logged, the
  /// sentence saying so); "" after a send that went out.
  const std::string& LastFailure() const { return lastFailure_; }

  /// The message composed last (kept after each send).
  qm::ReplyMessage sendMessage;
  /// The rendered text of the message sent last ("" before the first).
  const std::string& LastRenderedMessage() const { return lastRendered_; }

  // ---- the bulk-send dialog "TFrm_Mail" --------------------------------
  /// Grid cells: row 0 is the header, column 0 the mark, column 1 the address.
  std::vector<std::vector<std::string>> SGrid_Mail{{"", ""}, {"", ""}};
  int SGrid_MailCol = 0;   // the grid's current cell
  int SGrid_MailRow = 1;
  int SGrid_MailColWidth1 = 64;
  std::string E_eineAdr;

  /// Refills the grid from the directory and unmarks every row.
  void FormShow();
  void Btn_alleClick();
  void Btn_keineClick();
  /// Toggles the mark of the current cell's row when it is in column 0.
  void SGrid_MailMouseUp();
  /// Sends to the marked rows in order, stopping at the first failure, and
  /// shows the outcome: PrepareSend, RunSend and ReportSend in one.
  void Btn_sendClick();
  /// Sends to the typed address and shows a failure with its reason.
  void Button2Click();

  // The steps of both sends, so that a window can run the sending away from
  // its event loop and stay responsive: PrepareSend and ReportSend on the
  // dialog's thread, RunSend on any one thread (never two sends of this
  // object at once).
  struct SendRun {
    bool single = false;                 // Button2Click: the typed address
    std::vector<std::string> addresses;  // in grid order
    std::size_t sent = 0;                // sends the server accepted
    bool failed = false;                 // a send failed; the rest were not tried
    bool cancelled = false;              // the cancel flag stopped the run
    std::string failure;                 // LastFailure() of the failed send
  };
  /// Told before each send: its number (from 1), the number of addresses,
  /// the address.
  using SendProgress = std::function<void(std::size_t number, std::size_t count, const std::string& address)>;
  /// The addresses of a send: the marked rows, or the typed address (none
  /// when the field is empty).
  SendRun PrepareSend(bool single) const;
  /// Sends to the run's addresses in order until one fails or `cancel` is
  /// set; the flag is read before each send, so the send in flight ends
  /// first. A cancelled run logs how many signatures went out. Failures of
  /// MakeSignature and the conversion leave it, as they leave SendSignature.
  void RunSend(SendRun& run, const SendProgress& progress = {}, const std::atomic<bool>* cancel = nullptr);
  /// Shows the outcome of a run in a message box.
  void ReportSend(const SendRun& run);
  /// Closes the dialog (the window does the closing; nothing to keep).
  void Button1Click();
  /// Set by Button1Click; the window closes itself when it sees it.
  bool closeRequested = false;

  // ---- connection parameters ------------------------------------------
  static constexpr std::uint16_t kPop3Port = 110;
  static constexpr std::uint16_t kSmtpPort = 25;
  /// Time-outs of both connections.
  struct Timeouts {
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds read{60000};
  };
  /// Test seam of this object: servers on other ports and shorter
  /// time-outs. Zero ports mean the standard ports. Not reachable from any
  /// setting.
  struct TestHooks {
    std::uint16_t pop3Port = 0;
    std::uint16_t smtpPort = 0;
    Timeouts timeouts;
    /// Pins the Date header and the boundaries of composed replies.
    std::function<Poco::Timestamp()> clock;
    qm::BoundaryGenerator boundary;
  };
  TestHooks& Hooks() { return hooks_; }

 protected:
  /// Connects, authenticates with AUTH LOGIN, sends `rendered` and quits.
  /// Throws SmtpReplyError for an error reply, anything else otherwise.
  void Transmit(const std::string& host, const std::string& user, const std::string& password,
                const std::string& from, const std::string& to, const std::string& rendered);

 private:
  // The steps of SendSignature: the parts of a known user's reply (false
  // when the signature cannot be made; logged), the parts of the
  // alternative text, the sending itself (false on failure; logged).
  bool AddSignatureParts(const std::string& address, const GeneralSettings& general);
  void AddAlternativeParts(const std::string& address, const GeneralSettings& general);
  bool TransmitReply(const MailSettings& mail, const std::string& address);
  // The steps of ReceiveMails: connect and log in, answer and delete one
  // request (throws when the connection is lost), end a failed poll.
  void ConnectPop3(const MailSettings& mail);
  void AnswerRequest(int index);
  void QuitPop3AfterFailure();
  void DropSmtp();
  void DropPop3();

  std::unique_ptr<Poco::Net::SMTPClientSession> theSmtp;
  std::unique_ptr<Poco::Net::POP3ClientSession> thePOP3;
  std::unique_ptr<Poco::Net::StreamSocket> smtpSocket_;
  std::unique_ptr<Poco::Net::StreamSocket> pop3Socket_;
  std::string lastRendered_;
  const qm::SettingsStore& settings_;
  TFDBUtil& directory_;
  qm::SignatureSource& signatures_;
  UserInterface& ui_;
  TestHooks hooks_;

 protected:
  /// LastFailure(): set by SendSignature, and by overrides of it that fail.
  std::string lastFailure_;

 private:
  /// Logs a failure of SendSignature as an error and keeps it as LastFailure().
  void Fail(const std::string& text);
};

/// The process's one mail object, set by the engine assembly for the
/// programs' edges; null outside its lifetime.
extern TFMailTools* FMailTools;
