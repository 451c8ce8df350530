// Fuzzes the WAV reader: header and samples from one buffer.
#include <cstdint>
#include <string>
#include <vector>

#include "filterbank/WavReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessival;
  ByteSource src = ByteSource::FromMemory(data, size);
  WavFmt fmt;
  int32_t frames = 0;
  std::string problem;
  const int32_t type = ReadWavHeader(src, fmt, frames, &problem);
  if (type == WavTypeNone || frames <= 0) return 0;
  // The frame count never exceeds the whole frames the buffer holds.
  if (fmt.BlockAlign == 0 || static_cast<size_t>(frames) * fmt.BlockAlign > size) __builtin_trap();
  std::vector<float> a(frames), b(frames);
  ReadWavSamples(src, type, frames, a.data(), b.data());
  return 0;
}
