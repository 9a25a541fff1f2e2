#pragma once
// The single-instance lock of an installation: a name claimed by whichever
// program of a program directory runs the engine. It is an abstract unix
// socket bound to the name, so the system releases it when the process ends,
// however it ends (SIGKILL included), and it leaves no file behind.

#include <memory>
#include <string>

namespace qm {

/// The lock name of a program directory: "Quillmark_" followed by the
/// directory (as given, with its trailing '/') with every '/' removed.
std::string InstanceLockName(const std::string& programDir);

class InstanceLock {
 public:
  /// Tries to claim `name`. Returns the held lock, or null when another
  /// process holds it (`*taken` true) or the claim failed for another reason
  /// (`*taken` false, `*error` the system's text).
  static std::unique_ptr<InstanceLock> Claim(const std::string& name, bool* taken = nullptr,
                                             std::string* error = nullptr);
  /// Releases the lock.
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  const std::string& Name() const { return name_; }

 private:
  InstanceLock(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int fd_;
  std::string name_;
};

}  // namespace qm
