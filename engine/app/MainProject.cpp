// TForm_main: the signature project and its file operations (New, Open,
// Save, Save As, attachments, the save-changes question).

#include <filesystem>

#include "app/Main.h"
#include "base/Texts.h"
#include "base/UProgState.h"
#include "signature/USaveSig.h"
#include "base/UUtils.h"

namespace {

constexpr const char* kProjectFilter = "Quillmark 2.0 Projekte (*.qm)|*.qm";
constexpr const char* kAllFilesFilter = "Alle Dateien (*.*)|*.*";

std::string FileTitle(const std::string& path) { return std::string(kDesktopTitle) + " - " + qm::ExtractFileName(path); }

FileDialogOptions SaveDialogOptions() {
  FileDialogOptions o;
  o.filter = kProjectFilter;
  o.defaultExt = ".qm";
  o.overwritePrompt = true;
  return o;
}

// Copies a chosen file into the attachment store under its short name (the
// listed spelling when the name is already listed, so that the one stored
// copy is refreshed on a case-sensitive file system), replacing a file of
// that name. A failed copy is not reported.
void CopyToAttachmentStore(const std::string& source, const std::string& shortName) {
  if (!qm::IsPlainFileName(shortName)) return;
  std::error_code ec;
  std::filesystem::create_directories(qm::AttachmentStore(), ec);
  std::filesystem::copy_file(source, qm::AttachmentStore() + shortName,
                             std::filesystem::copy_options::overwrite_existing, ec);
}

// The listed spelling of a short name (compared without regard to case),
// or nullptr when it is not listed.
const std::string* Listed(const qm::TextList& names, const std::string& name) {
  for (const auto& n : names)
    if (qm::EqualsIgnoreCase(n, name)) return &n;
  return nullptr;
}

}  // namespace

void TForm_main::LoadProjectFile(const std::string& path) {
  std::unique_lock lk(projectMutex_);
  ::LoadProjectFile(path, M_text, M_Signatur_HTML, LB_shortNames);
}

void TForm_main::SaveProjectFile(const std::string& path) {
  std::shared_lock lk(projectMutex_);
  ::SaveProjectFile(path, M_text, M_Signatur_HTML, LB_shortNames);
}

bool TForm_main::AskSaveChanges() {
  if (!IsModified()) return true;
  switch (CaptionedMessageDlg("Wollen Sie die Änderungen am geöffneten Projekt speichern?", MsgDlgType::Warning,
                              {MsgDlgBtn::Yes, MsgDlgBtn::No, MsgDlgBtn::Cancel}, {"Ja", "Nein", "Abbrechen"})) {
    case ModalResult::Yes:
      SaveProject();
      return true;
    case ModalResult::No:
      return true;
    default:
      return false;
  }
}

namespace {
void ClearProject(TForm_main& f) {
  std::unique_lock lk(f.ProjectMutex());
  f.M_Signatur_HTML.clear();
  f.M_text.clear();
  f.LB_shortNames.clear();
  f.LB_shortNamesItemIndex = -1;
  f.mailTextModified = false;
  f.signatureModified = false;
}
}  // namespace

void TForm_main::NewProject() {
  if (!AskSaveChanges()) return;
  SaveState();
  ClearProject(*this);
  SetStateValue(qm::text::kStateLastOpenedFile, "");
  SetTitle(kDesktopTitle);
  BuildPlaceholderList();
}

void TForm_main::OpenProjectClick() {
  if (!AskSaveChanges()) return;
  SaveState();
  ClearProject(*this);
  OpenProject("");
}

void TForm_main::OpenProject(const std::string& requested) {
  std::string path = requested;
  if (path.empty()) {
    FileDialogOptions o;
    o.filter = std::string(kProjectFilter) + "|" + kAllFilesFilter;
    o.defaultExt = ".qm";
    o.initialDir = programDir_ + "Projekte/";
    if (auto chosen = ui_.OpenFileDialog(o)) path = *chosen;
  }
  if (path.empty()) return;
  try {
    LoadProjectFile(path);
    SetStateValue(qm::text::kStateLastOpenedFile, path);
    mailTextModified = false;
    signatureModified = false;
    SetTitle(FileTitle(path));
  } catch (const qm::EInOutError&) {
    // Present but not readable: the project stays as it is, the current file
    // and the title do not change.
    WriteLog("Fehler beim Öffnen der Datei:" + path, ltWarning);
  } catch (const std::exception& e) {
    // A bad count or a count past the end: shown, and the file does not
    // become the current one.
    ui_.ShowError(qm::FailureText(e));
    return;
  }
  BuildPlaceholderList();
}

void TForm_main::SaveProject() {
  std::string path = GetStateValue(qm::text::kStateLastOpenedFile);
  if (path.empty()) {
    if (auto chosen = ui_.SaveFileDialog(SaveDialogOptions())) {
      path = *chosen;
      SetStateValue(qm::text::kStateLastOpenedFile, path);
    }
  }
  if (path.empty()) return;
  try {
    SaveProjectFile(path);
  } catch (const qm::EInOutError& e) {
    projectSaveFailed_ = true;
    ui_.ShowError(std::string(qm::text::kIoErrorPrefix) + e.what());
    return;
  }
  mailTextModified = false;
  signatureModified = false;
  SetTitle(FileTitle(path));
}

void TForm_main::SaveProjectAs() {
  auto chosen = ui_.SaveFileDialog(SaveDialogOptions());
  if (!chosen || chosen->empty()) return;
  SetStateValue(qm::text::kStateLastOpenedFile, *chosen);
  SaveProject();
}

void TForm_main::AddAttachment() {
  FileDialogOptions o;
  o.filter = kAllFilesFilter;
  o.fileMustExist = true;
  o.noRecentDocuments = true;
  auto chosen = ui_.OpenFileDialog(o);
  if (!chosen || chosen->empty()) return;
  std::string name = qm::ExtractFileName(*chosen);
  bool added = false;
  {
    std::unique_lock lk(projectMutex_);
    if (const std::string* listed = Listed(LB_shortNames, name)) {
      name = *listed;  // refresh the stored copy of the listed file
    } else {
      LB_shortNames.push_back(name);
      added = true;
    }
    mailTextModified = true;
  }
  // An image added this way becomes an image placeholder too.
  if (added) BuildPlaceholderList();
  CopyToAttachmentStore(*chosen, name);
}

void TForm_main::AddPicture() {
  FileDialogOptions o;
  o.filter = qm::ImageFileFilter();
  o.fileMustExist = true;
  o.noRecentDocuments = true;
  auto chosen = ui_.OpenFileDialog(o);
  if (!chosen || chosen->empty()) return;
  std::string name = qm::ExtractFileName(*chosen);
  {
    std::unique_lock lk(projectMutex_);
    if (const std::string* listed = Listed(LB_shortNames, name)) {
      name = *listed;
    } else {
      LB_shortNames.push_back(name);
      LB_Felder.push_back({name, PlaceholderEntry::Image});
    }
    mailTextModified = true;
  }
  CopyToAttachmentStore(*chosen, name);
}

void TForm_main::RemoveAttachment() {
  std::string name;
  {
    std::shared_lock lk(projectMutex_);
    if (LB_shortNamesItemIndex < 0 || LB_shortNamesItemIndex >= static_cast<int>(LB_shortNames.size())) return;
    name = LB_shortNames[static_cast<std::size_t>(LB_shortNamesItemIndex)];
  }
  if (CaptionedMessageDlg(name + " wirklich abhängen?", MsgDlgType::Warning, {MsgDlgBtn::Ok, MsgDlgBtn::Cancel},
                          {"Ja", "Nein"}) != ModalResult::Ok)
    return;
  // A name from a project file is deleted only when it names a file inside
  // the attachment store; a failed deletion is not reported.
  if (qm::IsPlainFileName(name)) qm::DeleteFile(qm::AttachmentStore() + name);
  RemovePlaceholder(name);
  std::unique_lock lk(projectMutex_);
  auto idx = static_cast<std::size_t>(LB_shortNamesItemIndex);
  if (LB_shortNamesItemIndex >= 0 && idx < LB_shortNames.size() && LB_shortNames[idx] == name)
    LB_shortNames.erase(LB_shortNames.begin() + LB_shortNamesItemIndex);
  LB_shortNamesItemIndex = -1;
  mailTextModified = true;
}
