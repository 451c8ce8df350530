// What the block path measures for the meters: output peaks and held samples per
// channel, input peaks, blocks and load, against a direct computation of the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "engine/Engine.h"
#include "engine/Gains.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

using testing::FilterPair;

class Levels : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetEngineForTest(); }
  void TearDown() override { TheEngine.ResetEngine(); }
};

std::vector<int64_t> RandomInts(size_t n, uint32_t seed, double amplitude, size_t silentTail) {
  std::vector<int64_t> v = testing::RandomInts(n, seed, amplitude);
  v.resize(n + silentTail, 0);  // the filters' tails end inside the stream
  return v;
}

std::vector<double> Channel(const std::vector<int64_t>& l, const std::vector<int64_t>& r, const FilterPair& f,
                            double gain) {
  const auto a = testing::DirectConvolution({l.begin(), l.end()}, f[0]);
  const auto b = testing::DirectConvolution({r.begin(), r.end()}, f[1]);
  std::vector<double> y(l.size());
  for (size_t t = 0; t < y.size(); ++t) y[t] = gain * (a[t] + b[t]);
  return y;
}

// Loud random input through random filters whose gain takes some samples past full
// scale: each channel's peak and held count against the direct convolution, at 16
// and 32 bits, at unity and with gains. Values within the transforms' rounding of an
// edge may go either way, so the count is bounded from both sides.
TEST_F(Levels, PeaksAndHeldSamplesMatchTheDirectComputation) {
  for (int32_t bits : {16, 24}) {
    for (bool gains : {false, true}) {
      SCOPED_TRACE(::testing::Message() << bits << " bits, gains " << gains);
      testing::ResetEngineForTest();
      SampleBits = bits;
      std::vector<FilterPair> bank(3);  // odd: the last right side is silent
      for (size_t ch = 0; ch < bank.size(); ++ch)
        for (int i = 0; i < 2; ++i) {
          bank[ch][i] = testing::RandomSignal(40, 20 + 2 * static_cast<uint32_t>(ch) + i);
          for (double& tap : bank[ch][i]) tap *= 0.08 * static_cast<double>(ch + 1);
        }
      testing::LoadBankInMemory(bank);
      if (gains) {
        GainSteps[0] = -6;
        GainSteps[2] = 6;
        GainSteps[9] = -3;
        ComputeGainFactors();
      }
      const double fullScale = bits == 16 ? 32768.0 : 2147483648.0;
      const auto left = RandomInts(6000, 7, fullScale - 1, 64);
      const auto right = RandomInts(6000, 8, 0.5 * fullScale, 64);
      testing::StreamThroughEngine(left, right);
      const RunFigures& f = TheEngine.Figures;

      const double hi = bits == 16 ? 32767.5 : 2147483648.0;
      const double lo = bits == 16 ? -32768.5 : -2147483648.0;
      int64_t heldSomewhere = 0;
      for (size_t ch = 0; ch < bank.size(); ++ch) {
        const auto y = Channel(left, right, bank[ch], GainFactors[ch]);
        double peak = 0;
        int64_t surely = 0, maybe = 0;
        const double slack = 1e-5 * fullScale;
        for (double v : y) {
          peak = std::max(peak, std::fabs(v));
          surely += v >= hi + slack || v < lo - slack;
          maybe += v >= hi - slack || v < lo + slack;
        }
        EXPECT_NEAR(f.OutputPeak[ch], peak / fullScale, 1e-4 * peak / fullScale) << "channel " << ch;
        EXPECT_GE(f.Saturated[ch], surely) << "channel " << ch;
        EXPECT_LE(f.Saturated[ch], maybe) << "channel " << ch;
        heldSomewhere += surely;
      }
      EXPECT_GT(heldSomewhere, 0);  // the case clips somewhere
      EXPECT_EQ(f.OutputPeak[3], 0.0f);
      EXPECT_EQ(f.Saturated[3], 0);

      int64_t peakL = 0, peakR = 0;
      for (int64_t v : left) peakL = std::max(peakL, std::abs(v));
      for (int64_t v : right) peakR = std::max(peakR, std::abs(v));
      EXPECT_EQ(f.InputPeak[0], static_cast<float>(peakL / fullScale));
      EXPECT_EQ(f.InputPeak[1], static_cast<float>(peakR / fullScale));
    }
  }
}

// With dither the held count is that of the dithered values: a one-tap bank (exact
// arithmetic) turns a constant 32767 into 32767 plus the dither, held exactly where
// the dither is 0.5 or more. The level is the signal's own.
TEST_F(Levels, DitheredSamplesAreHeldWhereTheDitherTakesThemOver) {
  DitherOn = true;
  std::vector<FilterPair> bank(2);
  bank[0][0] = {1.0};
  bank[1][1] = {1.0};
  testing::LoadBankInMemory(bank);
  const std::vector<int64_t> left(5000, 32767), right(5000, -32768);
  const auto out = testing::StreamThroughEngine(left, right);
  const int64_t frames = static_cast<int64_t>(out[0].left.size());
  int64_t wantLeft = 0, wantRight = 0;
  for (int64_t t = 0; t < frames; ++t) {
    wantLeft += DitherTable[2 * t] >= 0.5f;
    wantRight += -32768.0 + DitherTable[2 * t + 1] < -32768.5;
  }
  EXPECT_GT(wantLeft, 0);
  EXPECT_EQ(TheEngine.Figures.Saturated[0], wantLeft);
  EXPECT_EQ(TheEngine.Figures.Saturated[1], wantRight);
  EXPECT_EQ(TheEngine.Figures.OutputPeak[0], 32767.0f / 32768.0f);
  EXPECT_EQ(TheEngine.Figures.OutputPeak[1], 1.0f);
}

// The run's figures last until the next start; the recent ones until the meters take
// them. Blocks and load count in both.
TEST_F(Levels, RecentFiguresAreTakenAndTheRunsLastUntilTheNextStart) {
  std::vector<FilterPair> bank(1);
  bank[0][0] = {2.0};
  testing::LoadBankInMemory(bank);
  const int32_t n = TheEngine.BlockLength;
  std::vector<int64_t> loud(3 * n, 20000), quiet(2 * n, 100);
  testing::StreamThroughEngine(loud, {});
  // A block that took 10 ms or more, of one that plays n frames at the rate.
  SampleRate = 48000;
  TheEngine.NoteBlockTime(std::chrono::steady_clock::now() - std::chrono::milliseconds(10));
  TheEngine.NoteBlockTime(std::chrono::steady_clock::now());
  RunFigures taken = TheEngine.TakeRecentFigures();
  EXPECT_EQ(taken.Blocks, 3);
  EXPECT_EQ(taken.Saturated[0], 3 * n);
  const double tenMs = 0.010 * 48000 / n;
  EXPECT_GE(taken.LoadSum, tenMs);
  EXPECT_LT(taken.LoadSum, 1000 * tenMs);  // seconds, not milliseconds
  EXPECT_GE(taken.WorstLoad, static_cast<float>(tenMs));

  testing::StreamThroughEngine(quiet, {});
  taken = TheEngine.TakeRecentFigures();
  EXPECT_EQ(taken.Blocks, 2);
  EXPECT_EQ(taken.Saturated[0], 0);
  EXPECT_FLOAT_EQ(taken.OutputPeak[0], 200.0f / 32768.0f);
  EXPECT_FLOAT_EQ(taken.InputPeak[0], 100.0f / 32768.0f);
  EXPECT_EQ(TheEngine.TakeRecentFigures().Blocks, 0);

  EXPECT_EQ(TheEngine.Figures.Blocks, 5);
  EXPECT_EQ(TheEngine.Figures.Saturated[0], 3 * n);
  EXPECT_FLOAT_EQ(TheEngine.Figures.OutputPeak[0], 40000.0f / 32768.0f);
  TheEngine.ClearBuffers();  // as every start does
  EXPECT_EQ(TheEngine.Figures.Blocks, 0);
  EXPECT_EQ(TheEngine.Figures.Saturated[0], 0);
  EXPECT_EQ(TheEngine.Figures.OutputPeak[0], 0.0f);
  EXPECT_EQ(TheEngine.Figures.LoadSum, 0.0);
}

}  // namespace
}  // namespace tessival
