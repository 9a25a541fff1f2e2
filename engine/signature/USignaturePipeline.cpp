#include "signature/USignaturePipeline.h"

#include <mutex>

#include "base/ULog.h"
#include "signature/URichText.h"
#include "base/UText.h"
#include "base/UUtils.h"

namespace qm {

namespace {

const char* Extension(SignatureFileKind kind) {
  switch (kind) {
    case SignatureFileKind::Text: return ".txt";
    case SignatureFileKind::Html: return ".htm";
    case SignatureFileKind::RichText: return ".rtf";
    case SignatureFileKind::None: break;
  }
  return "";
}

// Reads one file for a mail; false, with the failure's text, when it cannot
// be read.
bool ReadInto(SignatureFile& file, std::string& failure) {
  try {
    file.bytes = ReadWholeFile(file.path);
    return true;
  } catch (const EInOutError& e) {
    failure = "Die Datei " + file.path + " kann nicht geöffnet werden: " + e.what();
    return false;
  }
}

}  // namespace

SignatureBundle RunSignaturePipeline(SignatureSource& source, const SignatureOrder& order) {
  SignatureBundle bundle;
  const std::string store = AttachmentStore();
  const std::string base = store + order.address;
  const bool mail = order.delivery == SignatureDelivery::Mail;

  // Held until the files have been read (mail) or named (download):
  // MakeSignature for the same address on another thread deletes the .rtf
  // and rewrites the .txt and .htm.
  std::unique_lock signatureLock(source.SignatureLock());

  // The address was found by the caller a moment ago; a directory that has
  // failed since leaves the placeholders unfilled, which is no signature.
  if (!source.MakeSignature(order.address)) {
    bundle.outcome = SignatureBundle::LookupFailed;
    return bundle;
  }
  try {
    bundle.text = ReadWholeFile(base + ".txt");
  } catch (const EInOutError&) {
    // a missing file counts as empty
  }
  if (bundle.text.empty()) {
    bundle.outcome = SignatureBundle::EmptyText;
    return bundle;
  }

  if (order.file != SignatureFileKind::None) {
    if (order.file == SignatureFileKind::RichText && !source.RichText().ConvertToRtf(base + ".htm") && !mail) {
      bundle.outcome = SignatureBundle::ConversionFailed;
      return bundle;
    }
    const std::string name = order.address + Extension(order.file);
    bundle.signatureFile = SignatureFile{store + name, name, ""};
  }

  if (order.attachments) {
    for (const std::string& name : source.AttachmentNames()) {
      if ((mail && IsImageName(name)) || FileExists(store + name))
        bundle.attachments.push_back({store + name, name, ""});
      else
        WriteLog("Anhang-Datei nicht gefunden: " + store + name, ltError);
    }
  }

  if (mail) {
    if (bundle.signatureFile && !ReadInto(*bundle.signatureFile, bundle.failure)) {
      bundle.outcome = SignatureBundle::FileUnreadable;
      return bundle;
    }
    for (auto& file : bundle.attachments) {
      if (!ReadInto(file, bundle.failure)) {
        bundle.outcome = SignatureBundle::FileUnreadable;
        return bundle;
      }
    }
  }
  return bundle;
}

}  // namespace qm
