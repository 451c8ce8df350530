#pragma once
// Unit Main: the main window. Its toolbar runs the load, play and stop commands and
// opens the dialogs; two group boxes show the loaded bank; the status bar shows the
// running state. The device notifications arrive as events of this window, so every
// handler runs on its thread, one at a time.
#include <QString>
#include <QWidget>
#include <functional>
#include <string>

#include "audio/WaveDevice.h"

class QFileDialog;
class QGroupBox;
class QLabel;
class QStatusBar;
class QTimer;
class QToolButton;

namespace tessival {

struct BankLabelTexts;
struct MeterStatus;
class TMeterPanel;

// Tests: when set, stands in for the file dialogs and returns the chosen path ("" for cancel).
extern std::function<std::string()> OpenDialogOverride;

class TMainForm : public QWidget, public WaveNotifyTarget {
  Q_OBJECT

 public:
  // Builds the window and runs FormCreate.
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  void FormCreate();
  void FormShow();
  void FormClose();

  void FiltrosButtonClick();
  void StartButtonClick();
  void StopButtonClick();
  void GainButtonClick();
  void FreqButtonClick();
  void DeviceButtonClick();
  void AboutButtonClick();

  // Called on any thread: queues the notification as an event of this window.
  void PostWaveMessage(const WaveMessage& message) override;

  // Status panel 0, repainted at once.
  void SetStatusText(const QString& text);

  // The meter timer's tick: the figures since the last tick to the meters and to the
  // gain dialog's clip indicators; once the run is over, empties them.
  void MeterTimerTimer();

  QWidget* ToolBar1;
  QToolButton* FiltrosButton;
  QToolButton* StartButton;
  QToolButton* StopButton;
  QToolButton* GainButton;
  QToolButton* FreqButton;
  QToolButton* DeviceButton;
  QToolButton* AboutButton;
  QLabel* Image1;

  QGroupBox* GroupBox2;  // "Filter Bank Info"
  QLabel* LabelFileName;
  QLabel* LabelSurrChannels;
  QLabel* LabelFs;
  QLabel* LabelSampleType;

  QGroupBox* GroupBox1;  // "Filtering Parameters"
  QLabel* LabelMaxLen;
  QLabel* LabelFFTOrder;
  QLabel* LabelEffiName;  // "Efficiency:", or "Latency:" with a bank in partitioned mode
  QLabel* LabelEffi;

  QLabel* LabelHeadroom;      // the loaded bank's headroom, under "Filter Bank Info"
  TMeterPanel* MeterPanel;    // in the memo box's place (Memo1): the meters while playing
  QTimer* MeterTimer;         // feeds the meters about ten times a second while playing
  QStatusBar* StatusBar1;
  QLabel* StatusPanels[2];  // panel 0: state texts; panel 1: always empty

  // Qt's file dialog for the load command, made at its first use; the desktop's own
  // chooser (FileChooser.h) takes its place where the desktop has one.
  QFileDialog* OpenDialog1;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void customEvent(QEvent* event) override;

 private:
  void BuildToolBar();
  void BuildGroupBoxes();
  void BuildStatusBar();
  std::string ChooseFilterFile();
  void ShowFileName(const std::string& name);
  void ShowBankLabels(const BankLabelTexts& texts);
  // The load command's work after the file dialog, for `path`.
  void LoadBank(const std::string& path);
  // The efficiency (or latency) line for the loaded bank and today's settings.
  void ShowEffi();
  void RemakeWaveBuffers();
  void ShowHeadroom();
  void StopMeters();
  MeterStatus DeviceMeterStatus() const;

  bool shown_ = false;
  QString LastFolder;  // the folder of the last chosen file, where the desktop's chooser opens
};

extern TMainForm* MainForm;

}  // namespace tessival
