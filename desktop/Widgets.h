#pragma once
// Small widgets and helpers shared by the desktop's windows.

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QString>

/// A combo box that reports when its list opens and closes (the OnDropDown
/// and OnCloseUp events of the classic drop-down list).
class DropDownComboBox : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  void showPopup() override;
  void hidePopup() override;
 signals:
  void dropDown();
  void closeUp();
};

/// A radio group: a titled group of radio buttons with one selected index.
/// The buttons are named <group name>_<index>.
class RadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  RadioGroup(const QString& name, const QString& title, const QStringList& items, int columns, QWidget* parent);
  int ItemIndex() const;
  void SetItemIndex(int index);
 signals:
  /// The user (or SetItemIndex) changed the selection.
  void clicked(int index);

 private:
  QButtonGroup* group_;
};

/// The program's icon (compiled in).
QIcon ProgramIcon();

/// A word-wrapping explanatory text.
QLabel* InfoText(const QString& text, QWidget* parent);
