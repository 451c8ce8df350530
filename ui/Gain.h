#pragma once
// Placeholder: the dialog is built in its own change.
#include <QDialog>

namespace tessival {

class TGainForm : public QDialog {
  Q_OBJECT

 public:
  explicit TGainForm(QWidget* parent = nullptr);
};

extern TGainForm* GainForm;

}  // namespace tessival
