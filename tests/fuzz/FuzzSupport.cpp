#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace {

struct DirCleanup {
  std::string path;
  ~DirCleanup() {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

DirCleanup g_cleanup;

}  // namespace

std::string FuzzProgramDir() {
  if (!g_cleanup.path.empty()) return g_cleanup.path;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm-fuzz-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_cleanup.path = pattern + "/";
  return g_cleanup.path;
}

void TrimFile(const std::string& path, long limit) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > limit) (void)::truncate(path.c_str(), 0);
}
