#pragma once
// The word-processor layer: the few automation calls the engine makes to turn
// an HTML file into rich text, as our own interface. The real backend is
// LibreOffice headless, started fresh for every conversion with a private
// throw-away profile, so that conversions never share state. Tests inject
// their own backend through an ApplicationFactory.

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qm::wordproc {

/// A failure of the word processor; what() is its message text.
class WordProcessorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// File-format number of SaveAs: rich text.
inline constexpr int kFormatRtf = 6;
/// Close argument: discard changes.
inline constexpr int kDoNotSaveChanges = 0;

/// One word-processor instance. Calls are made in the order
/// DocumentsOpen, ActiveDocumentSaveAs, ActiveDocumentClose, Quit; each
/// throws WordProcessorError on failure. Destroying the instance releases it
/// (and whatever it started) whether or not Quit was called.
class Application {
 public:
  virtual ~Application() = default;
  /// Documents.Open: opens a file as the active document.
  virtual void DocumentsOpen(const std::string& fileName) = 0;
  /// ActiveDocument.SaveAs: saves the active document under a path in the
  /// given file format (kFormatRtf is the one every backend knows).
  virtual void ActiveDocumentSaveAs(const std::string& fileName, int fileFormat) = 0;
  /// ActiveDocument.Close with the save-changes argument.
  virtual void ActiveDocumentClose(int saveChanges) = 0;
  /// Quit: ends the instance.
  virtual void Quit() = 0;
};

/// Creates a new instance; throws WordProcessorError when that is impossible.
using ApplicationFactory = std::function<std::unique_ptr<Application>()>;

/// How the LibreOffice backend runs soffice.
struct LibreOfficeOptions {
  /// The soffice program; empty means: search PATH, then the usual
  /// installation directory.
  std::string sofficePath;
  /// A conversion that takes longer is killed (with everything it started)
  /// and reported as a failure.
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
};

/// The soffice program that the options name or that is installed; empty
/// when there is none.
std::string FindSoffice(const LibreOfficeOptions& options = {});

/// A new LibreOffice-backed instance. Throws WordProcessorError with a clear
/// message when LibreOffice is not installed or its profile directory cannot
/// be made.
std::unique_ptr<Application> CreateLibreOfficeApplication(const LibreOfficeOptions& options = {});

}  // namespace qm::wordproc
