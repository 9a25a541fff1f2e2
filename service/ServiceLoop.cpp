#include "ServiceLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace qm {

namespace {

// The write end of the loop that listens to signals.
int g_signalFd = -1;

void OnQuitSignal(int) {
  int saved = errno;
  if (g_signalFd >= 0) {
    unsigned char b = 1;
    ssize_t r = ::write(g_signalFd, &b, 1);
    (void)r;
  }
  errno = saved;
}

}  // namespace

ServiceLoop::ServiceLoop() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
}

ServiceLoop::~ServiceLoop() {
  if (g_signalFd == pipe_[1]) {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    g_signalFd = -1;
  }
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void ServiceLoop::Wake() {
  unsigned char b = 0;
  ssize_t r = ::write(pipe_[1], &b, 1);
  (void)r;  // a full pipe already wakes the loop
}

void ServiceLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lk(mutex_);
    if (quit_) return;
    tasks_.push_back(std::move(task));
  }
  Wake();
}

void ServiceLoop::Quit() {
  {
    std::lock_guard lk(mutex_);
    quit_ = true;
  }
  Wake();
}

void ServiceLoop::QuitOnSignals() {
  g_signalFd = pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = OnQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

void ServiceLoop::Run(const std::function<TimerState()>& timer, const std::function<void()>& tick) {
  using Clock = std::chrono::steady_clock;
  TimerState current = timer();
  Clock::time_point next = Clock::now() + std::chrono::milliseconds(current.interval);
  while (true) {
    // Drain the wake-ups; a 1 came from a quit signal.
    unsigned char buf[64];
    ssize_t n;
    while ((n = ::read(pipe_[0], buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == 1) Quit();
    }
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lk(mutex_);
      if (quit_) return;
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) {
      task();
      std::lock_guard lk(mutex_);
      if (quit_) return;
    }

    TimerState now = timer();
    if (now.enabled != current.enabled || now.interval != current.interval) {
      current = now;
      next = Clock::now() + std::chrono::milliseconds(current.interval);
    }
    // Like a window timer, an interval of 0 never fires.
    const bool running = current.enabled && current.interval > 0;
    if (running && Clock::now() >= next) {
      tick();
      next = Clock::now() + std::chrono::milliseconds(current.interval);
      continue;
    }
    // Wait for a wake-up or the next tick; look at the timer again at least
    // once a second in case its state changed without a wake-up.
    long long waitMs = 1000;
    if (running) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
      waitMs = std::max(0LL, std::min<long long>(waitMs, left + 1));
    }
    struct pollfd pfd {pipe_[0], POLLIN, 0};
    ::poll(&pfd, 1, static_cast<int>(waitMs));
  }
}

}  // namespace qm
