#include "ui/Layout.h"

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <algorithm>

namespace tessival {

void CentreOnPrimaryScreen(QWidget* window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  // Before the first showing the frame is not known yet, so the outer size is the
  // client size then.
  const QSize outer = window->frameGeometry().size();
  window->move(area.left() + (area.width() - outer.width()) / 2,
               area.top() + (area.height() - outer.height()) / 2);
}

void FixToLayout(QWidget* dialog, QLayout* layout) {
  if (dialog->layout() != layout) dialog->setLayout(layout);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->activate();
}

TDialogButton::TDialogButton(Kind kind, QSize designed, QWidget* parent)
    : QPushButton(parent), Designed(designed) {
  const bool ok = kind == Ok;
  setIcon(style()->standardIcon(ok ? QStyle::SP_DialogOkButton : QStyle::SP_DialogCancelButton));
  setText(ok ? QStringLiteral("OK") : QStringLiteral("Cancel"));
  // Buttons stacked in a column take its width, so they line up.
  setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
}

QSize TDialogButton::sizeHint() const {
  // The contents as the button lays them out (icon, a 4-pixel gap, text), with the
  // style's margin and frame around them.
  const QFontMetrics metrics = fontMetrics();
  const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, this);
  const int width = iconSize().width() + 4 + metrics.horizontalAdvance(text());
  const int height = std::max(iconSize().height(), metrics.height());
  return Designed.expandedTo(QSize(width + margin + frame, height + margin + frame));
}

QSize TGroupBox::minimumSizeHint() const {
  QStyleOptionGroupBox option;
  initStyleOption(&option);
  const QRect title = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
  return QWidget::minimumSizeHint().expandedTo(QSize(title.right() + 1, title.bottom() + 1));
}

}  // namespace tessival
