#pragma once
// A recursive mutex that hands the lock to waiting threads in the order they
// asked for it. The standard mutexes let a thread that has just released the
// lock take it again before a thread that has been waiting: under a steady
// stream of "/make" requests one request could then wait many cycles while
// others were served at once. Here every thread waits for its own turn, so a
// wait is bounded by the cycles queued before it.
//
// Meets the Lockable requirements (lock, try_lock, unlock), so it works with
// std::lock_guard and std::unique_lock. The owning thread may lock again; it
// must unlock as often as it locked.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qm {

class FairRecursiveMutex {
 public:
  FairRecursiveMutex() = default;
  FairRecursiveMutex(const FairRecursiveMutex&) = delete;
  FairRecursiveMutex& operator=(const FairRecursiveMutex&) = delete;

  void lock() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lk(state_);
    if (depth_ > 0 && owner_ == self) {
      ++depth_;
      return;
    }
    const std::uint64_t ticket = nextTicket_++;
    turn_.wait(lk, [&] { return nowServing_ == ticket; });
    owner_ = self;
    depth_ = 1;
  }

  /// Takes the lock only when no thread holds it or waits for it (or when
  /// this thread holds it already): it never passes a queued thread.
  bool try_lock() {
    const auto self = std::this_thread::get_id();
    std::lock_guard lk(state_);
    if (depth_ > 0) {
      if (owner_ != self) return false;
      ++depth_;
      return true;
    }
    if (nextTicket_ != nowServing_) return false;  // someone is queued
    ++nextTicket_;
    owner_ = self;
    depth_ = 1;
    return true;
  }

  /// Threads waiting for their turn now (for diagnostics and tests).
  std::uint64_t QueuedThreads() {
    std::lock_guard lk(state_);
    return nextTicket_ - nowServing_ - (depth_ > 0 ? 1 : 0);
  }

  void unlock() {
    std::lock_guard lk(state_);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
    ++nowServing_;
    turn_.notify_all();
  }

 private:
  std::mutex state_;
  std::condition_variable turn_;
  std::uint64_t nextTicket_ = 0;  // the ticket the next waiter draws
  std::uint64_t nowServing_ = 0;  // the ticket whose thread may hold the lock
  std::thread::id owner_;
  int depth_ = 0;
};

}  // namespace qm
