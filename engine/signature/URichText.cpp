#include "signature/URichText.h"
#include "base/Texts.h"

#include "base/ULog.h"
#include "base/UUtils.h"

namespace qm {

void RichTextConversion::SetWordProcessorFactory(wordproc::ApplicationFactory factory) {
  std::lock_guard lk(factoryMutex_);
  factory_ = std::move(factory);
}

wordproc::ApplicationFactory RichTextConversion::CurrentFactory() {
  std::lock_guard lk(factoryMutex_);
  if (factory_) return factory_;
  return [] { return wordproc::CreateLibreOfficeApplication(); };
}

}  // namespace qm

std::string RtfFileName(const std::string& htmlFileName) {
  std::size_t slash = htmlFileName.find_last_of('/');
  std::size_t dot = htmlFileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return htmlFileName + ".rtf";
  return htmlFileName.substr(0, dot) + ".rtf";
}

bool qm::RichTextConversion::ConvertToRtf(const std::string& htmlFileName) {
  // Never during a lookup cycle, and one conversion at a time.
  std::unique_lock<std::recursive_mutex> directoryLock;
  if (directoryLock_) directoryLock = std::unique_lock(*directoryLock_);
  std::unique_lock conversionLock(conversionLock_);

  const std::string rtfFileName = RtfFileName(htmlFileName);
  std::unique_ptr<qm::wordproc::Application> app;
  try {
    app = CurrentFactory()();
    if (!app) throw qm::wordproc::WordProcessorError("Keine Instanz erzeugt.");
  } catch (const std::exception& e) {
    WriteLog("MS Word konnte nicht gestartet werden. RTF-Version nicht verfügbar.", ltError);
    WriteLog(std::string(qm::text::kErrorDetailsPrefix) + e.what(), ltError);
    return false;
  }
  WriteLog("Neue Word-Instanz geöffnet.", ltInformation);

  try {
    app->DocumentsOpen(htmlFileName);
    app->ActiveDocumentSaveAs(rtfFileName, qm::wordproc::kFormatRtf);
    app->ActiveDocumentClose(qm::wordproc::kDoNotSaveChanges);
    app->Quit();
  } catch (const std::exception& e) {
    app.reset();  // released without Quit
    WriteLog("Fehler in MS Word. RTF-Version ggf. nicht verfügbar.", ltError);
    WriteLog(std::string(qm::text::kErrorDetailsPrefix) + e.what(), ltError);
    return false;
  }
  app.reset();
  return qm::FileExists(rtfFileName);
}
