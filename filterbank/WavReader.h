#pragma once
// WAV (RIFF, RF64, BW64) reader for filter files: the header with its sample type,
// and the samples of a two-channel file decoded to floats at full scale 1.0.
// It parses bytes from a ByteSource, so tests and fuzzers can feed memory.
#include <cstdint>
#include <cstdio>
#include <string>

namespace tessival {

// The 16 bytes every format chunk starts with.
struct WavFmt {
  uint16_t FormatTag = 0;       // 1 integer PCM, 3 IEEE float (the extensible form maps to these)
  uint16_t Channels = 0;
  uint32_t SamplesPerSec = 0;   // Hz
  uint32_t AvgBytesPerSec = 0;  // read, not used
  uint16_t BlockAlign = 0;      // bytes per frame
  uint16_t BitsPerSample = 0;
};

// Sample types, index into SampleTypeNames.
enum WavSampleType : int32_t {
  WavTypeNone = 0,       // refused header or a bit depth without a type
  WavTypeInt32 = 1,      // "32-bit Int PCM"
  WavTypeFloat24_0 = 2,  // "IEEE Float (24.0 type 1)": 24 bits in 4-byte floats
  WavTypeFloat16_8 = 3,  // "IEEE Float (16.8 type 1)": 32-bit floats on the 16-bit scale
  WavTypeFloat0_24 = 4,  // "IEEE Float (0.24 type 3)"
  WavTypeInt24 = 5,      // "24-bit Packed Int"
  WavTypeInt20 = 6,      // "24-bit Packed Int (20-bit)"
  WavTypeInt16 = 7,      // "16-bit Int PCM"
  WavTypeUInt8 = 8,      // "8-bit Int PCM"
  WavTypeFloat64 = 9,    // "IEEE Float 64"
};

// Bytes one sample of a type occupies in the file (0 for type 0).
int32_t BytesPerSample(int32_t sampleType);

// Where the reader's bytes come from: an open FILE* (not owned) or a memory block
// (not copied). Size is -1 when the file cannot report one (a pipe).
struct ByteSource {
  std::FILE* File = nullptr;
  const uint8_t* Data = nullptr;
  int64_t Size = -1;
  int64_t Pos = 0;  // memory sources only

  static ByteSource FromFile(std::FILE* file);
  static ByteSource FromMemory(const void* data, size_t size);

  // Reads up to n bytes; returns how many were read.
  size_t Read(void* dst, size_t n);
  int64_t Tell() const;
  bool Seek(int64_t pos);
  // Skips n bytes forward; false if that passes the end or the seek fails.
  bool Skip(int64_t n);
};

// Reads the header from the start of `src`. Returns the sample type (0 on refusal);
// `fmt` is defined once a format chunk was read, `frames` once "data" was found
// (cut to the whole frames the file holds). On success `src` is at the first sample.
// 32-bit samples under the integer tag are read as integers unless the data itself
// shows they are floats on the 16-bit scale (see ReadsAsFloats16_8 in the .cpp);
// the extensible form names its sub-format and is believed as it stands.
// A refusal with a reason ("Corrupt WAV file", "WAV Type 65534 not supported") puts
// it in *problem when given, else shows it as a message; a bit depth without a type
// gives type 0 without a reason.
int32_t ReadWavHeader(ByteSource& src, WavFmt& fmt, int32_t& frames,
                      std::string* problem = nullptr);

enum class WavReadResult {
  Ok,
  ShortRead,  // the file ended before `frames` frames
  NotFinite,  // a sample is NaN or infinite
};

// Decodes `frames` frames of two samples each, the first sample of a frame into
// ch0[f], the second into ch1[f]. Touches nothing at or beyond `frames`. Type 0
// reads nothing. Reads in large pieces, not sample by sample.
WavReadResult ReadWavSamples(ByteSource& src, int32_t sampleType, int32_t frames, float* ch0,
                             float* ch1);

// File wrappers for the callers that hold a FILE*.
int32_t ReadWavHeader(std::FILE* file, WavFmt& fmt, int32_t& frames,
                      std::string* problem = nullptr);
WavReadResult ReadWavSamples(std::FILE* file, int32_t sampleType, int32_t frames, float* ch0,
                             float* ch1);

}  // namespace tessival
