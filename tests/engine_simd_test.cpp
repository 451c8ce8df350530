// Every SIMD set against the plain loops: capture samples to floats and playback
// floats to integers bit for bit, the spectral product-sum to rounding.
#include <gtest/gtest.h>

#include <cpuid.h>

#include <algorithm>

#include <cstdint>
#include <limits>
#include <vector>

#include "engine/Kernels.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

// The sets this CPU can run besides the plain one.
std::vector<std::pair<const char*, const Kernels*>> SimdSets() {
  std::vector<std::pair<const char*, const Kernels*>> sets;
  if (CpuHasAvx2()) sets.emplace_back("AVX2", &Avx2Kernels);
  if (CpuHasAvx512()) sets.emplace_back("AVX-512", &Avx512Kernels);
  return sets;
}

std::vector<size_t> Lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
  lengths.push_back(100003);
  return lengths;
}

TEST(Simd, PlainCaptureSplitKeepsIntegersAndRoundsWideOnesToNearestFloat) {
  const int16_t in16[] = {INT16_MIN, INT16_MAX, -1, 1};
  float l[2], r[2];
  uint32_t peak[2];
  ScalarKernels.FromInt16(in16, l, r, 2, peak);
  EXPECT_EQ(l[0], -32768.0f);
  EXPECT_EQ(r[0], 32767.0f);
  EXPECT_EQ(l[1], -1.0f);
  EXPECT_EQ(r[1], 1.0f);
  // The peaks: the most negative value is one step above the most positive.
  EXPECT_EQ(peak[0], 32768u);
  EXPECT_EQ(peak[1], 32767u);

  // 2^24 + 1 ties to the even 2^24; 2^24 + 3 ties up; INT32_MAX rounds to 2^31.
  const int32_t in32[] = {16777217, 16777219, INT32_MAX, INT32_MIN};
  ScalarKernels.FromInt32(in32, l, r, 2, peak);
  EXPECT_EQ(l[0], 16777216.0f);
  EXPECT_EQ(r[0], 16777220.0f);
  EXPECT_EQ(l[1], 2147483648.0f);
  EXPECT_EQ(r[1], -2147483648.0f);
  EXPECT_EQ(peak[0], 2147483647u);
  EXPECT_EQ(peak[1], 2147483648u);
}

TEST(Simd, CaptureSplitsEqualThePlainOneBitForBit) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  for (size_t n : Lengths()) {
    const auto noise = testing::RandomSignal(2 * n, 7 + static_cast<uint32_t>(n));
    std::vector<int16_t> in16(2 * n);
    std::vector<int32_t> in32(2 * n);
    const int32_t edges[] = {INT32_MIN, INT32_MAX, 16777217, -16777219, 0, -1};
    for (size_t i = 0; i < 2 * n; ++i) {
      in16[i] = i % 7 == 2 ? (i % 2 ? INT16_MIN : INT16_MAX) : static_cast<int16_t>(noise[i] * 32767);
      in32[i] = i % 5 == 1 ? edges[(i / 5) % 6] : static_cast<int32_t>(noise[i] * 2147483000.0);
    }
    std::vector<float> wantL(n + 1, 5.0f), wantR(n + 1, 5.0f);
    for (const auto& [name, k] : sets) {
      for (bool wide : {false, true}) {
        uint32_t want[2], got[2] = {9, 9};
        wide ? ScalarKernels.FromInt32(in32.data(), wantL.data(), wantR.data(), static_cast<int32_t>(n), want)
             : ScalarKernels.FromInt16(in16.data(), wantL.data(), wantR.data(), static_cast<int32_t>(n), want);
        std::vector<float> l(n + 1, 5.0f), r(n + 1, 5.0f);
        wide ? k->FromInt32(in32.data(), l.data(), r.data(), static_cast<int32_t>(n), got)
             : k->FromInt16(in16.data(), l.data(), r.data(), static_cast<int32_t>(n), got);
        ASSERT_EQ(l, wantL) << name << (wide ? " 32-bit" : " 16-bit") << " n=" << n;
        ASSERT_EQ(r, wantR) << name << (wide ? " 32-bit" : " 16-bit") << " n=" << n;
        ASSERT_EQ(got[0], want[0]) << name << (wide ? " 32-bit" : " 16-bit") << " left peak n=" << n;
        ASSERT_EQ(got[1], want[1]) << name << (wide ? " 32-bit" : " 16-bit") << " right peak n=" << n;
      }
    }
  }
}

std::vector<float> Probe(size_t n, uint32_t seed, float amplitude) {
  return testing::ProbeFloats(n, seed, amplitude);
}

bool SameLevels(const ConversionLevels& a, const ConversionLevels& b) {
  return a.Peak[0] == b.Peak[0] && a.Peak[1] == b.Peak[1] && a.Saturated[0] == b.Saturated[0] &&
         a.Saturated[1] == b.Saturated[1];
}

// Samples and levels alike: probes full of held and NaN values, and plain noise that
// stays inside the range, whose held count must come out 0 without the counting pass.
TEST(Simd, OutputConversionsEqualThePlainOnesBitForBit) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  for (size_t n : Lengths()) {
    for (float amplitude : {40000.0f, 3e9f, 0.0f}) {
      auto l = Probe(n, 1 + static_cast<uint32_t>(n), amplitude);
      auto r = Probe(n, 2 + static_cast<uint32_t>(n), amplitude);
      if (amplitude == 0.0f) {
        const auto a = testing::RandomSignal(n, 3), b = testing::RandomSignal(n, 4);
        for (size_t i = 0; i < n; ++i) l[i] = static_cast<float>(a[i] * 32767.0), r[i] = static_cast<float>(b[i] * 32767.0);
      }
      for (bool right : {true, false}) {
        const float* rp = right ? r.data() : nullptr;
        std::vector<int16_t> want16(2 * n + 1, 7);
        std::vector<int32_t> want32(2 * n + 1, 7);
        ConversionLevels wantLevels16, wantLevels32;
        ScalarKernels.ToInt16(l.data(), 1.0f, rp, 0.75f, want16.data(), static_cast<int32_t>(n), wantLevels16);
        ScalarKernels.ToInt32(l.data(), 1.0f, rp, 0.75f, want32.data(), static_cast<int32_t>(n), wantLevels32);
        for (const auto& [name, k] : sets) {
          std::vector<int16_t> got16(2 * n + 1, 7);
          std::vector<int32_t> got32(2 * n + 1, 7);
          ConversionLevels levels16{{9, 9}, {9, 9}}, levels32{{9, 9}, {9, 9}};
          k->ToInt16(l.data(), 1.0f, rp, 0.75f, got16.data(), static_cast<int32_t>(n), levels16);
          k->ToInt32(l.data(), 1.0f, rp, 0.75f, got32.data(), static_cast<int32_t>(n), levels32);
          ASSERT_EQ(got16, want16) << name << " 16-bit n=" << n;
          ASSERT_EQ(got32, want32) << name << " 32-bit n=" << n;
          ASSERT_TRUE(SameLevels(levels16, wantLevels16)) << name << " 16-bit levels n=" << n;
          ASSERT_TRUE(SameLevels(levels32, wantLevels32)) << name << " 32-bit levels n=" << n;
        }
      }
    }
  }
}

// One extreme sample in otherwise quieter noise, in a different frame and channel as n
// grows, so that a set that drops some of its lanes when it joins them is caught.
TEST(Simd, CapturePeaksEqualThePlainOnes) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  for (size_t n : Lengths()) {
    const auto noise = testing::RandomSignal(2 * n, 13 + static_cast<uint32_t>(n));
    for (size_t at = 0; at < 2 * n; at += n < 64 ? 1 : 2 * n / 61) {
      std::vector<int16_t> in16(2 * n);
      std::vector<int32_t> in32(2 * n);
      for (size_t i = 0; i < 2 * n; ++i) {
        in16[i] = static_cast<int16_t>(noise[i] * 30000);
        in32[i] = static_cast<int32_t>(noise[i] * 2e9);
      }
      in16[at] = INT16_MIN;
      in32[2 * n - 1 - at] = INT32_MIN;
      const auto count = static_cast<int32_t>(n);
      std::vector<float> l(n), r(n), frames(2 * n);
      uint32_t want16[2], want32[2];
      ScalarKernels.FromInt16(in16.data(), l.data(), r.data(), count, want16);
      ScalarKernels.FromInt32(in32.data(), l.data(), r.data(), count, want32);
      ASSERT_EQ(want16[at % 2], 32768u) << n;
      ASSERT_EQ(want32[1 - at % 2], 2147483648u) << n;
      for (const auto& [name, k] : sets) {
        uint32_t got[4][2] = {{9, 9}, {9, 9}, {9, 9}, {9, 9}};
        k->FromInt16(in16.data(), l.data(), r.data(), count, got[0]);
        k->Widen16(in16.data(), frames.data(), 2 * count, got[1]);
        k->FromInt32(in32.data(), l.data(), r.data(), count, got[2]);
        k->Widen32(in32.data(), frames.data(), 2 * count, got[3]);
        for (int c = 0; c < 2; ++c) {
          ASSERT_EQ(got[0][c], want16[c]) << name << " 16-bit split n=" << n << " at " << at << " channel " << c;
          ASSERT_EQ(got[1][c], want16[c]) << name << " 16-bit widen n=" << n << " at " << at << " channel " << c;
          ASSERT_EQ(got[2][c], want32[c]) << name << " 32-bit split n=" << n << " at " << at << " channel " << c;
          ASSERT_EQ(got[3][c], want32[c]) << name << " 32-bit widen n=" << n << " at " << at << " channel " << c;
        }
      }
    }
  }
}

TEST(Simd, ProductSumMatchesThePlainOne) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  for (int32_t bins : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 33, 64, 65, 16385}) {
    std::vector<std::vector<float>> in;
    for (int i = 0; i < 4; ++i) {
      const auto r = testing::RandomSignal(2 * bins, 40 + i);
      in.emplace_back(r.begin(), r.end());
    }
    std::vector<float> want(2 * bins + 1, 9.0f);
    ScalarKernels.MultiplyAdd2(in[0].data(), in[1].data(), in[2].data(), in[3].data(), want.data(), bins);
    for (const auto& [name, k] : sets) {
      std::vector<float> got(2 * bins + 1, 9.0f);
      k->MultiplyAdd2(in[0].data(), in[1].data(), in[2].data(), in[3].data(), got.data(), bins);
      for (int32_t i = 0; i < 2 * bins; ++i) ASSERT_NEAR(got[i], want[i], 1e-6f) << name << " " << bins << " " << i;
      ASSERT_EQ(got.back(), 9.0f) << name;
    }
  }
}

// A device's two channels in one pass give exactly what two single passes give, in
// every set, so the block's output does not depend on how channels are grouped.
TEST(Simd, PairedProductSumsEqualTwoSingleOnesBitForBit) {
  std::vector<std::pair<const char*, const Kernels*>> sets = SimdSets();
  sets.emplace_back("plain", &ScalarKernels);
  for (int32_t bins : {0, 1, 3, 4, 7, 8, 9, 12, 15, 16, 17, 33, 64, 65, 16385}) {
    std::vector<std::vector<float>> in;  // x0, x1, a0, a1, b0, b1
    for (int i = 0; i < 6; ++i) {
      const auto r = testing::RandomSignal(2 * bins, 60 + i);
      in.emplace_back(r.begin(), r.end());
    }
    for (const auto& [name, k] : sets) {
      std::vector<float> wantA(2 * bins + 1, 9.0f), wantB(2 * bins + 1, 9.0f);
      k->MultiplyAdd2(in[0].data(), in[2].data(), in[1].data(), in[3].data(), wantA.data(), bins);
      k->MultiplyAdd2(in[0].data(), in[4].data(), in[1].data(), in[5].data(), wantB.data(), bins);
      std::vector<float> gotA(2 * bins + 1, 9.0f), gotB(2 * bins + 1, 9.0f);
      k->MultiplyAdd2Pair(in[0].data(), in[1].data(), in[2].data(), in[3].data(), in[4].data(), in[5].data(),
                          gotA.data(), gotB.data(), bins);
      ASSERT_EQ(gotA, wantA) << name << " " << bins;
      ASSERT_EQ(gotB, wantB) << name << " " << bins;
    }
  }
}

TEST(Simd, SpectrumSplitEqualsThePlainOneBitForBit) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  std::vector<int32_t> lengths;
  for (int32_t n = 2; n <= 80; n += 2) lengths.push_back(n);
  lengths.push_back(32768);
  for (int32_t n : lengths) {
    const auto r = testing::RandomSignal(2 * n, 90 + n);
    const std::vector<float> z(r.begin(), r.end());
    std::vector<float> want0(n + 3, 9.0f), want1(n + 3, 9.0f);
    ScalarKernels.UnpackPair(z.data(), want0.data(), want1.data(), n);
    ASSERT_EQ(want0.back(), 9.0f);  // n / 2 + 1 bins, nothing past them
    for (const auto& [name, k] : sets) {
      std::vector<float> got0(n + 3, 9.0f), got1(n + 3, 9.0f);
      k->UnpackPair(z.data(), got0.data(), got1.data(), n);
      ASSERT_EQ(got0, want0) << name << " n=" << n;
      ASSERT_EQ(got1, want1) << name << " n=" << n;
    }
  }
}

// The paired frame's moves: samples widened in place order, frames zipped and unzipped.
TEST(Simd, FrameMovesEqualThePlainOnesBitForBit) {
  const auto sets = SimdSets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD set here";
  for (size_t n : Lengths()) {
    const auto noise = testing::RandomSignal(2 * n, 11 + static_cast<uint32_t>(n));
    std::vector<int16_t> in16(2 * n);
    std::vector<int32_t> in32(2 * n);
    std::vector<float> frames(2 * n);
    for (size_t i = 0; i < 2 * n; ++i) {
      in16[i] = i % 9 == 4 ? INT16_MIN : static_cast<int16_t>(noise[i] * 32767);
      in32[i] = i % 7 == 3 ? INT32_MAX : static_cast<int32_t>(noise[i] * 2147483000.0);  // most need rounding
      frames[i] = static_cast<float>(noise[i]);
    }
    const auto count = static_cast<int32_t>(n);
    std::vector<float> want16(2 * n + 1, 5.0f), want32(2 * n + 1, 5.0f), wantZip(2 * n + 1, 5.0f);
    std::vector<float> wantL(n + 1, 5.0f), wantR(n + 1, 5.0f);
    uint32_t wantPeaks16[2], wantPeaks32[2];
    ScalarKernels.Widen16(in16.data(), want16.data(), 2 * count, wantPeaks16);
    ScalarKernels.Widen32(in32.data(), want32.data(), 2 * count, wantPeaks32);
    ScalarKernels.Unzip(frames.data(), wantL.data(), wantR.data(), count);
    ScalarKernels.Zip(wantL.data(), wantR.data(), wantZip.data(), count);
    ASSERT_TRUE(std::equal(frames.begin(), frames.end(), wantZip.begin())) << n;  // unzip then zip is the identity
    for (const auto& [name, k] : sets) {
      std::vector<float> got16(2 * n + 1, 5.0f), got32(2 * n + 1, 5.0f), gotZip(2 * n + 1, 5.0f);
      std::vector<float> gotL(n + 1, 5.0f), gotR(n + 1, 5.0f);
      uint32_t peaks16[2] = {9, 9}, peaks32[2] = {9, 9};
      k->Widen16(in16.data(), got16.data(), 2 * count, peaks16);
      k->Widen32(in32.data(), got32.data(), 2 * count, peaks32);
      for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(peaks16[c], wantPeaks16[c]) << name << " 16-bit peak n=" << n << " channel " << c;
        ASSERT_EQ(peaks32[c], wantPeaks32[c]) << name << " 32-bit peak n=" << n << " channel " << c;
      }
      k->Unzip(frames.data(), gotL.data(), gotR.data(), count);
      k->Zip(wantL.data(), wantR.data(), gotZip.data(), count);
      ASSERT_EQ(got16, want16) << name << " n=" << n;
      ASSERT_EQ(got32, want32) << name << " n=" << n;
      ASSERT_EQ(gotL, wantL) << name << " n=" << n;
      ASSERT_EQ(gotR, wantR) << name << " n=" << n;
      ASSERT_EQ(gotZip, wantZip) << name << " n=" << n;
    }
  }
}

bool CpuReportsXinuse() {
  unsigned a, b, c, d;
  return __get_cpuid_count(0xD, 1, &a, &b, &c, &d) && (a & 4);
}

// The AVX state component of XINUSE: set while any upper half of ymm0-15 may be
// non-zero. Only where CpuReportsXinuse().
bool UpperInUse() {
  uint32_t lo, hi;
  asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
  return lo & 4;
}

// A kernel that returns with dirty upper halves makes every legacy-SSE instruction
// after it slow, FFTW's transforms among them.
TEST(Simd, KernelsReturnWithTheUpperHalvesClear) {
  const auto sets = SimdSets();
  if (sets.empty() || !CpuReportsXinuse()) GTEST_SKIP() << "no SIMD set or no XINUSE here";
  std::vector<float> f(4 * 100, 0.25f), g(4 * 100);
  std::vector<int16_t> i16(2 * 100, 3);
  std::vector<int32_t> i32(2 * 100, 3);
  for (const auto& [name, k] : sets) {
    for (int32_t n : {0, 1, 7, 33, 100}) {
      k->MultiplyAdd2(f.data(), f.data(), f.data(), f.data(), g.data(), n);
      EXPECT_FALSE(UpperInUse()) << name << " product-sum n=" << n;
      k->MultiplyAdd2Pair(f.data(), f.data(), f.data(), f.data(), f.data(), f.data(), g.data(), g.data() + 200, n);
      EXPECT_FALSE(UpperInUse()) << name << " paired product-sum n=" << n;
      ConversionLevels levels;
      k->ToInt16(f.data(), 1.0f, f.data(), 1.0f, i16.data(), n, levels);
      EXPECT_FALSE(UpperInUse()) << name << " 16-bit out n=" << n;
      k->ToInt32(f.data(), 1.0f, nullptr, 1.0f, i32.data(), n, levels);
      EXPECT_FALSE(UpperInUse()) << name << " 32-bit out n=" << n;
      uint32_t peak[2];
      k->UnpackPair(f.data(), g.data(), g.data() + 200, 2 + 2 * (n / 2));
      EXPECT_FALSE(UpperInUse()) << name << " spectrum split n=" << n;
      k->Widen16(i16.data(), f.data(), 2 * (n / 2), peak);
      EXPECT_FALSE(UpperInUse()) << name << " 16-bit widen n=" << n;
      k->Widen32(i32.data(), f.data(), 2 * (n / 2), peak);
      EXPECT_FALSE(UpperInUse()) << name << " 32-bit widen n=" << n;
      k->Zip(f.data(), f.data() + 100, g.data(), n);
      EXPECT_FALSE(UpperInUse()) << name << " zip n=" << n;
      k->Unzip(f.data(), g.data(), g.data() + 200, n);
      EXPECT_FALSE(UpperInUse()) << name << " unzip n=" << n;
      k->FromInt16(i16.data(), f.data(), g.data(), n, peak);
      EXPECT_FALSE(UpperInUse()) << name << " 16-bit in n=" << n;
      k->FromInt32(i32.data(), f.data(), g.data(), n, peak);
      EXPECT_FALSE(UpperInUse()) << name << " 32-bit in n=" << n;
    }
  }
}

}  // namespace
}  // namespace tessival
