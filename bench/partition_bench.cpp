// The partitioned convolution alone: CPU time of every thread per second of audio at
// 48 kHz, for blocks of P frames, C channels and filters of M taps (offline: the block
// waits for its workers, as the renderer's does).
//   build/bench/partition_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "engine/Partition.h"

namespace {

using namespace tessival;

void BM_Partitioned(benchmark::State& state) {
  const auto p = static_cast<int32_t>(state.range(0));
  const auto c = static_cast<int32_t>(state.range(1));
  const auto m = static_cast<int32_t>(state.range(2));
  PartitionedConvolver conv;
  if (!conv.Configure(p, c, m, 48000, false, true)) {
    state.SkipWithError("configure failed");
    return;
  }
  std::vector<float> l(m), r(m);
  uint32_t s = 1;
  for (int32_t ch = 0; ch < c; ++ch) {
    for (int32_t t = 0; t < m; ++t) {
      s = s * 1664525u + 1013904223u;
      l[t] = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * 0.01f;
      r[t] = -l[t];
    }
    conv.SetFilters(ch, l.data(), r.data(), m);
  }
  std::vector<float> outL(p), outR(p);
  int64_t blocks = 0;
  for (auto _ : state) {
    float* in = conv.NewFrames();
    for (int32_t j = 0; j < 2 * p; ++j) in[j] = static_cast<float>((j * 7919 + blocks) % 20000 - 10000);
    conv.BeginBlock();
    for (int32_t d = 0; d < (c + 1) / 2; ++d) conv.DeviceBlock(d, outL.data(), outR.data());
    conv.EndBlock();
    ++blocks;
  }
  state.counters["levels"] = static_cast<double>(conv.Levels().size());
  // CPU seconds per audio second: the per-iteration CPU time over P / 48000.
  state.counters["audio_s"] = benchmark::Counter(static_cast<double>(blocks) * p / 48000.0);
}

}  // namespace

int main(int argc, char** argv) {
  for (int64_t p : {64, 256, 1024})
    for (int64_t c : {2, 10})
      for (int64_t m : {65536, 262144})
        benchmark::RegisterBenchmark("BM_Partitioned", BM_Partitioned)
            ->Args({p, c, m})
            ->ArgNames({"P", "C", "M"})
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(2.0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
