#pragma once
// Small helpers shared by the tests that need no engine: waiting for a
// condition, whether locks are free for another thread, loopback ports, and
// log lines without their time stamps.

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSocket.h"
#include "RecordingUserInterface.h"

/// Polls `done` every 20 ms until it is true or `deadline` has passed (a
/// bound against hanging, not a timing requirement); true when it came true.
template <class Predicate>
bool Eventually(Predicate done, std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

/// One lock for LocksAreFree: anything with try_lock and unlock.
struct LockRef {
  template <class Lockable>
  LockRef(Lockable* lock)  // NOLINT: implicit, so a list of addresses reads naturally
      : takeAndRelease([lock] {
          if (!lock->try_lock()) return false;
          lock->unlock();
          return true;
        }) {}
  std::function<bool()> takeAndRelease;
};

/// True when another thread can take every one of the locks right now.
bool LocksAreFree(std::initializer_list<LockRef> locks);
template <class Lockable>
bool LockIsFree(Lockable& lock) {
  return LocksAreFree({&lock});
}

/// A TCP port on 127.0.0.1 that nothing listens on (free a moment ago).
inline std::uint16_t ClosedLoopbackPort() { return FreeLoopbackPort(); }

/// The messages of the on-screen log lines, without their time stamps.
std::vector<std::string> LogMessagesOf(const RecordingUserInterface& ui);
