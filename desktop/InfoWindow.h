#pragma once
// The about window TFrm_Info ("Information"): the program icon, name and
// version, a link to the maker's web site and "Fenster schließen". Shown
// without waiting.

#include <QDialog>
#include <functional>

class QLabel;

class InfoWindow : public QDialog {
  Q_OBJECT
 public:
  explicit InfoWindow(QWidget* parent = nullptr);

  /// Shows the texts of the about model.
  void SetTexts(const QString& product, const QString& link, const QString& closeCaption);

  /// Runs when the link is clicked.
  std::function<void()> onLinkClicked;

 private:
  QLabel* product_;
  QLabel* link_;
  QLabel* details_;
  class QPushButton* close_;
};
