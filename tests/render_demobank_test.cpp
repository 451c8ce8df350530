// The demo bank as tessival-demobank writes it: a loadable ten-channel float bank whose
// dipole pair, rendered offline, cancels the crosstalk of the head model it was designed
// for; quiet, decorrelated ambience channels; and the tiny check bank.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "tests/support/Reference.h"
#include "tests/support/WavBuilder.h"
#include "tools/xtc/HeadModel.h"

namespace tessival {
namespace {

using Complex = std::complex<double>;
using Signal = std::vector<double>;
using testing::TempDir;

const std::string BuildDir = TESSIVAL_BUILD_DIR;
const std::string DemoBankBinary = BuildDir + "/tools/demobank/tessival-demobank";
const std::string RenderBinary = BuildDir + "/tools/render/tessival-render";
constexpr int Taps = 16384;

int RunQuiet(const std::string& command) {
  const int status = std::system((command + " >/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Both channels of a file, at full scale 1.0.
struct Stereo {
  Signal ch[2];
  SF_INFO info{};
};
Stereo ReadStereo(const std::string& path) {
  Stereo s;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &s.info);
  EXPECT_NE(f, nullptr) << path;
  if (!f) return s;
  Signal frames(2 * static_cast<size_t>(s.info.frames));
  sf_readf_double(f, frames.data(), s.info.frames);
  sf_close(f);
  for (size_t i = 0; i < frames.size(); ++i) s.ch[i % 2].push_back(frames[i]);
  return s;
}

bool WriteStereoFloat(const std::string& path, const Signal& left, const Signal& right) {
  SF_INFO info{};
  info.samplerate = 48000;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  Signal frames;
  for (size_t i = 0; i < left.size(); ++i) {
    frames.push_back(left[i]);
    frames.push_back(right[i]);
  }
  const bool ok = sf_writef_double(f, frames.data(), static_cast<sf_count_t>(left.size())) ==
                  static_cast<sf_count_t>(left.size());
  return sf_close(f) == 0 && ok;
}

// DFT of `x[first, first + n)` at one frequency; the phasor is renewed every 256 taps
// so that rounding does not build up.
Complex ResponseAt(const Signal& x, size_t first, size_t n, double hz) {
  const double w = 2 * std::numbers::pi * hz / 48000.0;
  const Complex step = std::polar(1.0, -w);
  Complex sum = 0;
  for (size_t i = 0; i < n; i += 256) {
    Complex phasor = std::polar(1.0, -w * static_cast<double>(i));
    for (size_t j = i; j < std::min(n, i + 256); ++j, phasor *= step) sum += x[first + j] * phasor;
  }
  return sum;
}

double Db(double v) { return 20 * std::log10(v); }

class DemoBankTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bank = std::make_unique<TempDir>();
    ASSERT_EQ(RunQuiet(Quoted(DemoBankBinary) + " " + Quoted(bank->Path())), 0);
  }
  static void TearDownTestSuite() { bank.reset(); }

  void SetUp() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
    FftPlanMeasure = false;
    Ui.ShowMessage = [this](MessageKind, const std::string& t) { messages.push_back(t); };
    Ui.SetStatusText = [](const std::string&) {};
  }
  void TearDown() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
    ResetUiHooks();
  }

  static std::string File(const std::string& name) { return *bank / name; }

  static inline std::unique_ptr<TempDir> bank;
  std::vector<std::string> messages;
};

TEST_F(DemoBankTest, LoadsAsTenFloatChannelsAt48kAndIsTheSameEveryRun) {
  // Any member of the set loads the whole set.
  for (const char* chosen : {"demo1.wav", "demo7.wav"}) {
    SCOPED_TRACE(chosen);
    ASSERT_TRUE(LoadFilterBank(File(chosen)));
    EXPECT_EQ(TheEngine.NumFilterChannels, 10);
    EXPECT_EQ(SurroundChannels, 8);
    EXPECT_EQ(SampleRate, 48000);
    EXPECT_EQ(TheEngine.FilterLength, Taps);
    EXPECT_EQ(TheEngine.LastOutDevice, 4);
    ASSERT_GE(BankSampleType, 1);
    EXPECT_STREQ(SampleTypeNames[BankSampleType], "IEEE Float (0.24 type 3)");
  }

  ASSERT_TRUE(LoadFilterBank(File("tiny2.wav")));
  EXPECT_EQ(TheEngine.NumFilterChannels, 2);
  EXPECT_EQ(TheEngine.FilterLength, 256);
  EXPECT_STREQ(SampleTypeNames[BankSampleType], "16-bit Int PCM");
  EXPECT_TRUE(messages.empty()) << messages.front();

  // A fixed seed: a second run writes the same bytes.
  TempDir again;
  ASSERT_EQ(RunQuiet(Quoted(DemoBankBinary) + " " + Quoted(again.Path())), 0);
  for (const char* name : {"demo1.wav", "demo2.wav", "demo5.wav", "demo10.wav", "tiny1.wav"}) {
    EXPECT_EQ(testing::ReadBytes(again / name), testing::ReadBytes(File(name))) << name;
  }
}

// Renders a left impulse and, one filter length later, a right impulse through the
// bank, then lets the head model carry the dipole pair's output to the ears.
TEST_F(DemoBankTest, DipolePairCancelsCrosstalkAtTheEarsFrom300HzTo4kHz) {
  TempDir work;
  const size_t gap = 20000;
  const double level = 0.5;
  Signal left(gap + 1, 0.0), right(gap + 1, 0.0);
  left[0] = level;
  right[gap] = level;
  ASSERT_TRUE(WriteStereoFloat(work / "in.wav", left, right));
  ASSERT_EQ(RunQuiet(Quoted(RenderBinary) + " --fft-estimate --bits 24 " +
                     Quoted(File("demo1.wav")) + " " + Quoted(work / "in.wav") + " " +
                     Quoted(work.Path()) + " 2>/dev/null"),
            0);
  const Stereo speakers = ReadStereo(work / "out0.wav");
  ASSERT_EQ(speakers.info.frames, static_cast<sf_count_t>(gap + Taps));

  double worst[2] = {1e9, 1e9};
  for (double hz = 300; hz <= 4000; hz += 10) {
    const Complex ipsi = xtc::EarPath(xtc::Geometry{}, true, hz);
    const Complex contra = xtc::EarPath(xtc::Geometry{}, false, hz);
    for (int in = 0; in < 2; ++in) {
      const size_t first = in == 0 ? 0 : gap;
      const Complex l = ResponseAt(speakers.ch[0], first, Taps, hz) / level;
      const Complex r = ResponseAt(speakers.ch[1], first, Taps, hz) / level;
      const Complex leftEar = ipsi * l + contra * r, rightEar = contra * l + ipsi * r;
      const double near = std::abs(in == 0 ? leftEar : rightEar);
      const double far = std::abs(in == 0 ? rightEar : leftEar);
      worst[in] = std::min(worst[in], Db(near / far));
      if (hz == 1000) {
        // Audible in the middle of the band, though scaled down for the low-end peak.
        EXPECT_GT(Db(near), -12.0);
        EXPECT_LT(Db(near), 0.0);
      }
    }
  }
  std::printf("least crosstalk suppression, 300 Hz to 4 kHz: %.1f dB (left input), "
              "%.1f dB (right input)\n", worst[0], worst[1]);
  EXPECT_GE(worst[0], 15.0);
  EXPECT_GE(worst[1], 15.0);
  EXPECT_NEAR(worst[0], worst[1], 0.5) << "the pair is symmetric";
}

TEST_F(DemoBankTest, CancellerPeakGainIsAbout12dB) {
  const Stereo a = ReadStereo(File("demo1.wav")), b = ReadStereo(File("demo2.wav"));
  double peak = 0;
  for (double hz = 20; hz <= 20000; hz *= 1.01) {
    for (const Stereo* s : {&a, &b}) {
      peak = std::max(peak, std::abs(ResponseAt(s->ch[0], 0, Taps, hz)) +
                                std::abs(ResponseAt(s->ch[1], 0, Taps, hz)));
    }
  }
  EXPECT_LT(Db(peak), 12.5);
  EXPECT_GT(Db(peak), 9.0);
}

// The load's headroom of the dipole pair against the files read by libsndfile: the
// bound summed in double precision, and the peak checked by a direct DFT at the
// frequency reported and on a grid 16 times finer around it (which may find it a
// little higher between the load's grid points, not more).
TEST_F(DemoBankTest, LoadMeasuresTheDipolePairsHeadroom) {
  ASSERT_TRUE(LoadFilterBank(File("demo1.wav")));
  for (int ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    const Stereo s = ReadStereo(File("demo" + std::to_string(ch + 1) + ".wav"));
    ASSERT_TRUE(BankHeadroom[ch].has_value());
    const ChannelHeadroom& h = *BankHeadroom[ch];
    double bound = 0;
    for (int side = 0; side < 2; ++side)
      for (double tap : s.ch[side]) bound += std::fabs(tap);
    EXPECT_NEAR(h.BoundDb, Db(bound), 1e-3);
    EXPECT_NEAR(h.PeakDb, 12.0, 0.1);

    const auto sum = [&](double hz) {
      return std::abs(ResponseAt(s.ch[0], 0, Taps, hz)) + std::abs(ResponseAt(s.ch[1], 0, Taps, hz));
    };
    const double hz = h.PeakCycles * 48000;
    EXPECT_NEAR(Db(sum(hz)), h.PeakDb, 0.01);
    const double step = 48000.0 / (4.0 * Taps) / 16;  // a sixteenth of the load's grid
    double finest = 0;
    for (int i = -16; i <= 16; ++i) finest = std::max(finest, sum(hz + i * step));
    EXPECT_LT(Db(finest) - h.PeakDb, 0.05);
    EXPECT_LT(h.PeakDb, h.BoundDb);
  }
}

TEST_F(DemoBankTest, AmbienceChannelsAreQuietDecorrelatedAndMixedDifferently) {
  std::vector<Signal> filters;
  std::vector<double> leftShares;
  for (int file = 3; file <= 10; ++file) {
    const Stereo s = ReadStereo(File("demo" + std::to_string(file) + ".wav"));
    ASSERT_EQ(s.info.frames, Taps);
    ASSERT_EQ(s.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    double energy[2] = {0, 0};
    for (int c = 0; c < 2; ++c) {
      for (double v : s.ch[c]) {
        energy[c] += v * v;
        ASSERT_LT(std::fabs(v), 0.5);
      }
      filters.push_back(s.ch[c]);
    }
    const double total = 10 * std::log10(energy[0] + energy[1]);
    EXPECT_GT(total, -18.0) << file;
    EXPECT_LT(total, -6.0) << file;
    leftShares.push_back(energy[0] / (energy[0] + energy[1]));
  }
  std::sort(leftShares.begin(), leftShares.end());
  for (size_t i = 1; i < leftShares.size(); ++i) EXPECT_GT(leftShares[i] - leftShares[i - 1], 0.02);

  // Normalised cross-correlation of every pair of the 16 filters, over lags of +-1 ms.
  double worst = 0;
  for (size_t i = 0; i < filters.size(); ++i) {
    for (size_t j = i + 1; j < filters.size(); ++j) {
      double ei = 0, ej = 0;
      for (int n = 0; n < Taps; ++n) {
        ei += filters[i][n] * filters[i][n];
        ej += filters[j][n] * filters[j][n];
      }
      for (int lag = -48; lag <= 48; ++lag) {
        double sum = 0;
        for (int n = std::max(0, -lag); n < std::min(Taps, Taps - lag); ++n) {
          sum += filters[i][n] * filters[j][n + lag];
        }
        worst = std::max(worst, std::fabs(sum) / std::sqrt(ei * ej));
      }
    }
  }
  EXPECT_LT(worst, 0.3);
}

TEST_F(DemoBankTest, TinyBankPassesTheLeftInputAndDelaysTheRightBy1ms) {
  TempDir work;
  const Signal left = testing::RandomSignal(3000, 5), right = testing::RandomSignal(3000, 6);
  Signal l16(left), r16(right);
  for (Signal* v : {&l16, &r16})
    for (double& x : *v) x = std::nearbyint(x * 0.5 * 32768) / 32768;
  ASSERT_TRUE(WriteStereoFloat(work / "in.wav", l16, r16));
  ASSERT_EQ(RunQuiet(Quoted(RenderBinary) + " --fft-estimate " + Quoted(File("tiny1.wav")) + " " +
                Quoted(work / "in.wav") + " " + Quoted(work.Path()) + " 2>/dev/null"),
            0);
  const Stereo out = ReadStereo(work / "out0.wav");
  ASSERT_EQ(out.ch[0].size(), l16.size() + 255);
  for (size_t i = 0; i < out.ch[0].size(); ++i) {
    const double wantL = i < l16.size() ? l16[i] : 0.0;
    const double wantR = i >= 48 && i - 48 < r16.size() ? r16[i - 48] : 0.0;
    ASSERT_NEAR(out.ch[0][i], wantL, 1.01 / 32768) << i;
    ASSERT_NEAR(out.ch[1][i], wantR, 1.01 / 32768) << i;
  }
}

}  // namespace
}  // namespace tessival
