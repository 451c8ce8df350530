#include "engine/Engine.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "engine/Fft.h"
#include "engine/Partition.h"
#include "settings/Settings.h"

namespace tessival {

float* DitherTable = nullptr;
float GainFactors[MaxChannels] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
Engine TheEngine;

namespace {

uint8_t* AllocateWaveBuffer(int32_t bytes) {
  return static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes)));
}

void ReleaseWave(uint8_t*& p) {
  std::free(p);
  p = nullptr;
}

void ReleaseFloats(float*& p) {
  FreeFftBuffer(p);
  p = nullptr;
}

int32_t WaveBufferSizeFor(int32_t bits, int32_t n) { return n * (bits == 16 ? 4 : 8); }

// One draw of the program's 32-bit linear congruential generator, in [0, 1).
uint32_t DitherSeed = 0;
long double NextUniform() {
  DitherSeed = DitherSeed * 134775813u + 1u;
  return static_cast<long double>(DitherSeed) / 4294967296.0L;
}

}  // namespace

void Engine::FreeWaveBuffers() {
  for (auto& b : InBuffers) ReleaseWave(b);
  for (auto& row : OutBuffers)
    for (auto& b : row) ReleaseWave(b);
  WaveBufferCount = 0;
}

// Takes the capture buffers, then the playback buffers of devices 0..D, in that order.
bool Engine::AllocateWaveBuffers() {
  WaveBufferCount = HeldNumBuffers();
  WaveBufferBits = SampleBits;
  WaveBufferSize = WaveBufferSizeFor(WaveBufferBits, BlockLength);
  for (int32_t k = 0; k < WaveBufferCount; ++k)
    if (!(InBuffers[k] = AllocateWaveBuffer(WaveBufferSize))) return false;
  for (int32_t d = 0; d <= LastOutDevice; ++d)
    for (int32_t k = 0; k < WaveBufferCount; ++k)
      if (!(OutBuffers[d][k] = AllocateWaveBuffer(WaveBufferSize))) return false;
  return true;
}

bool Engine::AllocateFloatBuffers() {
  if (PartitionFrames > 0) {
    // The taps until TransformFilters, and the device pair's output samples.
    for (int32_t ch = 0; ch < NumFilterChannels; ++ch)
      for (auto& f : FilterSpectra[ch])
        if (!(f = AllocateFftBuffer(FilterBufferLength))) return false;
    for (auto& f : ChannelOutput)
      if (!(f = AllocateFftBuffer(PartitionFrames))) return false;
    return true;
  }
  const int64_t spectrum = SpectrumFloats(FFTOrder);
  for (int32_t ch = 0; ch < NumFilterChannels; ++ch)
    for (auto& f : FilterSpectra[ch])
      if (!(f = AllocateFftBuffer(spectrum))) return false;
  for (int32_t ch = 0; ch < std::min(NumFilterChannels, 2); ++ch)
    if (!(ChannelOutput[ch] = AllocateFftBuffer(spectrum))) return false;
  for (auto& f : InputFrames)
    if (!(f = AllocateFftBuffer(spectrum))) return false;
  if (FilterLength > 1)
    for (auto& h : InputHistory)
      if (!(h = AllocateFftBuffer(FilterLength - 1))) return false;
  return true;
}

EngineSizes SizesForFilterLength(int32_t M) {
  assert(M >= 1 && M <= MaxFilterLength);
  // k = floor(log2(2M)); the order is k + 1 where 2M > 2^(k + 1/2), i.e. (2M)^2 > 2^(2k + 1).
  const uint64_t twoM = 2 * static_cast<uint64_t>(M);
  int32_t k = 63 - __builtin_clzll(twoM);
  if (twoM * twoM > (uint64_t{1} << (2 * k + 1))) ++k;
  const int32_t L = int32_t{1} << k;
  const EngineSizes s{k, L, L - M + 1};
  assert(s.FFTLength == M - 1 + s.BlockLength && s.BlockLength >= 1);
  return s;
}

int32_t LastOutDeviceFor(int32_t C) { return (C - 1) / 2; }

void Engine::SetEngineSizes(int32_t C, int32_t M) {
  assert(C >= 1 && C <= MaxChannels);
  NumFilterChannels = C;
  FilterLength = M;
  LastOutDevice = LastOutDeviceFor(C);
  PartitionFrames = NearestBlockFrames(BlockFrames);
  if (PartitionFrames > 0) {
    // The first partition's transform: 2P points.
    FFTOrder = 1;
    while ((int32_t{1} << FFTOrder) < 2 * PartitionFrames) ++FFTOrder;
    FFTLength = int32_t{1} << FFTOrder;
    BlockLength = PartitionFrames;
    FilterBufferLength = M;
    return;
  }
  const EngineSizes s = SizesForFilterLength(M);
  FFTOrder = s.FFTOrder;
  FFTLength = s.FFTLength;
  BlockLength = s.BlockLength;
  FilterBufferLength = FFTLength;
}

int32_t HeldNumBuffers() { return std::clamp<int32_t>(NumBuffers, MinBuffers, MaxBuffers); }

bool Engine::AllocateBuffers() {
  FreeBuffers();
  if (PartitionFrames > 0) {
    if (!AllocateWaveBuffers() || !AllocateFloatBuffers() ||
        !Partitions.Configure(PartitionFrames, NumFilterChannels, FilterLength, SampleRate, Workers)) {
      FreeBuffers();
      return false;
    }
    return true;
  }
  if (!AllocateWaveBuffers() || !AllocateFloatBuffers() ||
      !Fft.FftPrepare(FFTOrder, InputFrames[0], ChannelOutput[0])) {
    FreeBuffers();
    return false;
  }
  // Planning may have scribbled on the buffers it measured with.
  const size_t spectrumBytes = static_cast<size_t>(SpectrumFloats(FFTOrder)) * sizeof(float);
  std::memset(InputFrames[0], 0, spectrumBytes);
  std::memset(ChannelOutput[0], 0, spectrumBytes);
  return true;
}

void Engine::FreeBuffers() {
  Partitions.Release();
  Fft.FftRelease();
  FreeWaveBuffers();
  for (auto& pair : FilterSpectra)
    for (auto& f : pair) ReleaseFloats(f);
  for (auto& f : ChannelOutput) ReleaseFloats(f);
  for (auto& f : InputFrames) ReleaseFloats(f);
  for (auto& h : InputHistory) ReleaseFloats(h);
}

bool Engine::ReallocateWaveBuffers() {
  FreeWaveBuffers();
  if (AllocateWaveBuffers()) return true;
  FreeWaveBuffers();
  return false;
}

void Engine::ClearBuffers() {
  for (int32_t k = 0; k < WaveBufferCount; ++k)
    if (InBuffers[k]) std::memset(InBuffers[k], 0, static_cast<size_t>(WaveBufferSize));
  for (int32_t d = 0; d <= LastOutDevice; ++d)
    for (int32_t k = 0; k < WaveBufferCount; ++k)
      if (OutBuffers[d][k]) std::memset(OutBuffers[d][k], 0, static_cast<size_t>(WaveBufferSize));
  ClearInputHistory();
  ClearFigures();
}

void Engine::ClearFigures() { Figures = Recent = RunFigures{}; }

RunFigures Engine::TakeRecentFigures() {
  const RunFigures taken = Recent;
  Recent = RunFigures{};
  return taken;
}

void Engine::ClearInputHistory() {
  for (auto* h : InputHistory)
    if (h) std::memset(h, 0, static_cast<size_t>(FilterLength - 1) * sizeof(float));
  if (Partitions.Configured()) Partitions.Reset(SampleRate);
  LateNoted = 0;
}

void Engine::RestartDither() {
  DitherPos = 0;
  DitherCount = 0;
}

void FillDitherTable() {
  if (!DitherTable) {
    DitherTable = static_cast<float*>(std::malloc(DitherTableSize * sizeof(float)));
    if (!DitherTable) std::abort();  // 800 kB at start-up; nothing sensible to do without it
  }
  // The generator starts from 0 so that every run has the same table.
  DitherSeed = 0;
  for (int32_t i = 0; i < DitherTableSize; ++i) {
    const long double u1 = NextUniform();
    const long double u2 = NextUniform();
    DitherTable[i] = static_cast<float>((u2 + u1) - 1.0L);
  }
}

void Engine::ResetEngine() {
  FreeBuffers();
  FiltersLoaded = false;
  NumFilterChannels = FilterLength = LastOutDevice = PartitionFrames = 0;
  FFTOrder = FFTLength = BlockLength = WaveBufferSize = WaveBufferBits = FilterBufferLength = 0;
  Workers = WorkerMode::Live;
  RestartDither();
  ClearFigures();
  for (auto& g : GainFactors) g = 1.0f;
}

}  // namespace tessival
