#include "Widgets.h"

#include <QGridLayout>
#include <QRadioButton>

void DropDownComboBox::showPopup() {
  emit dropDown();
  QComboBox::showPopup();
}

void DropDownComboBox::hidePopup() {
  QComboBox::hidePopup();
  emit closeUp();
}

RadioGroup::RadioGroup(const QString& name, const QString& title, const QStringList& items, int columns,
                       QWidget* parent)
    : QGroupBox(title, parent), group_(new QButtonGroup(this)) {
  setObjectName(name);
  auto* grid = new QGridLayout(this);
  for (int i = 0; i < items.size(); ++i) {
    auto* b = new QRadioButton(items[i], this);
    b->setObjectName(QStringLiteral("%1_%2").arg(name).arg(i));
    group_->addButton(b, i);
    grid->addWidget(b, i / columns, i % columns);
  }
  connect(group_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
    if (checked) emit clicked(id);
  });
}

int RadioGroup::ItemIndex() const { return group_->checkedId(); }

void RadioGroup::SetItemIndex(int index) {
  if (QAbstractButton* b = group_->button(index)) {
    b->setChecked(true);
  } else if (QAbstractButton* c = group_->checkedButton()) {
    group_->setExclusive(false);
    c->setChecked(false);
    group_->setExclusive(true);
  }
}

QLabel* InfoText(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setWordWrap(true);
  return l;
}

QIcon ProgramIcon() { return QIcon(QStringLiteral(":/quillmark.png")); }
