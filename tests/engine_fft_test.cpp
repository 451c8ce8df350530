// The FFT layer, by its properties.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "engine/Fft.h"
#include "tests/support/FftReference.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

struct Buffers {
  explicit Buffers(int32_t order) : order(order), n(1 << order) {
    for (auto& b : buf) b = AllocateFftBuffer(SpectrumFloats(order));
    FftPlanMeasure = false;
    EXPECT_TRUE(layer.FftPrepare(order, buf[0], buf[1]));
  }
  ~Buffers() {
    layer.FftRelease();
    for (auto* b : buf) FreeFftBuffer(b);
  }
  void Fill(int i, const std::vector<double>& v) {
    for (int32_t t = 0; t < n + 2; ++t) buf[i][t] = t < n ? float(v[t]) : 0.0f;
  }
  std::complex<double> Bin(int i, int32_t k) const { return {buf[i][2 * k], buf[i][2 * k + 1]}; }
  FftLayer layer;
  int32_t order, n;
  float* buf[4];
};

TEST(Fft, RoundTripRestoresTheSignalForEveryOrder) {
  for (int32_t order = 1; order <= 16; ++order) {
    Buffers b(order);
    const auto x = testing::RandomSignal(b.n, order);
    b.Fill(0, x);
    b.layer.FftForward(b.buf[0]);
    testing::FftInverse(b.layer, b.buf[0], order);
    for (int32_t t = 0; t < b.n; ++t) ASSERT_NEAR(b.buf[0][t], x[t], 1e-6 * order) << order << " " << t;
  }
}

TEST(Fft, ForwardIsTheUnscaledDftWithImpulseAndShiftProperties) {
  Buffers b(6);
  // A unit impulse has a flat spectrum of ones.
  std::vector<double> impulse(b.n, 0.0);
  impulse[0] = 1.0;
  b.Fill(0, impulse);
  b.layer.FftForward(b.buf[0]);
  for (int32_t k = 0; k <= b.n / 2; ++k) {
    EXPECT_NEAR(b.Bin(0, k).real(), 1.0, 1e-6);
    EXPECT_NEAR(b.Bin(0, k).imag(), 0.0, 1e-6);
  }
  // Against a direct DFT, unscaled, and a circular shift is a phase ramp.
  const auto x = testing::RandomSignal(b.n, 3);
  std::vector<double> shifted(b.n);
  for (int32_t t = 0; t < b.n; ++t) shifted[(t + 5) % b.n] = x[t];
  b.Fill(0, x);
  b.Fill(2, shifted);
  b.layer.FftForward(b.buf[0]);
  b.layer.FftForward(b.buf[2]);
  for (int32_t k = 0; k <= b.n / 2; ++k) {
    std::complex<double> direct = 0;
    for (int32_t t = 0; t < b.n; ++t) direct += x[t] * std::polar(1.0, -2 * M_PI * k * t / b.n);
    EXPECT_NEAR(b.Bin(0, k).real(), direct.real(), 1e-4);
    EXPECT_NEAR(b.Bin(0, k).imag(), direct.imag(), 1e-4);
    const auto ramp = b.Bin(0, k) * std::polar(1.0, -2 * M_PI * k * 5 / b.n);
    EXPECT_NEAR(b.Bin(2, k).real(), ramp.real(), 1e-4);
    EXPECT_NEAR(b.Bin(2, k).imag(), ramp.imag(), 1e-4);
  }
}

TEST(Fft, FusedProductSumMatchesTheSeparateSteps) {
  Buffers b(9);
  for (int i = 0; i < 4; ++i) {
    b.Fill(i, testing::RandomSignal(b.n, 10 + i));
    b.layer.FftForward(b.buf[i]);
  }
  std::vector<float> fused(b.n + 2), left(b.n + 2), right(b.n + 2);
  b.layer.SpectrumMultiplyAdd2(b.buf[0], b.buf[1], b.buf[2], b.buf[3], fused.data());
  testing::SpectrumMultiply(b.buf[0], b.buf[1], left.data(), b.n / 2 + 1);
  testing::SpectrumMultiply(b.buf[2], b.buf[3], right.data(), b.n / 2 + 1);
  testing::VectorAdd(right.data(), left.data(), b.n + 2);
  for (int32_t i = 0; i < b.n + 2; ++i) ASSERT_NEAR(fused[i], left[i], 1e-4 * std::abs(left[i]) + 1e-4);
  // Linearity: the product of spectra is the spectrum of the circular convolution.
  std::vector<float> prod(left);
  testing::FftInverse(b.layer, prod.data(), b.order);
  const auto x = testing::RandomSignal(b.n, 10), h = testing::RandomSignal(b.n, 11);
  const auto x2 = testing::RandomSignal(b.n, 12), h2 = testing::RandomSignal(b.n, 13);
  for (int32_t t = 0; t < b.n; t += 37) {
    double y = 0;
    for (int32_t k = 0; k < b.n; ++k) y += x[k] * h[(t - k + b.n) % b.n] + x2[k] * h2[(t - k + b.n) % b.n];
    EXPECT_NEAR(prod[t], y, 1e-3);
  }
}

TEST(Fft, MeasuredPlansAreCachedAsWisdomAndABrokenCacheIsIgnored) {
  const auto dir = std::filesystem::temp_directory_path() / ("tessival-fft-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "Tessival");
  setenv("XDG_CACHE_HOME", dir.c_str(), 1);
  {
    std::FILE* f = std::fopen((dir / "Tessival" / "fftwf-wisdom").c_str(), "w");
    std::fputs("(not wisdom at all", f);
    std::fclose(f);
  }
  float* a = AllocateFftBuffer(SpectrumFloats(8));
  float* c = AllocateFftBuffer(SpectrumFloats(8));
  FftPlanMeasure = true;
  FftLayer layer;
  EXPECT_TRUE(layer.FftPrepare(8, a, c));
  FftPlanMeasure = false;
  layer.FftRelease();
  FreeFftBuffer(a);
  FreeFftBuffer(c);
  std::ifstream in(dir / "Tessival" / "fftwf-wisdom");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("fftw"), std::string::npos) << text.substr(0, 80);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessival
