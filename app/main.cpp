// The tessival program: the main window first (it loads the settings), then the
// dialogs, which are created with the loaded values.
#include <QApplication>

#include "ui/Gain.h"
#include "ui/Main.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

int main(int argc, char** argv) {
  using namespace tessival;
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tessival");
  QApplication::setDesktopFileName("tessival");

  MainForm = new TMainForm(nullptr);
  QApplication::setWindowIcon(MainForm->windowIcon());
  WaveDevForm = new TWaveDevForm(MainForm);
  SplashForm = new TSplashForm(MainForm);
  GainForm = new TGainForm(MainForm);
  SampFreqForm = new TSampFreqForm(MainForm);

  MainForm->show();  // its first showing brings up the splash
  const int result = app.exec();
  delete MainForm;  // the dialogs are its children
  return result;
}
