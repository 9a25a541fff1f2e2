#include "base/DataDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/UUtils.h"

namespace qm {

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::string ParseDataDirSetting(const std::string& text) {
  std::string value;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (Trim(line.substr(0, eq)) == "data-dir") value = Trim(line.substr(eq + 1));
  }
  return value;
}

DataDirectoryChoice ResolveDataDirectory(const std::string& exeDir) {
  DataDirectoryChoice c;
  c.dir = WithSlash(exeDir);
  std::string chosen;
  if (const char* env = std::getenv("QM_DATA_DIR"); env && *env) {
    chosen = env;
    c.source = "QM_DATA_DIR";
  } else {
    const std::string setting = WithSlash(exeDir) + kDataDirSettingFile;
    if (FileExists(setting)) {
      try {
        chosen = ParseDataDirSetting(ReadWholeFile(setting));
      } catch (const std::exception& e) {
        c.error = setting + ": " + e.what();
        return c;
      }
      if (!chosen.empty()) c.source = setting;
    }
  }
  if (chosen.empty()) return c;

  namespace fs = std::filesystem;
  c.shared = true;
  std::error_code ec;
  fs::path path = fs::absolute(chosen, ec);
  if (ec) path = chosen;
  if (!fs::exists(path, ec)) fs::create_directories(path, ec);
  if (!fs::is_directory(path, ec)) {
    c.dir = WithSlash(path.string());
    c.error = "Datenverzeichnis " + c.dir + " (" + c.source + ") ist kein Verzeichnis" +
              (ec ? ": " + ec.message() : std::string());
    return c;
  }
  // One spelling per directory: the instance lock's name derives from it.
  fs::path canonical = fs::canonical(path, ec);
  c.dir = WithSlash((ec ? path : canonical).string());
  // A user outside the directory's group would otherwise run on as if there
  // were no files at all (no profile, no state) and report that as the
  // configuration.
  if (::access(c.dir.c_str(), R_OK | W_OK | X_OK) != 0) {
    const int e = errno;
    c.error = "Kein Zugriff auf das Datenverzeichnis " + c.dir + " (" + c.source + "): " + SysErrorMessage(e);
  }
  return c;
}

void UseDataDirectory(const DataDirectoryChoice& choice, const std::string& exeDir) {
  if (choice.shared) ::umask(0007);
  SetSharedDataDirectory(choice.shared);
  SetProgramDirectory(choice.dir);
  SetInstallDirectory(exeDir);
}

}  // namespace qm
