#include "engine/Headroom.h"

#include <fftw3.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessival {

namespace {

constexpr int64_t FineGridLimit = int64_t{1} << 22;  // points up to which the grid is 4x finer

double Db(double v) {
  return v > 0 ? 20 * std::log10(v) : -std::numeric_limits<double>::infinity();
}

}  // namespace

HeadroomMeter::HeadroomMeter(int32_t taps) : Taps(taps) {
  if (taps <= 0) return;
  int64_t n = 16;
  while (n < 4 * int64_t{taps} && n < FineGridLimit) n *= 2;
  while (n < 2 * int64_t{taps}) n *= 2;
  Points = n;
  const int64_t bins = n / 2 + 1;
  if (!(Frame = fftwf_alloc_real(n)) || !(Spectra[0] = fftwf_alloc_complex(bins)) ||
      !(Spectra[1] = fftwf_alloc_complex(bins)) || !(Sums = fftwf_alloc_real(bins)))
    return;
  // Out of place, the frame keeps its zeros past the taps from one transform to the next.
  Plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), Frame, Spectra[0], FFTW_ESTIMATE);
  std::fill(Frame, Frame + n, 0.0f);
}

HeadroomMeter::~HeadroomMeter() {
  if (Plan) fftwf_destroy_plan(Plan);
  fftwf_free(Frame);
  for (fftwf_complex* s : Spectra) fftwf_free(s);
  fftwf_free(Sums);
}

std::optional<ChannelHeadroom> HeadroomMeter::Measure(const float* left, const float* right) {
  ChannelHeadroom h;
  if (Taps <= 0) {
    h.BoundDb = h.PeakDb = Db(0);
    return h;
  }
  if (!Plan) return std::nullopt;
  double bound = 0;
  for (int32_t i = 0; i < Taps; ++i) bound += std::fabs(left[i]) + std::fabs(right[i]);
  h.BoundDb = Db(bound);

  const float* taps[2] = {left, right};
  for (int side = 0; side < 2; ++side) {
    std::copy(taps[side], taps[side] + Taps, Frame);
    fftwf_execute_dft_r2c(Plan, Frame, Spectra[side]);
  }
  // |L(k)| + |R(k)|, two bins a step: single precision is plenty for a figure in dB.
  const auto* l = reinterpret_cast<const float*>(Spectra[0]);
  const auto* r = reinterpret_cast<const float*>(Spectra[1]);
  const int64_t bins = Points / 2 + 1;
  const auto magnitudes = [](__m128 v) {  // re0 im0 re1 im1 -> |0| |0| |1| |1|
    const __m128 sq = _mm_mul_ps(v, v);
    return _mm_sqrt_ps(_mm_add_ps(sq, _mm_shuffle_ps(sq, sq, _MM_SHUFFLE(2, 3, 0, 1))));
  };
  int64_t k = 0;
  for (; k + 2 <= bins; k += 2) {
    const __m128 sum = _mm_add_ps(magnitudes(_mm_loadu_ps(l + 2 * k)), magnitudes(_mm_loadu_ps(r + 2 * k)));
    _mm_storel_pi(reinterpret_cast<__m64*>(Sums + k), _mm_shuffle_ps(sum, sum, _MM_SHUFFLE(2, 0, 2, 0)));
  }
  for (; k < bins; ++k)
    Sums[k] = std::sqrt(l[2 * k] * l[2 * k] + l[2 * k + 1] * l[2 * k + 1]) +
              std::sqrt(r[2 * k] * r[2 * k] + r[2 * k + 1] * r[2 * k + 1]);
  const int64_t at = std::max_element(Sums, Sums + bins) - Sums;
  h.PeakDb = Db(Sums[at]);
  h.PeakCycles = static_cast<double>(at) / static_cast<double>(Points);
  return h;
}

std::optional<ChannelHeadroom> MeasureHeadroom(const float* left, const float* right,
                                               int32_t taps) {
  return HeadroomMeter(taps).Measure(left, right);
}

}  // namespace tessival
