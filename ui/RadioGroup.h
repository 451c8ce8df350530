#pragma once
// A captioned group of radio buttons addressed by item index, laid out in columns
// that fill top to bottom before the next column starts. Used by the dialogs.
#include <QStringList>
#include <vector>

#include "ui/Layout.h"

class QButtonGroup;
class QRadioButton;

namespace tessival {

class TRadioGroup : public TGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent);

  // Index of the checked item, -1 when none is checked.
  int ItemIndex() const;
  // Checks item index; any index outside the items leaves none checked.
  void SetItemIndex(int index);

  int Count() const { return static_cast<int>(Buttons.size()); }
  QRadioButton* Item(int index) const { return Buttons.at(index); }

 signals:
  // The user checked an item (not emitted by SetItemIndex).
  void Click();

 private:
  QButtonGroup* Group;
  std::vector<QRadioButton*> Buttons;
};

}  // namespace tessival
