// tessival-screenshots BANKFILE OUTDIR [POINTS]: the pictures of the README. Builds the
// program's windows as it does at start-up (without the splash), loads the bank through
// the load command, and saves the main window, the sampling format dialog, the device
// dialog and the About box as PNG files; then plays a full-scale input and saves the
// playing window and the gain dialog. POINTS sets the application font's size, as a
// desktop would, to check the layouts at the sizes users run with. Runs on the
// simulated devices with default settings in a temporary settings folder, so the
// user's own settings are neither read nor changed. scripts/screenshots runs it under
// Xvfb.
#include <QApplication>
#include <QFont>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

#include "audio/DeviceControl.h"
#include "audio/SimDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "settings/Settings.h"
#include "ui/Gain.h"
#include "ui/Main.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

namespace tessival {
namespace {

// Lets the event loop lay out and paint for `ms` milliseconds.
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Save(QWidget* w, const QString& dir, const char* name) {
  Settle(300);
  const QString path = dir + "/" + name;
  if (!w->grab().save(path, "PNG", 9)) {
    std::fprintf(stderr, "tessival-screenshots: %s: could not be written\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

int Run(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: tessival-screenshots BANKFILE OUTDIR [POINTS]\n", stderr);
    return 2;
  }
  const std::string bank = argv[1];
  ::setenv("TESSIVAL_AUDIO", "sim", 1);
  QTemporaryDir config;
  if (!config.isValid()) {
    std::fputs("tessival-screenshots: no temporary folder for the settings\n", stderr);
    return 1;
  }
  ::setenv("XDG_CONFIG_HOME", qPrintable(config.path()), 1);

  QApplication app(argc, argv);
  QApplication::setApplicationName("Tessival");
  if (argc == 4) {
    const double points = std::atof(argv[3]);
    if (points < 4 || points > 72) {
      std::fprintf(stderr, "tessival-screenshots: %s: not a font size in points\n", argv[3]);
      return 2;
    }
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    QApplication::setFont(font);
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  if (!QDir().mkpath(out)) {
    std::fprintf(stderr, "tessival-screenshots: %s: cannot make the folder\n", qPrintable(out));
    return 1;
  }

  // Simulated devices named as on a desktop with PipeWire and two USB cards, so that
  // the device dialog's picture shows what its lists hold there.
  SimConfig devices;
  devices.Clock = SimClock::RealTime;
  devices.RecordToMemory = false;
  devices.KeepCallLog = false;
  devices.InputNames = {"Default ALSA Output (currently PipeWire Media Server)", "PipeWire sound server",
                        "HDA Intel PCH, ALC892 Analog (hw:0,0, direct)", "HDA Intel PCH, ALC892 Analog (plughw:0,0, converts)",
                        "USB Audio CODEC (hw:1,0, direct)", "USB Audio CODEC (plughw:1,0, converts)"};
  devices.OutputNames = devices.InputNames;
  devices.OutputNames.push_back("USB Audio CODEC (hw:2,0, direct)");
  devices.OutputNames.push_back("USB Audio CODEC (plughw:2,0, converts)");
  SimDriver& sim = InstallSimDriver(devices);

  MainForm = new TMainForm(nullptr);
  WaveInDevice = 5;
  const int32_t outputs[MaxOutDevices] = {5, 7, 1, 1, 1};
  for (int k = 0; k < MaxOutDevices; ++k) WaveOutDevices[k] = outputs[k];
  // Messages go to stderr instead of a modal box nobody would close.
  bool failed = false;
  Ui.ShowMessage = [&failed](MessageKind, const std::string& text) {
    std::fprintf(stderr, "tessival-screenshots: %s\n", text.c_str());
    failed = true;
  };
  WaveDevForm = new TWaveDevForm(MainForm);
  // Gains as a user might have set them: the surround channels below the dipole pair.
  const int gains[NumGainSliders] = {0, -3, -3, -6, -6, -9, -9, -12, -12, -2};
  for (int k = 0; k < NumGainSliders; ++k) GainSteps[k] = gains[k];
  GainForm = new TGainForm(MainForm);
  SampFreqForm = new TSampFreqForm(MainForm);

  MainForm->show();
  Settle(200);
  // Made after the first showing, so no splash comes up; its timer is stopped so that
  // it stays up for its picture.
  SplashForm = new TSplashForm(MainForm);
  SplashForm->Timer1->stop();
  OpenDialogOverride = [&bank] { return bank; };
  MainForm->FiltrosButtonClick();
  if (failed || !TheEngine.FiltersLoaded) return 1;
  bool ok = Save(MainForm, out, "main-window.png");

  SampFreqForm->show();
  ok = Save(SampFreqForm, out, "sampling-dialog.png") && ok;
  SampFreqForm->hide();
  WaveDevForm->show();
  ok = Save(WaveDevForm, out, "device-dialog.png") && ok;
  WaveDevForm->hide();
  SplashForm->show();
  ok = Save(SplashForm, out, "about-box.png") && ok;
  SplashForm->hide();

  // Playing: a full-scale 255 Hz sine on the left input, where the demo bank's lift of
  // +12 dB clips the dipole pair, and -6 dB at 180 Hz on the right. The gain dialog
  // lights the lamps of the sliders whose channels clip.
  sim.SetInputSignal([](uint64_t frame, int channel, int bits) {
    const double fullScale = bits == 16 ? 32767.0 : 2147483647.0;
    const double t = static_cast<double>(frame) / SampleRate;
    return static_cast<int32_t>(channel == 0 ? fullScale * std::sin(2 * std::numbers::pi * 255 * t)
                                             : 0.5 * fullScale * std::sin(2 * std::numbers::pi * 180 * t));
  });
  MainForm->StartButtonClick();
  if (!Running) return 1;
  Settle(2500);
  ok = Save(MainForm, out, "playing-window.png") && ok;
  GainForm->show();
  ok = Save(GainForm, out, "gain-dialog.png") && ok;
  GainForm->hide();
  MainForm->StopButtonClick();

  // Closing the window releases the bank; the settings go to the temporary folder.
  MainForm->close();
  delete MainForm;
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace tessival

int main(int argc, char** argv) { return tessival::Run(argc, argv); }
