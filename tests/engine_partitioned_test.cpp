// The engine in partitioned mode (BlockFrames P > 0): its sizes, the same output as in
// Auto mode, the dither sequence and gains as in Auto mode, and a late level counted
// while the block goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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
using testing::RandomInts;

class Partitioned : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetEngineForTest(); }
  void TearDown() override { TheEngine.ResetEngine(); }
};

std::vector<FilterPair> RandomBank(int32_t channels, int32_t m, uint32_t seed) {
  std::vector<FilterPair> bank(channels);
  for (int32_t ch = 0; ch < channels; ++ch)
    for (int i = 0; i < 2; ++i) {
      // Some shorter filters: the rest of their partitions is silence.
      bank[ch][i] = testing::RandomSignal(ch == 1 ? m / 3 + 1 : m, seed + 2 * ch + i);
      for (double& v : bank[ch][i]) v /= std::sqrt(double(m));
    }
  return bank;
}

TEST_F(Partitioned, SizesFollowTheBlock) {
  BlockFrames = 256;
  TheEngine.SetEngineSizes(3, 50000);
  EXPECT_EQ(TheEngine.PartitionFrames, 256);
  EXPECT_EQ(TheEngine.BlockLength, 256);
  EXPECT_EQ(TheEngine.FFTOrder, 9);
  EXPECT_EQ(TheEngine.FFTLength, 512);
  EXPECT_EQ(TheEngine.FilterBufferLength, 50000);
  // A value off the choices (set by hand) is held as a stored one is; 0 is Auto.
  BlockFrames = 300;
  TheEngine.SetEngineSizes(3, 50000);
  EXPECT_EQ(TheEngine.BlockLength, 256);
  BlockFrames = 0;
  TheEngine.SetEngineSizes(3, 50000);
  EXPECT_EQ(TheEngine.PartitionFrames, 0);
  EXPECT_EQ(TheEngine.BlockLength, 131072 - 50000 + 1);
  EXPECT_EQ(TheEngine.FilterBufferLength, 131072);
}

// The same bank through Auto and partitioned mode: the same convolution, with gains,
// the sum of both inputs' paths and an odd channel, within float rounding at 32 bits.
TEST_F(Partitioned, GivesWhatAutoModeGives) {
  SampleBits = 24;
  TheEngine.Workers = WorkerMode::Waited;
  GainSteps[MasterSlider] = 3;
  GainSteps[1] = -7;
  ComputeGainFactors();
  const auto bank = RandomBank(3, 20000, 70);
  const auto left = RandomInts(100000, 1, 1 << 24);
  const auto right = RandomInts(100000, 2, 1 << 24);
  BlockFrames = 0;
  testing::LoadBankInMemory(bank);
  const auto automatic = testing::StreamThroughEngine(left, right);
  const RunFigures autoFigures = TheEngine.Figures;
  for (int32_t p : {64, 1024, 8192}) {
    BlockFrames = p;
    testing::LoadBankInMemory(bank);
    ASSERT_TRUE(TheEngine.FiltersLoaded);
    ASSERT_EQ(TheEngine.BlockLength, p);
    const auto partitioned = testing::StreamThroughEngine(left, right);
    EXPECT_EQ(TheEngine.Figures.LatePartitions, 0);
    // The meters' figures too: the capture's peaks and each channel's output peak.
    for (int c = 0; c < 2; ++c) EXPECT_EQ(TheEngine.Figures.InputPeak[c], autoFigures.InputPeak[c]) << "P " << p;
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_GT(autoFigures.OutputPeak[ch], 0.0f);
      EXPECT_NEAR(TheEngine.Figures.OutputPeak[ch], autoFigures.OutputPeak[ch], 1e-5 * autoFigures.OutputPeak[ch])
          << "P " << p << " channel " << ch;
    }
    for (size_t d = 0; d < automatic.size(); ++d) {
      for (const bool r : {false, true}) {
        const auto& a = r ? automatic[d].right : automatic[d].left;
        const auto& b = r ? partitioned[d].right : partitioned[d].left;
        double worst = 0, peak = 0;
        for (size_t t = 0; t < left.size(); ++t) {
          worst = std::max(worst, std::abs(double(a[t]) - double(b[t])));
          peak = std::max(peak, std::abs(double(a[t])));
        }
        EXPECT_LT(worst, 2e-6 * peak * 17 + 1) << "P " << p << " device " << d << (r ? " right" : " left");
        if (d == 1 && r) {
          EXPECT_EQ(peak, 0.0);  // the odd bank's missing channel is silent
        }
      }
    }
  }
}

// With silence in and dither on, each frame carries the next values of the one
// sequence, device after device and block after block, over the sequence's restart.
TEST_F(Partitioned, DitherRunsOnAcrossDevicesAndBlocks) {
  DitherOn = true;
  TheEngine.Workers = WorkerMode::Waited;
  BlockFrames = 8192;
  testing::LoadBankInMemory(RandomBank(3, 30000, 5));
  const int32_t n = TheEngine.BlockLength;
  const int32_t blocks = DitherFrames / (2 * n) + 2;
  int64_t frame = 0;
  for (int32_t b = 0; b < blocks; ++b) {
    const int32_t k = b % TheEngine.WaveBufferCount;
    std::memset(TheEngine.InBuffers[k], 0, static_cast<size_t>(TheEngine.WaveBufferSize));
    TheEngine.ConvolveBlock(k);
    for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
      const auto* o = reinterpret_cast<const int16_t*>(TheEngine.OutBuffers[d][k]);
      for (int32_t j = 0; j < n; ++j, ++frame) {
        const int64_t pos = (frame % DitherFrames) * 2;
        ASSERT_EQ(o[2 * j], std::lrint(DitherTable[pos])) << "block " << b << " device " << d;
        ASSERT_EQ(o[2 * j + 1], std::lrint(DitherTable[pos + 1])) << "block " << b << " device " << d;
      }
    }
  }
  EXPECT_GT(frame, DitherFrames);
  EXPECT_EQ(TheEngine.Figures.Blocks, blocks);
}

// A live run never waits for a worker: held back, its results come late, are counted,
// and the blocks go on at once; a start counts from 0 again.
TEST_F(Partitioned, ALateLevelIsCountedAndNotWaitedFor) {
  SampleBits = 24;
  BlockFrames = 64;
  SampleRate = 48000;
  testing::LoadBankInMemory(RandomBank(2, 50000, 9));
  ASSERT_EQ(TheEngine.Workers, WorkerMode::Live);
  ASSERT_GT(TheEngine.Partitions.WorkerCount(), 0);
  TheEngine.Partitions.HoldWorkers(true);
  const auto start = std::chrono::steady_clock::now();
  for (int b = 0; b < 400; ++b) TheEngine.ConvolveBlock(b % TheEngine.WaveBufferCount);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(TheEngine.Figures.LatePartitions, 0);
  EXPECT_EQ(TheEngine.Figures.Blocks, 400);
  EXPECT_LT(seconds, 5.0) << "the blocks waited for the held workers";
  TheEngine.Partitions.HoldWorkers(false);
  TheEngine.ClearBuffers();
  EXPECT_EQ(TheEngine.Figures.LatePartitions, 0);
  EXPECT_EQ(TheEngine.Figures.Blocks, 0);
}

}  // namespace
}  // namespace tessival
