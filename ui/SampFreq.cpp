#include "ui/SampFreq.h"

#include <QBoxLayout>
#include <QPushButton>
#include <QShowEvent>

#include "settings/Settings.h"
#include "ui/Layout.h"
#include "ui/RadioGroup.h"

namespace tessival {

TSampFreqForm* SampFreqForm = nullptr;

TSampFreqForm::TSampFreqForm(QWidget* parent) : QDialog(parent) {
  setObjectName("SampFreqForm");
  setWindowTitle("Sampling Frequency & Bits");

  // Two columns filled column-first, so each row pairs a 48 kHz-family rate with
  // its 44.1 kHz-family partner.
  FreqRadioGroup = new TRadioGroup("Sampling Frequency",
                                   {"16 kHz", "32 kHz", "48 kHz", "96 kHz", "11 kHz ", "22 kHz", "44 kHz", "88 kHz"},
                                   2, this);
  FreqRadioGroup->setObjectName("FreqRadioGroup");
  FreqRadioGroup->setMinimumSize(265, 121);

  BitsRadioGroup = new TRadioGroup("Resolution", {"16 bits", "24 bits"}, 1, this);
  BitsRadioGroup->setObjectName("BitsRadioGroup");
  BitsRadioGroup->setMinimumSize(129, 73);

  DitherRadioGroup = new TRadioGroup("Dithering", {"None", "Triangular PDF"}, 1, this);
  DitherRadioGroup->setObjectName("DitherRadioGroup");
  DitherRadioGroup->setMinimumSize(129, 73);

  BitBtn1 = new TDialogButton(TDialogButton::Ok, QSize(81, 27), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  BitBtn2 = new TDialogButton(TDialogButton::Cancel, QSize(81, 27), this);
  BitBtn2->setObjectName("BitBtn2");

  // The frequency group over the other two, which stand side by side; OK and
  // Cancel side by side, centred, at the bottom.
  auto* groups = new QHBoxLayout;
  groups->setSpacing(7);
  groups->addWidget(BitsRadioGroup);
  groups->addWidget(DitherRadioGroup);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(23);
  buttons->addStretch(1);
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  buttons->addStretch(1);
  auto* form = new QVBoxLayout;
  form->setContentsMargins(8, 8, 8, 12);
  form->setSpacing(0);
  form->addWidget(FreqRadioGroup);
  form->addSpacing(9);
  form->addLayout(groups);
  form->addSpacing(17);
  form->addLayout(buttons);
  FixToLayout(this, form);

  connect(BitsRadioGroup, &TRadioGroup::Click, this, &TSampFreqForm::BitsRadioGroupClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TSampFreqForm::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TSampFreqForm::showEvent(QShowEvent* event) {
  // Un-minimising sends a spontaneous show; only a real showing refills the controls.
  if (!event->spontaneous()) FormShow();
  QDialog::showEvent(event);
}

void TSampFreqForm::FormShow() {
  // A rate off the table (after such a bank) leaves no frequency selected.
  FreqRadioGroup->SetItemIndex(SampleRateIndex);
  BitsRadioGroup->SetItemIndex(SampleBits == 16 ? 0 : 1);
  DitherRadioGroup->SetItemIndex(DitherOn ? 1 : 0);
  BitsRadioGroupClick();
}

// Dither only acts on 16-bit output, so its group is greyed at 24 bits; its choice stays.
void TSampFreqForm::BitsRadioGroupClick() { DitherRadioGroup->setEnabled(BitsRadioGroup->ItemIndex() == 0); }

void TSampFreqForm::BitBtn1Click() {
  const int rate = FreqRadioGroup->ItemIndex();
  if (rate >= 0 && rate < NumSampleRates) {  // with none selected the rate stays as it is
    SampleRateIndex = rate;
    SampleRate = SampleRates[rate];
  }
  SampleBits = BitsRadioGroup->ItemIndex() == 0 ? 16 : 24;
  DitherOn = DitherRadioGroup->ItemIndex() > 0;
  accept();
}

}  // namespace tessival
