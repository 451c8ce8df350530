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

  // Tag 1, 32 bits, -1 reads as a NaN: integers.
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

  // "Unknown" means up to the end of the file only for the last chunk: with chunks after
  // it (a LIST, with or without its pad byte) the data chunk is empty, not those bytes.
  for (uint32_t field : {0u, 0xFFFFFFFFu}) {
    WavSpec empty = FormatOf(32, {});
    empty.DataSizeField = field;
    empty.AfterData = {{"LIST", Bytes(30, 'x')}, {"id3 ", Bytes(8, 0)}};
    EXPECT_EQ(Read(BuildWav(empty)).frames, 0) << field;
    empty.AfterData = {{"LIST", Bytes(13, 'x')}};
    Bytes unpadded = BuildWav(empty);
    EXPECT_EQ(Read(unpadded).frames, 0) << field;
    unpadded.pop_back();
    EXPECT_EQ(Read(unpadded).frames, 0) << field << " without the pad byte";
    // Sample bytes that start like a chunk id but do not chain to the end are samples.
    WavSpec s = FormatOf(16, {'L', 'I', 'S', 'T', 200, 0, 0, 0, 1, 2, 3, 4});
    s.DataSizeField = field;
    EXPECT_EQ(Read(BuildWav(s)).frames, 3) << field;
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

// 32-bit words under the integer tag: integers unless the data shows 16.8 floats.
std::vector<int64_t> Dirac(int64_t word, int32_t tap, bool bothChannels = false) {
  std::vector<int64_t> words(2 * static_cast<size_t>(tap + 4), 0);
  words[2 * tap] = word;
  if (bothChannels) words[2 * tap + 1] = word;
  return words;
}

int64_t IntWord(double tap) { return std::min<int64_t>(std::llround(tap * 2147483648.0), INT32_MAX); }

int64_t FloatWord(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return static_cast<int32_t>(bits);
}

// Decaying noise at a peak of `peak` (full scale 1.0), as integer or 16.8 float words.
std::vector<int64_t> DecayingNoise(int32_t frames, double peak, bool asFloat16_8, uint32_t seed) {
  std::vector<int64_t> words;
  uint32_t x = seed;
  for (int32_t i = 0; i < 2 * frames; ++i) {
    x = x * 1664525u + 1013904223u;
    const double v = peak * (static_cast<int32_t>(x) / 2147483648.0) * std::exp(-8.0 * i / (2 * frames));
    words.push_back(asFloat16_8 ? FloatWord(static_cast<float>(v * 32768.0)) : IntWord(v));
  }
  return words;
}

TEST_F(WavReaderTest, Int32FiltersReadAsIntegersWhateverTheirFloatReading) {
  auto expectIntegers = [&](const std::vector<int64_t>& words, bool extensible, const std::string& what) {
    WavSpec s = FormatOf(32, testing::IntSamples(words, 4));
    s.Extensible = extensible;
    int32_t type = 0;
    const std::vector<float> got = Decode(BuildWav(s), &type);
    ASSERT_EQ(type, WavTypeInt32) << what;
    for (size_t i = 0; i < words.size(); ++i)
      ASSERT_EQ(got[i], static_cast<float>(words[i] / 2147483648.0)) << what << " word " << i;
  };
  // Diracs, delays, gains and polarity flips from -120 dB to full scale. Read as floats,
  // -0.4 would play at 3277 times full scale and +0.5 at -84 dB.
  std::vector<double> amplitudes = {-0.4, 0.004, 0.5, 0.6015, 0.55, -0.45};
  for (int k = 0; k <= 20; ++k) amplitudes.push_back(std::ldexp(1.0, -k));
  for (double a : amplitudes)
    for (double sign : {1.0, -1.0})
      for (int32_t tap : {0, 1000})
        for (bool extensible : {false, true})
          expectIntegers(Dirac(IntWord(sign * a), tap), extensible,
                         std::to_string(sign * a) + " at " + std::to_string(tap) + (extensible ? " ext" : ""));
  for (double peak : {1.0, 0.5, 0.01, 1e-4})
    expectIntegers(DecayingNoise(3000, peak, false, 7), false, "dense " + std::to_string(peak));
  // Leading silence, then small integers (denormals as floats).
  std::vector<int64_t> words(2000, 0);
  words.insert(words.end(), {5, 12, 7, 3});
  expectIntegers(words, false, "small integers");
  // The extensible form is believed as it stands, even for float-looking words.
  expectIntegers(DecayingNoise(500, 0.5, true, 3), true, "float words, extensible integer form");
  EXPECT_TRUE(messages.empty());
}

TEST_F(WavReaderTest, Genuine16_8FloatFilesReadAsFloats) {
  auto typeOf = [&](const std::vector<int64_t>& words) {
    return Read(BuildWav(FormatOf(32, testing::IntSamples(words, 4)))).type;
  };
  // A dense response at any level below +12 dB, and the unit impulses, delays, polarity
  // flips and round gains old tools wrote on the 16.8 grid.
  for (double peak : {2.0, 1.0, 0.1, 1e-3, 1e-5}) EXPECT_EQ(typeOf(DecayingNoise(2000, peak, true, 11)), WavTypeFloat16_8) << peak;
  EXPECT_EQ(typeOf(Dirac(FloatWord(32768.0f), 0)), WavTypeFloat16_8);
  EXPECT_EQ(typeOf(Dirac(FloatWord(32768.0f), 1000, true)), WavTypeFloat16_8);
  EXPECT_EQ(typeOf(Dirac(FloatWord(-16384.0f), 3)), WavTypeFloat16_8);
  std::vector<int64_t> echoes(8000, 0);
  echoes[2 * 700] = FloatWord(32768.0f);
  echoes[2 * 1500 + 1] = FloatWord(-8192.0f);
  echoes[2 * 3000] = FloatWord(4096.5f);
  EXPECT_EQ(typeOf(echoes), WavTypeFloat16_8);
  int32_t type = 0;
  EXPECT_EQ(Decode(BuildWav(FormatOf(32, testing::FloatSamples({32768.0f, -16384.0f, 1.0f, 0.0f}))), &type),
            (std::vector<float>{1.0f, -0.5f, 1.0f / 32768, 0.0f}));
  EXPECT_EQ(type, WavTypeFloat16_8);
  EXPECT_EQ(typeOf(std::vector<int64_t>(2000, 0)), WavTypeFloat16_8) << "silence reads the same either way";
  EXPECT_EQ(typeOf({}), WavTypeFloat16_8) << "empty data";

  // Evidence too thin for floats: the header's integers hold. A lone tap off the grid
  // or below -18 dB, floats past +12 dB, a NaN (-1), an infinity.
  EXPECT_EQ(typeOf(Dirac(FloatWord(23170.475f), 0)), WavTypeInt32);
  EXPECT_EQ(typeOf(Dirac(FloatWord(1024.0f), 0)), WavTypeInt32);
  std::vector<int64_t> loud = DecayingNoise(100, 1.0, true, 5);
  loud[10] = FloatWord(140000.0f);
  EXPECT_EQ(typeOf(loud), WavTypeInt32);
  std::vector<int64_t> nan = DecayingNoise(100, 1.0, true, 5);
  nan[150] = -1;
  EXPECT_EQ(typeOf(nan), WavTypeInt32);
  EXPECT_EQ(typeOf({0x7F800000, 0}), WavTypeInt32);

  // Both readings leave the source at the first sample.
  const Header h = Read(BuildWav(FormatOf(32, testing::IntSamples(DecayingNoise(10, 1.0, true, 1), 4))));
  EXPECT_EQ(h.type, WavTypeFloat16_8);
  EXPECT_EQ(h.pos, 44);
}

// The layouts of the usual writers, each checked byte for byte against a file the tool
// wrote (scipy 1.10 scipy.io.wavfile.write, SoX 14.4.2, libsndfile 1.2.0, ffmpeg 5.1):
// - int32: scipy and libsndfile a 16-byte format chunk; sox and libsndfile's WAVEX the
//   extensible form, then a fact chunk;
// - float64: scipy and sox an 18-byte format chunk and fact; libsndfile 16 bytes, fact, PEAK;
// - RF64: libsndfile ds64 then the extensible form; ffmpeg (-rf64 always) a LIST before data.
TEST_F(WavReaderTest, ReadsWhatScipySoxLibsndfileAndFfmpegWrite) {
  // The filter that misread as floats: -0.4 at tap 1000 in the first channel, +0.5 at 0 in the second.
  std::vector<double> left(2000, 0.0), right(2000, 0.0);
  left[1000] = -0.4;
  right[0] = 0.5;
  std::vector<int64_t> ints;
  std::vector<double> doubles;
  for (size_t i = 0; i < left.size(); ++i) {
    ints.insert(ints.end(), {static_cast<int64_t>(left[i] * 2147483648.0), IntWord(right[i])});
    doubles.insert(doubles.end(), {left[i], right[i]});
  }
  Bytes fact;
  testing::PutU32(fact, 2000);
  Bytes peak(24, 0);  // libsndfile's PEAK body: version, time stamp, value and position per channel
  peak[0] = 1;

  WavSpec plain = FormatOf(32, testing::IntSamples(ints, 4));
  WavSpec extensible = plain;
  extensible.Extensible = true;
  extensible.BeforeData = {{"fact", fact}};
  WavSpec rf64 = plain;
  rf64.RiffId = "RF64";
  rf64.Extensible = true;
  WavSpec rf64Ffmpeg = rf64;
  rf64Ffmpeg.BeforeData = {{"LIST", Bytes(26, 'i')}};
  WavSpec bw64 = rf64;
  bw64.RiffId = "BW64";
  WavSpec f64 = FormatOf(64, testing::DoubleSamples(doubles), 3);
  f64.FmtSize = 18;
  f64.BeforeData = {{"fact", fact}};
  WavSpec f64Sndfile = f64;
  f64Sndfile.FmtSize = 16;
  f64Sndfile.BeforeData.push_back({"PEAK", peak});

  const std::vector<std::pair<const char*, WavSpec>> files = {
      {"int32 plain", plain},   {"int32 extensible", extensible}, {"RF64", rf64},
      {"RF64 ffmpeg", rf64Ffmpeg}, {"BW64", bw64},               {"float64", f64},
      {"float64 libsndfile", f64Sndfile}};
  for (const auto& [what, file] : files) {
    int32_t type = 0;
    const std::vector<float> got = Decode(BuildWav(file), &type);
    EXPECT_EQ(type, file.BitsPerSample == 64 ? WavTypeFloat64 : WavTypeInt32) << what;
    ASSERT_EQ(got.size(), 4000u) << what;
    EXPECT_EQ(got[2000], -0.4f) << what;
    EXPECT_EQ(got[1], 0.5f) << what;
    EXPECT_EQ(std::count(got.begin(), got.end(), 0.0f), 3998) << what;
  }
  EXPECT_TRUE(messages.empty());
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
