#include "ui/RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

namespace tessival {

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent)
    : TGroupBox(caption, parent), Group(new QButtonGroup(this)) {
  const int count = static_cast<int>(items.size());
  const int cols = columns < 1 ? 1 : columns;
  const int rows = (count + cols - 1) / cols;
  auto* grid = new QGridLayout(this);
  // Little room at the right, where a long item may need the width.
  grid->setContentsMargins(8, 4, 2, 4);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(0);
  for (int i = 0; i < count; ++i) {
    auto* button = new QRadioButton(items[i], this);
    Group->addButton(button, i);
    grid->addWidget(button, i % rows, i / rows);
    Buttons.push_back(button);
  }
  connect(Group, &QButtonGroup::idClicked, this, [this](int) { emit Click(); });
}

int TRadioGroup::ItemIndex() const { return Group->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < Count()) {
    Buttons[index]->setChecked(true);
    return;
  }
  // An exclusive group refuses to uncheck its last checked button.
  Group->setExclusive(false);
  for (auto* button : Buttons) button->setChecked(false);
  Group->setExclusive(true);
}

}  // namespace tessival
