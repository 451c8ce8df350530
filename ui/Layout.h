#pragma once
// Layout rules shared by the windows. The dialogs are built from Qt layouts in which
// every part has its designed pixel size as its minimum size: at the default font
// (9 points) they look as designed, and at the larger fonts users run with they grow
// with their texts rather than cut them. A part added later follows the same rule
// (setMinimumSize with its designed size), and the dialog ends with FixToLayout.
#include <QGroupBox>
#include <QPushButton>
#include <QSize>

class QLayout;
class QWidget;

namespace tessival {

// Moves a top-level window so that its outer frame is centred on the primary screen,
// origin included: (width - outer width) / 2 from the screen's left edge, likewise
// for the top, truncating toward zero.
void CentreOnPrimaryScreen(QWidget* window);

// Gives `dialog` the layout, fixed at the size the layout asks for (the user cannot
// resize it; it still follows a font change), and lays it out at once, so that the
// size and the parts' places are known before the first showing.
void FixToLayout(QWidget* dialog, QLayout* layout);

// The standard OK or Cancel button with its icon: at least its designed size, and
// wide enough for icon and text at its font. Unlike the style's own size it has no
// 80-pixel floor, so a button designed small stays small while its text fits.
class TDialogButton : public QPushButton {
 public:
  enum Kind { Ok, Cancel };
  TDialogButton(Kind kind, QSize designed, QWidget* parent);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 private:
  QSize Designed;
};

// A group box that asks for room for its title from the style's left indent to the
// title's end; the style's own minimum adds the indent again at the right, which
// would widen the boxes designed tight around their titles.
class TGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;
  QSize minimumSizeHint() const override;
};

}  // namespace tessival
