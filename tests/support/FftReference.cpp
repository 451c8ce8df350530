#include "tests/support/FftReference.h"

#include <cstring>

#include "engine/Fft.h"

namespace tessival::testing {

void FftInverse(FftLayer& layer, float* buffer, int32_t order) {
  const int32_t n = int32_t{1} << order;
  const int32_t floats = SpectrumFloats(order);
  // The plans want the alignment AllocateFftBuffer gives; a test's vector may not have it.
  float* spectrum = AllocateFftBuffer(floats);
  float* spare = AllocateFftBuffer(floats);
  std::memcpy(spectrum, buffer, static_cast<size_t>(floats) * sizeof(float));
  const float* samples = layer.FftInverseUnscaledInto(spectrum, spare);
  const float scale = 1.0f / static_cast<float>(n);
  for (int32_t t = 0; t < n; ++t) buffer[t] = samples[t] * scale;
  FreeFftBuffer(spectrum);
  FreeFftBuffer(spare);
}

void SpectrumMultiply(const float* a, const float* b, float* dst, int32_t bins) {
  for (int32_t i = 0; i < bins; ++i) {
    const float ar = a[2 * i], ai = a[2 * i + 1];
    const float br = b[2 * i], bi = b[2 * i + 1];
    dst[2 * i] = ar * br - ai * bi;
    dst[2 * i + 1] = ar * bi + ai * br;
  }
}

void VectorAdd(const float* src, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] += src[i];
}

}  // namespace tessival::testing
