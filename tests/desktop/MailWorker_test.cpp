// The mail worker: one job at a time, also when a second is asked for from
// an event loop that runs while the first one works; a job's failure comes
// back to the caller; Busy() spans the whole job.

#include "MailWorker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "DesktopTestSupport.h"

namespace {

using namespace std::chrono_literals;

// Runs `then` from the event loop once `ready` holds.
void WhenReady(std::function<bool()> ready, std::function<void()> then) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [=] {
    if (!ready()) return;
    timer->stop();
    timer->deleteLater();
    then();
  });
  timer->start();
}

}  // namespace

TEST(MailWorker, ASecondJobWaitsForTheFirstAndFailuresComeBack) {
  MailWorker worker;
  std::atomic<bool> firstStarted{false}, letFirstEnd{false}, firstEnded{false}, overlap{false};
  bool secondRan = false, busyInSecond = false;
  std::vector<bool> busyChanges;
  QObject::connect(&worker, &MailWorker::busyChanged, [&](bool busy) { busyChanges.push_back(busy); });

  // While the first job works, the event loop asks for a second one (as a
  // send clicked during a timer's poll would); it must start only after the
  // first has ended, and its failure must reach its own caller.
  WhenReady([&] { return firstStarted.load(); },
            [&] {
              EXPECT_TRUE(worker.Busy());
              letFirstEnd = true;
              try {
                worker.Run([&] {
                  if (!firstEnded) overlap = true;
                  secondRan = true;
                  throw std::runtime_error("zweiter Auftrag fehlgeschlagen");
                });
                ADD_FAILURE() << "the second job's failure did not come back";
              } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "zweiter Auftrag fehlgeschlagen");
              }
              busyInSecond = worker.Busy();
            });
  worker.Run([&] {
    firstStarted = true;
    while (!letFirstEnd) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);  // gives a wrongly started second job the time to overlap
    firstEnded = true;
  });
  EXPECT_TRUE(secondRan);
  EXPECT_FALSE(overlap) << "two jobs ran at once";
  EXPECT_FALSE(busyInSecond);
  EXPECT_FALSE(worker.Busy());
  EXPECT_EQ(busyChanges, (std::vector<bool>{true, false, true, false}));
}
