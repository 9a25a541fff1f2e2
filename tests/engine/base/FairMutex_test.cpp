#include "base/FairMutex.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "TestSupport.h"

namespace {

// Waiting threads get the lock in the order they asked for it, and the
// holder that releases and asks again queues behind them: it cannot take the
// lock back past a waiting thread, which is what let one "/make" wait for
// many others' cycles.
TEST(FairRecursiveMutex, WaitersAreServedInTheOrderTheyAskedAndTheHolderQueuesBehindThem) {
  qm::FairRecursiveMutex lock;
  std::mutex orderMutex;
  std::string order;
  auto record = [&](char who) {
    std::lock_guard lk(orderMutex);
    order += who;
  };

  lock.lock();
  std::thread b([&] {
    std::lock_guard lk(lock);
    record('B');
  });
  ASSERT_TRUE(Eventually([&] { return lock.QueuedThreads() == 1; }));
  std::thread c([&] {
    std::lock_guard lk(lock);
    record('C');
  });
  ASSERT_TRUE(Eventually([&] { return lock.QueuedThreads() == 2; }));

  lock.unlock();
  lock.lock();  // behind B and C
  record('A');
  lock.unlock();
  b.join();
  c.join();
  EXPECT_EQ(order, "BCA");
  EXPECT_EQ(lock.QueuedThreads(), 0u);
}

TEST(FairRecursiveMutex, TheHolderMayLockAgainAndOthersGetItOnlyAfterTheLastUnlock) {
  qm::FairRecursiveMutex lock;
  lock.lock();
  ASSERT_TRUE(lock.try_lock());  // the holder again
  lock.lock();
  lock.unlock();
  lock.unlock();
  EXPECT_FALSE(LockIsFree(lock));  // still held once
  lock.unlock();
  EXPECT_TRUE(LockIsFree(lock));
}

// try_lock never passes a queued thread, even in the moment between a
// release and the waiter's wake-up.
TEST(FairRecursiveMutex, TryLockDoesNotPassAQueuedThread) {
  qm::FairRecursiveMutex lock;
  std::promise<void> checked;
  lock.lock();
  std::thread waiter([&] {
    std::lock_guard lk(lock);
    checked.get_future().wait();  // holds its turn until the check is done
  });
  ASSERT_TRUE(Eventually([&] { return lock.QueuedThreads() == 1; }));
  lock.unlock();
  EXPECT_FALSE(lock.try_lock());  // the waiter's turn, woken or not
  checked.set_value();
  waiter.join();
  EXPECT_TRUE(LockIsFree(lock));
}

}  // namespace
