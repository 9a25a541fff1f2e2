#pragma once
// Helpers of the fault suite: a small tmpfs to run out of space on (or to
// make read-only), and filling it up.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

/// Mounts a tmpfs of the given size on an existing directory for the
/// lifetime of the object (lazy unmount at the end). Mounted() is false, with
/// the reason in Error(), where mounting is not permitted (not root, no
/// CAP_SYS_ADMIN): the tests that need it skip then.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& dir, const std::string& size) : dir_(dir), options_("size=" + size + ",mode=0755") {
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options_.c_str()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }
  /// Remounts the file system read-only or writable again, keeping its
  /// files: root's writes fail with EROFS then, whatever the mode bits say.
  /// False, with the reason in Error(), when the remount is refused.
  bool SetReadOnly(bool readOnly) {
    unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    if (mounted_ && ::mount("tmpfs", dir_.c_str(), "tmpfs", flags, options_.c_str()) == 0) return true;
    error_ = mounted_ ? std::strerror(errno) : "not mounted";
    return false;
  }

 private:
  std::string dir_;
  std::string options_;
  bool mounted_ = false;
  std::string error_;
};

/// Writes a filler file into dir until the file system is full; returns its
/// path (remove it to make room again).
inline std::string FillDisk(const std::string& dir) {
  const std::string path = dir + "filler.bin";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return path;
  char block[512];
  std::memset(block, 'f', sizeof block);
  for (;;) {
    ssize_t n = ::write(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  // Whatever a single byte still fits.
  while (::write(fd, block, 1) == 1) {
  }
  ::close(fd);
  return path;
}
