// The block convolution against a direct double-precision convolution, and its
// gains, rounding, saturation and dither.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Gains.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

using testing::FilterPair;
using testing::RandomInts;

class Convolve : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetEngineForTest(); }
  void TearDown() override { TheEngine.ResetEngine(); }
};

std::vector<double> AsDouble(const std::vector<int64_t>& v) { return {v.begin(), v.end()}; }

// Left and right paths of one channel summed, as the engine should compute them.
std::vector<double> ReferenceChannel(const std::vector<int64_t>& l, const std::vector<int64_t>& r,
                                     const FilterPair& f, double gain) {
  auto a = testing::DirectConvolution(AsDouble(l), f[0].empty() ? std::vector<double>{0} : f[0]);
  auto b = testing::DirectConvolution(AsDouble(r), f[1].empty() ? std::vector<double>{0} : f[1]);
  std::vector<double> y(l.size(), 0.0);
  for (size_t t = 0; t < y.size(); ++t) y[t] = gain * ((t < a.size() ? a[t] : 0) + (t < b.size() ? b[t] : 0));
  return y;
}

struct StreamCase {
  int32_t m;        // filter length
  int32_t c;        // channels
  int32_t frames;   // input length
};

class ConvolveStream : public Convolve, public ::testing::WithParamInterface<StreamCase> {};

// Random filters over many consecutive blocks equal the direct convolution of the
// whole stream, at 32 bits so that rounding hides nothing.
TEST_P(ConvolveStream, EqualsDirectConvolutionOfTheWholeStream) {
  const StreamCase p = GetParam();
  SampleBits = 24;
  std::vector<FilterPair> bank(p.c);
  for (int32_t ch = 0; ch < p.c; ++ch) {
    // Shorter filters in some channels exercise the zero padding.
    const size_t len = ch % 3 == 2 ? std::max(1, p.m / 2) : p.m;
    bank[ch][0] = testing::RandomSignal(len, 100 + ch);
    bank[ch][1] = testing::RandomSignal(len, 200 + ch);
    for (auto& side : bank[ch])
      for (auto& v : side) v /= std::sqrt(double(len));
  }
  testing::LoadBankInMemory(bank);
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  const auto left = RandomInts(p.frames, 1, 1 << 24);
  const auto right = RandomInts(p.frames, 2, 1 << 24);
  const auto out = testing::StreamThroughEngine(left, right);
  ASSERT_EQ(static_cast<int32_t>(out.size()), TheEngine.LastOutDevice + 1);

  for (int32_t ch = 0; ch < p.c; ++ch) {
    const auto ref = ReferenceChannel(left, right, bank[ch], 1.0);
    const auto& got = ch % 2 == 0 ? out[ch / 2].left : out[ch / 2].right;
    double maxErr = 0, peak = 0;
    for (size_t t = 0; t < ref.size(); ++t) {
      maxErr = std::max(maxErr, std::abs(double(got[t]) - ref[t]));
      peak = std::max(peak, std::abs(ref[t]));
    }
    // Single-precision FFT error grows slowly with the transform length.
    EXPECT_LT(maxErr, peak * 2e-6 * TheEngine.FFTOrder + 1.0) << "channel " << ch << " M=" << p.m;
  }
  // The missing right channel of an odd bank is silent.
  if (p.c % 2 == 1) {
    for (int64_t s : out[TheEngine.LastOutDevice].right) ASSERT_EQ(s, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConvolveStream,
                         ::testing::Values(StreamCase{1, 1, 50}, StreamCase{2, 2, 301},
                                           StreamCase{37, 3, 2000}, StreamCase{1448, 2, 9000},
                                           StreamCase{1449, 10, 12000}, StreamCase{5000, 4, 40000}),
                         [](const auto& info) {
                           return "M" + std::to_string(info.param.m) + "_C" + std::to_string(info.param.c);
                         });

// Filters long enough for transforms of more than 65536 points, where the frames are
// transformed one by one and in place: sparse filters, so that the direct reference
// stays cheap, with taps up to the last one. Three channels: one device with both
// channels and one with only its left.
TEST_F(Convolve, LongFiltersEqualTheDirectConvolution) {
  SampleBits = 24;
  const int32_t m = 50000;
  std::vector<FilterPair> bank(3);
  for (int32_t ch = 0; ch < 3; ++ch)
    for (int side = 0; side < 2; ++side) {
      auto& f = bank[ch][side];
      f.assign(m, 0.0);
      const auto values = testing::RandomSignal(24, 300 + 2 * ch + side);
      for (size_t k = 0; k < values.size(); ++k) f[(k * 7919 + 31 * ch + side) % m] = values[k] / 4;
      f[m - 1] = 0.25;
    }
  testing::LoadBankInMemory(bank);
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  ASSERT_GT(TheEngine.FFTLength, 65536);
  const auto left = RandomInts(3 * TheEngine.BlockLength + 1000, 11, 1 << 24);
  const auto right = RandomInts(left.size(), 12, 1 << 24);
  const auto out = testing::StreamThroughEngine(left, right);
  for (int32_t ch = 0; ch < 3; ++ch) {
    const auto& got = ch % 2 == 0 ? out[ch / 2].left : out[ch / 2].right;
    std::vector<std::pair<size_t, double>> taps[2];
    for (int side = 0; side < 2; ++side)
      for (int32_t k = 0; k < m; ++k)
        if (bank[ch][side][k] != 0.0) taps[side].emplace_back(k, bank[ch][side][k]);
    double maxErr = 0, peak = 0;
    for (size_t t = 0; t < left.size(); ++t) {
      double want = 0;
      for (int side = 0; side < 2; ++side)
        for (const auto& [k, v] : taps[side])
          if (k <= t) want += v * double((side ? right : left)[t - k]);
      maxErr = std::max(maxErr, std::abs(double(got[t]) - want));
      peak = std::max(peak, std::abs(want));
    }
    EXPECT_LT(maxErr, peak * 2e-6 * TheEngine.FFTOrder + 1.0) << "channel " << ch;
    EXPECT_GT(peak, 1e6) << "channel " << ch;
  }
  for (int64_t v : out[1].right) ASSERT_EQ(v, 0);
}

TEST_F(Convolve, BlockShorterThanHistoryStillCarriesTheStream) {
  // M = 1448 gives N = 601 < M - 1: the history spans several blocks.
  SampleBits = 24;
  std::vector<FilterPair> bank(1);
  bank[0][0] = testing::RandomSignal(1448, 7);
  bank[0][1] = testing::RandomSignal(1448, 8);
  testing::LoadBankInMemory(bank);
  ASSERT_LT(TheEngine.BlockLength, TheEngine.FilterLength - 1);
  const auto left = RandomInts(6000, 3, 1 << 20);
  const auto right = RandomInts(6000, 4, 1 << 20);
  const auto out = testing::StreamThroughEngine(left, right);
  const auto ref = ReferenceChannel(left, right, bank[0], 1.0);
  for (size_t t = 0; t < ref.size(); ++t) ASSERT_NEAR(double(out[0].left[t]), ref[t], 4e-5 * (1 << 20) * 40) << t;
}

TEST_F(Convolve, UnitImpulsePassesTheLeftInputAndDelayedImpulseDelaysIt) {
  std::vector<FilterPair> bank(2);
  bank[0][0] = {1.0};
  bank[0][1] = {0.0};
  bank[1][0] = std::vector<double>(60, 0.0);
  bank[1][0][59] = 1.0;  // tap 59: 59 frames late
  testing::LoadBankInMemory(bank);
  // The unit impulse transforms into all-ones bins.
  for (int32_t i = 0; i < TheEngine.FFTLength / 2 + 1; ++i) {
    // bank[0][0] is only one tap; the spectrum of the padded sequence is flat.
    ASSERT_NEAR(TheEngine.FilterSpectra[0][0][2 * i], 1.0f, 1e-6f);
    ASSERT_NEAR(TheEngine.FilterSpectra[0][0][2 * i + 1], 0.0f, 1e-6f);
    ASSERT_EQ(TheEngine.FilterSpectra[0][1][2 * i], 0.0f);
  }
  const auto left = RandomInts(1000, 5, 30000);
  const auto right = RandomInts(1000, 6, 30000);
  const auto out = testing::StreamThroughEngine(left, right);
  for (size_t t = 0; t < left.size(); ++t) {
    ASSERT_EQ(out[0].left[t], left[t]) << t;
    ASSERT_EQ(out[0].right[t], t < 59 ? 0 : left[t - 59]) << t;
  }
}

TEST_F(Convolve, GainsScaleTheirChannelsAndUnityIsExact) {
  SampleBits = 24;
  std::vector<FilterPair> bank(4);
  for (auto& f : bank) f[0] = {1.0};
  testing::LoadBankInMemory(bank);
  GainSteps[9] = 6;  // Master +6 dB
  GainSteps[1] = 0;  // S1 at 0 dB
  GainSteps[0] = -6;  // Dipole -6 dB: with Master, 0 dB on channels 0 and 1
  ComputeGainFactors();
  EXPECT_EQ(GainFactors[0], 1.0f);
  EXPECT_EQ(GainFactors[1], 1.0f);
  EXPECT_NEAR(GainFactors[2], 1.995262f, 1e-6f);
  const std::vector<int64_t> left(500, 1000000);
  const auto out = testing::StreamThroughEngine(left, {});
  EXPECT_EQ(out[0].left[100], 1000000);
  EXPECT_EQ(out[1].left[100], std::lrint(1000000 * double(GainFactors[2])));
  EXPECT_NEAR(double(out[1].left[100]), 1995262.3, 1.0);
  // Gains are read at every block: a change applies from the next one.
  GainFactors[0] = 0.5f;
  const auto later = testing::StreamThroughEngine(left, {});
  EXPECT_EQ(later[0].left[100], 500000);
}

TEST_F(Convolve, RoundsHalvesToEvenAndSaturatesInsteadOfWrapping) {
  // One tap each way keeps the arithmetic exact: out = l * 1 + r * 0.5.
  std::vector<FilterPair> bank(1);
  bank[0][0] = {1.0};
  bank[0][1] = {0.5};
  testing::LoadBankInMemory(bank);
  ASSERT_EQ(TheEngine.FFTLength, 2);
  const std::vector<int64_t> l = {2, 3, -2, -3, 32766, 32767, -32768, 32767, -32768, 0};
  const std::vector<int64_t> r = {1, 1, -1, -1, 1, 1, -1, 32767, -32768, 0};
  const auto out = testing::StreamThroughEngine(l, r);
  const std::vector<int64_t> expected = {2, 4, -2, -4, 32766, 32767, -32768, 32767, -32768, 0};
  for (size_t t = 0; t < expected.size(); ++t) EXPECT_EQ(out[0].left[t], expected[t]) << t;

  SampleBits = 24;
  ASSERT_TRUE(TheEngine.ReallocateWaveBuffers());
  // Pairs of frames share a block (N = 2); full-scale blocks are kept apart from
  // small values, which a float near 2^31 cannot hold.
  const std::vector<int64_t> l32 = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, 5, 7, -5, 0};
  const std::vector<int64_t> r32 = {0, INT32_MAX, 0, -1000, 1, 1, -1, 0};
  const auto out32 = testing::StreamThroughEngine(l32, r32);
  const std::vector<int64_t> expected32 = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, 6, 8, -6, 0};
  for (size_t t = 0; t < expected32.size(); ++t) EXPECT_EQ(out32[0].left[t], expected32[t]) << t;
}

TEST_F(Convolve, DitherRunsOnAcrossDevicesAndBlocksAndRestartsAfterItsPeriod) {
  DitherOn = true;
  std::vector<FilterPair> bank(3);  // odd: the last device's right side is silence plus dither
  for (auto& f : bank) f[0] = std::vector<double>(100, 0.0);
  testing::LoadBankInMemory(bank);
  const int32_t n = TheEngine.BlockLength;
  const int32_t blocks = DitherFrames / (2 * n) + 3;  // past one whole period over both devices
  int64_t frame = 0;  // dithered frames counted over all devices
  for (int32_t b = 0; b < blocks; ++b) {
    const int32_t k = b % TheEngine.WaveBufferCount;
    TheEngine.ConvolveBlock(k);
    for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
      const auto* o = reinterpret_cast<const int16_t*>(TheEngine.OutBuffers[d][k]);
      for (int32_t j = 0; j < n; ++j, ++frame) {
        const int64_t pos = (frame % DitherFrames) * 2;
        ASSERT_EQ(o[2 * j], std::lrint(DitherTable[pos])) << "block " << b << " device " << d;
        ASSERT_EQ(o[2 * j + 1], std::lrint(DitherTable[pos + 1])) << "block " << b << " device " << d;
        ASSERT_LE(std::abs(o[2 * j]), 1);
      }
    }
  }
  EXPECT_GT(frame, DitherFrames);
  EXPECT_EQ(TheEngine.DitherCount, frame % DitherFrames);
}

TEST_F(Convolve, WideSamplesIgnoreDither) {
  SampleBits = 24;
  std::vector<FilterPair> bank(2);
  bank[0][0] = testing::RandomSignal(30, 9);
  bank[1][1] = testing::RandomSignal(30, 10);
  testing::LoadBankInMemory(bank);
  const auto left = RandomInts(3000, 11, 1 << 28);
  const auto right = RandomInts(3000, 12, 1 << 28);
  const auto plain = testing::StreamThroughEngine(left, right);
  TheEngine.ClearBuffers();
  DitherOn = true;
  const auto dithered = testing::StreamThroughEngine(left, right);
  EXPECT_EQ(plain[0].left, dithered[0].left);
  EXPECT_EQ(plain[0].right, dithered[0].right);
  EXPECT_EQ(TheEngine.DitherPos, 0);
  EXPECT_EQ(TheEngine.DitherCount, 0);
}

// Engines are objects: two of different sizes, fed block for block in turn, each give
// what it gives alone, dither included (each runs its own sequence).
TEST_F(Convolve, TwoEnginesSideBySideEachGiveWhatTheyGiveAlone) {
  DitherOn = true;
  std::vector<FilterPair> bankA(3), bankB(2);
  for (size_t ch = 0; ch < bankA.size(); ++ch)
    for (int i = 0; i < 2; ++i) bankA[ch][i] = testing::RandomSignal(3000, 40 + 2 * ch + i);
  for (size_t ch = 0; ch < bankB.size(); ++ch)
    for (int i = 0; i < 2; ++i) bankB[ch][i] = testing::RandomSignal(200, 60 + 2 * ch + i);
  const auto left = RandomInts(20000, 5, 3000);
  const auto right = RandomInts(20000, 6, 3000);
  Engine a, b;
  testing::LoadBankInMemory(bankA, a);
  const auto aloneA = testing::StreamThroughEngine(left, right, a);
  testing::LoadBankInMemory(bankB, b);
  const auto aloneB = testing::StreamThroughEngine(left, right, b);
  ASSERT_NE(a.BlockLength, b.BlockLength);

  testing::LoadBankInMemory(bankA, a);
  a.RestartDither();
  testing::LoadBankInMemory(bankB, b);
  b.RestartDither();
  testing::EngineStream sa(a, left, right), sb(b, left, right);
  for (bool more = true; more;) {
    more = sa.Step();
    more = sb.Step() || more;
  }
  ASSERT_EQ(sa.Out.size(), aloneA.size());
  for (size_t d = 0; d < aloneA.size(); ++d) {
    EXPECT_EQ(sa.Out[d].left, aloneA[d].left) << "device " << d;
    EXPECT_EQ(sa.Out[d].right, aloneA[d].right) << "device " << d;
  }
  for (size_t d = 0; d < aloneB.size(); ++d) {
    EXPECT_EQ(sb.Out[d].left, aloneB[d].left) << "device " << d;
    EXPECT_EQ(sb.Out[d].right, aloneB[d].right) << "device " << d;
  }
}

TEST_F(Convolve, IgnoresABufferIndexOutsideTheBuffersMade) {
  std::vector<FilterPair> bank(3);
  bank[0][0] = {1.0, 0.5};
  testing::LoadBankInMemory(bank);
  DitherOn = true;
  Engine& e = TheEngine;
  for (int32_t k = 0; k < e.WaveBufferCount; ++k) {
    std::memset(e.InBuffers[k], 0x11, e.WaveBufferSize);
    for (int32_t d = 0; d <= e.LastOutDevice; ++d) std::memset(e.OutBuffers[d][k], 0x22, e.WaveBufferSize);
  }
  e.InputHistory[0][0] = 7.0f;
  for (int32_t k : {-1, e.WaveBufferCount, MaxBuffers}) e.ConvolveBlock(k);
  // No buffer written, no history taken in, no dither used.
  for (int32_t k = 0; k < e.WaveBufferCount; ++k)
    for (int32_t d = 0; d <= e.LastOutDevice; ++d)
      for (int32_t i = 0; i < e.WaveBufferSize; ++i) ASSERT_EQ(e.OutBuffers[d][k][i], 0x22) << d << " " << k;
  EXPECT_EQ(e.InputHistory[0][0], 7.0f);
  EXPECT_EQ(e.DitherPos, 0);
}

}  // namespace
}  // namespace tessival
