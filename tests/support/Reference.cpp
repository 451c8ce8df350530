#include "tests/support/Reference.h"

#include <cmath>

#include <iterator>
#include <limits>
#include <random>

namespace tessival::testing {

std::vector<double> DirectConvolution(const std::vector<double>& x, const std::vector<double>& h) {
  if (x.empty() || h.empty()) return {};
  std::vector<double> y(x.size() + h.size() - 1, 0.0);
  for (size_t i = 0; i < x.size(); ++i) {
    const double xi = x[i];
    if (xi == 0.0) continue;
    for (size_t k = 0; k < h.size(); ++k) y[i + k] += xi * h[k];
  }
  return y;
}

std::vector<double> RandomSignal(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(n);
  for (auto& s : v) s = dist(gen);
  return v;
}

std::vector<float> ProbeFloats(size_t n, uint32_t seed, float amplitude) {
  const float special[] = {0.5f, 1.5f, 2.5f, -0.5f, -2.5f, 32767.5f, 32766.5f, -32768.5f, 40000.0f,
                           -1e9f, 1e30f, 2147483520.0f, 2147483648.0f, -2147483648.0f, -3e9f,
                           std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity()};
  std::vector<float> v;
  const auto r = RandomSignal(n, seed);
  for (size_t i = 0; i < n; ++i)
    v.push_back(i % 5 == 3 ? special[(i / 5) % std::size(special)] : static_cast<float>(r[i] * amplitude));
  return v;
}

std::vector<int64_t> RandomInts(size_t n, uint32_t seed, double amplitude) {
  std::vector<int64_t> v;
  v.reserve(n);
  for (double s : RandomSignal(n, seed)) v.push_back(std::llround(s * amplitude));
  return v;
}

}  // namespace tessival::testing
