#pragma once
// The bulk-send dialog TFrm_Mail ("Mail an mehrere Benutzer versenden"): a
// view over the mail object's dialog model. The grid shows the model's cells,
// every click is handed to the model's handler and the grid is redrawn from
// the model afterwards.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class TFMailTools;

class MailDialog : public QDialog {
  Q_OBJECT
 public:
  explicit MailDialog(QWidget* parent = nullptr);

  /// Binds the dialog to the mail object (null: the dialog shows nothing).
  void Bind(TFMailTools* model) { model_ = model; }

  /// FormShow, then the modal dialog.
  int exec() override;

  /// Copies the model's cells into the grid.
  void RefreshFromModel();

 private:
  /// Runs one handler of the model with the typed address handed over
  /// first; sends show a progress dialog meanwhile.
  void Run(void (TFMailTools::*handler)(), bool sending);
  bool eventFilter(QObject* watched, QEvent* event) override;

  TFMailTools* model_ = nullptr;
  QTableWidget* grid_;
  QLineEdit* address_;
};
