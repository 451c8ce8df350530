#pragma once
// The device dialog: the capture device, the playback device of each output pair,
// the open and start orders and the buffer count. Modal; the device lists are
// rebuilt from the wave device layer at every showing, with the devices' whole names.
// A stored device that is not present is shown as such and kept until another is
// chosen. Each output pair has a "Test" button that plays the wiring check on the
// device chosen for it.
#include <QDialog>

#include "audio/WaveDevice.h"
#include "audio/WiringTest.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tessival {

class TRadioGroup;

class TWaveDevForm : public QDialog, public WaveNotifyTarget {
  Q_OBJECT

 public:
  explicit TWaveDevForm(QWidget* parent = nullptr);
  ~TWaveDevForm() override { wiring_.Stop(); }  // while this is still the check's target

  void FormShow();
  void BitBtn1Click();
  // Plays the wiring check of output pair k on the device its list shows (not while
  // playing); a failure shows the open's message.
  void TestButtonClick(int k);

  // The wiring check's notifications, from any thread: queued as events of the dialog.
  void PostWaveMessage(const WaveMessage& message) override;
  const WiringTest& Wiring() const { return wiring_; }

  // The buffer count to store: the typed number held to 2..8, or the up-down's
  // position when the text is not a number.
  int BufferCount() const;

  QLabel* DeviceLabel[6];        // "Wave Record", "Stereo Dipole Out", "Surround Out (1-2)".."(7-8)"
  QComboBox* ComboBoxIn;         // item i is input device i
  QComboBox* ComboBoxOut[5];     // ComboBoxOut0..4, item i is output device i
  QPushButton* TestButton[5];    // "Test", beside each output list
  TRadioGroup* RadioGroupOpen;   // 0 "Play, Rec", 1 "Rec, Play"
  TRadioGroup* RadioGroupStart;  // 0 "Play, Rec", 1 "Rec, Play"
  QGroupBox* GroupBoxBuf;        // "Buffers"
  QSpinBox* UpDownBuf;           // 2..8, no wrap
  QLineEdit* EditBuf;            // the up-down's edit box
  QPushButton* BitBtn1;          // OK
  QPushButton* BitBtn2;          // Cancel

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void customEvent(QEvent* event) override;

 private:
  void FillList(QComboBox* box, const std::vector<WaveDeviceEntry>& list);
  void StoreChoice(int role, const QComboBox* box);

  WiringTest wiring_;
  int wiringPair_ = -1;
  std::string wiringName_;
};

extern TWaveDevForm* WaveDevForm;

}  // namespace tessival
