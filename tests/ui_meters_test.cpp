// The meters' state tick by tick (bars, holds, clip marks and lamps, the load and the
// status line) and the headroom in words.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/Engine.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "ui/HeadroomText.h"
#include "ui/Meters.h"

namespace tessival {
namespace {

RunFigures Block(float outputPeak, int64_t saturated = 0) {
  RunFigures f;
  f.Blocks = 1;
  f.OutputPeak[0] = outputPeak;
  f.Saturated[0] = saturated;
  f.InputPeak[1] = 0.5f;
  return f;
}

TEST(Meters, BarsFollowPeaksAndFallBackWhileHoldsStandThenFall) {
  MeterModel m;
  m.Start(3);
  m.Tick(Block(1.0f), {});
  EXPECT_FLOAT_EQ(m.Output(0).LevelDb, 0.0f);
  EXPECT_FLOAT_EQ(m.Output(0).HoldDb, 0.0f);
  EXPECT_NEAR(m.Input(1).LevelDb, -6.02f, 0.01f);
  EXPECT_EQ(m.Output(2).LevelDb, -INFINITY);  // silent channel: no bar

  m.Tick(Block(0.1f), {});  // -20 dB: the bar falls back by a step only
  EXPECT_FLOAT_EQ(m.Output(0).LevelDb, -MeterModel::DecayDb);
  m.Tick(RunFigures{}, {});  // no block in this tick: nothing new, nothing moves
  EXPECT_FLOAT_EQ(m.Output(0).LevelDb, -MeterModel::DecayDb);
  for (int t = 1; t < MeterModel::HoldTicks; ++t) m.Tick(Block(0.1f), {});
  EXPECT_FLOAT_EQ(m.Output(0).HoldDb, 0.0f) << "the hold stands";
  EXPECT_FLOAT_EQ(m.Output(0).LevelDb, -20.0f) << "the bar has fallen to the level";
  m.Tick(Block(0.1f), {});
  EXPECT_FLOAT_EQ(m.Output(0).HoldDb, -MeterModel::DecayDb) << "then the hold falls";
  for (int t = 0; t < 20; ++t) m.Tick(Block(0.1f), {});
  EXPECT_FLOAT_EQ(m.Output(0).HoldDb, -20.0f) << "down to the bar, not below";

  m.Stop();
  EXPECT_FALSE(m.Active());
  EXPECT_EQ(m.Output(0).LevelDb, -INFINITY);
  m.Tick(Block(1.0f), {});  // stopped: the meters do not move
  EXPECT_EQ(m.Output(0).LevelDb, -INFINITY);
  EXPECT_TRUE(m.StatusLine().isEmpty());
}

TEST(Meters, ClipMarksStayUntilAClickOrAStartAndLampsLastASecond) {
  MeterModel m;
  m.Start(2);
  m.Tick(Block(1.2f, 40), {});
  EXPECT_TRUE(m.Output(0).Clip);
  EXPECT_FALSE(m.Output(1).Clip);
  for (int t = 1; t < MeterModel::TicksPerSecond; ++t) {
    EXPECT_TRUE(m.ClippedLastSecond(0)) << t;
    m.Tick(Block(0.5f), {});
  }
  EXPECT_TRUE(m.ClippedLastSecond(0));
  m.Tick(Block(0.5f), {});
  EXPECT_FALSE(m.ClippedLastSecond(0)) << "a second without a held sample";
  EXPECT_TRUE(m.Output(0).Clip) << "the mark stays lit";
  m.ClearClips();
  EXPECT_FALSE(m.Output(0).Clip);

  m.Tick(Block(1.2f, 1), {});
  m.Start(2);
  EXPECT_FALSE(m.Output(0).Clip);
  EXPECT_FALSE(m.ClippedLastSecond(0));
}

TEST(Meters, StatusLineGivesTheLastSecondsLoadTheLatencyAndTheDeviceTrouble) {
  MeterModel m;
  m.Start(2);
  const MeterStatus devices{1024.4, 2, 3};
  m.Tick(RunFigures{}, devices);
  EXPECT_EQ(m.StatusLine(), "DSP - %   1024 ms   2/3");
  RunFigures f;
  f.Blocks = 2;
  f.LoadSum = 0.5;   // blocks at 20 % and 30 % of their time
  f.WorstLoad = 0.3f;
  m.Tick(f, devices);
  f.Blocks = 1;
  f.LoadSum = 0.01;
  f.WorstLoad = 0.01f;
  m.Tick(f, devices);
  EXPECT_EQ(m.StatusLine(), "DSP 17/30 %   1024 ms   2/3");
  double mean = 0, worst = 0;
  ASSERT_TRUE(m.LastSecondLoad(&mean, &worst));
  EXPECT_NEAR(mean, 0.51 / 3, 1e-9);
  EXPECT_NEAR(worst, 0.3, 1e-6);
  for (int t = 0; t < MeterModel::TicksPerSecond - 1; ++t) m.Tick(RunFigures{}, devices);
  EXPECT_EQ(m.StatusLine(), "DSP 1.0/1.0 %   1024 ms   2/3") << "the 30 % block is older than a second";
  m.Tick(RunFigures{}, devices);
  EXPECT_FALSE(m.LastSecondLoad(&mean, &worst));
}

class HeadroomWords : public ::testing::Test {
 protected:
  void SetUp() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
    SampleRate = 48000;
  }
  void TearDown() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
  }
  void Bank(std::initializer_list<ChannelHeadroom> channels) {
    TheEngine.FiltersLoaded = true;
    TheEngine.NumFilterChannels = static_cast<int32_t>(channels.size());
    int ch = 0;
    for (const ChannelHeadroom& h : channels) BankHeadroom[ch++] = h;
  }
};

TEST_F(HeadroomWords, TheLineNamesTheWorstSinePeakOrOk) {
  EXPECT_TRUE(HeadroomLine().isEmpty()) << "no bank";
  EXPECT_TRUE(SliderHeadroomToolTip(0).isEmpty());
  Bank({{17.35, 11.996, 255.0 / 48000}, {17.36, 12.0, 255.0 / 48000}, {24.9, 2.1, 1378.0 / 48000}});
  EXPECT_EQ(HeadroomLine(), "Headroom: needs -12.0 dB");
  EXPECT_EQ(ChannelHeadroomText(0), "Dipole L: sine peak +12.0 dB at 255 Hz, bound +17.4 dB");
  EXPECT_EQ(ChannelHeadroomText(2), "S1: sine peak +2.1 dB at 1.38 kHz, bound +24.9 dB");
  EXPECT_EQ(SliderHeadroomToolTip(0), ChannelHeadroomText(0) + "\n" + ChannelHeadroomText(1));
  EXPECT_EQ(SliderHeadroomToolTip(1), ChannelHeadroomText(2));
  EXPECT_EQ(SliderHeadroomToolTip(2), "Not in the loaded bank");
  EXPECT_EQ(SliderHeadroomToolTip(MasterSlider), "Headroom: needs -12.0 dB (Dipole R)");
  const QString tip = HeadroomToolTip();
  for (int ch = 0; ch < 3; ++ch) EXPECT_TRUE(tip.contains(ChannelHeadroomText(ch))) << ch;

  Bank({{0.0, -6.0, 0}, {-INFINITY, -INFINITY, 0}});
  EXPECT_EQ(HeadroomLine(), "Headroom: ok");
  EXPECT_EQ(ChannelHeadroomText(1), "Dipole R: silent");
  // No sine clips, but some input could: the bound says how much is needed.
  Bank({{3.04, -0.5, 0}, {-1.0, -3.0, 0}});
  EXPECT_EQ(HeadroomLine(), "Headroom: needs -3.0 dB");
  // A need never reads "-0.0".
  Bank({{0.5, 0.01, 0}});
  EXPECT_EQ(HeadroomLine(), "Headroom: needs -0.1 dB");
  // A channel the load could not measure leaves no verdict.
  Bank({{1.0, 1.0, 0}, {1.0, 1.0, 0}});
  BankHeadroom[1].reset();
  EXPECT_TRUE(HeadroomLine().isEmpty());
  EXPECT_EQ(ChannelHeadroomText(1), "Dipole R: not measured");
}

}  // namespace
}  // namespace tessival
