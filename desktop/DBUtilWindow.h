#pragma once
// The connection-test window of the directory object ("Datenbank Verbindung -
// Test"): a read-only grid of the open result set and a close button. It is
// shown without waiting; however it is closed, the directory object's close
// handler runs exactly once for that showing.

#include <QDialog>
#include <functional>

class QTableWidget;

class DBUtilWindow : public QDialog {
  Q_OBJECT
 public:
  explicit DBUtilWindow(QWidget* parent = nullptr);

  QTableWidget* Grid() const { return grid_; }

  /// Fills the grid: one column per field name, one row per record.
  void SetRows(const std::vector<std::string>& fields, const std::vector<std::vector<std::string>>& rows);

  /// Runs when the window closes after a showing (button or close box).
  std::function<void()> onClosed;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void done(int result) override;

 private:
  void Closed();
  QTableWidget* grid_;
  bool open_ = false;
};
