// Headroom figures of one output channel against hand-worked banks and a direct DFT.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "engine/Headroom.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

using Taps = std::vector<float>;

ChannelHeadroom Measure(const Taps& left, const Taps& right) {
  const auto h = MeasureHeadroom(left.data(), right.data(), static_cast<int32_t>(left.size()));
  EXPECT_TRUE(h.has_value());
  return h.value_or(ChannelHeadroom{});
}

TEST(HeadroomTest, HandWorkedBanks) {
  // A Dirac of 0.5: -6.02 dB both ways, flat.
  ChannelHeadroom h = Measure({0.5f, 0, 0}, {0, 0, 0});
  EXPECT_NEAR(h.BoundDb, -6.0206, 1e-3);
  EXPECT_NEAR(h.PeakDb, -6.0206, 1e-3);

  // Opposite Diracs on the two inputs: the filters cancel for a mono input, but a sine
  // in opposite phase on the inputs adds up, so the magnitudes add, not the spectra.
  h = Measure({0.5f, 0}, {-0.5f, 0});
  EXPECT_NEAR(h.BoundDb, 0.0, 1e-6);
  EXPECT_NEAR(h.PeakDb, 0.0, 1e-6);

  // Where the peak lies: at DC for a sum of taps, at the Nyquist frequency for their difference.
  h = Measure({0.5f, 0.5f}, {0, 0});
  EXPECT_NEAR(h.PeakDb, 0.0, 1e-6);
  EXPECT_EQ(h.PeakCycles, 0.0);
  // |L| = 0.5 |sin(w/2)| peaks at the Nyquist frequency, |R| = 0.5 |cos(w/2)| at DC; their
  // sum peaks between them, at a quarter of the rate.
  h = Measure({0.25f, -0.25f}, {0.25f, 0.25f});
  EXPECT_NEAR(h.BoundDb, 0.0, 1e-6);
  EXPECT_NEAR(h.PeakDb, 20 * std::log10(0.5 * std::sqrt(2.0)), 1e-4);
  EXPECT_EQ(h.PeakCycles, 0.25);
  h = Measure({0.5f, -0.5f}, {0, 0});
  EXPECT_EQ(h.PeakCycles, 0.5);

  // Silence and no taps: minus infinity, not a crash or a NaN.
  h = Measure({0, 0, 0, 0}, {0, 0, 0, 0});
  EXPECT_EQ(h.BoundDb, -INFINITY);
  EXPECT_EQ(h.PeakDb, -INFINITY);
  EXPECT_EQ(Measure({}, {}).PeakDb, -INFINITY);
}

// A windowed sine between grid points and random filters, against the DFT summed
// directly on a grid 64 times finer than the filter length.
TEST(HeadroomTest, PeakAgreesWithADirectDftAndNeverExceedsTheBound) {
  for (int trial = 0; trial < 3; ++trial) {
    SCOPED_TRACE(trial);
    const int n = 301;
    Taps left(n), right(n);
    const std::vector<double> noise = testing::RandomSignal(2 * n, 40 + trial);
    for (int i = 0; i < n; ++i) {
      const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / n);
      left[i] = static_cast<float>(trial == 0 ? 0.1 * window * std::cos(2 * std::numbers::pi * 0.1234567 * i)
                                              : 0.05 * noise[i]);
      right[i] = static_cast<float>(trial == 0 ? 0.0 : 0.05 * noise[n + i]);
    }
    double peak = 0, bound = 0, where = 0;
    for (int i = 0; i < n; ++i) bound += std::fabs(left[i]) + std::fabs(right[i]);
    for (int k = 0; k <= 32 * n; ++k) {
      const double cycles = k / (64.0 * n);
      std::complex<double> l = 0, r = 0;
      for (int i = 0; i < n; ++i) {
        const std::complex<double> phasor = std::polar(1.0, -2 * std::numbers::pi * cycles * i);
        l += static_cast<double>(left[i]) * phasor;
        r += static_cast<double>(right[i]) * phasor;
      }
      if (std::abs(l) + std::abs(r) > peak) {
        peak = std::abs(l) + std::abs(r);
        where = cycles;
      }
    }
    const ChannelHeadroom h = Measure(left, right);
    EXPECT_NEAR(h.BoundDb, 20 * std::log10(bound), 1e-4);
    EXPECT_NEAR(h.PeakDb, 20 * std::log10(peak), 0.05);
    EXPECT_LE(h.PeakDb, 20 * std::log10(peak) + 1e-4) << "a grid never finds more than there is";
    EXPECT_LE(h.PeakDb, h.BoundDb + 1e-6);
    if (trial == 0) {
      EXPECT_NEAR(h.PeakCycles, where, 1.0 / 2048);
    }
  }
}

}  // namespace
}  // namespace tessival
