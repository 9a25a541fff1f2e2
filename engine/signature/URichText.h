#pragma once
// The rich-text rendition of a generated signature: the word processor opens
// temp/<address>.htm and saves it as temp/<address>.rtf.

#include <mutex>
#include <string>

#include "platform/wordproc/WordProcessor.h"

namespace qm {

/// The word processor of one program and the locks a conversion takes.
class RichTextConversion {
 public:
  /// The lock of the directory's lookup cycle (DirectoryLock): a conversion
  /// holds it so that it never runs during a lookup. Set at assembly; null
  /// for a conversion without a directory.
  void UseDirectoryLock(std::recursive_mutex* lock) { directoryLock_ = lock; }
  /// Replaces how word-processor instances are created (tests); an empty
  /// factory restores the LibreOffice backend.
  void SetWordProcessorFactory(wordproc::ApplicationFactory factory);
  /// Held by each conversion, so that one runs at a time.
  std::recursive_mutex& ConversionLock() { return conversionLock_; }

  /// Converts an HTML file to rich text beside it (same name, last extension
  /// replaced by ".rtf") through a new word-processor instance, holding
  /// DirectoryLock and then ConversionLock for the whole conversion.
  /// Failures are logged ("MS Word konnte nicht gestartet werden. ..." or
  /// "Fehler in MS Word. ...", each followed by "Fehlerdetails: " and the
  /// failure's text) and give false. True exactly when the .rtf file exists
  /// afterwards. Both locks are free again on every way out.
  bool ConvertToRtf(const std::string& htmlFileName);

 private:
  wordproc::ApplicationFactory CurrentFactory();

  std::recursive_mutex* directoryLock_ = nullptr;
  std::recursive_mutex conversionLock_;
  std::mutex factoryMutex_;
  wordproc::ApplicationFactory factory_;
};

}  // namespace qm

/// The output path of ConvertToRtf: only the last extension is replaced.
std::string RtfFileName(const std::string& htmlFileName);
