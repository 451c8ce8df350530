// The AVX2 hot loops against the plain ones.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/Kernels.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

std::vector<float> Probe(size_t n, uint32_t seed, float amplitude) {
  return testing::ProbeFloats(n, seed, amplitude);
}

TEST(Kernels, SimdConversionsEqualThePlainOnesBitForBit) {
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2 here";
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
  lengths.push_back(100003);
  for (size_t n : lengths) {
    for (float amplitude : {40000.0f, 3e9f}) {
      const auto l = Probe(n, 1 + n, amplitude), r = Probe(n, 2 + n, amplitude);
      for (bool right : {true, false}) {
        const float* rp = right ? r.data() : nullptr;
        ConversionLevels levels;
        std::vector<int16_t> a16(2 * n + 1, 7), b16(2 * n + 1, 7);
        ScalarKernels.ToInt16(l.data(), 1.0f, rp, 0.75f, a16.data(), int32_t(n), levels);
        Avx2Kernels.ToInt16(l.data(), 1.0f, rp, 0.75f, b16.data(), int32_t(n), levels);
        ASSERT_EQ(a16, b16) << "16-bit, n=" << n;
        std::vector<int32_t> a32(2 * n + 1, 7), b32(2 * n + 1, 7);
        ScalarKernels.ToInt32(l.data(), 1.0f, rp, 0.75f, a32.data(), int32_t(n), levels);
        Avx2Kernels.ToInt32(l.data(), 1.0f, rp, 0.75f, b32.data(), int32_t(n), levels);
        ASSERT_EQ(a32, b32) << "32-bit, n=" << n;
        ASSERT_EQ(a16.back(), 7);  // nothing written past n frames
      }
    }
  }
}

TEST(Kernels, PlainConversionsRoundHalvesToEvenAndSaturate) {
  const float in[] = {0.5f, 1.5f, 2.5f, -2.5f, 32767.5f, 32766.5f, -32768.5f, 1e30f,
                      std::numeric_limits<float>::quiet_NaN()};
  const int16_t want16[] = {0, 2, 2, -2, 32767, 32766, -32768, 32767, 0};
  int16_t out[18];
  ConversionLevels levels;
  ScalarKernels.ToInt16(in, 1.0f, nullptr, 0.0f, out, 9, levels);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(out[2 * i], want16[i]) << i;
    EXPECT_EQ(out[2 * i + 1], 0);
  }
  // Held: 32767.5 (it rounds to 32768) and 1e30; -32768.5 rounds to -32768 and is not.
  EXPECT_EQ(levels.Peak[0], 1e30f);
  EXPECT_EQ(levels.Saturated[0], 2);
  EXPECT_EQ(levels.Peak[1], 0.0f);
  EXPECT_EQ(levels.Saturated[1], 0);
  // The peak is taken after the scale, and its sign does not matter.
  const float quiet[] = {1000.0f, -32768.5f / 2, 16383.7f};
  ScalarKernels.ToInt16(quiet, 2.0f, quiet, -1.0f, out, 3, levels);
  EXPECT_EQ(levels.Peak[0], 32768.5f);
  EXPECT_EQ(levels.Saturated[0], 0);
  EXPECT_EQ(levels.Peak[1], 16384.25f);

  const float wide[] = {2147483648.0f, 2147483520.0f, -2147483648.0f, -3e9f, 4.5f};
  const int32_t want32[] = {INT32_MAX, 2147483520, INT32_MIN, INT32_MIN, 4};
  int32_t out32[10];
  ScalarKernels.ToInt32(wide, 1.0f, wide, 1.0f, out32, 5, levels);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out32[2 * i + 1], want32[i]) << i;
  EXPECT_EQ(levels.Saturated[1], 2);  // 2^31 and -3e9; -2^31 itself fits
  EXPECT_EQ(levels.Peak[1], 3e9f);

  // Doubles keep what a float cannot: the odd integers near full scale.
  EXPECT_EQ(RoundToInt32(2147483646.5), 2147483646);
  EXPECT_EQ(RoundToInt32(-2147483645.5), -2147483646);
  EXPECT_EQ(RoundToInt32(2147483647.5), INT32_MAX);
  EXPECT_EQ(RoundToInt32(-2147483649.0), INT32_MIN);
  EXPECT_EQ(RoundToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(Kernels, SimdProductSumMatchesThePlainOne) {
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2 here";
  for (int32_t bins : {0, 1, 2, 3, 4, 5, 7, 8, 9, 33, 64, 65, 16385}) {
    std::vector<std::vector<float>> in;
    for (int i = 0; i < 4; ++i) {
      const auto r = testing::RandomSignal(2 * bins, 40 + i);
      in.emplace_back(r.begin(), r.end());
    }
    std::vector<float> a(2 * bins + 1, 9.0f), b(2 * bins + 1, 9.0f);
    ScalarKernels.MultiplyAdd2(in[0].data(), in[1].data(), in[2].data(), in[3].data(), a.data(), bins);
    Avx2Kernels.MultiplyAdd2(in[0].data(), in[1].data(), in[2].data(), in[3].data(), b.data(), bins);
    for (int32_t i = 0; i < 2 * bins; ++i) ASSERT_NEAR(a[i], b[i], 1e-6f) << bins << " " << i;
    ASSERT_EQ(b.back(), 9.0f);
  }
}

}  // namespace
}  // namespace tessival
