#pragma once
// The connection-test window of the directory object ("Datenbank Verbindung -
// Test"): a read-only grid of the open result set and a close button. It is
// shown without waiting; however it is closed, the directory object's close
// handler runs exactly once for that showing.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QTableWidget;

class DBUtilWindow : public QDialog {
  Q_OBJECT
 public:
  explicit DBUtilWindow(QWidget* parent = nullptr);

  QTableWidget* Grid() const { return grid_; }

  /// Fills the grid: one column per field name, one row per record.
  void SetRows(const std::vector<std::string>& fields, const std::vector<std::vector<std::string>>& rows);

  /// "Fenster schließen" was clicked (the window then hides).
  std::function<void()> onCloseClick;
  /// The window was closed by its own close command or Escape.
  std::function<void()> onFormClose;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  QTableWidget* grid_;
};
