#include "ui/Splash.h"

namespace tessival {

TSplashForm* SplashForm = nullptr;

TSplashForm::TSplashForm(QWidget* parent) : QDialog(parent) { setWindowTitle("About ..."); }

}  // namespace tessival
