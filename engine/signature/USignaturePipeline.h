#pragma once
// The signature pipeline: from one address to the files that answer it, as
// one step under SignatureLock. It generates temp/<address>.txt and .htm
// (MakeSignature), checks the lookup, reads the text, converts the HTML to
// rich text when asked, and collects the files to hand out. The mail reply
// (TFMailTools::SendSignature) and the HTTP server's "/make"
// (TKomponentModule::makeSignature) both go through it, so a generation for
// the same address on another thread can never replace or delete a file
// between its generation and its read.
//
// Locks, in this order: SignatureLock for the whole pipeline, DirectoryLock
// (the lookup, the conversion), ConversionLock (the conversion), LogLock last.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/FairMutex.h"
#include "base/UText.h"
#include "signature/URichText.h"

namespace qm {

/// What the pipeline and the replies need of the controller that owns the
/// generation: its SignatureLock, the generation itself, the project's
/// attachment names and mail text, and the rich-text conversion.
class SignatureSource {
 public:
  virtual ~SignatureSource() = default;
  virtual FairRecursiveMutex& SignatureLock() = 0;
  /// Generates temp/<address>.txt and .htm; false when the directory could
  /// not be read (see TForm_main::MakeSignature).
  virtual bool MakeSignature(const std::string& address) = 0;
  virtual qm::TextList AttachmentNames() const = 0;
  /// The project's mail text, the opening of every reply.
  virtual qm::TextList MailTextLines() const = 0;
  virtual RichTextConversion& RichText() = 0;
};

/// The generated file handed out with the signature.
enum class SignatureFileKind {
  None,
  Text,      // temp/<address>.txt
  Html,      // temp/<address>.htm
  RichText,  // temp/<address>.rtf, converted from the .htm by the word processor
};

/// How the collected files reach the requester.
enum class SignatureDelivery {
  /// Read into memory before the lock is released (a mail reply). Every
  /// collected file is read; the first one that cannot be read ends the
  /// pipeline (a failed conversion ends it that way, at its .rtf). Images
  /// of the project are collected unchecked, since the HTML refers to them
  /// by Content-ID; other attachments only when present.
  Mail,
  /// Named only (a "/make" answer; the client fetches the files later). A
  /// failed conversion ends the pipeline; only attachments that are present
  /// are named.
  Download,
};

/// What to produce for one address.
struct SignatureOrder {
  std::string address;  // a plain file name; anything else is refused by MakeSignature
  SignatureFileKind file = SignatureFileKind::None;
  bool attachments = true;  // the project's attachments from temp/
  SignatureDelivery delivery = SignatureDelivery::Download;
};

/// One file in the attachment store.
struct SignatureFile {
  std::string path;   // the full path
  std::string name;   // relative to the store: "<address>.rtf", "logo.gif"
  std::string bytes;  // Mail delivery only
};

/// The pipeline's result.
struct SignatureBundle {
  enum Outcome {
    Ready,
    LookupFailed,      // MakeSignature could not read the directory; nothing else done
    EmptyText,         // the .txt is empty or missing; nothing else done
    ConversionFailed,  // Download delivery: the .rtf could not be made
    FileUnreadable,    // Mail delivery: `failure` names the file and the reason
  };
  Outcome outcome = Ready;
  std::string text;                            // temp/<address>.txt as stored
  std::optional<SignatureFile> signatureFile;  // the generated file asked for
  std::vector<SignatureFile> attachments;      // in the project's order
  std::string failure;  // "Die Datei <path> kann nicht geöffnet werden: <reason>"
};

/// Runs the pipeline for one order under SignatureLock. A missing attachment
/// that is checked is logged ("Anhang-Datei nicht gefunden: <path>") and
/// left out; the conversion logs its own failures. Failures of MakeSignature
/// (a refused address, files that cannot be written) and of the conversion
/// are thrown to the caller, with every lock released.
SignatureBundle RunSignaturePipeline(SignatureSource& source, const SignatureOrder& order);

}  // namespace qm
