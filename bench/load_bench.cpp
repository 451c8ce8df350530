// Loading a 10-file bank of 65536-tap 32-bit float filters at 48 kHz, from the chosen
// path to "Filters Loaded": cold (no FFT wisdom), warm (wisdom known) and with estimated
// plans; and the renderer's block loop over 60 s of 48 kHz stereo through that bank.
//   build/bench/load_bench
//   build/bench/load_bench --write-bank=DIR   # writes DIR/ir1.wav..ir10.wav and DIR/input60.wav
//   build/tools/render/tessival-render DIR/ir1.wav DIR/input60.wav OUTDIR
// The FFT wisdom goes to a temporary cache folder, never the user's.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace {

using namespace tessival;

constexpr int32_t Files = 10;
constexpr int32_t Taps = 65536;
constexpr int32_t Rate = 48000;
constexpr int32_t InputSeconds = 60;

std::string BankDir;

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
  PutU16(b, v & 0xFFFF);
  PutU16(b, v >> 16);
}

// A plain 44-byte header WAV of two channels.
void WriteWav(const std::string& path, uint16_t tag, uint16_t bits, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b;
  const uint16_t align = 2 * bits / 8;
  b.insert(b.end(), {'R', 'I', 'F', 'F'});
  PutU32(b, static_cast<uint32_t>(36 + data.size()));
  b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutU32(b, 16);
  PutU16(b, tag);
  PutU16(b, 2);
  PutU32(b, Rate);
  PutU32(b, Rate * align);
  PutU16(b, align);
  PutU16(b, bits);
  b.insert(b.end(), {'d', 'a', 't', 'a'});
  PutU32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

uint32_t Lcg(uint32_t& s) { return s = s * 1664525u + 1013904223u; }

// Decaying noise, like a room response.
void WriteBank(const std::string& dir) {
  uint32_t s = 7;
  for (int32_t i = 1; i <= Files; ++i) {
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(Taps) * 8);
    for (int32_t t = 0; t < Taps; ++t) {
      const float decay = std::exp(-6.0f * static_cast<float>(t) / Taps) * 0.05f;
      for (int ch = 0; ch < 2; ++ch) {
        const float v = (static_cast<float>(Lcg(s) >> 8) / 16777216.0f - 0.5f) * decay;
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        PutU32(data, bits);
      }
    }
    WriteWav(dir + "/ir" + std::to_string(i) + ".wav", 3, 32, data);
  }
}

void WriteInput(const std::string& path) {
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(InputSeconds) * Rate * 4);
  uint32_t s = 3;
  for (int32_t f = 0; f < InputSeconds * Rate; ++f) {
    const double tone = 8000.0 * std::sin(2 * M_PI * 440.0 * f / Rate);
    PutU16(data, static_cast<uint16_t>(static_cast<int16_t>(tone + (Lcg(s) >> 20) - 2048)));
    PutU16(data, static_cast<uint16_t>(static_cast<int16_t>(-tone + (Lcg(s) >> 20) - 2048)));
  }
  WriteWav(path, 1, 16, data);
}

bool LoadBank() {
  bool loaded = false;
  Ui.SetStatusText = [&](const std::string& t) { loaded = loaded || t == "Filters Loaded"; };
  LoadFilterBank(BankDir + "/ir1.wav");
  return loaded;
}

void Prepare(bool measure) {
  TheEngine.ResetEngine();
  SetDefaultSettings();
  if (!DitherTable) FillDitherTable();
  FftPlanMeasure = measure;
}

void BM_LoadBankCold(benchmark::State& state) {
  Prepare(true);
  for (auto _ : state) {
    fftwf_forget_wisdom();  // as on a machine that never planned this size
    if (!LoadBank()) state.SkipWithError("load failed");
  }
}

void BM_LoadBankWarm(benchmark::State& state) {
  Prepare(true);
  LoadBank();  // leaves the wisdom in memory, as the cache file would
  for (auto _ : state) {
    if (!LoadBank()) state.SkipWithError("load failed");
  }
}

void BM_LoadBankEstimated(benchmark::State& state) {
  Prepare(false);
  for (auto _ : state) {
    if (!LoadBank()) state.SkipWithError("load failed");
  }
}

// The renderer's loop without file I/O: 60 s of stereo, block by block through buffer 0,
// every device's output copied out.
void BM_Render60s(benchmark::State& state) {
  Prepare(true);
  SampleBits = static_cast<int32_t>(state.range(0));
  LoadBank();
  const int64_t frames = static_cast<int64_t>(InputSeconds) * Rate + TheEngine.FilterLength - 1;
  const int32_t bytesPerFrame = SampleBits == 16 ? 4 : 8;
  std::vector<uint8_t> out(static_cast<size_t>(TheEngine.BlockLength) * bytesPerFrame * (TheEngine.LastOutDevice + 1));
  int64_t blocks = 0;
  for (auto _ : state) {
    TheEngine.DitherPos = TheEngine.DitherCount = 0;
    TheEngine.ClearBuffers();
    uint32_t s = 5;
    for (int64_t done = 0; done < frames; done += TheEngine.BlockLength) {
      uint8_t* in = TheEngine.InBuffers[0];
      for (int32_t i = 0; i < 2 * TheEngine.BlockLength * (bytesPerFrame / 2); ++i) in[i] = static_cast<uint8_t>(Lcg(s) >> 24);
      TheEngine.ConvolveBlock(0);
      for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
        std::memcpy(out.data() + static_cast<size_t>(d) * TheEngine.BlockLength * bytesPerFrame, TheEngine.OutBuffers[d][0],
                    static_cast<size_t>(TheEngine.BlockLength) * bytesPerFrame);
      }
      ++blocks;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["blocks"] = static_cast<double>(blocks) / static_cast<double>(state.iterations());
  state.counters["RTfactor"] =
      benchmark::Counter(static_cast<double>(frames) / Rate * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

BENCHMARK(BM_LoadBankCold)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_LoadBankWarm)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadBankEstimated)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render60s)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::string writeTo;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--write-bank=", 13) == 0) {
      writeTo = argv[i] + 13;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!writeTo.empty()) {
    std::filesystem::create_directories(writeTo);
    WriteBank(writeTo);
    WriteInput(writeTo + "/input60.wav");
    std::printf("wrote %s/ir1.wav..ir%d.wav and %s/input60.wav\n", writeTo.c_str(), Files, writeTo.c_str());
    return 0;
  }

  char tmpl[] = "/tmp/tessival-load-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  BankDir = tmpl;
  setenv("XDG_CACHE_HOME", (BankDir + "/cache").c_str(), 1);
  WriteBank(BankDir);

  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TheEngine.ResetEngine();
  std::filesystem::remove_all(BankDir);
  return 0;
}
