#pragma once
// Builds WAV files byte by byte for tests: any format tag, channel count, rate, bit
// depth and block align, the 18- and 40-byte format chunks, extra chunks anywhere,
// a forged data size and truncation. Plus a temporary folder that cleans up after itself.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessival::testing {

using Bytes = std::vector<uint8_t>;

struct WavChunk {
  std::string Id;  // four characters
  Bytes Body;      // an odd size gets its pad byte
};

struct WavSpec {
  std::string RiffId = "RIFF";             // "RF64" or "BW64": a ds64 chunk first, 32-bit sizes 0xFFFFFFFF
  uint16_t FormatTag = 1;                  // written as is (use Extensible for 65534)
  uint16_t Channels = 2;
  uint32_t SampleRate = 48000;
  uint16_t BitsPerSample = 16;
  std::optional<uint16_t> BlockAlign;      // default Channels * ceil(Bits / 8)
  std::optional<uint32_t> AvgBytesPerSec;  // default SampleRate * BlockAlign
  uint32_t FmtSize = 16;                   // 18 adds extension size 0; more is zero filled, less cuts
  bool Extensible = false;                 // tag 65534, 40-byte chunk, sub-format below
  uint16_t SubFormat = 1;                  // the format code inside the GUID
  bool StandardGuid = true;                // false: a GUID of another family
  std::vector<WavChunk> BeforeFmt, BeforeData, AfterData;
  std::optional<uint32_t> DataSizeField;   // default Data.size()
  Bytes Data;                              // the sample bytes, exactly as stored
  std::optional<size_t> TruncateTo;        // cut the finished file to this many bytes
};

Bytes BuildWav(const WavSpec& wav);

// Little-endian encoders that append to `out`.
void PutU8(Bytes& out, uint8_t v);
void PutU16(Bytes& out, uint16_t v);
void PutU24(Bytes& out, uint32_t v);  // low three bytes
void PutU32(Bytes& out, uint32_t v);
void PutF32(Bytes& out, float v);
void PutF64(Bytes& out, double v);

// Sample bytes from interleaved values: integers are stored as their low `bytes` bytes
// (two's complement), floats as IEEE singles.
Bytes IntSamples(const std::vector<int64_t>& interleaved, int bytes);
Bytes FloatSamples(const std::vector<float>& interleaved);
Bytes DoubleSamples(const std::vector<double>& interleaved);

// A two-channel filter file from taps at full scale 1.0, encoded as a sample type
// (1..9) of the reader: 1 int32, 2 float/2^-23 in 24-bit 4-byte, 3 float on the 16-bit
// scale, 4 float, 5 packed 24, 6 packed 20, 7 int16, 8 uint8, 9 double. Integer types round.
Bytes FilterWav(const std::vector<double>& left, const std::vector<double>& right,
                uint32_t rate = 48000, int sampleType = 4);

bool WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace tessival::testing
