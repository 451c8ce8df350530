#pragma once
// The sampling format dialog: sampling frequency, resolution and dither. Modal; the
// controls are set from the settings at every showing, OK stores them, Cancel drops them.
#include <QDialog>

class QPushButton;

namespace tessival {

class TRadioGroup;

class TSampFreqForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSampFreqForm(QWidget* parent = nullptr);

  void FormShow();
  void BitsRadioGroupClick();
  void BitBtn1Click();

  TRadioGroup* FreqRadioGroup;    // item i stands for SampleRates[i]
  TRadioGroup* BitsRadioGroup;    // 0 "16 bits", 1 "24 bits"
  TRadioGroup* DitherRadioGroup;  // 0 "None", 1 "Triangular PDF"
  QPushButton* BitBtn1;           // OK
  QPushButton* BitBtn2;           // Cancel

 protected:
  void showEvent(QShowEvent* event) override;
};

extern TSampFreqForm* SampFreqForm;

}  // namespace tessival
