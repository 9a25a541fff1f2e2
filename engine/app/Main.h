#pragma once
// TForm_main: the main controller shared by both programs. It owns the
// signature project, the placeholder catalogue, signature generation, the
// event log, the polling timer and the locks SignatureLock, LogLock and
// ConversionLock. It reaches the screen only through UserInterface.
//
// Its operations are spread over several files by concern:
//   Main.cpp            construction, event log, globals
//   MainProject.cpp     the signature project and its file operations
//   MainController.cpp  start-up and closing sequences, counters, actions
//   MainSignature.cpp   signature generation and the placeholder catalogue

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ULog.h"
#include "servicecontrol/UServiceManager.h"
#include "base/UText.h"
#include "base/UserInterface.h"
#include "settings/USettingsRecords.h"
#include "signature/USignaturePipeline.h"
#include "platform/instance/InstanceLock.h"

class TFDBUtil;
class TFMailTools;
namespace qm {
class SettingsStore;
}

/// Which program runs the engine.
enum class ProgramKind { Desktop, Service };

/// One entry of the placeholder catalogue `LB_Felder`.
struct PlaceholderEntry {
  enum Kind { Field, Image };
  std::string name;
  Kind kind = Field;
  bool operator==(const PlaceholderEntry&) const = default;
};

/// The polling timer's state; the host applies it (Qt timer, service loop).
struct TimerState {
  unsigned interval = 10000;  // milliseconds
  bool enabled = false;
};

class TForm_main : public qm::SignatureSource {
 public:
  /// Creates the controller for a program directory (with or without a
  /// trailing '/'). Sets the process's program directory and current log.
  /// Runs no start-up step: call FormCreate.
  TForm_main(const std::string& programDir, UserInterface& ui, ProgramKind kind = ProgramKind::Desktop);
  ~TForm_main();
  TForm_main(const TForm_main&) = delete;
  TForm_main& operator=(const TForm_main&) = delete;

  // ---- event log -------------------------------------------------------
  /// One log line (type 1 error, 2 warning, 3 information); any thread.
  void WriteLog(const std::string& message, int type) noexcept { log_.WriteLog(message, type); }
  void SetVerbosity(std::uint8_t value) { log_.SetVerbosity(value); }
  std::uint8_t Verbosity() const { return log_.Verbosity(); }
  TEventLog& Log() { return log_; }

  // ---- locks (always taken in this order; LogLock last) ----------------
  qm::FairRecursiveMutex& SignatureLock() override { return signatureLock_; }
  std::recursive_mutex& ConversionLock() { return richText_.ConversionLock(); }

  /// The word processor and its locks (tests replace the word processor).
  qm::RichTextConversion& RichText() override { return richText_; }

  // ---- collaborators ---------------------------------------------------
  /// The engine's other objects the controller works with, wired by the
  /// engine assembly. A controller used on its own (the project operations,
  /// its sequences) has none of them: the generation then fills no
  /// placeholder, the catalogue lists no field and a poll does nothing.
  struct Collaborators {
    TFDBUtil* directory = nullptr;
    const qm::SettingsStore* settings = nullptr;
    TFMailTools* mail = nullptr;
  };
  /// Wires the collaborators; the conversion then holds the directory's
  /// DirectoryLock.
  void Wire(const Collaborators& collaborators);
  std::recursive_mutex& LogLock() { return log_.LogLock(); }

  // ---- the signature project (main thread writes; others copy) ---------
  qm::TextList M_text;           // mail text
  qm::TextList M_Signatur_HTML;  // signature template
  qm::TextList LB_shortNames;    // attachment short names
  int LB_shortNamesItemIndex = -1;  // selected attachment, -1 for none
  bool mailTextModified = false;
  bool signatureModified = false;

  /// Guards the three lists against readers on other threads: the main
  /// thread holds it exclusively while it changes them; other threads use
  /// the copy accessors below.
  std::shared_mutex& ProjectMutex() const { return projectMutex_; }
  qm::TextList AttachmentNames() const override;
  qm::TextList TemplateLines() const;
  qm::TextList MailTextLines() const override;

  bool IsModified() const { return mailTextModified || signatureModified; }

  /// Reads a project file into the three lists under ProjectMutex (the
  /// rules of USaveSig.h's LoadProjectFile): nothing for an empty path or a
  /// missing file; throws qm::EConvertError or qm::EListError for bad counts
  /// and qm::EInOutError for a file that cannot be read.
  void LoadProjectFile(const std::string& path);
  /// Writes the three lists to a project file; throws qm::EInOutError.
  void SaveProjectFile(const std::string& path);

  /// Menu actions of the project (all driven through UserInterface).
  void NewProject();                      // "&Neu..."
  void OpenProjectClick();                // "Projekt Ö&ffnen"
  void OpenProject(const std::string& path);
  void SaveProject();                     // "Projekt &Speichern"
  void SaveProjectAs();                   // "Projekt Speichern &unter..."
  void AddAttachment();                   // "Datei hinzufügen..."
  void AddPicture();                      // "Bild hinzufügen..."
  void RemoveAttachment();                // "markierte Datei entfernen"
  /// The save-changes question; false when the user cancelled the action.
  bool AskSaveChanges();
  /// The user edited one of the texts.
  void MarkMailTextModified() { mailTextModified = true; }
  void MarkSignatureModified() { signatureModified = true; }

  /// The modal question dialog with German captions, title "Quillmark".
  ModalResult CaptionedMessageDlg(const std::string& text, MsgDlgType kind, const std::vector<MsgDlgBtn>& buttons,
                                  const std::vector<std::string>& captions) {
    return ui_.CaptionedMessageDlg(text, kind, buttons, captions);
  }

  // ---- placeholder catalogue and signature generation ------------------
  /// The catalogue. Guarded by ProjectMutex like the project's lists: the
  /// main thread changes it under an exclusive lock, other threads read it
  /// through PlaceholderEntries().
  std::vector<PlaceholderEntry> LB_Felder;
  int LB_FelderItemIndex = -1;
  /// A copy of the catalogue, taken under ProjectMutex.
  std::vector<PlaceholderEntry> PlaceholderEntries() const;
  /// Rebuilds the catalogue from the settings and the attachment list. A
  /// data source whose columns cannot be read gives a warning and no field
  /// entries; image entries are appended all the same. Never throws.
  void BuildPlaceholderList();
  /// Removes catalogue entries named like `name` (ASCII case-insensitive).
  void RemovePlaceholder(const std::string& name);
  /// Double-click on the catalogue: the text to put at the template editor's
  /// caret (replacing its selection) for the selected entry, or nothing when
  /// no entry is selected or an image entry's attachment is no longer listed.
  std::optional<std::string> LB_FelderDblClick() const;
  /// The same rule for one entry name against an attachment list.
  static std::optional<std::string> PlaceholderInsertion(const std::string& name, const qm::TextList& attachments);

  /// Generates temp/<address>.txt and .htm for one user under SignatureLock
  /// and deletes a stale temp/<address>.rtf. With the profile's
  /// dropEmptyLines, a template line that held field placeholders which all
  /// came out empty is left out of both files (only when the user was looked
  /// up). A file that cannot be written is
  /// retried once after three seconds; the second failure is thrown
  /// (qm::EInOutError). An address that is not a plain file name is logged
  /// and refused with qm::EInOutError before anything is looked up or written.
  /// The files are written whether or not the lookup succeeded (placeholders
  /// stay when it did not); the result says whether the directory could be
  /// read at all (false when FindUser failed or there is no directory), so a
  /// caller can tell an unreachable directory from a filled signature.
  /// Callers that read the files go through qm::RunSignaturePipeline, which
  /// keeps SignatureLock until they are read.
  bool MakeSignature(const std::string& address) override;
  /// The same generation into another directory (with its trailing '/'),
  /// which must exist: <directory><address>.txt and .htm, a stale .rtf there
  /// deleted. The attachment store is not touched.
  bool MakeSignatureIn(const std::string& address, const std::string& directory);
  /// How MakeSignature waits before its retry (tests replace it); the
  /// default sleeps the calling thread only.
  using RetryWait = std::function<void(std::chrono::milliseconds)>;
  void SetRetryWait(RetryWait wait);

  /// The preview's HTML: the template with every "cid:<name>" of a listed
  /// attachment replaced by the attachment store's path of that file (exact,
  /// case-sensitive). Placeholders stay as written.
  qm::TextList TabS_previewShow() const;
  /// What the preview page shows for an address typed above it.
  struct UserPreview {
    enum Kind { Html, Text, Message };
    Kind kind = Html;
    qm::TextList lines;    // the signature, or the message in one line
    std::string imageDir;  // where the HTML's image file names lie
  };
  /// The preview of one user's signature: an empty address gives the
  /// template preview (TabS_previewShow). Otherwise the user is looked up
  /// and generated by MakeSignatureIn into preview/ of the program
  /// directory, never into the attachment store; the page gets the .htm
  /// (HTML and Rich-Text, its images named from the attachment store) or the
  /// .txt (Text), and the generated files are removed again. An address the
  /// directory does not know, a directory that cannot be read and a failed
  /// generation give the system's message instead. Main thread.
  UserPreview PreviewForUser(const std::string& address);
  /// The rewriting itself, for any lines, attachment names and store path.
  static qm::TextList RewriteCidReferences(qm::TextList lines, const qm::TextList& names,
                                           const std::string& storeDir);

  // ---- window and timer -----------------------------------------------
  void SetTitle(const std::string& title);
  std::string Title() const { return title_; }
  void SetTimer(unsigned intervalMs, bool enabled);
  TimerState Timer1() const;
  /// Applies the settings to what the controller runs: the polling timer
  /// (minutes; a timer of 0 ms is never enabled) and its label
  /// "LStatusTimer", the log's verbosity, the preview page (shown for HTML
  /// and Rich-Text). The settings dialog calls it when it shows or takes
  /// over the records.
  void ApplySettings(const GeneralSettings& general);
  /// Sets a counter or status label and shows it.
  void SetLabel(const std::string& control, const std::string& text) { ui_.SetLabel(control, text); }

  // ---- start-up, closing, actions (MainController.cpp) ----------------
  /// The start-up sequence of the desktop program or its service variant.
  void FormCreate();
  /// The closing sequence; false when the close was refused.
  bool FormCloseQuery();
  /// "Werte zurücksetzen".
  void Btn_resetCountersClick();
  /// A tick of the polling timer: one poll of the request mailbox.
  void Timer1Timer();
  /// "Nachrichten manuell abrufen": one poll at once, timer or not.
  void Btn_receiveMailsClick();
  /// "Signatur manuell senden...": the bulk-send dialog, modal.
  void Btn_sendManualClick();

  /// The single-instance lock (`InstanceMutex`): held from the start-up's
  /// claim until the closing sequence releases it; null when not held.
  std::unique_ptr<qm::InstanceLock> InstanceMutex;
  /// True when the start-up found the installation's lock taken: the
  /// refusal was shown and the application asked to end.
  bool InstanceRefused() const { return instanceRefused_; }
  /// What the service steps of the sequences use (tests inject a backend,
  /// a sleep and a launcher); a new controller starts with
  /// DefaultServiceControlHooks() (by default the process's backend, real
  /// sleeps and detached processes).
  void SetServiceControlHooks(ServiceControlHooks hooks) { serviceHooks_ = std::move(hooks); }
  const ServiceControlHooks& ServiceHooks() const { return serviceHooks_; }
  /// Stops the HTTP server and gives its port back; the closing sequence
  /// calls it before the service program may start, so that the service
  /// can bind the same port. Wired at assembly; without one the closing
  /// leaves the server to the end of the process.
  void SetHttpServerRelease(std::function<void()> release) { releaseHttpServer_ = std::move(release); }
  /// Closing the main window from the program itself: runs the closing
  /// sequence and, unless it refuses, asks the application to end.
  void Close();

  /// True on the thread that created the controller (the event loop's).
  bool IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

  UserInterface& UI() { return ui_; }
  ProgramKind Kind() const { return kind_; }
  const std::string& ProgramDir() const { return programDir_; }

 private:
  std::string programDir_;
  UserInterface& ui_;
  ProgramKind kind_;
  std::thread::id mainThread_ = std::this_thread::get_id();
  TEventLog log_;
  qm::FairRecursiveMutex signatureLock_;
  qm::RichTextConversion richText_;
  Collaborators with_;
  mutable std::shared_mutex projectMutex_;
  mutable std::mutex windowMutex_;
  std::string title_;
  TimerState timer_;
  mutable std::mutex retryWaitMutex_;
  RetryWait retryWait_;
  ServiceControlHooks serviceHooks_ = DefaultServiceControlHooks();
  std::function<void()> releaseHttpServer_;
  bool instanceRefused_ = false;
  // Set when SaveProject could not write the file (the closing question
  // then keeps the window open).
  bool projectSaveFailed_ = false;
};

/// The process's one controller, set by the engine assembly for the
/// programs' edges; null outside its lifetime.
extern TForm_main* Form_main;

/// The message shown when the installation's single-instance lock is taken:
/// three lines joined by CR LF.
std::string InstanceRefusalText();

/// Claims the single-instance lock of a program directory. When another
/// process holds it, shows InstanceRefusalText and asks the application to
/// end, and returns null (`*refused` true). The service program calls this
/// before it creates any object.
std::unique_ptr<qm::InstanceLock> ClaimSingleInstance(const std::string& programDir, UserInterface& ui,
                                                      bool* refused = nullptr);

/// Application titles.
inline constexpr const char* kDesktopTitle = "Quillmark 2.2";
inline constexpr const char* kServiceTitle = "Quillmark 2.0";
