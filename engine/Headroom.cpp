#include "engine/Headroom.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace tessival {

namespace {

constexpr int64_t FineGridLimit = int64_t{1} << 22;  // points up to which the grid is 4x finer

struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
struct PlanFree {
  void operator()(fftwf_plan_s* p) const { fftwf_destroy_plan(p); }
};

double Db(double v) {
  return v > 0 ? 20 * std::log10(v) : -std::numeric_limits<double>::infinity();
}

}  // namespace

std::optional<ChannelHeadroom> MeasureHeadroom(const float* left, const float* right,
                                               int32_t taps) {
  ChannelHeadroom h;
  if (taps <= 0) {
    h.BoundDb = h.PeakDb = Db(0);
    return h;
  }
  double bound = 0;
  for (int32_t i = 0; i < taps; ++i) bound += std::fabs(left[i]) + std::fabs(right[i]);
  h.BoundDb = Db(bound);

  int64_t n = 16;
  while (n < 4 * int64_t{taps} && n < FineGridLimit) n *= 2;
  while (n < 2 * int64_t{taps}) n *= 2;
  const int64_t bins = n / 2 + 1;
  // In place: n real samples in, n / 2 + 1 complex bins out of the same 2 * bins floats.
  std::unique_ptr<float, FftwFree> buffer(fftwf_alloc_real(2 * bins));
  std::unique_ptr<double[]> sum(new (std::nothrow) double[bins]);
  if (!buffer || !sum) return std::nullopt;
  std::unique_ptr<fftwf_plan_s, PlanFree> plan(fftwf_plan_dft_r2c_1d(
      static_cast<int>(n), buffer.get(), reinterpret_cast<fftwf_complex*>(buffer.get()),
      FFTW_ESTIMATE));
  if (!plan) return std::nullopt;

  for (int side = 0; side < 2; ++side) {
    const float* taps0 = side == 0 ? left : right;
    float* b = buffer.get();
    std::copy(taps0, taps0 + taps, b);
    std::fill(b + taps, b + 2 * bins, 0.0f);
    fftwf_execute(plan.get());
    for (int64_t k = 0; k < bins; ++k) {
      const double magnitude = std::hypot(double{b[2 * k]}, double{b[2 * k + 1]});
      sum[k] = side == 0 ? magnitude : sum[k] + magnitude;
    }
  }
  const int64_t at = std::max_element(sum.get(), sum.get() + bins) - sum.get();
  h.PeakDb = Db(sum[at]);
  h.PeakCycles = static_cast<double>(at) / static_cast<double>(n);
  return h;
}

}  // namespace tessival
