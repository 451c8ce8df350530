#pragma once
// Stream formats and buffers for driver tests, filled as the program fills them.
#include <cstdint>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival::testing {

// Two-channel integer PCM at `rate`; bits 16 gives 4-byte frames, anything else 8.
inline WAVEFORMATEX Format(uint32_t rate, int bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 2;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<uint16_t>(bits == 16 ? 4 : 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  f.wBitsPerSample = static_cast<uint16_t>(bits);
  return f;
}

// One buffer and its header, user word k.
struct Buffer {
  std::vector<uint8_t> Data;
  WAVEHDR Header{};
  Buffer(size_t bytes, uintptr_t k) : Data(bytes) {
    Header.lpData = Data.data();
    Header.dwBufferLength = static_cast<uint32_t>(bytes);
    Header.dwUser = k;
  }
};

}  // namespace tessival::testing
