// Sizes, buffers and the dither table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"

namespace tessival {
namespace {

class EngineBuffers : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetEngineForTest(); }
  void TearDown() override { TheEngine.ResetEngine(); }
};

TEST(EngineSizes, FollowTheNearestPowerOfTwoOnALogScale) {
  struct Row {
    int32_t m, order, length, block;
  };
  const Row rows[] = {{1, 1, 2, 2},           {2, 2, 4, 3},           {4, 3, 8, 5},
                      {1000, 11, 2048, 1049}, {1024, 11, 2048, 1025}, {1448, 11, 2048, 601},
                      {1449, 12, 4096, 2648}, {44100, 16, 65536, 21437},
                      {MaxFilterLength, 25, 1 << 25, (1 << 25) - MaxFilterLength + 1}};
  for (const Row& r : rows) {
    const EngineSizes s = SizesForFilterLength(r.m);
    EXPECT_EQ(s.FFTOrder, r.order) << "M=" << r.m;
    EXPECT_EQ(s.FFTLength, r.length) << "M=" << r.m;
    EXPECT_EQ(s.BlockLength, r.block) << "M=" << r.m;
  }
  // The order steps up exactly where 2M passes 2^(k + 1/2), for every k in range.
  for (int32_t k = 2; k <= 24; ++k) {
    const double edge = std::pow(2.0, k + 0.5) / 2.0;  // M at the crossing
    const auto below = static_cast<int32_t>(std::floor(edge));
    EXPECT_EQ(SizesForFilterLength(below).FFTOrder, k) << k;
    EXPECT_EQ(SizesForFilterLength(below + 1).FFTOrder, k + 1) << k;
  }
}

TEST(EngineSizes, LastOutputDeviceFollowsTheChannelCount) {
  const int32_t expected[] = {0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
  for (int32_t c = 1; c <= 10; ++c) EXPECT_EQ(LastOutDeviceFor(c), expected[c]) << c;
}

TEST_F(EngineBuffers, AllocateTakesExactlyTheSlotsInUseAndFreeReleasesThem) {
  NumBuffers = 3;
  TheEngine.SetEngineSizes(3, 1000);
  ASSERT_TRUE(TheEngine.AllocateBuffers());
  EXPECT_EQ(TheEngine.WaveBufferSize, 4196);
  EXPECT_EQ(TheEngine.WaveBufferCount, 3);
  for (int k = 0; k < MaxBuffers; ++k) {
    EXPECT_EQ(TheEngine.InBuffers[k] != nullptr, k < 3) << k;
    for (int d = 0; d < MaxOutDevices; ++d) EXPECT_EQ(TheEngine.OutBuffers[d][k] != nullptr, k < 3 && d <= 1);
  }
  for (int ch = 0; ch < MaxChannels; ++ch) {
    EXPECT_EQ(TheEngine.FilterSpectra[ch][0] != nullptr, ch < 3);
    EXPECT_EQ(TheEngine.FilterSpectra[ch][1] != nullptr, ch < 3);
  }
  // One device's pair at a time: two output buffers serve every channel.
  EXPECT_NE(TheEngine.ChannelOutput[0], nullptr);
  EXPECT_NE(TheEngine.ChannelOutput[1], nullptr);
  EXPECT_NE(TheEngine.InputHistory[1], nullptr);
  TheEngine.FreeBuffers();
  EXPECT_EQ(TheEngine.InBuffers[0], nullptr);
  EXPECT_EQ(TheEngine.OutBuffers[1][2], nullptr);
  EXPECT_EQ(TheEngine.FilterSpectra[2][1], nullptr);
  EXPECT_EQ(TheEngine.InputFrames[0], nullptr);
  TheEngine.FreeBuffers();  // releasing twice is harmless
}

TEST_F(EngineBuffers, WaveBuffersKeepTheCountAndSizeTheyWereMadeWith) {
  NumBuffers = 40;  // a bad stored value never indexes past the tables
  SampleBits = 24;
  TheEngine.SetEngineSizes(10, 1000);
  ASSERT_TRUE(TheEngine.AllocateBuffers());
  EXPECT_EQ(TheEngine.WaveBufferCount, MaxBuffers);
  EXPECT_EQ(TheEngine.WaveBufferSize, 8392);
  NumBuffers = 0;
  SampleBits = 16;
  TheEngine.FreeBuffers();  // releases the 8 x 6 buffers taken, whatever the settings say now
  EXPECT_EQ(TheEngine.OutBuffers[4][7], nullptr);
}

TEST_F(EngineBuffers, TooFewBuffersAreHeldToTwo) {
  // One buffer cannot be convolved while the other plays; none would queue nothing.
  TheEngine.SetEngineSizes(2, 100);
  for (int32_t stored : {0, 1, -3}) {
    NumBuffers = stored;
    EXPECT_EQ(HeldNumBuffers(), MinBuffers) << stored;
    ASSERT_TRUE(TheEngine.AllocateBuffers());
    EXPECT_EQ(TheEngine.WaveBufferCount, MinBuffers) << stored;
    EXPECT_NE(TheEngine.InBuffers[1], nullptr);
    EXPECT_NE(TheEngine.OutBuffers[0][1], nullptr);
  }
}

TEST_F(EngineBuffers, ChangingResolutionRemakesOnlyTheWaveBuffers) {
  std::vector<testing::FilterPair> bank(2);
  bank[0][0] = {1.0, 0.5, 0.25};
  bank[1][1] = {0.0, 1.0};
  testing::LoadBankInMemory(bank);
  const int32_t floats = SpectrumFloats(TheEngine.FFTOrder);
  std::vector<float> before(TheEngine.FilterSpectra[0][0], TheEngine.FilterSpectra[0][0] + floats);
  const int32_t size16 = TheEngine.WaveBufferSize;

  SampleBits = 24;
  ASSERT_TRUE(TheEngine.ReallocateWaveBuffers());
  EXPECT_EQ(TheEngine.WaveBufferSize, 2 * size16);
  EXPECT_EQ(TheEngine.WaveBufferBits, 24);
  EXPECT_EQ(0, std::memcmp(before.data(), TheEngine.FilterSpectra[0][0], floats * sizeof(float)));

  NumBuffers = 5;
  ASSERT_TRUE(TheEngine.ReallocateWaveBuffers());
  EXPECT_EQ(TheEngine.WaveBufferCount, 5);
  EXPECT_NE(TheEngine.InBuffers[4], nullptr);
  EXPECT_NE(TheEngine.OutBuffers[0][4], nullptr);
}

TEST_F(EngineBuffers, ClearBuffersSilencesWaveBuffersAndHistory) {
  TheEngine.SetEngineSizes(4, 50);
  ASSERT_TRUE(TheEngine.AllocateBuffers());
  for (int k = 0; k < TheEngine.WaveBufferCount; ++k) {
    std::memset(TheEngine.InBuffers[k], 0x5a, TheEngine.WaveBufferSize);
    for (int d = 0; d <= TheEngine.LastOutDevice; ++d) std::memset(TheEngine.OutBuffers[d][k], 0xa5, TheEngine.WaveBufferSize);
  }
  for (auto* h : TheEngine.InputHistory) std::fill(h, h + TheEngine.FilterLength - 1, 3.0f);
  TheEngine.ClearBuffers();
  for (int k = 0; k < TheEngine.WaveBufferCount; ++k) {
    for (int i = 0; i < TheEngine.WaveBufferSize; ++i) ASSERT_EQ(TheEngine.InBuffers[k][i], 0);
    for (int d = 0; d <= TheEngine.LastOutDevice; ++d)
      for (int i = 0; i < TheEngine.WaveBufferSize; ++i) ASSERT_EQ(TheEngine.OutBuffers[d][k][i], 0);
  }
  for (auto* h : TheEngine.InputHistory)
    for (int i = 0; i < TheEngine.FilterLength - 1; ++i) ASSERT_EQ(h[i], 0.0f);
}

TEST_F(EngineBuffers, SingleTapFilterHasNoHistory) {
  TheEngine.SetEngineSizes(1, 1);
  ASSERT_TRUE(TheEngine.AllocateBuffers());
  EXPECT_EQ(TheEngine.FFTLength, 2);
  EXPECT_EQ(TheEngine.BlockLength, 2);
  EXPECT_EQ(TheEngine.InputHistory[0], nullptr);
  EXPECT_EQ(TheEngine.ChannelOutput[1], nullptr);  // one channel, one output buffer
  TheEngine.ClearBuffers();  // clearing zero floats does nothing
}

TEST(DitherTable, IsTheSameTriangularSequenceAtEveryRun) {
  FillDitherTable();
  ASSERT_NE(DitherTable, nullptr);
  EXPECT_NEAR(DitherTable[0], -0.968620, 5e-7);
  EXPECT_NEAR(DitherTable[1], 0.063629, 5e-7);
  EXPECT_NEAR(DitherTable[2], -0.055424, 5e-7);
  std::vector<float> first(DitherTable, DitherTable + DitherTableSize);
  FillDitherTable();
  EXPECT_EQ(0, std::memcmp(first.data(), DitherTable, DitherTableSize * sizeof(float)));

  double sum = 0, sumSq = 0;
  for (float v : first) {
    ASSERT_GT(v, -1.0f);
    ASSERT_LT(v, 1.0f);
    sum += v;
    sumSq += double(v) * v;
  }
  // A triangular distribution on (-1, 1) has mean 0 and variance 1/6.
  EXPECT_NEAR(sum / DitherTableSize, 0.0, 0.01);
  EXPECT_NEAR(sumSq / DitherTableSize, 1.0 / 6.0, 0.005);
}

}  // namespace
}  // namespace tessival
