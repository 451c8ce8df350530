// ConvolveBlock against its floor: the bare FFTW transforms one block needs
// (2 forward and C inverse real transforms of L points), measured the same way.
//   build/bench/convolve_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <utility>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "settings/Settings.h"

namespace {

using namespace tessival;

void LoadRandomBank(int32_t c, int32_t m) {
  TheEngine.ResetEngine();
  SetDefaultSettings();
  if (!DitherTable) FillDitherTable();
  FftPlanMeasure = true;
  TheEngine.SetEngineSizes(c, m);
  if (!TheEngine.AllocateBuffers()) return;
  uint32_t s = 1;
  for (int32_t ch = 0; ch < c; ++ch)
    for (float* f : TheEngine.FilterSpectra[ch])
      for (int32_t t = 0; t < TheEngine.FFTLength; ++t) {
        s = s * 1664525u + 1013904223u;
        f[t] = t < m ? (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * 0.01f : 0.0f;
      }
  TheEngine.TransformFilters();
  TheEngine.FiltersLoaded = true;
  TheEngine.ClearBuffers();
  for (int32_t k = 0; k < TheEngine.WaveBufferCount; ++k) {
    auto* in = reinterpret_cast<int16_t*>(TheEngine.InBuffers[k]);
    for (int32_t j = 0; j < 2 * TheEngine.BlockLength; ++j) in[j] = static_cast<int16_t>((j * 7919) % 20000 - 10000);
  }
}

void Report(benchmark::State& state) {
  const double frames = static_cast<double>(state.iterations()) * TheEngine.BlockLength;
  state.counters["N"] = TheEngine.BlockLength;
  state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["RTx48k"] = benchmark::Counter(frames / 48000.0, benchmark::Counter::kIsRate);
}

void BM_ConvolveBlock(benchmark::State& state) {
  LoadRandomBank(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  int32_t k = 0;
  for (auto _ : state) {
    TheEngine.ConvolveBlock(k);
    k = (k + 1) % TheEngine.WaveBufferCount;
  }
  Report(state);
}

// The floor runs FFTW's own real transforms, planned as the engine plans them (the same
// wisdom, out of place up to 65536 points, in place above), whatever the block path
// does instead.
void BM_FftFloor(benchmark::State& state) {
  LoadRandomBank(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  const int32_t l = TheEngine.FFTLength;
  const bool outOfPlace = l <= (1 << 16);
  float* spectra[2] = {AllocateFftBuffer(l + 2), AllocateFftBuffer(l + 2)};
  auto bins = [](float* p) { return reinterpret_cast<fftwf_complex*>(p); };
  fftwf_set_timelimit(1.5);
  fftwf_plan forward = fftwf_plan_dft_r2c_1d(l, TheEngine.InputFrames[0], bins(outOfPlace ? spectra[0] : TheEngine.InputFrames[0]), FFTW_MEASURE);
  fftwf_plan inverse = fftwf_plan_dft_c2r_1d(l, bins(TheEngine.ChannelOutput[0]), outOfPlace ? TheEngine.InputFrames[0] : TheEngine.ChannelOutput[0], FFTW_MEASURE);
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c)
      fftwf_execute_dft_r2c(forward, TheEngine.InputFrames[c], bins(outOfPlace ? spectra[c] : TheEngine.InputFrames[c]));
    for (int32_t ch = 0; ch < TheEngine.NumFilterChannels; ++ch) {
      float* work = TheEngine.ChannelOutput[ch & 1];
      fftwf_execute_dft_c2r(inverse, bins(work), outOfPlace ? TheEngine.InputFrames[ch & 1] : work);
    }
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(forward);
  fftwf_destroy_plan(inverse);
  for (float* p : spectra) FreeFftBuffer(p);
  Report(state);
}

}  // namespace

// Each size's block and floor run back to back, so that a slow spell of a shared
// machine touches both sides of the ratio alike.
int main(int argc, char** argv) {
  for (int64_t c : {2, 10})
    for (int64_t m : {1024, 16384, 65536, 262144})
      for (auto [name, fn] : {std::pair{"BM_ConvolveBlock", &BM_ConvolveBlock}, std::pair{"BM_FftFloor", &BM_FftFloor}})
        benchmark::RegisterBenchmark(name, fn)->Args({c, m})->ArgNames({"C", "M"})->Unit(benchmark::kMicrosecond)->MinTime(0.5);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
