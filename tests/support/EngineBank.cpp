#include "tests/support/EngineBank.h"

#include <algorithm>
#include <cstring>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "settings/Settings.h"

namespace tessival::testing {

void ResetEngineForTest() {
  TheEngine.ResetEngine();
  SetDefaultSettings();
  // Each pair on its own simulated output, so that the calls and recordings tell them apart.
  for (int k = 0; k < MaxOutDevices; ++k) WaveOutDevices[k] = k;
  FftPlanMeasure = false;
  if (!DitherTable) FillDitherTable();
}

void LoadBankInMemory(const std::vector<FilterPair>& filters, Engine& e) {
  size_t m = 1;
  for (const auto& f : filters) m = std::max({m, f[0].size(), f[1].size()});
  e.FreeBuffers();
  e.SetEngineSizes(static_cast<int32_t>(filters.size()), static_cast<int32_t>(m));
  if (!e.AllocateBuffers()) return;
  for (size_t ch = 0; ch < filters.size(); ++ch)
    for (int i = 0; i < 2; ++i) {
      float* dst = e.FilterSpectra[ch][i];
      std::fill(dst, dst + e.FFTLength, 0.0f);
      for (size_t t = 0; t < filters[ch][i].size(); ++t) dst[t] = static_cast<float>(filters[ch][i][t]);
    }
  e.TransformFilters();
  e.FiltersLoaded = true;
  e.ClearBuffers();
}

EngineStream::EngineStream(Engine& e, const std::vector<int64_t>& left, const std::vector<int64_t>& right)
    : E(e), Left(left), Right(right), Out(e.LastOutDevice + 1) {
  const size_t frames = std::max(left.size(), right.size());
  Blocks = (frames + e.BlockLength - 1) / e.BlockLength;
}

bool EngineStream::Step() {
  if (Done == Blocks) return false;
  const int32_t n = E.BlockLength;
  const bool wide = E.WaveBufferBits != 16;
  auto at = [](const std::vector<int64_t>& v, size_t i) { return i < v.size() ? v[i] : 0; };
  const size_t b = Done++;
  const int32_t k = static_cast<int32_t>(b % E.WaveBufferCount);
  for (int32_t j = 0; j < n; ++j) {
    const size_t t = b * n + j;
    if (wide) {
      auto* in = reinterpret_cast<int32_t*>(E.InBuffers[k]);
      in[2 * j] = static_cast<int32_t>(at(Left, t));
      in[2 * j + 1] = static_cast<int32_t>(at(Right, t));
    } else {
      auto* in = reinterpret_cast<int16_t*>(E.InBuffers[k]);
      in[2 * j] = static_cast<int16_t>(at(Left, t));
      in[2 * j + 1] = static_cast<int16_t>(at(Right, t));
    }
  }
  E.ConvolveBlock(k);
  for (int32_t d = 0; d <= E.LastOutDevice; ++d)
    for (int32_t j = 0; j < n; ++j) {
      int64_t l, r;
      if (wide) {
        auto* o = reinterpret_cast<const int32_t*>(E.OutBuffers[d][k]);
        l = o[2 * j];
        r = o[2 * j + 1];
      } else {
        auto* o = reinterpret_cast<const int16_t*>(E.OutBuffers[d][k]);
        l = o[2 * j];
        r = o[2 * j + 1];
      }
      Out[d].left.push_back(l);
      Out[d].right.push_back(r);
    }
  return true;
}

std::vector<StereoInts> StreamThroughEngine(const std::vector<int64_t>& left, const std::vector<int64_t>& right,
                                            Engine& e) {
  EngineStream stream(e, left, right);
  while (stream.Step()) {
  }
  return stream.Out;
}

}  // namespace tessival::testing
