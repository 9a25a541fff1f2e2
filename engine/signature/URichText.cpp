#include "signature/URichText.h"

#include <mutex>

#include "app/Main.h"
#include "directory/UDBUtil.h"
#include "base/ULog.h"
#include "base/UUtils.h"

namespace {

std::mutex g_factoryMutex;
qm::wordproc::ApplicationFactory g_factory;

qm::wordproc::ApplicationFactory CurrentFactory() {
  std::lock_guard lk(g_factoryMutex);
  if (g_factory) return g_factory;
  return [] { return qm::wordproc::CreateLibreOfficeApplication(); };
}

// Used when no controller exists (conversion outside a running program).
std::recursive_mutex g_fallbackConversionLock;

}  // namespace

void SetWordProcessorFactory(qm::wordproc::ApplicationFactory factory) {
  std::lock_guard lk(g_factoryMutex);
  g_factory = std::move(factory);
}

std::string RtfFileName(const std::string& htmlFileName) {
  std::size_t slash = htmlFileName.find_last_of('/');
  std::size_t dot = htmlFileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return htmlFileName + ".rtf";
  return htmlFileName.substr(0, dot) + ".rtf";
}

bool ConvertToRtf(const std::string& htmlFileName) {
  // Never during a lookup cycle, and one conversion at a time.
  std::unique_lock<std::recursive_mutex> directoryLock;
  if (FDBUtil) directoryLock = std::unique_lock(FDBUtil->DirectoryLock());
  std::unique_lock conversionLock(Form_main ? Form_main->ConversionLock() : g_fallbackConversionLock);

  const std::string rtfFileName = RtfFileName(htmlFileName);
  std::unique_ptr<qm::wordproc::Application> app;
  try {
    app = CurrentFactory()();
    if (!app) throw qm::wordproc::WordProcessorError("Keine Instanz erzeugt.");
  } catch (const std::exception& e) {
    WriteLog("MS Word konnte nicht gestartet werden. RTF-Version nicht verfügbar.", ltError);
    WriteLog(std::string("Fehlerdetails: ") + e.what(), ltError);
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
    WriteLog(std::string("Fehlerdetails: ") + e.what(), ltError);
    return false;
  }
  app.reset();
  return qm::FileExists(rtfFileName);
}
