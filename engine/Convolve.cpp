// The block convolution (overlap-save) and the filter spectra.
#include <emmintrin.h>

#include <cstring>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "settings/Settings.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "wave buffers are little-endian");

namespace tessival {

namespace {

// Conversions round to nearest with halves to even (the SSE default) and saturate:
// a wrapped peak would reach the loudspeakers as a full-scale click.
inline float ZeroIfNaN(float v) { return v == v ? v : 0.0f; }

inline int16_t ToInt16(float v) {
  v = ZeroIfNaN(v);
  v = v < -32768.0f ? -32768.0f : (v > 32767.0f ? 32767.0f : v);
  return static_cast<int16_t>(_mm_cvtss_si32(_mm_set_ss(v)));
}

inline int16_t ToInt16(double v) {
  v = v == v ? v : 0.0;
  v = v < -32768.0 ? -32768.0 : (v > 32767.0 ? 32767.0 : v);
  return static_cast<int16_t>(_mm_cvtsd_si32(_mm_set_sd(v)));
}

inline int32_t ToInt32(float v) {
  v = ZeroIfNaN(v);
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v <= -2147483648.0f) return INT32_MIN;
  return _mm_cvtss_si32(_mm_set_ss(v));
}

// Source of one output side: the channel's valid samples and its scale, or silence.
struct Side {
  const float* samples;  // null for the missing right channel of an odd bank
  float scale;           // gain times 1/L (exact: 1/L is a power of two)
};

Side SideOf(int32_t ch, float invL) {
  if (ch >= NumFilterChannels) return {nullptr, 0.0f};
  return {ChannelOutput[ch] + (FilterLength - 1), GainFactors[ch] * invL};
}

inline float Sample(const Side& s, int32_t j) { return s.samples ? s.samples[j] * s.scale : 0.0f; }

void WriteDevice16(int16_t* out, const Side& left, const Side& right, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = ToInt16(Sample(left, j));
    out[2 * j + 1] = ToInt16(Sample(right, j));
  }
}

void WriteDevice16Dithered(int16_t* out, const Side& left, const Side& right, int32_t n) {
  const float* table = DitherTable;
  int32_t pos = DitherPos;
  int32_t count = DitherCount;
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = ToInt16(static_cast<double>(Sample(left, j)) + table[pos++]);
    out[2 * j + 1] = ToInt16(static_cast<double>(Sample(right, j)) + table[pos++]);
    if (++count == DitherFrames) {
      count = 0;
      pos = 0;
    }
  }
  DitherPos = pos;
  DitherCount = count;
}

void WriteDevice32(int32_t* out, const Side& left, const Side& right, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = ToInt32(Sample(left, j));
    out[2 * j + 1] = ToInt32(Sample(right, j));
  }
}

}  // namespace

void TransformFilters() {
  for (int32_t ch = 0; ch < NumFilterChannels; ++ch)
    for (float* f : FilterSpectra[ch]) FftForward(f);
}

void ConvolveBlock(int32_t BufferIndex) {
  if (!FiltersLoaded || BufferIndex < 0 || BufferIndex >= WaveBufferCount) return;
  const int32_t history = FilterLength - 1;
  const int32_t n = BlockLength;
  const size_t historyBytes = static_cast<size_t>(history) * sizeof(float);

  // History in: the last M - 1 input samples start the frame.
  for (int c = 0; c < 2; ++c)
    if (history > 0) std::memcpy(InputFrames[c], InputHistory[c], historyBytes);

  // Capture in: N new frames after them, integer values as floats, unscaled.
  float* left = InputFrames[0] + history;
  float* right = InputFrames[1] + history;
  if (WaveBufferBits == 16) {
    const auto* in = reinterpret_cast<const int16_t*>(InBuffers[BufferIndex]);
    for (int32_t j = 0; j < n; ++j) {
      left[j] = in[2 * j];
      right[j] = in[2 * j + 1];
    }
  } else {
    const auto* in = reinterpret_cast<const int32_t*>(InBuffers[BufferIndex]);
    for (int32_t j = 0; j < n; ++j) {
      left[j] = static_cast<float>(in[2 * j]);
      right[j] = static_cast<float>(in[2 * j + 1]);
    }
  }

  // History out, before the transform overwrites the frame.
  for (int c = 0; c < 2; ++c)
    if (history > 0) std::memcpy(InputHistory[c], InputFrames[c] + n, historyBytes);

  // Forward transforms: the two input spectra serve every output channel.
  FftForward(InputFrames[0]);
  FftForward(InputFrames[1]);

  // Per channel: both contributions summed in the frequency domain, one inverse.
  for (int32_t ch = 0; ch < NumFilterChannels; ++ch) {
    SpectrumMultiplyAdd2(InputFrames[0], FilterSpectra[ch][0], InputFrames[1], FilterSpectra[ch][1],
                         ChannelOutput[ch]);
    FftInverseUnscaled(ChannelOutput[ch]);
  }

  // Output: the valid N samples of each channel, scaled by gain and 1/L together,
  // rounded and interleaved into playback buffer k of each device in turn.
  const float invL = 1.0f / static_cast<float>(FFTLength);
  const bool dither = WaveBufferBits == 16 && DitherOn;
  for (int32_t d = 0; d <= LastOutDevice; ++d) {
    const Side l = SideOf(2 * d, invL);
    const Side r = SideOf(2 * d + 1, invL);
    uint8_t* out = OutBuffers[d][BufferIndex];
    if (WaveBufferBits != 16)
      WriteDevice32(reinterpret_cast<int32_t*>(out), l, r, n);
    else if (dither)
      WriteDevice16Dithered(reinterpret_cast<int16_t*>(out), l, r, n);
    else
      WriteDevice16(reinterpret_cast<int16_t*>(out), l, r, n);
  }
}

}  // namespace tessival
