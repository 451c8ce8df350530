// The tessival program: the main window first (it loads the settings), then the
// dialogs, which are created with the loaded values.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/Gain.h"
#include "ui/Main.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

namespace {

constexpr char Usage[] =
    "usage: tessival [Qt options]\n"
    "       tessival --help | --version\n"
    "\n"
    "Real-time multichannel convolver: captures a live stereo input, convolves both\n"
    "channels block by block with a bank of FIR filters loaded from numbered WAV files\n"
    "and plays up to ten output channels on up to five stereo output devices. Banks,\n"
    "devices, sampling format and gains are chosen in the main window; the settings\n"
    "are kept in $XDG_CONFIG_HOME/Software/Tessival.ini.\n"
    "\n"
    "  -h, --help              this text\n"
    "  --version               the version\n"
    "Qt's own options (-platform, -style, -display, ...) are taken as well.\n"
    "\n"
    "Environment:\n"
    "  TESSIVAL_AUDIO=jack     only the JACK client (jackd, or PipeWire under pw-jack)\n"
    "  TESSIVAL_AUDIO=alsa     only ALSA's devices\n"
    "  TESSIVAL_AUDIO=sim      simulated devices instead of ALSA (a demo and test aid)\n"
    "  TESSIVAL_SIM_INPUT      with sim: a WAV file captured, looped, instead of a tone\n"
    "  TESSIVAL_SIM_RECORD     with sim: a folder where every output is recorded\n"
    "  TESSIVAL_DEBUG=1        at Stop, each output's rate, underruns and skips\n"
    "  TESSIVAL_AUDIO_DEBUG=1  ALSA's and libjack's own error texts on stderr\n"
    "\n"
    "A demo bank is installed in /usr/share/tessival/demo/ (/usr/local/share/... when\n"
    "installed from source). See tessival(1) and tessival-render(1).\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tessival;
  // Answered before any window system is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("tessival " TESSIVAL_VERSION);
      return 0;
    }
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("Tessival");
  QApplication::setApplicationVersion(TESSIVAL_VERSION);
  QApplication::setDesktopFileName("org.tessival.Tessival");
  // Qt has taken its own options; anything left is a mistake, not a file to open.
  const QStringList rest = QApplication::arguments().mid(1);
  if (!rest.isEmpty()) {
    std::fprintf(stderr, "tessival: %s: unknown argument (see --help)\n", qPrintable(rest.first()));
    return 1;
  }

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
