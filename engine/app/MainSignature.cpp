// TForm_main: the placeholder catalogue, signature generation and the
// preview's content.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "app/Main.h"
#include "base/Texts.h"
#include "base/UUtils.h"
#include "directory/UDBUtil.h"
#include "settings/SettingsStore.h"

namespace {

// The attribute list as field names: blanks removed, runs of commas folded
// (two passes of ",," -> ","), commas at line ends dropped, the remaining
// commas turned into line ends, then split into lines. Every pass scans the
// text once from left to right and never looks at what it has just inserted.
qm::TextList FieldNamesFromList(const std::string& list) {
  std::string text = qm::ReplaceAll(list, " ", "");
  text = qm::ReplaceAll(text, ",,", ",");
  text = qm::ReplaceAll(text, ",,", ",");
  text = qm::ReplaceAll(text, ",\r\n", "\r\n");
  text = qm::ReplaceAll(text, "\r\n,", "\r\n");
  text = qm::ReplaceAll(text, ",", "\r\n");
  return qm::SplitLines(text);
}

}  // namespace

std::vector<PlaceholderEntry> TForm_main::PlaceholderEntries() const {
  std::shared_lock lk(projectMutex_);
  return LB_Felder;
}

void TForm_main::BuildPlaceholderList() {
  DirectorySettings dir;
  GeneralSettings general;
  if (with_.settings) {
    dir = with_.settings->GetDirectorySettings();
    general = with_.settings->GetGeneralSettings();
  }

  std::vector<PlaceholderEntry> entries;
  if (general.useAD) {
    for (auto& name : FieldNamesFromList(general.fieldNames1 + general.fieldNames2))
      entries.push_back({std::move(name), PlaceholderEntry::Field});
  } else if (!dir.odbcSource.empty() && !dir.table.empty()) {
    // The columns of the configured table; any failure (no directory object,
    // no connection, no schema) leaves the catalogue without field entries.
    // A table always has a column, so an empty list means there is no such
    // table (ODBC's column listing reports that without an error).
    qm::TextList columns;
    bool ok = false;
    try {
      if (with_.directory) {
        with_.directory->ListOdbcColumns(dir.table, columns);
        ok = !columns.empty();
      }
    } catch (...) {
    }
    if (ok) {
      for (auto& name : columns) entries.push_back({std::move(name), PlaceholderEntry::Field});
    } else {
      WriteLog(qm::text::kDataSourceFailure, ltWarning);
    }
  }

  std::unique_lock lk(projectMutex_);
  for (const auto& name : LB_shortNames)
    if (qm::IsImageName(name)) entries.push_back({name, PlaceholderEntry::Image});
  LB_Felder = std::move(entries);
  LB_FelderItemIndex = -1;
}

void TForm_main::RemovePlaceholder(const std::string& name) {
  std::unique_lock lk(projectMutex_);
  std::erase_if(LB_Felder, [&](const PlaceholderEntry& e) { return qm::EqualsIgnoreCase(e.name, name); });
  if (LB_FelderItemIndex >= static_cast<int>(LB_Felder.size())) LB_FelderItemIndex = -1;
}

std::optional<std::string> TForm_main::PlaceholderInsertion(const std::string& name,
                                                            const qm::TextList& attachments) {
  // Decided by the name, not by the entry's kind: an image name inserts an
  // image reference in the attachment list's spelling, or nothing.
  if (qm::IsImageName(name)) {
    for (const auto& a : attachments)
      if (qm::EqualsIgnoreCase(a, name)) return "<img src=\"cid:" + a + "\"/>";
    return std::nullopt;
  }
  return "#" + name + "#";
}

std::optional<std::string> TForm_main::LB_FelderDblClick() const {
  std::shared_lock lk(projectMutex_);
  if (LB_FelderItemIndex < 0 || LB_FelderItemIndex >= static_cast<int>(LB_Felder.size())) return std::nullopt;
  return PlaceholderInsertion(LB_Felder[static_cast<std::size_t>(LB_FelderItemIndex)].name, LB_shortNames);
}

qm::TextList TForm_main::RewriteCidReferences(qm::TextList lines, const qm::TextList& names,
                                              const std::string& storeDir) {
  for (const auto& name : names)
    for (auto& line : lines) line = qm::ReplaceAll(line, "cid:" + name, storeDir + name);
  return lines;
}

qm::TextList TForm_main::TabS_previewShow() const {
  std::shared_lock lk(projectMutex_);
  return RewriteCidReferences(M_Signatur_HTML, LB_shortNames, programDir_ + "temp/");
}

// ---- signature generation ----------------------------------------------

void TForm_main::SetRetryWait(RetryWait wait) {
  std::lock_guard lk(retryWaitMutex_);
  retryWait_ = std::move(wait);
}

namespace {

// True when `path` is a regular file holding exactly `bytes`.
bool HoldsBytes(const std::string& path, const std::string& bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != bytes.size())
    return false;
  try {
    return qm::ReadWholeFile(path) == bytes;
  } catch (const std::exception&) {
    return false;
  }
}

// Writes the lines with CR LF; a failed write is tried once more after the
// retry wait, and the second failure is thrown to the caller. The file is
// replaced whole, so an HTTP download running while the same address is
// generated again gets the old or the new file, never a torn one. A file
// that already holds these bytes (the same user asking again) is left as it
// is: replacing it would cost a new inode and free the old one for every
// request, and on ext4 the allocation of new inodes slows down while many
// were freed in the last seconds (it skips them one by one).
void WriteLinesWithRetry(const std::string& path, const qm::TextList& lines,
                         const TForm_main::RetryWait& wait) {
  const std::string bytes = qm::JoinLinesCrLf(lines);
  if (HoldsBytes(path, bytes)) return;
  try {
    qm::WriteWholeFile(path, bytes);
    return;
  } catch (const std::exception&) {
  }
  wait(std::chrono::seconds(3));
  qm::WriteWholeFile(path, bytes);
}

// What the substitution found in one template line.
struct LinePlaceholders {
  bool any = false;     // it held a field's placeholder
  bool filled = false;  // one of them had a value
};

// The lines without those that held placeholders which all came out empty;
// lines without a placeholder and lines with a value stay as they are.
qm::TextList WithoutEmptiedLines(qm::TextList lines, const std::vector<LinePlaceholders>& seen) {
  qm::TextList kept;
  kept.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (!seen[i].any || seen[i].filled) kept.push_back(std::move(lines[i]));
  return kept;
}

// Ends the lookup cycle on every way out of the substitution.
struct CloseConnectionGuard {
  TFDBUtil* db;
  ~CloseConnectionGuard() {
    if (db) db->CloseConnection();
  }
};

}  // namespace

bool TForm_main::MakeSignature(const std::string& address) { return MakeSignatureIn(address, programDir_ + "temp/"); }

bool TForm_main::MakeSignatureIn(const std::string& address, const std::string& directory) {
  // The address names the output files; one that is not a plain file name
  // would write outside the attachment store, so it is refused outright.
  if (!qm::IsPlainFileName(address)) {
    WriteLog("Ungültige E-Mail-Adresse für einen Dateinamen: " + address, ltError);
    throw qm::EInOutError(qm::SysErrorMessage(EINVAL), EINVAL);
  }

  qm::TextList lines = TemplateLines();
  RetryWait wait;
  {
    std::lock_guard lk(retryWaitMutex_);
    wait = retryWait_;
  }
  if (!wait) wait = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };

  // One indivisible step: lookup, substitution and the output files. The
  // files are written inside the lock in both programs, so two generations
  // for the same address never interleave their writes.
  std::lock_guard signatureLock(signatureLock_);

  const bool dropEmptyLines = with_.settings && with_.settings->GetGeneralSettings().dropEmptyLines;
  TFDBUtil* db = with_.directory;
  bool lookedUp = false;
  if (db) {
    CloseConnectionGuard close{db};
    lookedUp = db->FindUser(address);
    if (lookedUp) {
      // Per line: whether a field's placeholder stood in it when that field's
      // turn came, and whether one of them had a value.
      std::vector<LinePlaceholders> seen(lines.size());
      for (const auto& entry : PlaceholderEntries()) {
        if (entry.kind != PlaceholderEntry::Field) continue;
        const std::string placeholder = "#" + entry.name + "#";
        const std::string value = db->GetFieldValue(address, entry.name);
        for (std::size_t i = 0; i < lines.size(); ++i) {
          if (lines[i].find(placeholder) == std::string::npos) continue;
          // "##" of an empty catalogue entry is no field of the user.
          if (!entry.name.empty()) {
            seen[i].any = true;
            seen[i].filled |= !value.empty();
          }
          lines[i] = qm::ReplaceAll(lines[i], placeholder, value);
        }
      }
      if (dropEmptyLines) lines = WithoutEmptiedLines(std::move(lines), seen);
    }
  }

  const std::string base = directory + address;
  WriteLinesWithRetry(base + ".txt", lines, wait);
  for (auto& line : lines) line = qm::ReplaceAll(line, "src=\"cid:", "src=\"");
  WriteLinesWithRetry(base + ".htm", lines, wait);
  if (qm::FileExists(base + ".rtf")) qm::DeleteFile(base + ".rtf");
  return lookedUp;
}

// ---- preview of one user's signature -------------------------------------

TForm_main::UserPreview TForm_main::PreviewForUser(const std::string& typed) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::string address = typed;
  while (!address.empty() && blank(address.back())) address.pop_back();
  address.erase(0, std::find_if_not(address.begin(), address.end(), blank) - address.begin());

  const std::string store = programDir_ + "temp/";
  if (address.empty()) return {UserPreview::Html, TabS_previewShow(), store};
  const auto message = [](std::string text) { return UserPreview{UserPreview::Message, {std::move(text)}, {}}; };
  TFDBUtil* db = with_.directory;
  if (!db || !with_.settings) return message(qm::text::kDataSourceFailure);

  const GeneralSettings general = with_.settings->GetGeneralSettings();
  const std::string directory = programDir_ + "preview/";
  const std::string base = directory + address;
  // The lookup, the generation and the read as one step, like "/make".
  std::lock_guard signatureLock(signatureLock_);
  {
    CloseConnectionGuard close{db};
    if (!db->FindUser(address)) return message(qm::text::kDataSourceFailure);
    if (db->GetFieldValue(address, with_.settings->GetAddressField()).empty())
      return message("Die EMail Adresse " + address + " konnte nicht in der Datenbank gefunden werden.");
  }
  UserPreview preview;
  try {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) throw qm::EInOutError(qm::SysErrorMessage(ec.value()) + " (" + directory + ")", ec.value());
    if (!MakeSignatureIn(address, directory)) return message(qm::text::kDataSourceFailure);
    const bool text = general.contentType == ctText;
    const std::string bytes = qm::ReadWholeFile(base + (text ? ".txt" : ".htm"));
    preview = {text ? UserPreview::Text : UserPreview::Html, qm::SplitLines(qm::DecodeStoredText(bytes)), store};
  } catch (const std::exception& e) {
    preview = message(qm::FailureText(e));
  }
  // The user's data stays only on the page. (An address that is no plain
  // file name was refused before anything was written.)
  if (qm::IsPlainFileName(address)) {
    qm::DeleteFile(base + ".txt");
    qm::DeleteFile(base + ".htm");
  }
  return preview;
}
