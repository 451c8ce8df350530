#include "tests/support/Reference.h"

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

}  // namespace tessival::testing
