#pragma once
// The bulk-send dialog TFrm_Mail ("Mail an mehrere Benutzer versenden"): a
// view over the mail object's dialog model. The grid shows the model's cells,
// every click is handed to the model's handler and the grid is redrawn from
// the model afterwards. Sends run on the mail worker's thread behind a
// progress box, so that the windows stay alive while the server is slow.

#include <QDialog>
#include <atomic>
#include <cstddef>
#include <functional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class TFMailTools;
class MailWorker;

/// The box shown while signatures go out, modal over the whole program: the
/// number of the address being sent of all ("3 von 40"), the address, and
/// "Abbrechen", which lets the message in flight finish and stops the rest.
/// Escape and the close box cancel as well; the box stays until the sending
/// has ended.
class SendProgressDialog : public QDialog {
  Q_OBJECT
 public:
  SendProgressDialog(std::size_t count, QWidget* parent);
  /// The send to the number-th address (from 1) begins.
  void Step(std::size_t number, std::size_t count, const QString& address);
  /// Set from the first cancel on; read by the sending thread.
  const std::atomic<bool>& Cancelled() const { return cancelled_; }

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Cancel();
  QLabel* label_;
  QLabel* state_;
  QProgressBar* bar_;
  QPushButton* cancel_;
  std::atomic<bool> cancelled_{false};
};

class MailDialog : public QDialog {
  Q_OBJECT
 public:
  explicit MailDialog(QWidget* parent = nullptr);

  /// Binds the dialog to the mail object (null: the dialog shows nothing)
  /// and to the worker that runs its sends.
  void Bind(TFMailTools* model, MailWorker* worker) {
    model_ = model;
    worker_ = worker;
  }

  /// FormShow, then the modal dialog.
  int exec() override;

  /// Copies the model's cells into the grid.
  void RefreshFromModel();

 private:
  /// Runs one handler of the model with the typed address handed over first.
  void Run(void (TFMailTools::*handler)());
  /// "Signaturen senden" (the marked rows) or "Signatur senden" (the typed
  /// address): the sending runs on the worker behind the progress box, the
  /// outcome is shown afterwards.
  void Send(bool single);
  /// Runs an action of the dialog: a failure that escapes it is shown with
  /// the application's standard error display; then the grid is redrawn and
  /// a close the model asked for is carried out.
  void Guarded(const std::function<void()>& action);
  bool eventFilter(QObject* watched, QEvent* event) override;

  TFMailTools* model_ = nullptr;
  MailWorker* worker_ = nullptr;
  QTableWidget* grid_;
  QLineEdit* address_;
};
