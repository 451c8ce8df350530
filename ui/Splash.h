#pragma once
// Placeholder: the dialog is built in its own change.
#include <QDialog>

namespace tessival {

class TSplashForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSplashForm(QWidget* parent = nullptr);
};

extern TSplashForm* SplashForm;

}  // namespace tessival
