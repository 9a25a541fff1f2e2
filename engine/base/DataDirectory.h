#pragma once
// Where the programs keep the files they write (profiles, program state,
// log, attachment store, preview, projects) and where they find the files
// shipped with them.
//
// The data directory is, in this order:
//   1. the environment variable QM_DATA_DIR, when set and not empty;
//   2. the line "data-dir=<path>" of the setting file quillmark.conf beside
//      the executable (the package installs one naming /var/lib/quillmark);
//   3. the executable's directory.
// In the first two cases the directory is shared: the installed service runs
// as its own user and administrators edit the same files through a group,
// so the programs create their files group-writable (umask 0007) and the
// profiles, which hold passwords, owner and group only (0660). In the third
// case nothing changes: profiles stay owner-only (0600).

#include <string>

namespace qm {

struct DataDirectoryChoice {
  std::string dir;       ///< with a trailing '/'
  bool shared = false;   ///< chosen by QM_DATA_DIR or the setting file
  std::string source;    ///< "QM_DATA_DIR", the setting file's path, or empty
  std::string error;     ///< why the chosen directory cannot be used; empty if it can
};

/// The name of the setting file looked for in the executable's directory.
inline constexpr const char* kDataDirSettingFile = "quillmark.conf";

/// The "data-dir" value of a setting file's text: lines "name=value", blanks
/// around name and value ignored, lines starting with '#' or ';' and empty
/// lines skipped; the last "data-dir" line counts. Empty when there is none.
std::string ParseDataDirSetting(const std::string& text);

/// Chooses the data directory for a program whose executable lies in
/// `exeDir` (with '/'). A shared directory that does not exist yet is
/// created (with its parents); `error` says why when that fails, the path
/// names something else than a directory, or this user may not read, write
/// and enter it.
DataDirectoryChoice ResolveDataDirectory(const std::string& exeDir);

/// Makes `choice` the program directory of this process and `exeDir` the
/// place of the shipped files; a shared directory also sets the umask to
/// 0007 and the profile mode to 0660.
void UseDataDirectory(const DataDirectoryChoice& choice, const std::string& exeDir);

}  // namespace qm
