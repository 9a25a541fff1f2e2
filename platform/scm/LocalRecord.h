#pragma once
// The local backend's records, shared by the manager side (LocalBackend.cpp)
// and the service side (ServiceHost.cpp). Per service in the state directory:
//   <name>.service  its configuration, "key=value" lines
//   <name>.state    its state: "state=", "pid=", "start=", "controls=" and
//                   "arg=" lines; written by the manager when it starts the
//                   process and by the service process as it reports
//   <name>.lock     flock'ed around every change of the two files
// Files are replaced atomically (write a temporary file, then rename).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/scm/ServiceControl.h"

namespace qm::scm::local {

struct StateRecord {
  std::uint32_t state = SERVICE_STOPPED;
  long pid = 0;
  unsigned long long startTime = 0;  // the process's start time, guards against pid reuse
  std::uint32_t controls = 0;
  std::vector<std::string> args;
};

/// True when name can be a record name (not empty, no '/', not "." or "..").
bool ValidName(const std::string& name);

std::string ConfigPath(const std::string& dir, const std::string& name);
std::string StatePath(const std::string& dir, const std::string& name);

std::optional<ServiceConfig> ReadConfig(const std::string& dir, const std::string& name);
/// Writes the configuration; with `mustBeNew` fails with ERROR_SERVICE_EXISTS
/// when one is there already.
bool WriteConfig(const std::string& dir, const ServiceConfig& config, bool mustBeNew, Error* err);

std::optional<StateRecord> ReadState(const std::string& dir, const std::string& name);
bool WriteState(const std::string& dir, const std::string& name, const StateRecord& record, Error* err);

/// The start time of a live process (clock ticks since boot), 0 when there is
/// no such process or it is a zombie.
unsigned long long ProcessStartTime(long pid);

/// The state a query reports: the recorded one while its process lives,
/// stopped when the process is gone (or its pid was reused).
std::uint32_t EffectiveState(const std::optional<StateRecord>& record);

/// An exclusive flock on <name>.lock, held for the object's lifetime.
class RecordLock {
 public:
  RecordLock(const std::string& dir, const std::string& name);
  ~RecordLock();
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qm::scm::local
