// The service program's main loop: posted tasks in order on the loop's
// thread, polling-timer ticks only while the timer is enabled, the end by a
// quit or by SIGTERM/SIGINT in the foreground mode.

#include "ServiceLoop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(ServiceLoop, RunsPostedTasksInOrderOnItsThreadUntilQuit) {
  qm::ServiceLoop loop;
  std::vector<int> ran;
  std::thread::id loopThread;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.Post([&, i] { ran.push_back(i); });
    loop.Post([&] {
      loopThread = std::this_thread::get_id();
      loop.Quit();
    });
    loop.Post([&] { ran.push_back(-1); });  // after the quit: never runs
  });
  int ticks = 0;
  loop.Run([] { return TimerState{0, false}; }, [&] { ++ticks; });
  poster.join();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_EQ(loopThread, std::this_thread::get_id());
  EXPECT_EQ(ticks, 0) << "a disabled timer never ticks";
  loop.Post([&] { ran.push_back(-2); });
  EXPECT_EQ(ran.size(), 100u);
}

// The timer's state is read from the engine on every turn: ticks start when
// it is enabled with an interval and stop when it is disabled again; an
// interval of 0 never ticks.
TEST(ServiceLoop, TicksFollowTheTimerState) {
  qm::ServiceLoop loop;
  TimerState state{0, true};
  int ticks = 0, ticksWhenDisabled = -1, ticksAtZero = -1;
  // Two turns pass with the timer enabled at 0, then it runs at 1 ms.
  loop.Post([&] {
    loop.Post([&] {
      ticksAtZero = ticks;
      state.interval = 1;
    });
  });
  loop.Run([&] { return state; },
           [&] {
             if (++ticks == 5) {
               state.enabled = false;
               ticksWhenDisabled = ticks;
               loop.Post([&] { loop.Quit(); });
             }
           });
  EXPECT_EQ(ticksAtZero, 0);
  EXPECT_EQ(ticks, 5);
  EXPECT_EQ(ticksWhenDisabled, 5);
}

// The signal neither kills the process nor is lost: the loop returns.
TEST(ServiceLoop, QuitSignalsEndTheForegroundLoop) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    qm::ServiceLoop loop;
    loop.QuitOnSignals();
    int ran = 0;
    loop.Post([&] {
      ::raise(sig);
      ++ran;
    });
    loop.Run([] { return TimerState{}; }, [] {});
    EXPECT_EQ(ran, 1);
  }
}
