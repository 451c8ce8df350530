#pragma once
// The device dialog: the capture device, the playback device of each output pair,
// the open and start orders and the buffer count. Modal; the device lists are
// rebuilt from the wave device layer at every showing.
#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tessival {

class TRadioGroup;

class TWaveDevForm : public QDialog {
  Q_OBJECT

 public:
  explicit TWaveDevForm(QWidget* parent = nullptr);

  void FormShow();
  void BitBtn1Click();

  // The buffer count to store: the typed number held to 2..8, or the up-down's
  // position when the text is not a number.
  int BufferCount() const;

  QLabel* DeviceLabel[6];        // "Wave Record", "Stereo Dipole Out", "Surround Out (1-2)".."(7-8)"
  QComboBox* ComboBoxIn;         // item i is input device i
  QComboBox* ComboBoxOut[5];     // ComboBoxOut0..4, item i is output device i
  TRadioGroup* RadioGroupOpen;   // 0 "Play, Rec", 1 "Rec, Play"
  TRadioGroup* RadioGroupStart;  // 0 "Play, Rec", 1 "Rec, Play"
  QGroupBox* GroupBoxBuf;        // "Buffers"
  QSpinBox* UpDownBuf;           // 2..8, no wrap
  QLineEdit* EditBuf;            // the up-down's edit box
  QPushButton* BitBtn1;          // OK
  QPushButton* BitBtn2;          // Cancel

 protected:
  void showEvent(QShowEvent* event) override;
};

extern TWaveDevForm* WaveDevForm;

}  // namespace tessival
