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
constexpr size_t DecodeChunkBytes = 1 << 22;    // bytes read at a time by ReadWavSamples
constexpr uint32_t UnknownSize = 0xFFFFFFFFu;    // what streaming writers (and RF64) leave in a size

// Telling 16.8 floats from 32-bit integers (ReadsAsFloats16_8), in taps at full scale 1.0.
constexpr double Float16_8Scale = 1.0 / 32768.0;  // a 16.8 float of 32768.0 is full scale
constexpr double MaxFloatTap = 4.0;               // above +12 dB no float reading is a filter
constexpr double DenseIntSum = 4.0;               // integer taps summing past +12 dB, all of them
constexpr double FloatBandLow = 0.25;             // within these magnitudes, are floats: a float's
constexpr double FloatBandHigh = 0.75;            // exponent makes an integer near +-0.5
constexpr double SparseMinFloatPeak = 0.125;      // a few taps: floats only from -18 dB ...
constexpr double SparseMaxFloatPeak = 1.0;        // ... to 0 dB, on the 16.8 grid

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

double F64(const uint8_t* p) {
  const uint64_t bits = U32(p) | (static_cast<uint64_t>(U32(p + 4)) << 32);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

bool ReadExact(ByteSource& src, void* dst, size_t n) { return src.Read(dst, n) == n; }

// A chunk size with its pad byte: RIFF chunks start at even offsets.
int64_t PaddedSize(uint32_t size) { return static_cast<int64_t>(size) + (size & 1u); }

// The data of a 32-bit file under the integer tag, read as integers and as 16.8 floats.
struct TwoReadings {
  int64_t Nonzero = 0;       // words other than 0 (they read the same either way)
  bool FloatsValid = true;   // every float finite, normal (a denormal is a small integer) and <= MaxFloatTap
  bool FloatsOnGrid = true;  // every float a multiple of 1/256: 16.8 fixed point, as old tools wrote
  bool IntsInBand = true;    // every integer that is not a float zero within FloatBandLow..High
  double FloatPeak = 0;      // largest |tap| read as floats
  double IntSum = 0;         // sum of |tap| read as integers
};

// Reads `words` words from `src`; stops early once the float reading is ruled out.
TwoReadings ReadBothWays(ByteSource& src, int64_t words) {
  TwoReadings r;
  std::vector<uint8_t> buf(1 << 16);
  while (words > 0 && r.FloatsValid) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(words, buf.size() / 4)) * 4;
    const size_t got = src.Read(buf.data(), want) / 4;
    words -= static_cast<int64_t>(got);
    for (size_t i = 0; i < got; ++i) {
      const uint8_t* p = buf.data() + 4 * i;
      if (U32(p) == 0) continue;
      ++r.Nonzero;
      const double intMag = std::fabs(static_cast<int32_t>(U32(p)) / 2147483648.0);
      r.IntSum += intMag;
      const double mag = std::fabs(static_cast<double>(F32(p)));
      if (mag == 0.0) continue;  // -0.0, which is the integer -1.0
      if (intMag < FloatBandLow || intMag > FloatBandHigh) r.IntsInBand = false;
      if (!(mag >= std::numeric_limits<float>::min() && mag * Float16_8Scale <= MaxFloatTap)) {
        r.FloatsValid = false;  // NaN, infinite, denormal or far too loud
        break;
      }
      r.FloatPeak = std::max(r.FloatPeak, mag * Float16_8Scale);
      if (r.FloatsOnGrid && std::ldexp(mag, 8) != std::floor(std::ldexp(mag, 8))) r.FloatsOnGrid = false;
    }
    if (got * 4 < want) break;
  }
  return r;
}

// The header says integers; the floats' reading is kept only where it is plausible as
// a filter and the integers' is not. A misread costs tens of dB either way (an integer
// Dirac of -0.4 read as a float is -3277 at full scale 1.0; one of +0.5 is 6e-5).
// - Read as integers, float data is a run of taps all near +-0.5 (a float's exponent
//   fills the integer's top bits) summing past +12 dB: no integer filter looks like
//   that. Dense float filters peaking anywhere below +12 dB read as floats.
// - A few taps decide little: an integer Dirac near +0.55 or -0.45 is also a valid
//   float. Old tools wrote impulses, delays and round gains as values of the 16.8
//   grid (32768.0 is a unit tap), so only those, from -18 to 0 dB, read as floats.
//   Integers land there at a few amplitudes (0.04 % of a log sweep of Diracs from
//   2^-24 to 1, 1.2 % of those from 16-bit values), and then err by -13 to +7 dB
//   instead of blasting or muting the channel. Off-grid or quieter float Diracs read
//   as the integers the header promises.
bool ReadsAsFloats16_8(const TwoReadings& r) {
  if (r.Nonzero == 0) return true;  // silence: the same either way
  if (!r.FloatsValid) return false;
  if (r.IntSum > DenseIntSum && r.IntsInBand) return true;
  return r.FloatsOnGrid && r.FloatPeak >= SparseMinFloatPeak && r.FloatPeak <= SparseMaxFloatPeak;
}

// After a data chunk whose size says "unknown" (0 or 0xFFFFFFFF): true when what
// follows up to the end of the file is a chain of well-formed chunks (LIST, id3, ...),
// so that the data chunk is empty rather than running to the end. `src` is left where it was.
bool ChunksFollow(ByteSource& src) {
  const int64_t start = src.Tell();
  int64_t pos = start;
  bool chain = false;
  uint8_t b[8];
  auto isIdChar = [](uint8_t c) { return c >= 0x20 && c <= 0x7E; };
  while (pos + 8 <= src.Size && src.Seek(pos) && ReadExact(src, b, 8)) {
    if (!std::all_of(b, b + 4, isIdChar)) break;
    pos += 8 + PaddedSize(U32(b + 4));
    // A missing pad byte after the last chunk is common enough to forgive.
    if (pos == src.Size || (pos == src.Size + 1 && (U32(b + 4) & 1u))) {
      chain = true;
      break;
    }
  }
  src.Seek(start);
  return chain;
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
    case WavTypeFloat64:
      return 8;
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
  if (!ReadExact(src, b, 12) || std::memcmp(b + 8, "WAVE", 4) != 0) return Refuse(CorruptText, problem);
  // RF64 and BW64 are RIFF with 64-bit sizes in a "ds64" chunk ahead of the others.
  const bool rf64 = std::memcmp(b, "RF64", 4) == 0 || std::memcmp(b, "BW64", 4) == 0;
  if (!rf64 && std::memcmp(b, "RIFF", 4) != 0) return Refuse(CorruptText, problem);

  // Walk the chunks: the format chunk must come before "data"; everything else
  // (LIST, fact, PEAK, bext, JUNK, ...) is skipped.
  bool haveFmt = false;
  bool namedSubFormat = false;  // the extensible form said integer or float itself
  int64_t ds64DataSize = -1;
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
        if (sub == TagPcm || sub == TagFloat) {
          fmt.FormatTag = sub;
          namedSubFormat = true;
        }
      }
      if (fmt.FormatTag != TagPcm && fmt.FormatTag != TagFloat) {
        return Refuse("WAV Type " + std::to_string(fmt.FormatTag) + " not supported", problem);
      }
      if (!src.Skip(PaddedSize(size) - take)) return Refuse(CorruptText, problem);
    } else if (rf64 && std::memcmp(b, "ds64", 4) == 0) {
      // RIFF size, data size, sample count (64 bits each), then a table we do not need.
      if (size < 16 || !ReadExact(src, b, 16)) return Refuse(CorruptText, problem);
      const uint64_t v = U32(b + 8) | (static_cast<uint64_t>(U32(b + 12)) << 32);
      ds64DataSize = static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX));
      if (!src.Skip(PaddedSize(size) - 16)) return Refuse(CorruptText, problem);
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

  // The size in bytes, cut to what the file holds. In RF64 0xFFFFFFFF defers to ds64.
  // Otherwise 0 or 0xFFFFFFFF is what a streaming writer leaves: "up to the end of the
  // file", unless more chunks follow, which makes the chunk empty.
  int64_t bytes = dataSize;
  if (rf64 && dataSize == UnknownSize && ds64DataSize >= 0) {
    bytes = ds64DataSize;
  } else if (dataSize == 0 || dataSize == UnknownSize) {
    bytes = src.Size >= 0 && ChunksFollow(src) ? 0 : INT64_MAX;
  }
  const int64_t here = src.Tell();
  if (src.Size >= 0 && here >= 0) bytes = std::min(bytes, std::max<int64_t>(0, src.Size - here));
  if (bytes == INT64_MAX) bytes = dataSize;  // a pipe: the size field is all there is
  frames = static_cast<int32_t>(
      std::min<int64_t>(bytes / fmt.BlockAlign, std::numeric_limits<int32_t>::max()));

  switch (fmt.BitsPerSample) {
    case 8:
      return WavTypeUInt8;
    case 16:
      return WavTypeInt16;
    case 20:
      return WavTypeInt20;
    case 24:
      if (fmt.BlockAlign / fmt.Channels != 4) return WavTypeInt24;
      // 24 bits in 4 bytes: floats on the 24-bit scale, as old tools wrote them, unless
      // the extensible form says integers: then the top 24 bits of each word, as read
      // whole as a 32-bit integer.
      return namedSubFormat && fmt.FormatTag == TagPcm ? WavTypeInt32 : WavTypeFloat24_0;
    case 32: {
      if (fmt.FormatTag != TagPcm) return WavTypeFloat0_24;
      if (namedSubFormat) return WavTypeInt32;
      const int64_t start = src.Tell();
      const TwoReadings r = ReadBothWays(src, static_cast<int64_t>(frames) * fmt.BlockAlign / 4);
      if (!src.Seek(start)) return Refuse(CorruptText, problem);
      return ReadsAsFloats16_8(r) ? WavTypeFloat16_8 : WavTypeInt32;
    }
    case 64:
      return fmt.FormatTag == TagFloat ? WavTypeFloat64 : WavTypeNone;
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
      case WavTypeFloat64:
        for (size_t f = 0; f < n; ++f, p += 16) {
          l[f] = static_cast<float>(F64(p));
          r[f] = static_cast<float>(F64(p + 8));
        }
        // A double beyond the float range is as unusable as an infinity.
        for (size_t f = 0; f < n && finite; ++f) finite = std::isfinite(l[f]) && std::isfinite(r[f]);
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
