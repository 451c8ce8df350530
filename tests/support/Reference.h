#pragma once
// Reference computations for tests: plain time-domain convolution in double precision.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessival::testing {

// y[n] = sum_k h[k] x[n - k], full length x.size() + h.size() - 1.
std::vector<double> DirectConvolution(const std::vector<double>& x, const std::vector<double>& h);

// Deterministic uniform values in [-1, 1).
std::vector<double> RandomSignal(size_t n, uint32_t seed);

// RandomSignal scaled to `amplitude` and rounded: integer samples for the engine.
std::vector<int64_t> RandomInts(size_t n, uint32_t seed, double amplitude);

// n floats that probe rounding, saturation and NaN among random ones of `amplitude`.
std::vector<float> ProbeFloats(size_t n, uint32_t seed, float amplitude);

}  // namespace tessival::testing
