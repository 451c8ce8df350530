// The sampling format dialog: what it shows, what OK stores and what Cancel keeps.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QRadioButton>

#include "settings/Settings.h"
#include "support/QtApp.h"
#include "ui/RadioGroup.h"
#include "ui/SampFreq.h"

namespace tessival {
namespace {

class SampFreqDialog : public ::testing::Test {
 protected:
  void SetUp() override { SetDefaultSettings(); }

  // Shows the dialog modally, runs the user's actions inside its loop, returns the result.
  int Run(std::function<void(TSampFreqForm&)> actions) {
    testing::WhenModal([&] {
      EXPECT_TRUE(form.isVisible());
      actions(form);
      if (form.isVisible()) form.BitBtn2->click();  // never leave the loop hanging
    });
    return form.exec();
  }

  QApplication& app = testing::EnsureQtApp();  // before any widget
  TSampFreqForm form{nullptr};
};

TEST_F(SampFreqDialog, ShowsTheStoredFormatAtEveryShowing) {
  EXPECT_EQ(form.windowTitle(), "Sampling Frequency & Bits");
  EXPECT_EQ(form.size(), QSize(281, 267));
  const QStringList texts = {"16 kHz", "32 kHz", "48 kHz", "96 kHz", "11 kHz ", "22 kHz", "44 kHz", "88 kHz"};
  ASSERT_EQ(form.FreqRadioGroup->Count(), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(form.FreqRadioGroup->Item(i)->text(), texts[i]);
  EXPECT_EQ(form.FreqRadioGroup->title(), "Sampling Frequency");
  EXPECT_EQ(form.BitsRadioGroup->title(), "Resolution");
  EXPECT_EQ(form.DitherRadioGroup->title(), "Dithering");

  Run([](TSampFreqForm& f) {
    // Defaults: "44 kHz", "16 bits", "None", dithering available.
    EXPECT_EQ(f.FreqRadioGroup->ItemIndex(), 6);
    EXPECT_EQ(f.BitsRadioGroup->ItemIndex(), 0);
    EXPECT_EQ(f.DitherRadioGroup->ItemIndex(), 0);
    EXPECT_TRUE(f.DitherRadioGroup->isEnabled());
    // Two columns filled column-first: 16 kHz beside 11 kHz, 48 kHz below 32 kHz.
    QWidget* item0 = f.FreqRadioGroup->Item(0);
    EXPECT_EQ(f.FreqRadioGroup->Item(4)->y(), item0->y());
    EXPECT_GT(f.FreqRadioGroup->Item(4)->x(), item0->x() + item0->width() / 2);
    EXPECT_EQ(f.FreqRadioGroup->Item(3)->x(), item0->x());
    EXPECT_GT(f.FreqRadioGroup->Item(3)->y(), f.FreqRadioGroup->Item(2)->y());
    EXPECT_EQ(f.FreqRadioGroup->Item(7)->y(), f.FreqRadioGroup->Item(3)->y());
  });

  SampleRateIndex = 3;
  SampleBits = 24;
  DitherOn = true;
  Run([](TSampFreqForm& f) {
    EXPECT_EQ(f.FreqRadioGroup->ItemIndex(), 3);
    EXPECT_EQ(f.BitsRadioGroup->ItemIndex(), 1);
    EXPECT_EQ(f.DitherRadioGroup->ItemIndex(), 1);
    EXPECT_FALSE(f.DitherRadioGroup->isEnabled());
  });
}

TEST_F(SampFreqDialog, OkStoresTheChoicesAndResolutionGreysDither) {
  int result = Run([](TSampFreqForm& f) {
    f.FreqRadioGroup->Item(4)->click();  // "11 kHz "
    f.BitBtn1->click();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(SampleRateIndex, 4);
  EXPECT_EQ(SampleRate, 11025);
  EXPECT_EQ(SampleBits, 16);
  EXPECT_FALSE(DitherOn);

  // Triangular chosen, then 24 bits greys the group at once but keeps the choice.
  result = Run([](TSampFreqForm& f) {
    f.DitherRadioGroup->Item(1)->click();
    f.BitsRadioGroup->Item(1)->click();
    EXPECT_FALSE(f.DitherRadioGroup->isEnabled());
    f.BitsRadioGroup->Item(0)->click();
    EXPECT_TRUE(f.DitherRadioGroup->isEnabled());
    f.BitsRadioGroup->Item(1)->click();
    EXPECT_EQ(f.DitherRadioGroup->ItemIndex(), 1);
    f.FreqRadioGroup->Item(7)->click();
    f.BitBtn1->click();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(SampleRateIndex, 7);
  EXPECT_EQ(SampleRate, 88200);
  EXPECT_EQ(SampleBits, 24);
  EXPECT_TRUE(DitherOn);
}

TEST_F(SampFreqDialog, CancelKeepsEverySetting) {
  SampleRateIndex = 2;
  SampleRate = 48000;
  const int result = Run([](TSampFreqForm& f) {
    f.FreqRadioGroup->Item(5)->click();
    f.BitsRadioGroup->Item(1)->click();
    f.DitherRadioGroup->Item(1)->click();
    f.BitBtn2->click();
  });
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_EQ(SampleRateIndex, 2);
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(SampleBits, 16);
  EXPECT_FALSE(DitherOn);

  // The next showing shows the stored values, not the abandoned ones.
  Run([](TSampFreqForm& f) {
    EXPECT_EQ(f.FreqRadioGroup->ItemIndex(), 2);
    EXPECT_EQ(f.BitsRadioGroup->ItemIndex(), 0);
    EXPECT_EQ(f.DitherRadioGroup->ItemIndex(), 0);
    EXPECT_TRUE(f.DitherRadioGroup->isEnabled());
  });
}

TEST_F(SampFreqDialog, RateOffTheTableShowsNoneAndOkKeepsIt) {
  // A bank at 37800 Hz left the index at -1.
  SampleRateIndex = -1;
  SampleRate = 37800;
  SampleBits = 20;  // anything but 16 counts as 24
  Run([](TSampFreqForm& f) {
    EXPECT_EQ(f.FreqRadioGroup->ItemIndex(), -1);
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(f.FreqRadioGroup->Item(i)->isChecked());
    EXPECT_EQ(f.BitsRadioGroup->ItemIndex(), 1);
    EXPECT_FALSE(f.DitherRadioGroup->isEnabled());
    f.BitBtn1->click();
  });
  EXPECT_EQ(SampleRateIndex, -1);
  EXPECT_EQ(SampleRate, 37800);
  EXPECT_EQ(SampleBits, 24);

  // Picking a rate afterwards takes the table's entry again.
  Run([](TSampFreqForm& f) {
    f.FreqRadioGroup->Item(0)->click();
    f.BitBtn1->click();
  });
  EXPECT_EQ(SampleRateIndex, 0);
  EXPECT_EQ(SampleRate, 16000);
}

}  // namespace
}  // namespace tessival
