// The block convolution (overlap-save) and the filter spectra.
#include <cstring>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Kernels.h"
#include "settings/Settings.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "wave buffers are little-endian");

namespace tessival {

namespace {

// Source of one output side: the channel's valid samples and its scale, or silence.
struct Side {
  const float* samples;  // null for the missing right channel of an odd bank
  float scale;           // gain times 1/L (exact: 1/L is a power of two)
};

inline float Sample(const Side& s, int32_t j) { return s.samples ? s.samples[j] * s.scale : 0.0f; }

// One dithered sample: its level is the signal's, its saturation the dithered value's.
inline int16_t Dithered(float v, float dither, float& peak, int32_t& saturated) {
  const float magnitude = v < 0 ? -v : v;
  if (magnitude > peak) peak = magnitude;
  const double d = static_cast<double>(v) + dither;
  saturated += Saturates16(d);
  return RoundToInt16(d);
}

// Rounds and interleaves n frames with the dither sequence, which runs on from the
// engine's position (updated), and sets the levels as the plain conversions do.
void WriteDevice16Dithered(int16_t* out, const Side& left, const Side& right, int32_t n, int32_t& ditherPos,
                           int32_t& ditherCount, ConversionLevels& levels) {
  const float* table = DitherTable;
  int32_t pos = ditherPos;
  int32_t count = ditherCount;
  levels = ConversionLevels{};
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = Dithered(Sample(left, j), table[pos++], levels.Peak[0], levels.Saturated[0]);
    out[2 * j + 1] = Dithered(Sample(right, j), table[pos++], levels.Peak[1], levels.Saturated[1]);
    if (++count == DitherFrames) {
      count = 0;
      pos = 0;
    }
  }
  ditherPos = pos;
  ditherCount = count;
}

inline void Raise(float& peak, float v) {
  if (v > peak) peak = v;
}

}  // namespace

// The capture's peaks, as its conversion to floats found them.
void Engine::NoteInputPeaks(const uint32_t peak[2]) {
  const float fullScale = WaveBufferBits == 16 ? 1.0f / 32768.0f : 1.0f / 2147483648.0f;
  for (int c = 0; c < 2; ++c) {
    const float v = static_cast<float>(peak[c]) * fullScale;
    Raise(Figures.InputPeak[c], v);
    Raise(Recent.InputPeak[c], v);
  }
}

// The levels of device d's conversion, as the channels' figures.
void Engine::NoteLevels(int32_t d, const ConversionLevels& levels) {
  const float fullScale = WaveBufferBits == 16 ? 1.0f / 32768.0f : 1.0f / 2147483648.0f;
  for (int side = 0; side < 2; ++side) {
    const int32_t ch = 2 * d + side;
    if (ch >= NumFilterChannels) break;
    const float v = levels.Peak[side] * fullScale;
    Raise(Figures.OutputPeak[ch], v);
    Raise(Recent.OutputPeak[ch], v);
    Figures.Saturated[ch] += levels.Saturated[side];
    Recent.Saturated[ch] += levels.Saturated[side];
  }
}

void Engine::NoteBlockTime(std::chrono::steady_clock::time_point started) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double load = SampleRate > 0 && BlockLength > 0 ? seconds * SampleRate / BlockLength : 0.0;
  for (RunFigures* f : {&Figures, &Recent}) {
    f->LoadSum += load;
    Raise(f->WorstLoad, static_cast<float>(load));
  }
}

void Engine::WriteDevice(int32_t d, int32_t k, const float* left, const float* right, float scale) {
  const Side l{left, GainFactors[2 * d] * scale};
  const Side r = 2 * d + 1 < NumFilterChannels ? Side{right, GainFactors[2 * d + 1] * scale} : Side{nullptr, 0.0f};
  uint8_t* out = OutBuffers[d][k];
  const int32_t n = BlockLength;
  ConversionLevels levels;
  if (WaveBufferBits != 16)
    ActiveKernels.ToInt32(l.samples, l.scale, r.samples, r.scale, reinterpret_cast<int32_t*>(out), n, levels);
  else if (DitherOn)
    WriteDevice16Dithered(reinterpret_cast<int16_t*>(out), l, r, n, DitherPos, DitherCount, levels);
  else
    ActiveKernels.ToInt16(l.samples, l.scale, r.samples, r.scale, reinterpret_cast<int16_t*>(out), n, levels);
  NoteLevels(d, levels);
}

void Engine::TransformFilters() {
  if (PartitionFrames > 0) {
    // Cut into the levels' partitions; the taps are not needed after.
    for (int32_t ch = 0; ch < NumFilterChannels; ++ch) {
      Partitions.SetFilters(ch, FilterSpectra[ch][0], FilterSpectra[ch][1], FilterLength);
      for (float*& f : FilterSpectra[ch]) {
        FreeFftBuffer(f);
        f = nullptr;
      }
    }
    return;
  }
  for (int32_t ch = 0; ch < NumFilterChannels; ++ch)
    for (float* f : FilterSpectra[ch]) Fft.FftForward(f);
}

// Partitioned mode: the block's P frames to the levels, the devices' samples back, each
// already at unit gain (the levels fold their inverse transforms' scaling into the
// filter spectra), converted as in Auto mode.
void Engine::ConvolvePartitioned(int32_t k) {
  float* fresh = Partitions.NewFrames();
  uint32_t inputPeaks[2];
  if (WaveBufferBits == 16)
    ActiveKernels.Widen16(reinterpret_cast<const int16_t*>(InBuffers[k]), fresh, 2 * BlockLength, inputPeaks);
  else
    ActiveKernels.Widen32(reinterpret_cast<const int32_t*>(InBuffers[k]), fresh, 2 * BlockLength, inputPeaks);
  NoteInputPeaks(inputPeaks);
  Partitions.BeginBlock();
  for (int32_t d = 0; d <= LastOutDevice; ++d) {
    Partitions.DeviceBlock(d, ChannelOutput[0], ChannelOutput[1]);
    WriteDevice(d, k, ChannelOutput[0], ChannelOutput[1], 1.0f);
  }
  Partitions.EndBlock();
  // Counted as they come, so that figures cleared on their own count on from there.
  const int64_t late = Partitions.LatePartitions();
  Figures.LatePartitions += late - LateNoted;
  Recent.LatePartitions += late - LateNoted;
  LateNoted = late;
  ++Figures.Blocks;
  ++Recent.Blocks;
}

void Engine::ConvolveBlock(int32_t BufferIndex) {
  if (!FiltersLoaded || BufferIndex < 0 || BufferIndex >= WaveBufferCount) return;
  if (PartitionFrames > 0) {
    ConvolvePartitioned(BufferIndex);
    return;
  }
  const int32_t history = FilterLength - 1;
  const int32_t n = BlockLength;
  const size_t historyBytes = static_cast<size_t>(history) * sizeof(float);

  const float* x0;
  const float* x1;
  uint32_t inputPeaks[2];
  if (float* frame = Fft.FftPairFrame()) {
    // Both inputs in one frame of interleaved frames, as the capture has them: the
    // last M - 1 input frames first, the N new ones after them, then the history out
    // before the transform overwrites the frame.
    ActiveKernels.Zip(InputHistory[0], InputHistory[1], frame, history);
    float* fresh = frame + 2 * static_cast<size_t>(history);
    if (WaveBufferBits == 16)
      ActiveKernels.Widen16(reinterpret_cast<const int16_t*>(InBuffers[BufferIndex]), fresh, 2 * n, inputPeaks);
    else
      ActiveKernels.Widen32(reinterpret_cast<const int32_t*>(InBuffers[BufferIndex]), fresh, 2 * n, inputPeaks);
    ActiveKernels.Unzip(frame + 2 * static_cast<size_t>(n), InputHistory[0], InputHistory[1], history);
    Fft.FftForwardPairFrame(x0, x1);
  } else {
    // History in: the last M - 1 input samples start each channel's frame.
    for (int c = 0; c < 2; ++c)
      if (history > 0) std::memcpy(InputFrames[c], InputHistory[c], historyBytes);

    // Capture in: N new frames after them, integer values as floats, unscaled.
    float* left = InputFrames[0] + history;
    float* right = InputFrames[1] + history;
    if (WaveBufferBits == 16)
      ActiveKernels.FromInt16(reinterpret_cast<const int16_t*>(InBuffers[BufferIndex]), left, right, n, inputPeaks);
    else
      ActiveKernels.FromInt32(reinterpret_cast<const int32_t*>(InBuffers[BufferIndex]), left, right, n, inputPeaks);

    // History out, before the transforms overwrite the frames.
    for (int c = 0; c < 2; ++c)
      if (history > 0) std::memcpy(InputHistory[c], InputFrames[c] + n, historyBytes);

    // Forward transforms: the two input spectra serve every output channel. Once they
    // are made, the frames are free for the inverse transforms' samples.
    Fft.FftForwardPair(InputFrames[0], InputFrames[1], x0, x1);
  }
  NoteInputPeaks(inputPeaks);

  // Per device: each channel's two contributions summed in the frequency domain, one
  // inverse each. Both channels of a device come from one pass over the input spectra,
  // and the device is written while its samples are still in cache; devices go in
  // order, so the dither sequence runs on from device to device. Channel ch is computed
  // in ChannelOutput[ch % 2], so two buffers, still warm in cache, serve all; its
  // time-domain samples end up there or, out of place, in InputFrames[ch % 2], and its
  // valid N start after the M - 1 wrapped ones. The gain and 1/L scale them together.
  const float invL = 1.0f / static_cast<float>(FFTLength);
  for (int32_t d = 0; d <= LastOutDevice; ++d) {
    const int32_t a = 2 * d, b = 2 * d + 1;
    if (b < NumFilterChannels) {
      Fft.SpectrumMultiplyAdd2Pair(x0, x1, FilterSpectra[a][0], FilterSpectra[a][1], FilterSpectra[b][0],
                                   FilterSpectra[b][1], ChannelOutput[0], ChannelOutput[1]);
      Samples[1] = Fft.FftInverseUnscaledInto(ChannelOutput[1], InputFrames[1]);
    } else {
      Fft.SpectrumMultiplyAdd2(x0, FilterSpectra[a][0], x1, FilterSpectra[a][1], ChannelOutput[0]);
    }
    Samples[0] = Fft.FftInverseUnscaledInto(ChannelOutput[0], InputFrames[0]);
    WriteDevice(d, BufferIndex, Samples[0] + history, b < NumFilterChannels ? Samples[1] + history : nullptr, invL);
  }
  ++Figures.Blocks;
  ++Recent.Blocks;
}

}  // namespace tessival
