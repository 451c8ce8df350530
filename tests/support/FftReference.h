#pragma once
// Plain spectral operations for the FFT layer's tests: the layer itself only has the
// fused ones the block path calls.
#include <cstdint>

#include "engine/Fft.h"

namespace tessival::testing {

// In place: the layer's packed spectrum of 2^order points back to 2^order real samples,
// including 1/L, through the layer's own inverse plan (its FftPrepare must have run).
void FftInverse(FftLayer& layer, float* buffer, int32_t order);

// dst = a * b over `bins` interleaved complex bins; dst may alias neither source.
void SpectrumMultiply(const float* a, const float* b, float* dst, int32_t bins);

// dst[i] += src[i] for n floats.
void VectorAdd(const float* src, float* dst, int32_t n);

}  // namespace tessival::testing
