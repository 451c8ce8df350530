#pragma once
// Placeholder: the dialog is built in its own change.
#include <QDialog>

namespace tessival {

class TSampFreqForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSampFreqForm(QWidget* parent = nullptr);
};

extern TSampFreqForm* SampFreqForm;

}  // namespace tessival
