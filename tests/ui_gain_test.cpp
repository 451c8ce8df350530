// The channel gain dialog: sliders, labels, GainSteps and GainFactors kept in step.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <array>

#include "engine/Engine.h"
#include "engine/Gains.h"
#include "settings/Settings.h"
#include "support/QtApp.h"
#include "ui/Gain.h"

namespace tessival {
namespace {

using Factors = std::array<float, MaxChannels>;

Factors CurrentFactors() {
  Factors f;
  for (int c = 0; c < MaxChannels; ++c) f[c] = GainFactors[c];
  return f;
}

class GainDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApp();
    SetDefaultSettings();
    for (auto& f : GainFactors) f = 7.0f;  // stale values the dialog must replace
  }
};

TEST_F(GainDialog, StoredGainsAreInForceFromCreationWithoutShowing) {
  {
    TGainForm form(nullptr);
    for (int c = 0; c < MaxChannels; ++c) EXPECT_EQ(GainFactors[c], 1.0f) << "channel " << c;
    for (int k = 0; k < NumGainSliders; ++k) {
      EXPECT_EQ(form.TrackBar[k]->Position(), 6);
      EXPECT_EQ(form.Label[k]->text(), "0");
    }
    EXPECT_FALSE(form.isVisible());
  }

  // Values of a previous run come back on the sliders and in the factors.
  const int32_t stored[10] = {-3, 6, -24, 0, 2, -10, 0, 0, -1, -6};
  for (int k = 0; k < 10; ++k) GainSteps[k] = stored[k];
  TGainForm form(nullptr);
  for (int k = 0; k < NumGainSliders; ++k) {
    EXPECT_EQ(form.TrackBar[k]->Position(), 6 - stored[k]) << "slider " << k;
    EXPECT_EQ(form.Label[k]->text(), GainLabelText(stored[k]));
    EXPECT_EQ(GainSteps[k], stored[k]);
  }
  EXPECT_EQ(form.Label[1]->text(), "+6");
  EXPECT_EQ(form.Label[2]->text(), "-24");
  EXPECT_EQ(GainFactors[1], GainFactorFromDb(-9));
  EXPECT_EQ(GainFactors[0], GainFactors[1]);
  EXPECT_EQ(GainFactors[4], GainFactorFromDb(-6));
  EXPECT_EQ(GainFactors[9], GainFactorFromDb(-7));
}

TEST_F(GainDialog, EachSliderChangesOnlyItsOwnFactors) {
  TGainForm form(nullptr);
  form.show();

  // Dipole at the top with Master at 0 dB: both dipole channels at +6 dB.
  Factors before = CurrentFactors();
  form.TrackBar[0]->SetPosition(0);
  EXPECT_EQ(GainSteps[0], 6);
  EXPECT_EQ(form.Label[0]->text(), "+6");
  EXPECT_NEAR(GainFactors[0], 1.995262, 1e-6);
  EXPECT_NEAR(GainFactors[1], 1.995262, 1e-6);
  for (int c = 2; c < MaxChannels; ++c) EXPECT_EQ(GainFactors[c], before[c]) << "channel " << c;

  // Surround slider k changes channel k + 1 only.
  for (int k = 1; k <= 8; ++k) {
    before = CurrentFactors();
    form.TrackBar[k]->SetPosition(6 + k);
    EXPECT_EQ(GainSteps[k], -k);
    for (int c = 0; c < MaxChannels; ++c) {
      if (c == k + 1)
        EXPECT_EQ(GainFactors[c], GainFactorFromDb(-k));
      else
        EXPECT_EQ(GainFactors[c], before[c]) << "slider " << k << " channel " << c;
    }
  }

  // Master changes all ten; S3 at +6 with Master at -24 gives -18 dB.
  form.TrackBar[3]->SetPosition(0);
  before = CurrentFactors();
  form.TrackBar[9]->SetPosition(30);
  EXPECT_EQ(form.Label[9]->text(), "-24");
  EXPECT_NEAR(GainFactors[4], 0.125893, 1e-6);
  for (int c = 0; c < MaxChannels; ++c) EXPECT_NE(GainFactors[c], before[c]) << "channel " << c;
  EXPECT_EQ(GainFactors[0], GainFactors[1]);

  // Everything at the bottom: -48 dB everywhere.
  for (int k = 0; k < NumGainSliders; ++k) form.TrackBar[k]->SetPosition(30);
  for (int c = 0; c < MaxChannels; ++c) EXPECT_NEAR(GainFactors[c], 0.003981, 1e-6) << "channel " << c;
  for (int k = 0; k < NumGainSliders; ++k) {
    EXPECT_EQ(form.Label[k]->text(), "-24");
    EXPECT_EQ(GainSteps[k], -24);
  }

  // Back to 0 dB gives exactly unity again, so the block skips the multiply.
  for (int k = 0; k < NumGainSliders; ++k) form.TrackBar[k]->SetPosition(6);
  for (int c = 0; c < MaxChannels; ++c) EXPECT_EQ(GainFactors[c], 1.0f);
}

TEST_F(GainDialog, KeysMoveTheHandleTheWayTheyPoint) {
  TGainForm form(nullptr);
  form.show();
  QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
  QApplication::sendEvent(form.TrackBar[5], &up);
  EXPECT_EQ(form.TrackBar[5]->Position(), 5);
  EXPECT_EQ(GainSteps[5], 1);
  EXPECT_EQ(form.Label[5]->text(), "+1");
  EXPECT_EQ(GainFactors[6], GainFactorFromDb(1));

  // The top is +6 dB: a further step up stays there.
  for (int i = 0; i < 10; ++i) QApplication::sendEvent(form.TrackBar[5], &up);
  EXPECT_EQ(GainSteps[5], 6);
  EXPECT_EQ(form.TrackBar[5]->Position(), 0);
}

TEST_F(GainDialog, StoredGainOutsideTheScaleIsHeldToTheNearestEnd) {
  GainSteps[2] = 15;
  GainSteps[5] = -40;
  GainSteps[9] = -100;
  TGainForm form(nullptr);
  EXPECT_EQ(form.TrackBar[2]->Position(), 0);
  EXPECT_EQ(form.TrackBar[5]->Position(), 30);
  EXPECT_EQ(form.TrackBar[9]->Position(), 30);
  EXPECT_EQ(form.Label[2]->text(), "+6");
  EXPECT_EQ(form.Label[9]->text(), "-24");
  EXPECT_EQ(GainSteps[2], 6);
  EXPECT_EQ(GainSteps[5], -24);
  EXPECT_EQ(GainSteps[9], -24);
  EXPECT_EQ(GainFactors[3], GainFactorFromDb(-18));
  EXPECT_EQ(GainFactors[6], GainFactorFromDb(-48));
  EXPECT_EQ(GainFactors[1], GainFactorFromDb(-24));
}

TEST_F(GainDialog, LayoutFollowsTheDesign) {
  TGainForm form(nullptr);
  EXPECT_EQ(form.windowTitle(), "Channel Gain");
  EXPECT_EQ(form.size(), QSize(571, 226 + 8));  // as designed, and a row for the clip lamps
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.isModal());

  for (int k = 0; k < NumGainSliders; ++k) {
    auto* slider = form.findChild<TTrackBar*>(QStringLiteral("TrackBar%1").arg(k));
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->tickPosition(), QSlider::TicksBothSides);
    EXPECT_EQ(slider->tickInterval(), 2);
    EXPECT_EQ(form.NameLabel[k]->text(), GainSliderNames[k]);
    // Each lamp over its slider, under its value.
    const QRect lamp = form.ClipLamp[k]->geometry();
    EXPECT_NEAR(lamp.center().x(), slider->geometry().center().x(), 1) << k;
    EXPECT_GE(lamp.top(), form.Label[k]->geometry().bottom()) << k;
    EXPECT_LE(lamp.bottom(), slider->geometry().top()) << k;
  }
  // Position 0 is at the top, 30 at the bottom.
  EXPECT_LT(form.TrackBar[0]->HandleCentreY(0), form.TrackBar[0]->HandleCentreY(6));
  EXPECT_LT(form.TrackBar[0]->HandleCentreY(6), form.TrackBar[0]->HandleCentreY(30));

  auto left = [&](int k) { return form.TrackBar[k]->geometry().left(); };
  for (int k = 2; k <= 8; ++k) EXPECT_EQ(left(k) - left(k - 1), 48);
  EXPECT_GT(left(1) - left(0), 48);
  EXPECT_GT(left(9) - left(8), 48);
  // The scale's marks sit in a column of their own; their places in the dialog:
  const auto place = [&](const QWidget* w) { return QRect(w->mapTo(&form, QPoint(0, 0)), w->size()); };
  EXPECT_LE(form.TrackBar[9]->geometry().right(), place(form.ScaleLabel[0]).left());

  const char* scale[3] = {"+6 dB", "0 dB", "-24 dB"};
  const int positions[3] = {0, 6, 30};
  for (int i = 0; i < 3; ++i) {
    QLabel* label = form.ScaleLabel[i];
    EXPECT_EQ(label->text(), scale[i]);
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_LE(place(label).right(), 571);
    const int markY = form.TrackBar[9]->geometry().top() + form.TrackBar[9]->HandleCentreY(positions[i]);
    EXPECT_NEAR(place(label).center().y(), markY, 2) << scale[i];
  }
}

}  // namespace
}  // namespace tessival
