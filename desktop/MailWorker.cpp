#include "MailWorker.h"

#include <QEventLoop>
#include <exception>
#include <thread>

void MailWorker::SetBusy(bool busy) {
  if (busy_ == busy) return;
  busy_ = busy;
  emit busyChanged(busy);
}

void MailWorker::Post(QObject* context, std::function<void()> apply) {
  QMetaObject::invokeMethod(context, std::move(apply), Qt::QueuedConnection);
}

void MailWorker::Run(const std::function<void()>& job) {
  // A job started from a nested event loop (a timer's poll while a dialog
  // waits, say) may still run: its end clears busy_ from the event loop.
  while (busy_) {
    QEventLoop wait;
    connect(this, &MailWorker::busyChanged, &wait, &QEventLoop::quit);
    wait.exec();
  }
  const unsigned run = ++current_;
  SetBusy(true);

  QEventLoop loop;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      job();
    } catch (...) {
      failure = std::current_exception();
    }
    // The end is posted to the loop: queued behind the job's own posts, and
    // dropped if this frame is gone first (the application quitting ends
    // every event loop; the join below then waits for the job).
    Post(&loop, [this, run, &loop] {
      if (current_ == run) SetBusy(false);
      loop.quit();
    });
  });
  loop.exec();
  worker.join();
  if (current_ == run) SetBusy(false);
  if (failure) std::rethrow_exception(failure);
}
