// Partitioned convolution against a direct double-precision convolution, its level
// plan, its reset, and a late level counted without waiting.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <vector>

#include "engine/Partition.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

TEST(PartitionPlan, LevelsCoverEveryTapOnceAndStartLateEnoughForTheirWorkers) {
  for (int32_t p : {64, 128, 256, 512, 1024, 2048, 4096, 8192}) {
    for (int32_t m : {1, p - 1, p, p + 1, 3 * p + 7, 7 * p, 7 * p + 1, 50000, 65536, 262144, 1 << 24}) {
      if (m < 1) continue;
      const auto levels = PlanLevels(p, m);
      ASSERT_FALSE(levels.empty());
      EXPECT_EQ(levels[0].Block, p);
      EXPECT_EQ(levels[0].Offset, 0);
      int64_t covered = 0;
      for (size_t i = 0; i < levels.size(); ++i) {
        const LevelShape& l = levels[i];
        SCOPED_TRACE(::testing::Message() << "P " << p << " M " << m << " level " << i);
        EXPECT_EQ(l.Offset, covered);
        EXPECT_GE(l.Partitions, 1);
        EXPECT_EQ(l.Block % p, 0);
        if (i > 0) {
          EXPECT_GT(l.Block, levels[i - 1].Block);
          EXPECT_GE(l.Offset, 2 * l.Block - p);
          EXPECT_LT(l.Offset, m);
        }
        covered += int64_t{l.Block} * l.Partitions;
      }
      EXPECT_GE(covered, m);
      EXPECT_LT(covered - levels.back().Block, m) << "a whole partition past the filter";
    }
  }
}

// Filters with taps where the partitions and levels meet, and at the very end; dense
// ones when short. Sparse long ones keep the direct convolution quick.
std::vector<double> TestFilter(int32_t p, int32_t m, uint32_t seed) {
  const auto values = testing::RandomSignal(static_cast<size_t>(std::min(m, 4096)) + 64, seed);
  std::vector<double> h(static_cast<size_t>(m), 0.0);
  if (m <= 4096) {
    for (int32_t t = 0; t < m; ++t) h[t] = values[t] / std::sqrt(double(m));
    return h;
  }
  std::set<int64_t> taps{0, m - 1, m - 2};
  for (const LevelShape& l : PlanLevels(p, m))
    for (int32_t k = 0; k <= l.Partitions; ++k)
      for (int64_t d : {-1, 0, 1}) taps.insert(int64_t{l.Offset} + int64_t{k} * l.Block + d);
  for (size_t i = 0; i < 40; ++i) taps.insert(static_cast<int64_t>((values[i] + 1) / 2 * (m - 1)));
  size_t i = 0;
  for (int64_t t : taps)
    if (t >= 0 && t < m) h[t] = values[64 + (i++ % 4000)] * 0.2;
  return h;
}

// y[n] = sum of h[t] x[n - t] over the nonzero taps, for the first x.size() outputs.
std::vector<double> Convolve(const std::vector<double>& x, const std::vector<double>& h) {
  std::vector<double> y(x.size(), 0.0);
  for (size_t t = 0; t < h.size(); ++t) {
    if (h[t] == 0.0) continue;
    for (size_t n = t; n < x.size(); ++n) y[n] += h[t] * x[n - t];
  }
  return y;
}

struct Outputs {
  std::vector<std::vector<float>> out;  // per channel
};

// Streams `frames` frames of left/right through a configured convolver.
Outputs Stream(PartitionedConvolver& conv, int32_t p, int32_t channels, const std::vector<double>& left,
           const std::vector<double>& right) {
  Outputs r;
  r.out.assign(static_cast<size_t>(channels), {});
  const int32_t devices = (channels + 1) / 2;
  std::vector<float> l(p), rr(p);
  for (size_t start = 0; start < left.size(); start += p) {
    float* in = conv.NewFrames();
    for (int32_t j = 0; j < p; ++j) {
      const size_t t = start + j;
      in[2 * j] = t < left.size() ? static_cast<float>(left[t]) : 0.0f;
      in[2 * j + 1] = t < right.size() ? static_cast<float>(right[t]) : 0.0f;
    }
    conv.BeginBlock();
    for (int32_t d = 0; d < devices; ++d) {
      conv.DeviceBlock(d, l.data(), rr.data());
      r.out[2 * d].insert(r.out[2 * d].end(), l.begin(), l.end());
      if (2 * d + 1 < channels) r.out[2 * d + 1].insert(r.out[2 * d + 1].end(), rr.begin(), rr.end());
    }
    conv.EndBlock();
  }
  return r;
}

struct Case {
  int32_t p, m, frames;
};

class PartitionStream : public ::testing::TestWithParam<Case> {};

// Three channels (a device with one channel too), both inputs, several steps of the
// longest level: every output sample equals the direct convolution to float rounding.
TEST_P(PartitionStream, EqualsTheDirectConvolution) {
  const Case c = GetParam();
  constexpr int32_t channels = 3;
  std::vector<std::vector<double>> filters;
  for (int32_t i = 0; i < 2 * channels; ++i) filters.push_back(TestFilter(c.p, c.m, 10 + i));
  PartitionedConvolver conv;
  ASSERT_TRUE(conv.Configure(c.p, channels, c.m, 48000, false, false));
  for (int32_t ch = 0; ch < channels; ++ch) {
    std::vector<float> l(filters[2 * ch].begin(), filters[2 * ch].end());
    std::vector<float> r(filters[2 * ch + 1].begin(), filters[2 * ch + 1].end());
    conv.SetFilters(ch, l.data(), r.data(), c.m);
  }
  const auto left = testing::RandomSignal(static_cast<size_t>(c.frames), 1);
  const auto right = testing::RandomSignal(static_cast<size_t>(c.frames), 2);
  const Outputs run = Stream(conv, c.p, channels, left, right);
  EXPECT_EQ(conv.LatePartitions(), 0);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const auto a = Convolve(left, filters[2 * ch]);
    const auto b = Convolve(right, filters[2 * ch + 1]);
    double worst = 0, peak = 0;
    for (int32_t t = 0; t < c.frames; ++t) {
      const double want = a[t] + b[t];
      worst = std::max(worst, std::abs(run.out[ch][t] - want));
      peak = std::max(peak, std::abs(want));
    }
    EXPECT_LT(worst, 2e-6 * std::max(peak, 1.0)) << "channel " << ch << " P " << c.p << " M " << c.m;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PartitionStream,
                         ::testing::Values(Case{64, 1, 1000}, Case{64, 63, 1000}, Case{64, 64, 1000},
                                           Case{64, 65, 1000}, Case{64, 199, 2000}, Case{64, 50000, 120000},
                                           Case{256, 255, 3000}, Case{256, 775, 5000}, Case{256, 50000, 120000},
                                           Case{1024, 1025, 8000}, Case{1024, 50000, 150000},
                                           Case{8192, 8191, 40000}, Case{8192, 50000, 120000}),
                         [](const auto& info) {
                           return "P" + std::to_string(info.param.p) + "_M" + std::to_string(info.param.m);
                         });

}  // namespace
}  // namespace tessival
