#pragma once
// Placeholder: the dialog is built in its own change.
#include <QDialog>

namespace tessival {

class TWaveDevForm : public QDialog {
  Q_OBJECT

 public:
  explicit TWaveDevForm(QWidget* parent = nullptr);
};

extern TWaveDevForm* WaveDevForm;

}  // namespace tessival
