#include "filterbank/WavReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/Report.h"
#include "tests/support/WavBuilder.h"

namespace tessival {
namespace {

using testing::Bytes;
using testing::BuildWav;
using testing::WavSpec;

// Captures the messages the reader shows.
class WavReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ui.ShowMessage = [this](MessageKind, const std::string& t) { messages.push_back(t); };
  }
  void TearDown() override { ResetUiHooks(); }

  struct Header {
    int32_t type;
    WavFmt fmt;
    int32_t frames;
    int64_t pos;
  };
  Header Read(const Bytes& bytes) {
    data = bytes;
    src = ByteSource::FromMemory(data.data(), data.size());
    Header h{};
    h.frames = -7;
    h.type = ReadWavHeader(src, h.fmt, h.frames);
    h.pos = src.Tell();
    return h;
  }
  // Decodes every frame of `bytes` as two channels.
  std::vector<float> Decode(const Bytes& bytes, int32_t* typeOut = nullptr) {
    const Header h = Read(bytes);
    if (typeOut) *typeOut = h.type;
    std::vector<float> l(h.frames + 1, 99.0f), r(h.frames + 1, 99.0f);
    EXPECT_EQ(ReadWavSamples(src, h.type, h.frames, l.data(), r.data()), WavReadResult::Ok);
    EXPECT_EQ(l[h.frames], 99.0f) << "wrote past the frame count";
    std::vector<float> out;
    for (int32_t f = 0; f < h.frames; ++f) {
      out.push_back(l[f]);
      out.push_back(r[f]);
    }
    return out;
  }

  std::vector<std::string> messages;
  Bytes data;
  ByteSource src;
};

WavSpec FormatOf(uint16_t bits, Bytes samples, uint16_t tag = 1) {
  WavSpec s;
  s.FormatTag = tag;
  s.BitsPerSample = bits;
  s.Data = std::move(samples);
  return s;
}

TEST_F(WavReaderTest, DecodesEveryTypeAtItsLimits) {
  int32_t type = 0;
  EXPECT_EQ(Decode(BuildWav(FormatOf(8, {0, 128, 255, 1})), &type),
            (std::vector<float>{-1.0f, 0.0f, 0.9921875f, -0.9921875f}));
  EXPECT_EQ(type, WavTypeUInt8);

  EXPECT_EQ(Decode(BuildWav(FormatOf(16, testing::IntSamples({-32768, 32767, 0, 1}, 2))), &type),
            (std::vector<float>{-1.0f, 0.999969482421875f, 0.0f, 1.0f / 32768}));
  EXPECT_EQ(type, WavTypeInt16);

  // Packed 24-bit: 00 00 80, FF FF 7F, 01 00 00, FF FF FF.
  WavSpec s24 = FormatOf(24, {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(Decode(BuildWav(s24), &type),
            (std::vector<float>{-1.0f, 8388607.0f / 8388608.0f, std::ldexp(1.0f, -23),
                                -std::ldexp(1.0f, -23)}));
  EXPECT_EQ(type, WavTypeInt24);

  WavSpec s20 = s24;
  s20.BitsPerSample = 20;
  s20.BlockAlign = 6;
  EXPECT_EQ(Decode(BuildWav(s20), &type)[1], 8388607.0f / 8388608.0f);
  EXPECT_EQ(type, WavTypeInt20);

  // Tag 1, 32 bits, the probe fails on -1: integers.
  EXPECT_EQ(Decode(BuildWav(FormatOf(32, testing::IntSamples({-2147483648LL, 2147483647, -1, 1 << 16}, 4))), &type),
            (std::vector<float>{-1.0f, 1.0f, -1.0f / 2147483648.0f, 1.0f / 32768}));
  EXPECT_EQ(type, WavTypeInt32);

  // Tag 1, 32 bits, plausible floats: the 16.8 type, on the 16-bit scale.
  EXPECT_EQ(Decode(BuildWav(FormatOf(32, testing::FloatSamples({32768.0f, -16384.0f, 1.0f, 0.0f}))), &type),
            (std::vector<float>{1.0f, -0.5f, 1.0f / 32768, 0.0f}));
  EXPECT_EQ(type, WavTypeFloat16_8);

  // 24 bits in 4-byte frames per channel: floats on the 24-bit scale.
  WavSpec f24 = FormatOf(24, testing::FloatSamples({8388608.0f, -4194304.0f}));
  f24.BlockAlign = 8;
  EXPECT_EQ(Decode(BuildWav(f24), &type), (std::vector<float>{1.0f, -0.5f}));
  EXPECT_EQ(type, WavTypeFloat24_0);

  EXPECT_EQ(Decode(BuildWav(FormatOf(32, testing::FloatSamples({0.25f, -1.5f}), 3)), &type),
            (std::vector<float>{0.25f, -1.5f}));
  EXPECT_EQ(type, WavTypeFloat0_24);

  // The tag only matters at 32 bits.
  EXPECT_EQ(Read(BuildWav(FormatOf(16, {}, 3))).type, WavTypeInt16);
  EXPECT_TRUE(messages.empty());
}

TEST_F(WavReaderTest, ReadsAcrossDecodeChunksAndStopsAtTheFrameCount) {
  // More than one 4 MiB piece of 16-bit frames.
  const int32_t n = (1 << 20) + 3;
  std::vector<int64_t> v(2 * static_cast<size_t>(n));
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(i * 7919);
  const Header h = Read(BuildWav(FormatOf(16, testing::IntSamples(v, 2))));
  ASSERT_EQ(h.frames, n);
  std::vector<float> l(n), r(n);
  ASSERT_EQ(ReadWavSamples(src, h.type, n, l.data(), r.data()), WavReadResult::Ok);
  for (int32_t f : {0, n / 2, n - 1}) {
    EXPECT_EQ(l[f], v[2 * f] / 32768.0f);
    EXPECT_EQ(r[f], v[2 * f + 1] / 32768.0f);
  }
}

TEST_F(WavReaderTest, WalksChunkListOfRealFiles) {
  const Bytes samples = testing::IntSamples({100, -100, 200, -200}, 2);
  WavSpec s = FormatOf(16, samples);
  s.BeforeFmt = {{"JUNK", Bytes(28, 0)}};
  s.BeforeData = {{"LIST", Bytes(13, 'x')}, {"fact", {4, 0, 0, 0}}, {"PEAK", Bytes(7, 1)}};
  s.AfterData = {{"LIST", Bytes(30, 'y')}};
  Header h = Read(BuildWav(s));
  EXPECT_EQ(h.type, WavTypeInt16);
  EXPECT_EQ(h.frames, 2);
  EXPECT_EQ(h.fmt.SamplesPerSec, 48000u);
  EXPECT_EQ(Decode(BuildWav(s)), (std::vector<float>{100 / 32768.0f, -100 / 32768.0f,
                                                     200 / 32768.0f, -200 / 32768.0f}));

  for (uint32_t fmtSize : {18u, 40u, 19u}) {
    WavSpec f = FormatOf(16, samples);
    f.FmtSize = fmtSize;
    h = Read(BuildWav(f));
    EXPECT_EQ(h.type, WavTypeInt16) << fmtSize;
    EXPECT_EQ(h.frames, 2) << fmtSize;
    EXPECT_EQ(h.pos, static_cast<int64_t>(BuildWav(f).size() - samples.size())) << fmtSize;
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(WavReaderTest, ExtensibleFormReadsAsPcmOrFloatOnly) {
  WavSpec s = FormatOf(24, testing::IntSamples({-8388608, 8388607}, 3));
  s.Extensible = true;
  s.SubFormat = 1;
  Header h = Read(BuildWav(s));
  EXPECT_EQ(h.type, WavTypeInt24);
  EXPECT_EQ(h.fmt.FormatTag, 1);
  EXPECT_EQ(Decode(BuildWav(s)), (std::vector<float>{-1.0f, 8388607.0f / 8388608.0f}));

  WavSpec f = FormatOf(32, testing::FloatSamples({0.5f, -0.5f}));
  f.Extensible = true;
  f.SubFormat = 3;
  EXPECT_EQ(Read(BuildWav(f)).type, WavTypeFloat0_24);
  EXPECT_TRUE(messages.empty());

  f.SubFormat = 2;  // ADPCM
  EXPECT_EQ(Read(BuildWav(f)).type, WavTypeNone);
  f.SubFormat = 3;
  f.StandardGuid = false;
  EXPECT_EQ(Read(BuildWav(f)).type, WavTypeNone);
  EXPECT_EQ(messages, (std::vector<std::string>{"WAV Type 65534 not supported",
                                                "WAV Type 65534 not supported"}));

  // The refusal comes before the data chunk is looked for.
  messages.clear();
  WavSpec mp3 = FormatOf(16, {});
  mp3.FormatTag = 85;
  mp3.TruncateTo = 36;
  h = Read(BuildWav(mp3));
  EXPECT_EQ(h.type, WavTypeNone);
  EXPECT_EQ(h.fmt.FormatTag, 85);
  EXPECT_EQ(messages, std::vector<std::string>{"WAV Type 85 not supported"});
}

TEST_F(WavReaderTest, RefusesBrokenHeadersAsCorrupt) {
  const WavSpec good = FormatOf(16, testing::IntSamples({1, 2, 3, 4}, 2));
  const Bytes base = BuildWav(good);
  std::vector<Bytes> bad;
  for (size_t at : {0u, 8u, 12u}) {  // "RIFF", "WAVE", the first chunk id
    Bytes b = base;
    b[at] = 'X';
    bad.push_back(b);
  }
  for (size_t len : {0u, 3u, 11u, 20u, 35u, 40u}) bad.push_back(Bytes(base.begin(), base.begin() + len));
  WavSpec s = good;
  s.FmtSize = 14;  // too short to hold the format
  bad.push_back(BuildWav(s));
  s = good;
  s.BlockAlign = 0;
  bad.push_back(BuildWav(s));
  s = FormatOf(24, {});
  s.Channels = 0;
  s.BlockAlign = 6;
  bad.push_back(BuildWav(s));
  s = good;  // a chunk whose size runs past the end hides "data"
  s.BeforeData = {{"LIST", Bytes(4, 0)}};
  Bytes b = BuildWav(s);
  b[40] = 0xFF;
  b[41] = 0xFF;
  bad.push_back(b);
  // "data" before "fmt "
  Bytes swapped = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a', 't', 'a', 0, 0, 0, 0};
  bad.push_back(swapped);

  for (size_t i = 0; i < bad.size(); ++i) {
    messages.clear();
    EXPECT_EQ(Read(bad[i]).type, WavTypeNone) << "case " << i;
    EXPECT_EQ(messages, std::vector<std::string>{"Corrupt WAV file"}) << "case " << i;
  }

  // With a problem string the reason is handed back instead of shown.
  messages.clear();
  data = bad[0];
  src = ByteSource::FromMemory(data.data(), data.size());
  WavFmt fmt;
  int32_t frames = 0;
  std::string problem = "stale";
  EXPECT_EQ(ReadWavHeader(src, fmt, frames, &problem), WavTypeNone);
  EXPECT_EQ(problem, "Corrupt WAV file");
  EXPECT_TRUE(messages.empty());
}

TEST_F(WavReaderTest, BitDepthWithoutTypeGivesTypeZeroSilently) {
  WavSpec s = FormatOf(12, Bytes(8, 0));
  s.BlockAlign = 4;
  Header h = Read(BuildWav(s));
  EXPECT_EQ(h.type, WavTypeNone);
  EXPECT_EQ(h.fmt.BitsPerSample, 12);
  EXPECT_EQ(h.frames, 2);
  EXPECT_TRUE(messages.empty());
  float l = 5, r = 5;
  EXPECT_EQ(ReadWavSamples(src, WavTypeNone, 2, &l, &r), WavReadResult::Ok);
  EXPECT_EQ(l, 5.0f);
}

TEST_F(WavReaderTest, FrameCountIsCutToWhatTheFileHolds) {
  // 10 bytes at block align 4: two whole frames.
  EXPECT_EQ(Read(BuildWav(FormatOf(16, Bytes(10, 0)))).frames, 2);

  // Sizes a streaming writer leaves, and a size beyond the end: whole frames present.
  for (uint32_t field : {0xFFFFFFFFu, 0u, 1000u, 0x80000000u}) {
    WavSpec s = FormatOf(16, testing::IntSamples({1, 2, 3, 4, 5}, 2));
    s.DataSizeField = field;
    EXPECT_EQ(Read(BuildWav(s)).frames, 2) << field;
  }

  // A file that ends inside the samples the header announced.
  WavSpec s = FormatOf(16, testing::IntSamples({1, 2, 3, 4, 5, 6}, 2));
  s.TruncateTo = BuildWav(s).size() - 3;
  const Header h = Read(BuildWav(s));
  EXPECT_EQ(h.frames, 2);
  std::vector<float> l(3), r(3);
  EXPECT_EQ(ReadWavSamples(src, h.type, 3, l.data(), r.data()), WavReadResult::ShortRead);
  EXPECT_TRUE(messages.empty());
}

TEST_F(WavReaderTest, FloatProbeTellsIntegersFromFloats) {
  auto typeOf = [&](const std::vector<int64_t>& words, uint16_t channels = 2) {
    WavSpec s = FormatOf(32, testing::IntSamples(words, 4));
    s.Channels = channels;
    return Read(BuildWav(s)).type;
  };
  const std::vector<int64_t> silence(2000, 0);
  EXPECT_EQ(typeOf(silence), WavTypeFloat16_8) << "all zero stays float";
  EXPECT_EQ(typeOf({}), WavTypeFloat16_8) << "empty data stays float";

  // Leading silence, then small integers: denormals as floats, so integers.
  std::vector<int64_t> words = silence;
  words.insert(words.end(), {5, 12, 7, 3});
  EXPECT_EQ(typeOf(words), WavTypeInt32);

  // -1 reads as a NaN.
  words = std::vector<int64_t>(10, 0x3F800000);
  words[9] = -1;
  EXPECT_EQ(typeOf(words), WavTypeInt32);

  // Magnitude above 134217700 fails; 134217700 itself is the last that passes.
  float big = 134217728.0f;
  uint32_t bits;
  std::memcpy(&bits, &big, 4);
  EXPECT_EQ(typeOf({0x3F800000, bits}), WavTypeInt32);
  float edge = 134217700.0f;  // rounds to 134217696 as a float
  std::memcpy(&bits, &edge, 4);
  EXPECT_EQ(typeOf({bits, 0x3F800000}), WavTypeFloat16_8);
  EXPECT_EQ(typeOf({0x7F800000, 0}), WavTypeInt32) << "infinity";

  // Only the first 1000 non-zero words count.
  words = std::vector<int64_t>(1000, 0x40000000);
  words.push_back(-1);
  words.push_back(0);
  EXPECT_EQ(typeOf(words), WavTypeFloat16_8);
  words.insert(words.begin(), 500, 0);
  EXPECT_EQ(typeOf(words), WavTypeFloat16_8);
  words.erase(words.begin() + 500);
  EXPECT_EQ(typeOf(words), WavTypeInt32);

  // The probe leaves the source at the first sample.
  const Header h = Read(BuildWav(FormatOf(32, testing::IntSamples({0, 0, 5, -1}, 4))));
  EXPECT_EQ(h.type, WavTypeInt32);
  EXPECT_EQ(h.pos, 44);
}

TEST_F(WavReaderTest, ReportsNonFiniteFloatSamples) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float bad : {nan, inf, -inf}) {
    const Header h = Read(BuildWav(FormatOf(32, testing::FloatSamples({0.5f, 0.0f, 0.0f, bad}), 3)));
    std::vector<float> l(2), r(2);
    EXPECT_EQ(ReadWavSamples(src, h.type, h.frames, l.data(), r.data()), WavReadResult::NotFinite);
  }
  // A float on the 24-bit scale that is finite stays finite after scaling.
  WavSpec f24 = FormatOf(24, testing::FloatSamples({3.0e38f, -3.0e38f}));
  f24.BlockAlign = 8;
  const Header h = Read(BuildWav(f24));
  float l, r;
  EXPECT_EQ(ReadWavSamples(src, h.type, 1, &l, &r), WavReadResult::Ok);
}

TEST_F(WavReaderTest, DamagedFilesNeverReadOutOfBounds) {
  // Random byte damage and cuts of files with chunks: the frame count never exceeds
  // what the file holds and decoding stays inside the arrays (run under ASan too).
  WavSpec s = FormatOf(24, testing::IntSamples(std::vector<int64_t>(64, 0x123456), 3));
  s.BeforeData = {{"LIST", Bytes(11, 'a')}};
  s.Extensible = true;
  const Bytes good = BuildWav(s);
  uint32_t seed = 1;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    for (int k = 0, hits = 1 + next() % 4; k < hits; ++k) b[next() % b.size()] = static_cast<uint8_t>(next() >> 24);
    if (round % 3 == 0) b.resize(next() % b.size());
    const Header h = Read(b);
    if (h.type == WavTypeNone) continue;
    ASSERT_GE(h.frames, 0);
    ASSERT_LE(static_cast<int64_t>(h.frames) * h.fmt.BlockAlign, static_cast<int64_t>(b.size()) - h.pos)
        << round;
    std::vector<float> l(h.frames), r(h.frames);
    ReadWavSamples(src, h.type, h.frames, l.data(), r.data());
  }
}

TEST(WavReaderFile, ReadsThroughAFilePointer) {
  testing::TempDir dir;
  const std::string path = dir / "f.wav";
  WavSpec s = FormatOf(16, testing::IntSamples({1000, -1000, 2000, -2000}, 2));
  s.BeforeData = {{"LIST", Bytes(9, 'z')}};
  s.DataSizeField = 0xFFFFFFFFu;
  ASSERT_TRUE(testing::WriteBytes(path, BuildWav(s)));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  WavFmt fmt;
  int32_t frames = 0;
  const int32_t type = ReadWavHeader(f, fmt, frames);
  EXPECT_EQ(type, WavTypeInt16);
  EXPECT_EQ(frames, 2);
  float l[2], r[2];
  EXPECT_EQ(ReadWavSamples(f, type, frames, l, r), WavReadResult::Ok);
  EXPECT_EQ(r[1], -2000 / 32768.0f);
  std::fclose(f);
}

}  // namespace
}  // namespace tessival
