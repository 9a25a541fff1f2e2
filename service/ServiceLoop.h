#pragma once
// The service program's main-thread loop, in place of a window's message
// loop: it runs tasks posted from other threads in order and the ticks of the
// polling timer, until it is told to quit (by a posted quit, or by SIGINT or
// SIGTERM once QuitOnSignals was called).

#include <deque>
#include <functional>
#include <mutex>

#include "app/Main.h"

namespace qm {

class ServiceLoop {
 public:
  /// Creates the wake-up pipe; throws std::system_error when it cannot.
  ServiceLoop();
  ~ServiceLoop();
  ServiceLoop(const ServiceLoop&) = delete;
  ServiceLoop& operator=(const ServiceLoop&) = delete;

  /// Queues a task for the loop's thread; callable from any thread. Tasks
  /// posted after the loop ended are dropped.
  void Post(std::function<void()> task);
  /// Ends Run after the task being run; callable from any thread.
  void Quit();
  /// From now on SIGINT and SIGTERM end the loop (the foreground mode, when
  /// no service manager started the program). Only one loop per process.
  void QuitOnSignals();

  /// Runs until Quit. `timer` is asked for the polling timer's state before
  /// every wait; while it is enabled with an interval above 0 (an interval
  /// of 0 never fires), `tick` runs once per interval, counted
  /// from the moment the timer was enabled or its interval changed, and from
  /// the end of the previous tick.
  void Run(const std::function<TimerState()>& timer, const std::function<void()>& tick);

 private:
  void Wake();
  int pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;
};

}  // namespace qm
