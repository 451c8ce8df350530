// The main window: its layout, start-up and closing, the command table, and a bank
// loaded, played and stopped on the simulated driver.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/DeviceControl.h"
#include "audio/SimDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "support/WavBuilder.h"
#include "ui/Gain.h"
#include "ui/Main.h"
#include "ui/MessageBox.h"
#include "ui/Meters.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

using namespace tessival;

namespace {

struct Message {
  MessageKind Kind;
  std::string Text;
};

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TESSIVAL_AUDIO", "sim", 1);
    static int argc = 1;
    static char name[] = "ui_main_test";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
  }

  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    setenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit().constData(), 1);
    sim_ = &InstallSimDriver();
    TheEngine.ResetEngine();
    ResetSettingsVariables();
    Running = Stopping = false;
    MessageBoxCapture = [this](MessageKind kind, const std::string& text) {
      messages_.push_back({kind, text});
    };
    OpenDialogOverride = [this] {
      ++dialogRuns_;
      return chosen_;
    };
  }

  void TearDown() override {
    if (MainForm) {
      if (Running) StopButtonClick();
      QCoreApplication::sendPostedEvents();
      delete MainForm;  // and the dialogs, its children
    }
    MainForm = nullptr;
    GainForm = nullptr;
    SampFreqForm = nullptr;
    WaveDevForm = nullptr;
    SplashForm = nullptr;
    MessageBoxCapture = nullptr;
    OpenDialogOverride = nullptr;
    InstallWaveDriver(nullptr);
    TheEngine.ResetEngine();
    unsetenv("XDG_CONFIG_HOME");
  }

  // The program's start-up order, short of showing the window.
  void StartProgram() {
    MainForm = new TMainForm(nullptr);
    WaveDevForm = new TWaveDevForm(MainForm);
    SplashForm = new TSplashForm(MainForm);
    GainForm = new TGainForm(MainForm);
    SampFreqForm = new TSampFreqForm(MainForm);
    // Record the status texts as they are set, then let the window show them.
    auto show = Ui.SetStatusText;
    Ui.SetStatusText = [this, show](const std::string& text) {
      statuses_.push_back(text);
      show(text);
    };
  }

  // Runs `command`; a modal dialog it opens is handed to `whileOpen`, then closed.
  // Returns the dialog that was open, or null.
  QWidget* ModalOpenedBy(const std::function<void()>& command,
                         const std::function<void()>& whileOpen = {}) {
    QPointer<QWidget> seen;
    QTimer closer;  // keeps looking until a modal dialog is up
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        closer.stop();
        seen = dialog;
        if (whileOpen) whileOpen();
        dialog->reject();
      }
    });
    closer.start(5);
    command();
    closer.stop();
    return seen.data();
  }

  // stem1.wav .. stem<count>.wav, taps of different lengths, at `rate`.
  std::string WriteBank(int count, uint32_t rate = 48000) {
    for (int i = 1; i <= count; ++i) {
      std::vector<double> left(100 + 10 * i, 0.0), right(left.size(), 0.0);
      left[i] = 0.5;
      right[0] = 0.25;
      EXPECT_TRUE(tessival::testing::WriteBytes(bank_ / ("stem" + std::to_string(i) + ".wav"),
                                      tessival::testing::FilterWav(left, right, rate, 7)));
    }
    return bank_ / "stem1.wav";
  }

  QString Status() const { return MainForm->StatusPanels[0]->text(); }

  QString StoredValue(const char* name) const {
    QSettings store(config_.path() + "/Software/Tessival.ini", QSettings::IniFormat);
    return store.value(QString("Options/") + name).toString();
  }

  // Pumps the device notifications: `blocks` capture blocks on the stepped clock.
  void RunBlocks(int blocks) {
    for (int b = 0; b < blocks; ++b) {
      sim_->Step(static_cast<uint64_t>(TheEngine.BlockLength));
      QCoreApplication::sendPostedEvents();
    }
  }

  // With TESSIVAL_SCREENSHOT_DIR set (under Xvfb), saves the window, or the whole
  // screen, for a look at the layout.
  void SaveScreenshot(const char* name, bool wholeScreen = false) {
    const char* folder = std::getenv("TESSIVAL_SCREENSHOT_DIR");
    if (!folder) return;
    MainForm->show();
    QCoreApplication::processEvents();
    const QPixmap shot =
        wholeScreen ? QGuiApplication::primaryScreen()->grabWindow(0) : MainForm->grab();
    EXPECT_TRUE(shot.save(QString(folder) + "/" + name + ".png"));
  }

  QTemporaryDir config_;
  tessival::testing::TempDir bank_;
  SimDriver* sim_ = nullptr;
  std::vector<Message> messages_;
  std::vector<std::string> statuses_;
  std::string chosen_;
  int dialogRuns_ = 0;
};

TEST_F(MainWindow, OpensWithItsDesignedLayoutAndTheLoadedSettings) {
  StartProgram();
  TMainForm& w = *MainForm;
  EXPECT_EQ(w.windowTitle(), "Tessival");
  EXPECT_EQ(w.minimumSize(), QSize(522, 378));
  EXPECT_EQ(w.maximumSize(), QSize(522, 378));
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(w.windowIcon().isNull());
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(w.pos(), QPoint((screen.width() - 522) / 2, (screen.height() - 378) / 2));

  // The toolbar's items in order, each right of the one before, the picture last and
  // flush with the right edge; the group boxes, memo and status bar where designed.
  int right = -1;
  for (const char* name : {"FiltrosButton", "StartButton", "StopButton", "GainButton",
                           "FreqButton", "DeviceButton", "AboutButton", "Image1"}) {
    auto* item = w.ToolBar1->findChild<QWidget*>(name);
    ASSERT_TRUE(item) << name;
    EXPECT_GT(item->x(), right) << name;
    right = item->geometry().right();
    if (auto* b = qobject_cast<QToolButton*>(item)) {
      EXPECT_EQ(b->size(), QSize(48, 42)) << name;
      EXPECT_FALSE(b->icon().isNull()) << name;
    }
  }
  EXPECT_EQ(right, 520);
  EXPECT_EQ(w.findChild<QGroupBox*>("GroupBox2")->geometry(), QRect(16, 64, 273, 145));
  EXPECT_EQ(w.findChild<QGroupBox*>("GroupBox1")->geometry(), QRect(312, 64, 193, 97));
  EXPECT_EQ(w.findChild<QWidget*>("MeterPanel")->geometry(), QRect(312, 168, 193, 185));  // the memo box's place
  EXPECT_EQ(w.findChild<QStatusBar*>("StatusBar1")->geometry(), QRect(0, 357, 522, 21));
  const QString family = QFontInfo(w.GroupBox2->font()).family();
  EXPECT_TRUE(family == "Arial" || family == "Liberation Sans") << family.toStdString();

  // At start: field names only, empty meters, no headroom, "Stopped".
  QStringList texts;
  for (auto* l : w.findChildren<QLabel*>()) texts << l->text();
  for (const char* n : {"File Name: ", "Surround Channels:", "Sampling Freq:", "Sample Type:",
                        "Max Filter Length:", "FFT Order:", "Efficiency:"})
    EXPECT_TRUE(texts.contains(n)) << n;
  for (QLabel* value : {w.LabelFileName, w.LabelSurrChannels, w.LabelFs, w.LabelSampleType,
                        w.LabelMaxLen, w.LabelFFTOrder, w.LabelEffi, w.LabelHeadroom, w.StatusPanels[1]})
    EXPECT_TRUE(value->text().isEmpty()) << value->objectName().toStdString();
  EXPECT_FALSE(w.MeterPanel->Model.Active());
  EXPECT_TRUE(w.LabelHeadroom->text().isEmpty());
  EXPECT_EQ(Status(), "Stopped");
  EXPECT_EQ(w.StatusPanels[0]->width(), 100);
  EXPECT_EQ(w.StatusPanels[1]->width(), 50);

  // Creation: flags cleared, settings loaded, dither table made; nothing said.
  EXPECT_FALSE(TheEngine.FiltersLoaded);
  EXPECT_FALSE(Running);
  EXPECT_TRUE(FilterBaseName.empty());
  EXPECT_EQ(NumBuffers, 3);
  EXPECT_EQ(SampleRate, 44100);
  EXPECT_NE(DitherTable, nullptr);
  EXPECT_TRUE(messages_.empty());

  // Showing the window brings up the splash, modally, once the window is visible.
  bool visibleUnderSplash = false;
  QWidget* splash = ModalOpenedBy(
      [&] {
        w.show();
        QCoreApplication::processEvents();
      },
      [&] {
        visibleUnderSplash = w.isVisible();
        SaveScreenshot("startup", true);
      });
  EXPECT_EQ(splash, SplashForm);
  EXPECT_TRUE(visibleUnderSplash);
}

TEST_F(MainWindow, AStoreErrorAtStartIsShownAndTheUnreadSettingsKeepTheirDefaults) {
  ASSERT_TRUE(QDir().mkpath(config_.path() + "/Software"));
  QFile file(config_.path() + "/Software/Tessival.ini");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("[Options]\nNumBuffers=5\nBits=24, 16\nGain9=-6\n");
  file.close();
  StartProgram();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Text, "Invalid data type for 'Bits'");
  EXPECT_EQ(messages_[0].Kind, MessageKind::Plain);
  EXPECT_EQ(NumBuffers, 5);
  EXPECT_EQ(SampleBits, 16);
  EXPECT_EQ(GainSteps[9], 0);
  EXPECT_EQ(Status(), "Stopped");
}

TEST_F(MainWindow, CommandsFollowTheTableInEveryState) {
  StartProgram();
  TMainForm& w = *MainForm;

  // Not loaded, not running: play and stop do nothing; the dialogs open.
  w.StartButton->click();
  w.StopButton->click();
  EXPECT_FALSE(Running);
  EXPECT_EQ(Status(), "Stopped");
  EXPECT_TRUE(sim_->CallLog().empty());
  EXPECT_EQ(ModalOpenedBy([&] { w.FreqButton->click(); }), SampFreqForm);
  EXPECT_EQ(ModalOpenedBy([&] { w.DeviceButton->click(); }), WaveDevForm);
  EXPECT_EQ(ModalOpenedBy([&] { w.AboutButton->click(); }), SplashForm);
  w.GainButton->click();
  EXPECT_TRUE(GainForm->isVisible());
  EXPECT_FALSE(GainForm->isModal());
  GainForm->hide();
  chosen_.clear();  // a cancelled dialog changes nothing
  w.FiltrosButton->click();
  EXPECT_EQ(dialogRuns_, 1);
  EXPECT_FALSE(TheEngine.FiltersLoaded);
  EXPECT_TRUE(messages_.empty());

  // Loaded: a changed resolution or buffer count re-makes the wave buffers.
  chosen_ = WriteBank(2);
  w.FiltrosButton->click();
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  EXPECT_EQ(TheEngine.WaveBufferSize, TheEngine.BlockLength * 4);
  ModalOpenedBy([&] { w.FreqButton->click(); }, [] { SampleBits = 24; });
  EXPECT_EQ(TheEngine.WaveBufferBits, 24);
  EXPECT_EQ(TheEngine.WaveBufferSize, TheEngine.BlockLength * 8);
  ModalOpenedBy([&] { w.DeviceButton->click(); }, [] { NumBuffers = 6; });
  EXPECT_EQ(TheEngine.WaveBufferCount, 6);
  EXPECT_NE(TheEngine.InBuffers[5], nullptr);
  EXPECT_NE(TheEngine.OutBuffers[0][5], nullptr);
  ModalOpenedBy([&] { w.DeviceButton->click(); }, [] { NumBuffers = 2; });
  EXPECT_EQ(TheEngine.WaveBufferCount, 2);
  EXPECT_EQ(TheEngine.InBuffers[5], nullptr);
  EXPECT_TRUE(TheEngine.FiltersLoaded);

  // Running: load, frequency and device do nothing; gain and about still open.
  Running = true;
  const int runs = dialogRuns_;
  w.FiltrosButton->click();
  EXPECT_EQ(dialogRuns_, runs);
  EXPECT_EQ(ModalOpenedBy([&] { w.FreqButton->click(); }), nullptr);
  EXPECT_EQ(ModalOpenedBy([&] { w.DeviceButton->click(); }), nullptr);
  EXPECT_EQ(ModalOpenedBy([&] { w.AboutButton->click(); }), SplashForm);
  w.GainButton->click();
  EXPECT_TRUE(GainForm->isVisible());
  w.StartButton->click();  // already running: nothing opened
  EXPECT_TRUE(sim_->CallLog().empty());
  Running = false;
  EXPECT_TRUE(messages_.empty());
  for (auto* b : w.ToolBar1->findChildren<QToolButton*>()) EXPECT_TRUE(b->isEnabled());
}

TEST_F(MainWindow, LoadsPlaysAndStopsABankOnTheSimulatedDevices) {
  StartProgram();
  TMainForm& w = *MainForm;
  chosen_ = WriteBank(4);
  chosen_ = bank_ / "stem3.wav";  // any file of the set finds its siblings
  w.FiltrosButton->click();
  ASSERT_TRUE(TheEngine.FiltersLoaded) << (messages_.empty() ? "" : messages_[0].Text);
  EXPECT_EQ(w.LabelFileName->text(), "stem");
  EXPECT_EQ(w.LabelSurrChannels->text(), "2");
  EXPECT_EQ(w.LabelFs->text(), "48000");
  EXPECT_EQ(w.LabelSampleType->text(), "16-bit Int PCM");
  EXPECT_EQ(w.LabelMaxLen->text(), "140");
  EXPECT_EQ(w.LabelFFTOrder->text(), "8");
  EXPECT_EQ(w.LabelEffi->text(), "46 %");
  EXPECT_EQ(statuses_, (std::vector<std::string>{"Loading Filters ...", "Filters Loaded"}));
  EXPECT_EQ(Status(), "Filters Loaded");
  EXPECT_EQ(SampleRate, 48000);
  SaveScreenshot("loaded");

  // A failed open leaves the state and the status as they were (both pairs are on the
  // first output, "default" in a real list).
  EXPECT_EQ(WaveOutDevices[1], 0);
  sim_->FailOperation(WaveKind::Out, 0, SimOp::Open, MMSYSERR_ALLOCATED, 1);
  w.StartButton->click();
  EXPECT_FALSE(Running);
  EXPECT_EQ(Status(), "Filters Loaded");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Kind, MessageKind::Warning);
  EXPECT_EQ(messages_[0].Text.rfind("Error en waveOutOpen: \r\n", 0), 0u) << messages_[0].Text;
  messages_.clear();
  QCoreApplication::sendPostedEvents();

  // Play: the notifications reach the window as events and the buffers flow.
  w.StartButton->click();
  ASSERT_TRUE(Running);
  EXPECT_EQ(Status(), "Playing ...");
  RunBlocks(8);
  // After the queued silent buffers, file ch + 1 plays 0.5 times the left input ch + 1
  // frames late plus 0.25 times the right input (WriteBank), on the default capture signal.
  const size_t silent = static_cast<size_t>(HeldNumBuffers()) * TheEngine.BlockLength;
  // Both pairs are on the first output: the run's two opens, pair 0 first.
  const std::vector<SimRecording> recordings = sim_->Recordings();
  ASSERT_GE(recordings.size(), 2u);
  for (int32_t d = 0; d < 2; ++d) {
    const auto played = SimDriver::DecodeSamples(recordings[recordings.size() - 2 + d].Bytes, 16);
    ASSERT_GE(played.size() / 2, silent + 4 * static_cast<size_t>(TheEngine.BlockLength)) << "device " << d;
    for (size_t f = 0; f < played.size() / 2; ++f) {
      for (int side = 0; side < 2; ++side) {
        const int32_t ch = 2 * d + side;
        double want = 0;
        if (f >= silent) {
          const int64_t t = static_cast<int64_t>(f - silent);
          want = 0.25 * SimDriver::DefaultSignal(t, 1, 16);
          if (t >= ch + 1) want += 0.5 * SimDriver::DefaultSignal(t - (ch + 1), 0, 16);
        }
        ASSERT_NEAR(played[2 * f + side], want, 1.0) << "device " << d << " channel " << ch << " frame " << f;
      }
    }
  }
  const auto log = sim_->CallLog();
  EXPECT_GT(std::count(log.begin(), log.end(), "waveInAddBuffer 0 0"), 1);
  SaveScreenshot("playing");

  w.StopButton->click();
  QCoreApplication::sendPostedEvents();
  EXPECT_FALSE(Running);
  EXPECT_EQ(Status(), "Stopped");
  EXPECT_EQ(sim_->OpenDeviceCount(), 0u);
  EXPECT_TRUE(TheEngine.FiltersLoaded);
  EXPECT_TRUE(messages_.empty());
}

// A block size chosen in the device dialog loads the bank again, cut into partitions;
// the window shows the latency, and the bank plays as in Auto mode, a tap 3000 frames
// in (in a worker's level) included.
TEST_F(MainWindow, ABlockSizeLoadsTheBankAgainAndItPlaysPartitioned) {
  StartProgram();
  TMainForm& w = *MainForm;
  for (int i = 1; i <= 2; ++i) {
    std::vector<double> left(3001, 0.0), right(3001, 0.0);
    left[i] = 0.5;
    right[3000] = 0.25;
    ASSERT_TRUE(tessival::testing::WriteBytes(bank_ / ("long" + std::to_string(i) + ".wav"),
                                              tessival::testing::FilterWav(left, right, 48000, 7)));
  }
  chosen_ = bank_ / "long1.wav";
  w.FiltrosButton->click();
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  EXPECT_EQ(w.LabelEffiName->text(), "Efficiency:");
  EXPECT_EQ(w.LabelFFTOrder->text(), "13");

  TheEngine.Workers = WorkerMode::Waited;  // the stepped clock runs faster than real time
  ModalOpenedBy([&] { w.DeviceButton->click(); }, [] { BlockFrames = 64; });
  ASSERT_TRUE(TheEngine.FiltersLoaded) << (messages_.empty() ? "" : messages_[0].Text);
  EXPECT_EQ(TheEngine.BlockLength, 64);
  EXPECT_GT(TheEngine.Partitions.WorkerCount(), 0);
  EXPECT_EQ(w.LabelFFTOrder->text(), "7");
  EXPECT_EQ(w.LabelEffiName->text(), "Latency:");
  EXPECT_EQ(w.LabelEffi->text(), "4.0 ms");  // 3 buffers of 64 frames at 48 kHz
  ModalOpenedBy([&] { w.DeviceButton->click(); }, [] { NumBuffers = 8; });
  EXPECT_EQ(w.LabelEffi->text(), "10.7 ms");
  SaveScreenshot("partitioned");

  w.StartButton->click();
  ASSERT_TRUE(Running);
  RunBlocks(120);
  const size_t silent = static_cast<size_t>(HeldNumBuffers()) * TheEngine.BlockLength;
  const std::vector<SimRecording> recordings = sim_->Recordings();
  ASSERT_GE(recordings.size(), 1u);
  const auto played = SimDriver::DecodeSamples(recordings.back().Bytes, 16);
  ASSERT_GE(played.size() / 2, silent + 3100);
  for (size_t f = 0; f < played.size() / 2; ++f)
    for (int side = 0; side < 2; ++side) {
      double want = 0;
      if (f >= silent) {
        const int64_t t = static_cast<int64_t>(f - silent);
        if (t >= side + 1) want += 0.5 * SimDriver::DefaultSignal(t - (side + 1), 0, 16);
        if (t >= 3000) want += 0.25 * SimDriver::DefaultSignal(t - 3000, 1, 16);
      }
      ASSERT_NEAR(played[2 * f + side], want, 1.0) << "channel " << side << " frame " << f;
    }
  w.StopButton->click();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(TheEngine.Figures.LatePartitions, 0);
  EXPECT_TRUE(messages_.empty());
}

// A full-scale input through a bank whose S1 doubles the left input: the headroom
// says so at load, the meters show S1 clipping while the dipole pair does not, the gain
// dialog lights S1 and Master, a click puts the marks out, and a stop empties it all.
TEST_F(MainWindow, MetersShowTheClippingAndTheGainDialogLightsItsSliders) {
  StartProgram();
  TMainForm& w = *MainForm;
  const std::vector<double> zeros(8, 0.0);
  const double gains[3] = {0.5, 0.25, 2.0};
  for (int i = 0; i < 3; ++i) {
    std::vector<double> left = zeros;
    left[0] = gains[i];
    ASSERT_TRUE(tessival::testing::WriteBytes(bank_ / ("clip" + std::to_string(i + 1) + ".wav"),
                                              tessival::testing::FilterWav(left, zeros)));
  }
  chosen_ = bank_ / "clip1.wav";
  w.FiltrosButton->click();
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  EXPECT_EQ(w.LabelHeadroom->text(), "Headroom: needs -6.0 dB");
  EXPECT_TRUE(w.LabelHeadroom->toolTip().contains("S1: sine peak +6.0 dB")) << w.LabelHeadroom->toolTip().toStdString();
  EXPECT_TRUE(GainForm->TrackBar[1]->toolTip().startsWith("S1: sine peak +6.0 dB"));
  EXPECT_TRUE(GainForm->TrackBar[0]->toolTip().startsWith("Dipole L: sine peak -6.0 dB"));

  sim_->SetInputSignal([](uint64_t frame, int channel, int) {
    return channel == 0 ? static_cast<int32_t>(std::lround(32767 * std::sin(0.1 * static_cast<double>(frame)))) : 0;
  });
  w.StartButton->click();
  ASSERT_TRUE(Running);
  ASSERT_TRUE(w.MeterPanel->Model.Active());
  RunBlocks(4);
  w.MeterTimerTimer();
  const MeterModel& m = w.MeterPanel->Model;
  EXPECT_EQ(m.Channels(), 3);
  EXPECT_NEAR(m.Input(0).LevelDb, 0.0, 0.01);
  EXPECT_EQ(m.Input(1).LevelDb, -INFINITY);
  EXPECT_NEAR(m.Output(0).LevelDb, -6.02, 0.01);
  EXPECT_NEAR(m.Output(2).LevelDb, 6.02, 0.01);
  EXPECT_FALSE(m.Output(0).Clip);
  EXPECT_FALSE(m.Output(1).Clip);
  EXPECT_TRUE(m.Output(2).Clip);
  // Load of the blocks just run; 3 buffers of 9 frames at 48 kHz; no underrun, no skip.
  EXPECT_TRUE(QRegularExpression("^DSP [0-9.]+/[0-9.]+ %   1 ms   0/0$").match(m.StatusLine()).hasMatch())
      << m.StatusLine().toStdString();
  EXPECT_FALSE(GainForm->ClipLamp[0]->Lit());
  EXPECT_TRUE(GainForm->ClipLamp[1]->Lit());
  EXPECT_FALSE(GainForm->ClipLamp[2]->Lit());
  EXPECT_TRUE(GainForm->ClipLamp[MasterSlider]->Lit());
  SaveScreenshot("meters");

  QMouseEvent click(QEvent::MouseButtonPress, QPointF(50, 50), QPointF(50, 50), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(w.MeterPanel, &click);
  EXPECT_FALSE(m.Output(2).Clip);

  w.StopButton->click();
  QCoreApplication::sendPostedEvents();
  EXPECT_FALSE(m.Active());
  EXPECT_FALSE(w.MeterTimer->isActive());
  EXPECT_FALSE(GainForm->ClipLamp[MasterSlider]->Lit());
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindow, ClosingStopsTheDevicesReleasesTheBankAndSavesTheSettings) {
  StartProgram();
  TMainForm& w = *MainForm;
  w.close();  // nothing loaded: only the settings are saved
  EXPECT_EQ(StoredValue("NumBuffers"), "3");
  EXPECT_EQ(StoredValue("Dither"), "0");

  chosen_ = WriteBank(2);
  w.FiltrosButton->click();
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  w.StartButton->click();
  ASSERT_TRUE(Running);
  RunBlocks(3);
  GainSteps[9] = -12;
  DitherOn = true;
  sim_->ClearCallLog();
  w.close();
  EXPECT_FALSE(Running);
  EXPECT_FALSE(TheEngine.FiltersLoaded);
  EXPECT_EQ(TheEngine.InBuffers[0], nullptr);
  EXPECT_EQ(sim_->OpenDeviceCount(), 0u);
  // The close notifications released the headers while the buffers still existed.
  const auto log = sim_->CallLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "waveInUnprepareHeader 0 0"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "waveOutUnprepareHeader 0 0"), log.end());
  EXPECT_EQ(StoredValue("Gain9"), "-12");
  EXPECT_EQ(StoredValue("Dither"), "1");
  EXPECT_EQ(StoredValue("Sampling Freq"), "2");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindow, AFailedSaveAtCloseIsReportedNotFatal) {
  StartProgram();
  QFile blocker(config_.path() + "/Software");  // a file where the folder should be
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  MainForm->close();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Text, "Failed to create key Options");
}

}  // namespace
