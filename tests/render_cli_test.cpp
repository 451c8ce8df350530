// tessival-render run as a program: results against a direct convolution, repeatability,
// and refusals that leave no output behind.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Reference.h"
#include "tests/support/WavBuilder.h"

namespace tessival {
namespace {

using testing::Bytes;
using testing::TempDir;

const std::string RenderBinary = std::string(TESSIVAL_BUILD_DIR) + "/tools/render/tessival-render";

struct RunResult {
  int code;
  std::string err;
};

RunResult Render(const std::string& args, const TempDir& dir) {
  const std::string errPath = dir / "stderr.txt";
  const std::string cmd = "'" + RenderBinary + "' --fft-estimate " + args + " 2>'" + errPath + "'";
  const int status = std::system(cmd.c_str());
  std::ifstream f(errPath);
  std::stringstream ss;
  ss << f.rdbuf();
  std::filesystem::remove(errPath);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ss.str()};
}

struct Stereo {
  std::vector<int32_t> left, right;
  SF_INFO info{};
};

Stereo ReadOutput(const std::string& path) {
  Stereo s;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &s.info);
  EXPECT_NE(f, nullptr) << path;
  if (!f) return s;
  std::vector<int32_t> frames(2 * static_cast<size_t>(s.info.frames));
  sf_readf_int(f, frames.data(), s.info.frames);  // left-justified 32-bit values
  sf_close(f);
  const int shift = (s.info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 16 : 8;
  for (sf_count_t i = 0; i < s.info.frames; ++i) {
    s.left.push_back(frames[2 * i] >> shift);
    s.right.push_back(frames[2 * i + 1] >> shift);
  }
  return s;
}

std::vector<double> AsFloats(std::vector<double> v) {
  for (double& x : v) x = static_cast<float>(x);
  return v;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  return names;
}

class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(out); }

  // A 16-bit stereo input of random integers at `amplitude` of full scale.
  void WriteInput(size_t frames, double amplitude, uint32_t rate = 48000, uint16_t channels = 2) {
    inL = testing::RandomSignal(frames, 11);
    inR = testing::RandomSignal(frames, 12);
    std::vector<int64_t> interleaved;
    for (size_t i = 0; i < frames; ++i) {
      inL[i] = std::nearbyint(inL[i] * amplitude * 32767);
      inR[i] = std::nearbyint(inR[i] * amplitude * 32767);
      interleaved.push_back(static_cast<int64_t>(inL[i]));
      if (channels == 2) interleaved.push_back(static_cast<int64_t>(inR[i]));
    }
    testing::WavSpec s;
    s.SampleRate = rate;
    s.Channels = channels;
    s.Data = testing::IntSamples(interleaved, 2);
    ASSERT_TRUE(testing::WriteBytes(input, testing::BuildWav(s)));
  }

  // Bank files with random taps, stored as 32-bit floats; kept as read back.
  void WriteBank(int files, size_t taps, double scale) {
    filters.clear();
    for (int i = 0; i < files; ++i) {
      auto l = testing::RandomSignal(taps, 100 + i), r = testing::RandomSignal(taps, 200 + i);
      for (auto* v : {&l, &r})
        for (double& x : *v) x *= scale;
      filters.push_back({AsFloats(l), AsFloats(r)});
      ASSERT_TRUE(testing::WriteBytes(dir / ("bank" + std::to_string(i + 1) + ".wav"),
                                      testing::FilterWav(l, r)));
    }
  }

  // Output channel ch in input units: the sum of both inputs' convolutions.
  std::vector<double> Expected(size_t ch, double gain) const {
    auto a = testing::DirectConvolution(inL, filters[ch][0]);
    const auto b = testing::DirectConvolution(inR, filters[ch][1]);
    for (size_t i = 0; i < a.size(); ++i) a[i] = (a[i] + b[i]) * gain;
    return a;
  }

  TempDir dir;
  const std::string out = dir / "out";
  const std::string input = dir / "in.wav";
  std::vector<double> inL, inR;
  std::vector<std::array<std::vector<double>, 2>> filters;
};

TEST_F(RenderTest, MatchesDirectConvolutionWithinOneStep) {
  const size_t frames = 5000, taps = 300;
  WriteInput(frames, 0.5);
  WriteBank(3, taps, 0.02);
  const RunResult r = Render("--gain S1=-6 --gain Master=2 '" + (dir / "bank2.wav") + "' '" +
                                 input + "' '" + out + "'", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("real-time factor"), std::string::npos) << r.err;
  // One line per file, no warning, the summary last.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;

  // Three filters: two devices; the gains as the gain dialog computes them.
  EXPECT_EQ(Listing(out).size(), 2u);
  const double dipole = std::pow(10.0, 2 / 20.0), s1 = std::pow(10.0, -4 / 20.0);
  const Stereo dev0 = ReadOutput(out + "/out0.wav");
  const Stereo dev1 = ReadOutput(out + "/out1.wav");
  for (const Stereo* s : {&dev0, &dev1}) {
    EXPECT_EQ(s->info.frames, static_cast<sf_count_t>(frames + taps - 1));
    EXPECT_EQ(s->info.channels, 2);
    EXPECT_EQ(s->info.samplerate, 48000);
    EXPECT_EQ(s->info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  }
  const std::vector<std::pair<const std::vector<int32_t>*, std::vector<double>>> channels = {
      {&dev0.left, Expected(0, dipole)}, {&dev0.right, Expected(1, dipole)}, {&dev1.left, Expected(2, s1)}};
  for (size_t c = 0; c < channels.size(); ++c) {
    const auto& [got, want] = channels[c];
    ASSERT_EQ(got->size(), want.size());
    double worst = 0;
    for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs((*got)[i] - want[i]));
    EXPECT_LE(worst, 1.0) << "channel " << c;
  }
  // The report's peaks, per file, against the direct convolution.
  for (int d = 0; d < 2; ++d) {
    double peak = 0;
    for (size_t c = 2 * d; c < std::min<size_t>(2 * d + 2, channels.size()); ++c)
      for (double v : channels[c].second) peak = std::max(peak, std::fabs(v) / 32768);
    char line[96];
    std::snprintf(line, sizeof line, "tessival-render: out%d.wav: peak %+.1f dBFS, no sample saturated\n", d,
                  20 * std::log10(peak));
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  }
}

// A bank that clips: out0's left channel doubles the input. The report counts every
// sample held at full scale, exactly (one tap keeps the arithmetic exact), and warns.
TEST_F(RenderTest, ReportsThePeaksAndTheSaturatedSamplesOfABankThatClips) {
  const size_t frames = 4000;
  WriteInput(frames, 0.9);
  ASSERT_TRUE(testing::WriteBytes(dir / "c1.wav", testing::FilterWav({2.0}, {0.0})));
  ASSERT_TRUE(testing::WriteBytes(dir / "c2.wav", testing::FilterWav({0.0}, {0.5})));
  const RunResult r = Render("'" + (dir / "c1.wav") + "' '" + input + "' '" + out + "'", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  long long held = 0;
  double peak = 0;
  for (double x : inL) {
    held += 2 * x >= 32767.5 || 2 * x < -32768.5;
    peak = std::max(peak, std::fabs(2 * x) / 32768);
  }
  ASSERT_GT(held, 0);
  char line[160];
  std::snprintf(line, sizeof line, "tessival-render: out0.wav: peak %+.1f dBFS, %lld samples saturated\n",
                20 * std::log10(peak), held);
  EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  std::snprintf(line, sizeof line,
                "tessival-render: warning: %lld samples saturated (out0.wav); lower the gains by %.1f dB or more\n",
                held, std::ceil(200 * std::log10(peak)) / 10);
  EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  EXPECT_NE(r.err.rfind("real-time factor"), std::string::npos);
}

TEST_F(RenderTest, UnitImpulseAt24BitsKeepsTheInputScale) {
  const size_t frames = 3000;
  WriteInput(frames, 0.9);
  ASSERT_TRUE(testing::WriteBytes(dir / "id1.wav", testing::FilterWav({1.0}, {0.0})));
  ASSERT_TRUE(testing::WriteBytes(dir / "id2.wav", testing::FilterWav({0.0}, {1.0})));
  for (const char* bits : {"16", "24"}) {
    SCOPED_TRACE(bits);
    const RunResult r = Render(std::string("--bits ") + bits + " '" + (dir / "id1.wav") + "' '" +
                                   input + "' '" + out + "'", dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const Stereo s = ReadOutput(out + "/out0.wav");
    ASSERT_EQ(s.left.size(), frames);  // M = 1: no tail
    const int32_t factor = bits[0] == '1' ? 1 : 256;  // 16-bit steps in 24-bit samples
    for (size_t i = 0; i < frames; ++i) {
      ASSERT_NEAR(s.left[i], inL[i] * factor, factor == 1 ? 0 : 1) << i;
      ASSERT_NEAR(s.right[i], inR[i] * factor, factor == 1 ? 0 : 1) << i;
    }
  }
}

TEST_F(RenderTest, TwentyFourBitFilesAreRoundedToNearestNotTruncated) {
  // A float input far below full scale, so that float error stays far below a 24-bit
  // step, through a gain of 0.75: the exact result falls between steps.
  const size_t frames = 20000;
  const auto x = testing::RandomSignal(2 * frames, 21);
  std::vector<float> interleaved;
  for (double v : x) interleaved.push_back(static_cast<float>(v / 256));
  testing::WavSpec s;
  s.FormatTag = 3;
  s.BitsPerSample = 32;
  s.Data = testing::FloatSamples(interleaved);
  ASSERT_TRUE(testing::WriteBytes(input, testing::BuildWav(s)));
  ASSERT_TRUE(testing::WriteBytes(dir / "g1.wav", testing::FilterWav({0.75}, {0.0})));
  const RunResult r = Render("--bits 24 '" + (dir / "g1.wav") + "' '" + input + "' '" + out + "'", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const Stereo got = ReadOutput(out + "/out0.wav");
  ASSERT_EQ(got.left.size(), frames);
  double sum = 0, worst = 0;
  for (size_t i = 0; i < frames; ++i) {
    // The capture rounds to 32-bit integers; the reference is exact from there on.
    const double want = std::nearbyint(static_cast<double>(interleaved[2 * i]) * 2147483648.0) * 0.75 / 256;
    const double e = got.left[i] - want;
    sum += e;
    worst = std::max(worst, std::fabs(e));
  }
  EXPECT_NEAR(sum / frames, 0.0, 0.02) << "a plain shift is biased by half a step";
  EXPECT_LE(worst, 0.51);
}

TEST_F(RenderTest, OlderOutputsThisRunDoesNotWriteAreRemoved) {
  WriteInput(500, 0.1);
  WriteBank(2, 20, 0.1);
  for (const char* name : {"out1.wav", "out3.wav", "out4.wav", "out7.wav", "notes.txt"})
    ASSERT_TRUE(testing::WriteBytes(out + "/" + name, Bytes(10, 1)));
  ASSERT_EQ(Render("'" + (dir / "bank1.wav") + "' '" + input + "' '" + out + "'", dir).code, 0);
  std::vector<std::string> names = Listing(out);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"notes.txt", "out0.wav", "out7.wav"}));
}

TEST_F(RenderTest, SameInputGivesIdenticalFilesAndDitherStaysWithinOneStep) {
  WriteInput(4000, 0.3);
  WriteBank(2, 200, 0.03);
  const std::string args = "'" + (dir / "bank1.wav") + "' '" + input + "' '" + out + "'";
  ASSERT_EQ(Render("--dither " + args, dir).code, 0);
  const Bytes first = testing::ReadBytes(out + "/out0.wav");
  ASSERT_EQ(Render("--dither " + args, dir).code, 0);
  EXPECT_EQ(testing::ReadBytes(out + "/out0.wav"), first);
  EXPECT_EQ(Listing(out), std::vector<std::string>{"out0.wav"}) << "no temporary file left";

  const Stereo dithered = ReadOutput(out + "/out0.wav");
  ASSERT_EQ(Render(args, dir).code, 0);
  const Stereo plain = ReadOutput(out + "/out0.wav");
  ASSERT_EQ(plain.left.size(), dithered.left.size());
  size_t changed = 0;
  for (size_t i = 0; i < plain.left.size(); ++i) {
    ASSERT_LE(std::abs(plain.left[i] - dithered.left[i]), 1) << i;
    changed += plain.left[i] != dithered.left[i];
  }
  EXPECT_GT(changed, plain.left.size() / 10);
}

TEST_F(RenderTest, BadInputsExitWithOneLineAndNoFiles) {
  WriteBank(2, 50, 0.1);
  const std::string bank = dir / "bank1.wav";
  testing::WavSpec s;
  s.SampleRate = 44100;
  s.Data = Bytes(400, 0);
  ASSERT_TRUE(testing::WriteBytes(dir / "cd.wav", testing::BuildWav(s)));
  s.SampleRate = 48000;
  s.Channels = 1;
  ASSERT_TRUE(testing::WriteBytes(dir / "mono.wav", testing::BuildWav(s)));
  ASSERT_TRUE(testing::WriteBytes(dir / "broken1.wav", Bytes{'R', 'I', 'F', 'F', 1}));
  WriteInput(100, 0.1);

  const std::string q = "'";
  struct Case {
    std::string args, named;
  };
  const std::vector<Case> cases = {
      {q + bank + "' '" + (dir / "cd.wav") + "' '" + out + q, "cd.wav"},
      {q + bank + "' '" + (dir / "mono.wav") + "' '" + out + q, "mono.wav"},
      {q + (dir / "none1.wav") + "' '" + input + "' '" + out + q, "none1.wav"},
      {q + (dir / "broken1.wav") + "' '" + input + "' '" + out + q, "broken1.wav"},
      {q + bank + "' '" + (dir / "missing.wav") + "' '" + out + q, "missing.wav"},
      {q + bank + "' '" + input + "' '" + (dir / "nofolder") + q, "nofolder"},
      {"--gain S9=1 '" + bank + "' '" + input + "' '" + out + q, "S9"},
      {"--gain Master=7 '" + bank + "' '" + input + "' '" + out + q, "Master=7"},
      {"--gain Dipole=-1.5 '" + bank + "' '" + input + "' '" + out + q, "Dipole=-1.5"},
      {"--bits 20 '" + bank + "' '" + input + "' '" + out + q, "20"},
      {q + bank + "' '" + input + q, "BANKFILE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const RunResult r = Render(c.args, dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_TRUE(Listing(out).empty());
  }
}

}  // namespace
}  // namespace tessival
