#include "tests/support/WavBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tessival::testing {

namespace {

void PutId(Bytes& out, const std::string& id) {
  for (int i = 0; i < 4; ++i) out.push_back(i < static_cast<int>(id.size()) ? id[i] : ' ');
}

void PutChunk(Bytes& out, const WavChunk& c) {
  PutId(out, c.Id);
  PutU32(out, static_cast<uint32_t>(c.Body.size()));
  out.insert(out.end(), c.Body.begin(), c.Body.end());
  if (c.Body.size() & 1) out.push_back(0);
}

int64_t RoundToInt(double v) { return static_cast<int64_t>(std::nearbyint(v)); }

}  // namespace

void PutU8(Bytes& out, uint8_t v) { out.push_back(v); }
void PutU16(Bytes& out, uint16_t v) {
  out.push_back(v & 0xFF);
  out.push_back(v >> 8);
}
void PutU24(Bytes& out, uint32_t v) {
  for (int i = 0; i < 3; ++i) out.push_back((v >> (8 * i)) & 0xFF);
}
void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((v >> (8 * i)) & 0xFF);
}
void PutF32(Bytes& out, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  PutU32(out, bits);
}
void PutF64(Bytes& out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  PutU32(out, static_cast<uint32_t>(bits));
  PutU32(out, static_cast<uint32_t>(bits >> 32));
}

Bytes BuildWav(const WavSpec& s) {
  const uint16_t align = s.BlockAlign.value_or(
      static_cast<uint16_t>(s.Channels * ((s.BitsPerSample + 7) / 8)));

  Bytes fmt;
  PutU16(fmt, s.Extensible ? 65534 : s.FormatTag);
  PutU16(fmt, s.Channels);
  PutU32(fmt, s.SampleRate);
  PutU32(fmt, s.AvgBytesPerSec.value_or(s.SampleRate * align));
  PutU16(fmt, align);
  PutU16(fmt, s.BitsPerSample);
  if (s.Extensible) {
    PutU16(fmt, 22);                // extension size
    PutU16(fmt, s.BitsPerSample);   // valid bits
    PutU32(fmt, s.Channels == 2 ? 3 : 0);  // channel mask: front left and right
    PutU16(fmt, s.SubFormat);
    const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    for (uint8_t b : tail) fmt.push_back(s.StandardGuid ? b : static_cast<uint8_t>(b ^ 0x5A));
  } else if (s.FmtSize >= 18) {
    PutU16(fmt, 0);  // extension size
  }
  if (!s.Extensible) fmt.resize(s.FmtSize, 0);  // shorter than 16 makes a broken chunk

  const bool rf64 = s.RiffId != "RIFF";
  Bytes body;
  PutId(body, "WAVE");
  size_t ds64At = 0;
  if (rf64) {  // RIFF and data sizes, sample count (64 bits each, filled in below), no table
    ds64At = body.size() + 8;
    PutChunk(body, {"ds64", Bytes(28, 0)});
  }
  for (const auto& c : s.BeforeFmt) PutChunk(body, c);
  PutChunk(body, {"fmt ", fmt});
  for (const auto& c : s.BeforeData) PutChunk(body, c);
  PutId(body, "data");
  PutU32(body, s.DataSizeField.value_or(rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(s.Data.size())));
  body.insert(body.end(), s.Data.begin(), s.Data.end());
  if (!s.AfterData.empty() && (s.Data.size() & 1)) body.push_back(0);
  for (const auto& c : s.AfterData) PutChunk(body, c);
  if (rf64) {
    Bytes sizes;
    for (uint64_t v : {uint64_t{body.size()}, uint64_t{s.Data.size()}, uint64_t{s.Data.size() / (align ? align : 1)}}) {
      PutU32(sizes, static_cast<uint32_t>(v));
      PutU32(sizes, static_cast<uint32_t>(v >> 32));
    }
    std::copy(sizes.begin(), sizes.end(), body.begin() + static_cast<std::ptrdiff_t>(ds64At));
  }

  Bytes out;
  PutId(out, s.RiffId);
  PutU32(out, rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  if (s.TruncateTo && *s.TruncateTo < out.size()) out.resize(*s.TruncateTo);
  return out;
}

Bytes IntSamples(const std::vector<int64_t>& interleaved, int bytes) {
  Bytes out;
  out.reserve(interleaved.size() * bytes);
  for (int64_t v : interleaved) {
    const auto u = static_cast<uint64_t>(v);
    for (int i = 0; i < bytes; ++i) out.push_back((u >> (8 * i)) & 0xFF);
  }
  return out;
}

Bytes FloatSamples(const std::vector<float>& interleaved) {
  Bytes out;
  out.reserve(interleaved.size() * 4);
  for (float v : interleaved) PutF32(out, v);
  return out;
}

Bytes DoubleSamples(const std::vector<double>& interleaved) {
  Bytes out;
  out.reserve(interleaved.size() * 8);
  for (double v : interleaved) PutF64(out, v);
  return out;
}

Bytes FilterWav(const std::vector<double>& left, const std::vector<double>& right,
                uint32_t rate, int sampleType) {
  if (left.size() != right.size()) throw std::invalid_argument("FilterWav: lengths differ");
  WavSpec s;
  s.SampleRate = rate;
  std::vector<int64_t> ints;
  std::vector<float> floats;
  std::vector<double> doubles;
  for (size_t i = 0; i < left.size(); ++i) {
    for (double v : {left[i], right[i]}) {
      switch (sampleType) {
        case 1: ints.push_back(RoundToInt(v * 2147483648.0)); break;
        case 2: floats.push_back(static_cast<float>(v * 8388608.0)); break;
        case 3: floats.push_back(static_cast<float>(v * 32768.0)); break;
        case 4: floats.push_back(static_cast<float>(v)); break;
        case 5:
        case 6: ints.push_back(RoundToInt(v * 8388608.0)); break;
        case 7: ints.push_back(RoundToInt(v * 32768.0)); break;
        case 8: ints.push_back(RoundToInt(v * 128.0) + 128); break;
        case 9: doubles.push_back(v); break;
        default: throw std::invalid_argument("FilterWav: sample type");
      }
    }
  }
  switch (sampleType) {
    case 1: s.BitsPerSample = 32; s.Data = IntSamples(ints, 4); break;
    case 2: s.BitsPerSample = 24; s.BlockAlign = 8; s.Data = FloatSamples(floats); break;
    case 3: s.BitsPerSample = 32; s.Data = FloatSamples(floats); break;
    case 4: s.FormatTag = 3; s.BitsPerSample = 32; s.Data = FloatSamples(floats); break;
    case 5: s.BitsPerSample = 24; s.Data = IntSamples(ints, 3); break;
    case 6: s.BitsPerSample = 20; s.BlockAlign = 6; s.Data = IntSamples(ints, 3); break;
    case 7: s.BitsPerSample = 16; s.Data = IntSamples(ints, 2); break;
    case 8: s.BitsPerSample = 8; s.Data = IntSamples(ints, 1); break;
    case 9: s.FormatTag = 3; s.BitsPerSample = 64; s.Data = DoubleSamples(doubles); break;
  }
  return BuildWav(s);
}

bool WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tessival-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace tessival::testing
