#include "tests/support/EngineBank.h"

#include <algorithm>
#include <cstring>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "settings/Settings.h"

namespace tessival::testing {

void ResetEngineForTest() {
  ResetEngine();
  SetDefaultSettings();
  // Each pair on its own simulated output, so that the calls and recordings tell them apart.
  for (int k = 0; k < MaxOutDevices; ++k) WaveOutDevices[k] = k;
  FftPlanMeasure = false;
  if (!DitherTable) FillDitherTable();
}

void LoadBankInMemory(const std::vector<FilterPair>& filters) {
  size_t m = 1;
  for (const auto& f : filters) m = std::max({m, f[0].size(), f[1].size()});
  FreeBuffers();
  SetEngineSizes(static_cast<int32_t>(filters.size()), static_cast<int32_t>(m));
  if (!AllocateBuffers()) return;
  for (size_t ch = 0; ch < filters.size(); ++ch)
    for (int i = 0; i < 2; ++i) {
      float* dst = FilterSpectra[ch][i];
      std::fill(dst, dst + FFTLength, 0.0f);
      for (size_t t = 0; t < filters[ch][i].size(); ++t) dst[t] = static_cast<float>(filters[ch][i][t]);
    }
  TransformFilters();
  FiltersLoaded = true;
  ClearBuffers();
}

std::vector<StereoInts> StreamThroughEngine(const std::vector<int64_t>& left,
                                            const std::vector<int64_t>& right) {
  const int32_t n = BlockLength;
  const size_t frames = std::max(left.size(), right.size());
  const size_t blocks = (frames + n - 1) / n;
  std::vector<StereoInts> out(LastOutDevice + 1);
  const bool wide = WaveBufferBits != 16;
  auto at = [](const std::vector<int64_t>& v, size_t i) { return i < v.size() ? v[i] : 0; };
  for (size_t b = 0; b < blocks; ++b) {
    const int32_t k = static_cast<int32_t>(b % WaveBufferCount);
    for (int32_t j = 0; j < n; ++j) {
      const size_t t = b * n + j;
      if (wide) {
        auto* in = reinterpret_cast<int32_t*>(InBuffers[k]);
        in[2 * j] = static_cast<int32_t>(at(left, t));
        in[2 * j + 1] = static_cast<int32_t>(at(right, t));
      } else {
        auto* in = reinterpret_cast<int16_t*>(InBuffers[k]);
        in[2 * j] = static_cast<int16_t>(at(left, t));
        in[2 * j + 1] = static_cast<int16_t>(at(right, t));
      }
    }
    ConvolveBlock(k);
    for (int32_t d = 0; d <= LastOutDevice; ++d)
      for (int32_t j = 0; j < n; ++j) {
        int64_t l, r;
        if (wide) {
          auto* o = reinterpret_cast<const int32_t*>(OutBuffers[d][k]);
          l = o[2 * j];
          r = o[2 * j + 1];
        } else {
          auto* o = reinterpret_cast<const int16_t*>(OutBuffers[d][k]);
          l = o[2 * j];
          r = o[2 * j + 1];
        }
        out[d].left.push_back(l);
        out[d].right.push_back(r);
      }
  }
  return out;
}

}  // namespace tessival::testing
