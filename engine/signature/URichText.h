#pragma once
// The rich-text rendition of a generated signature: the word processor opens
// temp/<address>.htm and saves it as temp/<address>.rtf.

#include <string>

#include "platform/wordproc/WordProcessor.h"

/// Converts an HTML file to rich text beside it (same name, last extension
/// replaced by ".rtf") through a new word-processor instance, holding
/// DirectoryLock and then ConversionLock for the whole conversion. Failures
/// are logged ("MS Word konnte nicht gestartet werden. ..." or "Fehler in MS
/// Word. ...", each followed by "Fehlerdetails: " and the failure's text) and
/// give false. True exactly when the .rtf file exists afterwards. Both locks
/// are free again on every way out.
bool ConvertToRtf(const std::string& htmlFileName);

/// The output path of ConvertToRtf: only the last extension is replaced.
std::string RtfFileName(const std::string& htmlFileName);

/// Replaces how word-processor instances are created (tests); an empty
/// factory restores the LibreOffice backend.
void SetWordProcessorFactory(qm::wordproc::ApplicationFactory factory);
