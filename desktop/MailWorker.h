#pragma once
// Runs the mail object's long work (a bulk send, a mailbox poll) on a thread
// of its own while the GUI thread's event loop goes on: the windows repaint,
// log lines and counters appear as they are written, and a cancel button can
// be pressed. One job at a time, so the mail object's SMTP and POP3 sessions
// are never used by two threads at once. The job reaches the windows only by
// posting to the GUI thread (the engine's labels and log lines already are).

#include <QObject>
#include <functional>

class MailWorker : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

  /// True from the start of a job until its end has reached the GUI thread.
  bool Busy() const { return busy_; }

  /// Runs `job` on a worker thread and returns when it has ended; the event
  /// loop runs meanwhile. A job still running is waited for first (also with
  /// the event loop running). A failure leaving `job` is thrown again here.
  /// GUI thread only.
  void Run(const std::function<void()>& job);

  /// Queues `apply` to the GUI thread from a job, after everything the job
  /// posted before; dropped when `context` is gone by then.
  static void Post(QObject* context, std::function<void()> apply);

 signals:
  void busyChanged(bool busy);

 private:
  void SetBusy(bool busy);
  bool busy_ = false;
  unsigned current_ = 0;  // the run whose end clears busy_
};
