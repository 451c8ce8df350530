#include "filterbank/WavReader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/Report.h"

namespace tessival {

namespace {

constexpr char CorruptText[] = "Corrupt WAV file";
constexpr uint16_t TagPcm = 1;
constexpr uint16_t TagFloat = 3;
constexpr uint16_t TagExtensible = 65534;
constexpr int32_t ProbeWords = 1000;            // non-zero words the float probe looks at
constexpr float ProbeLimit = 134217700.0f;      // larger magnitudes are no 16.8 floats
constexpr size_t DecodeChunkBytes = 1 << 22;    // bytes read at a time by ReadWavSamples

// The 14 bytes that follow the 2-byte format code in a standard sub-format GUID.
constexpr uint8_t GuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

float F32(const uint8_t* p) {
  const uint32_t bits = U32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool ReadExact(ByteSource& src, void* dst, size_t n) { return src.Read(dst, n) == n; }

// A chunk size with its pad byte: RIFF chunks start at even offsets.
int64_t PaddedSize(uint32_t size) { return static_cast<int64_t>(size) + (size & 1u); }

// Passes when the non-zero words among the first `words` read as plausible floats on the
// 16-bit scale. Zero words read the same either way, so they decide nothing; a denormal
// is what a small integer looks like read as a float.
bool FloatProbePasses(ByteSource& src, int64_t words) {
  uint8_t buf[4096];
  int32_t looked = 0;
  while (words > 0 && looked < ProbeWords) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(words, sizeof buf / 4)) * 4;
    const size_t got = src.Read(buf, want) / 4;
    if (got == 0) break;
    words -= static_cast<int64_t>(got);
    for (size_t i = 0; i < got && looked < ProbeWords; ++i) {
      if (U32(buf + 4 * i) == 0) continue;
      ++looked;
      const float v = F32(buf + 4 * i);
      const float mag = std::fabs(v);
      if (std::isnan(v) || mag > ProbeLimit) return false;
      if (mag != 0.0f && mag < std::numeric_limits<float>::min()) return false;
    }
    if (got * 4 < want) break;
  }
  return true;
}

int32_t Refuse(const std::string& text, std::string* problem) {
  if (problem) {
    *problem = text;
  } else {
    ShowMessage(MessageKind::Plain, text);
  }
  return WavTypeNone;
}

}  // namespace

int32_t BytesPerSample(int32_t sampleType) {
  switch (sampleType) {
    case WavTypeInt32:
    case WavTypeFloat24_0:
    case WavTypeFloat16_8:
    case WavTypeFloat0_24:
      return 4;
    case WavTypeInt24:
    case WavTypeInt20:
      return 3;
    case WavTypeInt16:
      return 2;
    case WavTypeUInt8:
      return 1;
    default:
      return 0;
  }
}

ByteSource ByteSource::FromFile(std::FILE* file) {
  ByteSource s;
  s.File = file;
  const off_t here = ftello(file);
  if (here >= 0 && fseeko(file, 0, SEEK_END) == 0) {
    s.Size = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0) s.Size = -1;
  }
  return s;
}

ByteSource ByteSource::FromMemory(const void* data, size_t size) {
  ByteSource s;
  s.Data = static_cast<const uint8_t*>(data);
  s.Size = static_cast<int64_t>(size);
  return s;
}

size_t ByteSource::Read(void* dst, size_t n) {
  if (File) return std::fread(dst, 1, n, File);
  const size_t avail = Pos < Size ? static_cast<size_t>(Size - Pos) : 0;
  const size_t got = std::min(n, avail);
  if (got) std::memcpy(dst, Data + Pos, got);
  Pos += static_cast<int64_t>(got);
  return got;
}

int64_t ByteSource::Tell() const { return File ? static_cast<int64_t>(ftello(File)) : Pos; }

bool ByteSource::Seek(int64_t pos) {
  if (pos < 0) return false;
  if (File) return fseeko(File, static_cast<off_t>(pos), SEEK_SET) == 0;
  Pos = pos;
  return true;
}

bool ByteSource::Skip(int64_t n) {
  const int64_t target = Tell() + n;
  if (Size >= 0 && target > Size) return false;
  if (File && Size < 0) {  // not seekable: read through
    uint8_t buf[4096];
    while (n > 0) {
      const size_t step = static_cast<size_t>(std::min<int64_t>(n, sizeof buf));
      if (Read(buf, step) != step) return false;
      n -= static_cast<int64_t>(step);
    }
    return true;
  }
  return Seek(target);
}

int32_t ReadWavHeader(ByteSource& src, WavFmt& fmt, int32_t& frames, std::string* problem) {
  if (problem) problem->clear();
  uint8_t b[16];
  if (!ReadExact(src, b, 12) || std::memcmp(b, "RIFF", 4) != 0 ||
      std::memcmp(b + 8, "WAVE", 4) != 0) {
    return Refuse(CorruptText, problem);
  }

  // Walk the chunks: the format chunk must come before "data"; everything else
  // (LIST, fact, PEAK, bext, JUNK, ...) is skipped.
  bool haveFmt = false;
  uint32_t dataSize = 0;
  for (;;) {
    if (!ReadExact(src, b, 8)) return Refuse(CorruptText, problem);
    const uint32_t size = U32(b + 4);
    if (std::memcmp(b, "fmt ", 4) == 0) {
      if (haveFmt || size < 16) return Refuse(CorruptText, problem);
      uint8_t f[40];
      const uint32_t take = size >= 40 ? 40 : 16;
      if (!ReadExact(src, f, take)) return Refuse(CorruptText, problem);
      fmt.FormatTag = U16(f);
      fmt.Channels = U16(f + 2);
      fmt.SamplesPerSec = U32(f + 4);
      fmt.AvgBytesPerSec = U32(f + 8);
      fmt.BlockAlign = U16(f + 12);
      fmt.BitsPerSample = U16(f + 14);
      haveFmt = true;
      // The extensible form of integer PCM or IEEE float is read as the plain form.
      if (fmt.FormatTag == TagExtensible && take == 40 &&
          std::memcmp(f + 26, GuidTail, sizeof GuidTail) == 0) {
        const uint16_t sub = U16(f + 24);
        if (sub == TagPcm || sub == TagFloat) fmt.FormatTag = sub;
      }
      if (fmt.FormatTag != TagPcm && fmt.FormatTag != TagFloat) {
        return Refuse("WAV Type " + std::to_string(fmt.FormatTag) + " not supported", problem);
      }
      if (!src.Skip(PaddedSize(size) - take)) return Refuse(CorruptText, problem);
    } else if (std::memcmp(b, "data", 4) == 0) {
      if (!haveFmt) return Refuse(CorruptText, problem);
      dataSize = size;
      break;
    } else if (!src.Skip(PaddedSize(size))) {
      return Refuse(CorruptText, problem);
    }
  }

  if (fmt.BlockAlign == 0 || (fmt.BitsPerSample == 24 && fmt.Channels == 0)) {
    return Refuse(CorruptText, problem);
  }

  // A size beyond the end of the file, or the 0 / 0xFFFFFFFF a streaming writer
  // leaves, is cut to the bytes the file holds.
  int64_t bytes = dataSize;
  const int64_t here = src.Tell();
  if (src.Size >= 0 && here >= 0) {
    const int64_t left = std::max<int64_t>(0, src.Size - here);
    if (dataSize == 0 || dataSize == 0xFFFFFFFFu || bytes > left) bytes = left;
  }
  frames = static_cast<int32_t>(
      std::min<int64_t>(bytes / fmt.BlockAlign, std::numeric_limits<int32_t>::max()));

  bool probePassed = true;
  if (fmt.BitsPerSample == 32 && fmt.FormatTag == TagPcm) {
    const int64_t start = src.Tell();
    probePassed = FloatProbePasses(src, static_cast<int64_t>(frames) * fmt.Channels);
    if (!src.Seek(start)) return Refuse(CorruptText, problem);
  }

  switch (fmt.BitsPerSample) {
    case 8:
      return WavTypeUInt8;
    case 16:
      return WavTypeInt16;
    case 20:
      return WavTypeInt20;
    case 24:
      return fmt.BlockAlign / fmt.Channels == 4 ? WavTypeFloat24_0 : WavTypeInt24;
    case 32:
      if (fmt.FormatTag != TagPcm) return WavTypeFloat0_24;
      return probePassed ? WavTypeFloat16_8 : WavTypeInt32;
    default:
      return WavTypeNone;
  }
}

WavReadResult ReadWavSamples(ByteSource& src, int32_t sampleType, int32_t frames, float* ch0,
                             float* ch1) {
  const int32_t bps = BytesPerSample(sampleType);
  if (bps == 0 || frames <= 0) return WavReadResult::Ok;
  const size_t frameBytes = 2 * static_cast<size_t>(bps);
  const size_t chunkFrames = std::max<size_t>(1, DecodeChunkBytes / frameBytes);
  std::vector<uint8_t> buf(std::min<size_t>(chunkFrames, static_cast<size_t>(frames)) *
                           frameBytes);
  bool finite = true;

  for (int32_t done = 0; done < frames;) {
    const size_t n = std::min<size_t>(chunkFrames, static_cast<size_t>(frames - done));
    if (!ReadExact(src, buf.data(), n * frameBytes)) return WavReadResult::ShortRead;
    const uint8_t* p = buf.data();
    float* l = ch0 + done;
    float* r = ch1 + done;
    switch (sampleType) {
      case WavTypeInt32:
        for (size_t f = 0; f < n; ++f, p += 8) {
          l[f] = static_cast<float>(static_cast<int32_t>(U32(p)) / 2147483648.0);
          r[f] = static_cast<float>(static_cast<int32_t>(U32(p + 4)) / 2147483648.0);
        }
        break;
      case WavTypeFloat24_0:
      case WavTypeFloat16_8:
      case WavTypeFloat0_24: {
        const double scale = sampleType == WavTypeFloat24_0   ? 1.0 / 8388608.0
                             : sampleType == WavTypeFloat16_8 ? 1.0 / 32768.0
                                                              : 1.0;
        for (size_t f = 0; f < n; ++f, p += 8) {
          l[f] = static_cast<float>(F32(p) * scale);
          r[f] = static_cast<float>(F32(p + 4) * scale);
        }
        for (size_t f = 0; f < n && finite; ++f) finite = std::isfinite(l[f]) && std::isfinite(r[f]);
        break;
      }
      case WavTypeInt24:
      case WavTypeInt20:
        // Three bytes into the top of a 32-bit word: sign-extended at the 32-bit scale.
        for (size_t f = 0; f < n; ++f, p += 6) {
          const auto w0 = static_cast<int32_t>((p[0] << 8) | (p[1] << 16) | (uint32_t{p[2]} << 24));
          const auto w1 = static_cast<int32_t>((p[3] << 8) | (p[4] << 16) | (uint32_t{p[5]} << 24));
          l[f] = static_cast<float>(w0 / 2147483648.0);
          r[f] = static_cast<float>(w1 / 2147483648.0);
        }
        break;
      case WavTypeInt16:
        for (size_t f = 0; f < n; ++f, p += 4) {
          l[f] = static_cast<int16_t>(U16(p)) / 32768.0f;
          r[f] = static_cast<int16_t>(U16(p + 2)) / 32768.0f;
        }
        break;
      case WavTypeUInt8:
        for (size_t f = 0; f < n; ++f, p += 2) {
          l[f] = p[0] / 128.0f - 1.0f;
          r[f] = p[1] / 128.0f - 1.0f;
        }
        break;
    }
    done += static_cast<int32_t>(n);
  }
  return finite ? WavReadResult::Ok : WavReadResult::NotFinite;
}

int32_t ReadWavHeader(std::FILE* file, WavFmt& fmt, int32_t& frames, std::string* problem) {
  ByteSource src = ByteSource::FromFile(file);
  return ReadWavHeader(src, fmt, frames, problem);
}

WavReadResult ReadWavSamples(std::FILE* file, int32_t sampleType, int32_t frames, float* ch0,
                             float* ch1) {
  ByteSource src = ByteSource::FromFile(file);
  return ReadWavSamples(src, sampleType, frames, ch0, ch1);
}

}  // namespace tessival
