// tessival-xtc run as a program: the sphere design checked at the model's own ears (by
// its filters and through the renderer), measurements and SOFA files made from the
// model's responses giving the model's filters, and every refusal leaving nothing behind.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "tests/support/WavBuilder.h"
#include "tools/xtc/Design.h"

namespace tessival {
namespace {

using Complex = std::complex<double>;
using Signal = std::vector<double>;
using testing::TempDir;
using xtc::Geometry;

const std::string BuildDir = TESSIVAL_BUILD_DIR;
const std::string XtcBinary = BuildDir + "/tools/xtc/tessival-xtc";
const std::string RenderBinary = BuildDir + "/tools/render/tessival-render";

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct RunResult {
  int Code;
  std::string Out, Err;
};

RunResult RunCommand(const std::string& command, const TempDir& scratch) {
  const std::string out = scratch / "stdout.txt", err = scratch / "stderr.txt";
  const int status = std::system((command + " >" + Quoted(out) + " 2>" + Quoted(err)).c_str());
  RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return r;
}

RunResult Xtc(const std::string& args, const TempDir& scratch) {
  return RunCommand(Quoted(XtcBinary) + " " + args, scratch);
}

// A designed canceller, C[speaker][input], from OUTSTEM1.wav and OUTSTEM2.wav (or the
// two channels of one file as C[0][x], C[1][x]).
struct Canceller {
  Signal C[2][2];
  int Rate = 0;
};
Canceller ReadCanceller(const std::string& stem, bool oneFile = false) {
  Canceller c;
  for (int s = 0; s < (oneFile ? 1 : 2); ++s) {
    SF_INFO info{};
    SNDFILE* f = sf_open((oneFile ? stem : stem + std::to_string(s + 1) + ".wav").c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << stem;
    if (!f) return c;
    EXPECT_EQ(info.format, oneFile ? info.format : SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    Signal frames(2 * static_cast<size_t>(info.frames));
    sf_readf_double(f, frames.data(), info.frames);
    sf_close(f);
    c.Rate = info.samplerate;
    for (size_t i = 0; i < frames.size(); ++i) c.C[oneFile ? i % 2 : s][oneFile ? 0 : i % 2].push_back(frames[i]);
  }
  return c;
}

// DFT of x at one frequency; the phasor is renewed every 256 taps.
Complex ResponseAt(const Signal& x, double hz, double rate) {
  const double w = 2 * std::numbers::pi * hz / rate;
  const Complex step = std::polar(1.0, -w);
  Complex sum = 0;
  for (size_t i = 0; i < x.size(); i += 256) {
    Complex phasor = std::polar(1.0, -w * static_cast<double>(i));
    for (size_t j = i; j < std::min(x.size(), i + 256); ++j, phasor *= step) sum += x[j] * phasor;
  }
  return sum;
}

double Db(double v) { return 20 * std::log10(v); }

// What the model's ears hear of input x through a canceller.
struct Ears {
  Complex Near, Far;
};
Ears AtTheEars(const Canceller& c, const Geometry& g, int x, double hz) {
  const Complex l = ResponseAt(c.C[0][x], hz, c.Rate), r = ResponseAt(c.C[1][x], hz, c.Rate);
  const Complex ipsi = xtc::EarPath(g, true, hz), contra = xtc::EarPath(g, false, hz);
  const Complex left = ipsi * l + contra * r, right = contra * l + ipsi * r;
  return x == 0 ? Ears{left, right} : Ears{right, left};
}

// Least crosstalk suppression (near over far, dB) at the model's ears from lo to hi Hz,
// the worse input.
double LeastSuppression(const Canceller& c, const Geometry& g, double lo, double hi) {
  double worst = 1e9;
  for (double hz = lo; hz <= hi; hz += 10) {
    for (int x = 0; x < 2; ++x) {
      const Ears e = AtTheEars(c, g, x, hz);
      worst = std::min(worst, Db(std::abs(e.Near) / std::abs(e.Far)));
    }
  }
  return worst;
}

// Largest difference of two cancellers' taps, relative to the largest tap.
double RelativeDifference(const Canceller& a, const Canceller& b) {
  double diff = 0, top = 0;
  for (int s = 0; s < 2; ++s) {
    for (int x = 0; x < 2; ++x) {
      EXPECT_EQ(a.C[s][x].size(), b.C[s][x].size());
      for (size_t i = 0; i < std::min(a.C[s][x].size(), b.C[s][x].size()); ++i) {
        diff = std::max(diff, std::fabs(a.C[s][x][i] - b.C[s][x][i]));
        top = std::max(top, std::fabs(a.C[s][x][i]));
      }
    }
  }
  return diff / top;
}

// The model's responses as a measurement program would export them: each loudspeaker
// at (left ear, right ear), `lead` samples of silence more than the model has, `frames`
// long, with an optional echo of everything `echoDelay` samples later.
void WriteMeasurement(const xtc::ImpulsePlant& p, const std::string& leftPath, const std::string& rightPath,
                      int sampleType = 4, size_t lead = 300, size_t frames = 1500, size_t echoDelay = 0,
                      double echoGain = 0) {
  for (int s = 0; s < 2; ++s) {
    Signal ear[2];
    for (int e = 0; e < 2; ++e) {
      ear[e].assign(frames, 0.0);
      for (size_t i = lead; i < frames; ++i) ear[e][i] = p.H[e][s][i - lead];
      for (size_t i = lead + echoDelay; echoGain != 0 && i < frames; ++i) {
        ear[e][i] += echoGain * p.H[e][s][i - lead - echoDelay];
      }
    }
    ASSERT_TRUE(testing::WriteBytes(s == 0 ? leftPath : rightPath,
                                    testing::FilterWav(ear[0], ear[1], static_cast<uint32_t>(p.Rate), sampleType)));
  }
}

// The octave figures of a report: centre -> {left input, right input}.
struct OctaveLine {
  double Hz, Left, Right;
};
std::vector<OctaveLine> ReportedOctaves(const std::string& report) {
  std::vector<OctaveLine> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    OctaveLine o;
    if (std::sscanf(line.c_str(), " %lf Hz %lf %lf", &o.Hz, &o.Left, &o.Right) == 3) lines.push_back(o);
  }
  return lines;
}

class XtcTest : public ::testing::Test {
 protected:
  // The default design, made once: it is the reference several tests compare with.
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>();
    const RunResult r = Xtc(Quoted(*dir / "model"), *dir);
    ASSERT_EQ(r.Code, 0) << r.Err;
    report = r.Out;
  }
  static void TearDownTestSuite() { dir.reset(); }

  static std::string Model() { return *dir / "model"; }

  static inline std::unique_ptr<TempDir> dir;
  static inline std::string report;
  TempDir work;
};

TEST_F(XtcTest, SphereDesignCancels20dBFrom300HzTo4kHzAndReportsWhatTheModelsEarsHear) {
  const Canceller c = ReadCanceller(Model());
  ASSERT_EQ(c.Rate, 48000);
  ASSERT_EQ(c.C[0][0].size(), 16384u);
  const double least = LeastSuppression(c, Geometry{}, 300, 4000);
  std::printf("least crosstalk suppression at the model's ears, 300 Hz to 4 kHz: %.1f dB\n", least);
  EXPECT_GE(least, 20.0);
  EXPECT_EQ(ReadText(Model() + ".txt"), report) << "the report on stdout and in OUTSTEM.txt";

  // The report's octave figures against the ears of the analytic model, computed from
  // the files on a grid of its own.
  const std::vector<OctaveLine> lines = ReportedOctaves(report);
  ASSERT_EQ(lines.size(), 8u) << report;
  for (const OctaveLine& line : lines) {
    double near[2] = {}, far[2] = {};
    for (double hz = line.Hz / std::sqrt(2.0); hz < line.Hz * std::sqrt(2.0); hz += line.Hz / 200) {
      for (int x = 0; x < 2; ++x) {
        const Ears e = AtTheEars(c, Geometry{}, x, hz);
        near[x] += std::norm(e.Near);
        far[x] += std::norm(e.Far);
      }
    }
    const double mine[2] = {10 * std::log10(far[0] / near[0]), 10 * std::log10(far[1] / near[1])};
    const double theirs[2] = {line.Left, line.Right};
    for (int x = 0; x < 2; ++x) {
      if (mine[x] < -60 && theirs[x] < -60) continue;  // both deep: rounding decides the digits
      EXPECT_NEAR(mine[x], theirs[x], 1.0) << line.Hz << " Hz, input " << x;
    }
  }

  // The headroom lines against the files: the sum of |taps|, and the peak of
  // |C_left(f)| + |C_right(f)| found on a fine grid around the low band edge.
  for (int s = 0; s < 2; ++s) {
    const std::string file = Model() + std::to_string(s + 1) + ".wav";
    const size_t at = report.find(file + ": ");
    ASSERT_NE(at, std::string::npos) << report;
    double peakDb = 0, peakHz = 0, boundDb = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + at + file.size() + 2,
                          "%lf dB at %lf Hz for a full-scale sine; at most %lf dB", &peakDb, &peakHz, &boundDb),
              3);
    double bound = 0, peak = 0;
    for (int x = 0; x < 2; ++x)
      for (double v : c.C[s][x]) bound += std::fabs(v);
    for (double hz = 100; hz <= 1000; hz += 0.5) {
      peak = std::max(peak, std::abs(ResponseAt(c.C[s][0], hz, 48000)) + std::abs(ResponseAt(c.C[s][1], hz, 48000)));
    }
    EXPECT_NEAR(boundDb, Db(bound), 0.06);
    EXPECT_NEAR(peakDb, Db(peak), 0.1);
    EXPECT_GT(peakDb, 12.0) << "two paths of up to +12 dB add up";
  }
  EXPECT_NE(report.find("Latency added by the modelling delay: 10.7 ms (512 samples)"), std::string::npos);
}

// Renders a left impulse and, later, a right impulse through the bank, then lets the
// model carry the loudspeaker feeds to the ears.
TEST_F(XtcTest, BankLoadsInTessivalAndRendersWithTheCrosstalkCancelled) {
  Ui.ShowMessage = [](MessageKind, const std::string& t) { ADD_FAILURE() << t; };
  FftPlanMeasure = false;
  ASSERT_TRUE(LoadFilterBank(Model() + "2.wav"));
  EXPECT_EQ(TheEngine.NumFilterChannels, 2);
  EXPECT_EQ(TheEngine.FilterLength, 16384);
  EXPECT_EQ(SampleRate, 48000);
  ResetFilterBank();
  TheEngine.ResetEngine();
  ResetUiHooks();

  const size_t gap = 20000;
  Signal in[2] = {Signal(gap + 1, 0.0), Signal(gap + 1, 0.0)};
  in[0][0] = in[1][gap] = 0.25;
  ASSERT_TRUE(testing::WriteBytes(work / "in.wav", testing::FilterWav(in[0], in[1])));
  const RunResult r = RunCommand(Quoted(RenderBinary) + " --fft-estimate --bits 24 " + Quoted(Model() + "1.wav") +
                                     " " + Quoted(work / "in.wav") + " " + Quoted(work.Path()),
                                 work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  const Canceller feeds = ReadCanceller(work / "out0.wav", true);  // C[loudspeaker][0]
  ASSERT_EQ(feeds.C[0][0].size(), gap + 1 + 16383);
  Canceller rendered;
  rendered.Rate = 48000;
  for (int x = 0; x < 2; ++x) {
    for (int s = 0; s < 2; ++s) {
      const auto first = feeds.C[s][0].begin() + (x == 0 ? 0 : gap);
      rendered.C[s][x].assign(first, first + 16384);
      for (double& v : rendered.C[s][x]) v *= 4;
    }
  }
  EXPECT_GE(LeastSuppression(rendered, Geometry{}, 300, 4000), 20.0);
}

TEST_F(XtcTest, MeasuredPairOfTheModelsResponsesGivesTheModelsFiltersWhateverItsTypeRateAndRoom) {
  const xtc::ImpulsePlant plant = xtc::SphereImpulses(Geometry{}, 48000);
  const std::string pair = "--measured " + Quoted(work / "L.wav") + " " + Quoted(work / "R.wav") + " ";
  WriteMeasurement(plant, work / "L.wav", work / "R.wav");
  RunResult r = Xtc(pair + Quoted(work / "m"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  const Canceller measured = ReadCanceller(work / "m");
  EXPECT_LT(RelativeDifference(ReadCanceller(Model()), measured), 1e-5) << "the same filters within float error";

  // A reflection 8 ms after the direct sound lies beyond the 5 ms window; one at 2 ms
  // does not.
  WriteMeasurement(plant, work / "L.wav", work / "R.wav", 4, 300, 1500, 384, 0.5);
  ASSERT_EQ(Xtc(pair + Quoted(work / "late"), work).Code, 0);
  EXPECT_EQ(RelativeDifference(measured, ReadCanceller(work / "late")), 0.0);
  WriteMeasurement(plant, work / "L.wav", work / "R.wav", 4, 300, 1500, 96, 0.5);
  ASSERT_EQ(Xtc(pair + Quoted(work / "early"), work).Code, 0);
  EXPECT_GT(RelativeDifference(measured, ReadCanceller(work / "early")), 1e-3);

  // 24-bit packed integers at 44.1 kHz: designed at that rate, or resampled to 48 kHz.
  WriteMeasurement(xtc::SphereImpulses(Geometry{}, 44100), work / "L.wav", work / "R.wav", 5);
  r = Xtc(pair + Quoted(work / "own"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("44100 Hz, 16384 taps"), std::string::npos) << r.Out;
  ASSERT_EQ(Xtc(pair + "--rate 48000 " + Quoted(work / "resampled"), work).Code, 0);
  for (const char* stem : {"own", "resampled"}) {
    const Canceller c = ReadCanceller(work / stem);
    EXPECT_EQ(c.Rate, stem[0] == 'o' ? 44100 : 48000);
    EXPECT_GE(LeastSuppression(c, Geometry{}, 300, 4000), 20.0) << stem;
  }
}

// A tiny SOFA file, written by ncgen: the model's responses at a few azimuths. (The
// SOFA attributes are all there: libmysofa refuses some files with fewer.)
void WriteSofa(const std::string& path, const std::vector<double>& azimuths, const TempDir& scratch) {
  constexpr int taps = 512;
  std::ostringstream cdl;
  cdl << "netcdf hrtf {\ndimensions: I = 1 ; C = 3 ; R = 2 ; E = 1 ; N = " << taps << " ; M = " << azimuths.size()
      << R"( ;
variables:
 double ListenerPosition(I, C) ; ListenerPosition:Type = "cartesian" ; ListenerPosition:Units = "metre" ;
 double ReceiverPosition(R, C, I) ; ReceiverPosition:Type = "cartesian" ; ReceiverPosition:Units = "metre" ;
 double SourcePosition(M, C) ; SourcePosition:Type = "spherical" ;
  SourcePosition:Units = "degree, degree, metre" ;
 double EmitterPosition(E, C, I) ; EmitterPosition:Type = "cartesian" ; EmitterPosition:Units = "metre" ;
 double ListenerUp(I, C) ; double ListenerView(I, C) ; ListenerView:Type = "cartesian" ;
  ListenerView:Units = "metre" ;
 double Data.IR(M, R, N) ; double Data.SamplingRate(I) ; Data.SamplingRate:Units = "hertz" ;
 double Data.Delay(I, R) ;
 :Conventions = "SOFA" ; :Version = "2.1" ; :SOFAConventions = "SimpleFreeFieldHRIR" ;
 :SOFAConventionsVersion = "1.0" ; :APIName = "tessival test" ; :APIVersion = "1.0" ; :DataType = "FIR" ;
 :RoomType = "free field" ; :Title = "" ; :DateCreated = "2024-01-01 00:00:00" ;
 :DateModified = "2024-01-01 00:00:00" ; :AuthorContact = "" ; :Organization = "" ; :License = "" ;
 :ApplicationName = "" ; :ApplicationVersion = "" ; :Comment = "" ; :History = "" ; :References = "" ;
 :Origin = "" ; :DatabaseName = "" ; :ListenerShortName = "" ;
data:
 ListenerPosition = 0, 0, 0 ; ReceiverPosition = 0, 0.0875, 0, 0, -0.0875, 0 ; EmitterPosition = 0, 0, 0 ;
 ListenerUp = 0, 0, 1 ; ListenerView = 1, 0, 0 ; Data.SamplingRate = 48000 ; Data.Delay = 0, 0 ;
 SourcePosition =)";
  for (size_t m = 0; m < azimuths.size(); ++m) cdl << (m ? ", " : " ") << azimuths[m] << ", 0, 2";
  cdl << " ;\n Data.IR =";
  const char* separator = " ";
  for (double azimuth : azimuths) {
    // A source on the left (positive azimuth) is ipsilateral to the left ear.
    const xtc::ImpulsePlant p = xtc::SphereImpulses(Geometry{2 * std::fabs(azimuth), 2.0, 0.0875}, 48000);
    const int source = azimuth >= 0 ? 0 : 1;
    for (int ear = 0; ear < 2; ++ear) {
      for (int i = 0; i < taps; ++i, separator = ", ") {
        cdl << separator << std::setprecision(9) << static_cast<float>(p.H[ear][source][i]);
      }
    }
  }
  cdl << " ;\n}\n";
  std::ofstream(scratch / "hrtf.cdl") << cdl.str();
  const RunResult r = RunCommand("ncgen -k nc4 -o " + Quoted(path) + " " + Quoted(scratch / "hrtf.cdl"), scratch);
  ASSERT_EQ(r.Code, 0) << "ncgen (Debian's netcdf-bin) writes the test's SOFA file: " << r.Err;
}

TEST_F(XtcTest, SofaFileOfTheModelsResponsesGivesTheModelsFiltersAndInterpolatesBetweenDirections) {
  WriteSofa(work / "head.sofa", {0, 5, -5, 10, -10, 30, -30}, work);
  RunResult r = Xtc("--sofa " + Quoted(work / "head.sofa") + " " + Quoted(work / "s"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("measured at azimuth +5.0"), std::string::npos) << r.Out;
  EXPECT_LT(RelativeDifference(ReadCanceller(Model()), ReadCanceller(work / "s")), 1e-5)
      << "the same filters within float error";

  // Loudspeakers at +-7.5 degrees lie between the measured 5 and 10.
  r = Xtc("--sofa " + Quoted(work / "head.sofa") + " --span 15 " + Quoted(work / "between"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("interpolated around the measured azimuth"), std::string::npos) << r.Out;
  EXPECT_GE(LeastSuppression(ReadCanceller(work / "between"), Geometry{15.0, 2.0, 0.0875}, 500, 4000), 15.0);
}

TEST_F(XtcTest, BadInputIsOneLineNamingTheProblemExit1AndNothingWritten) {
  const xtc::ImpulsePlant plant = xtc::SphereImpulses(Geometry{}, 48000);
  WriteMeasurement(plant, work / "L.wav", work / "R.wav");
  const Signal ramp = [] {
    Signal s(1000);
    for (size_t i = 0; i < s.size(); ++i) s[i] = 0.001 * static_cast<double>(i % 100);
    return s;
  }();
  const Signal zeros(1000, 0.0);
  Signal withNan = ramp;
  withNan[500] = std::nan("");
  testing::WavSpec mono;
  mono.Channels = 1;
  mono.Data = testing::IntSamples(std::vector<int64_t>(1000, 100), 2);
  ASSERT_TRUE(testing::WriteBytes(work / "mono.wav", testing::BuildWav(mono)));
  ASSERT_TRUE(testing::WriteBytes(work / "silent.wav", testing::FilterWav(zeros, zeros)));
  ASSERT_TRUE(testing::WriteBytes(work / "deaf.wav", testing::FilterWav(ramp, zeros)));
  ASSERT_TRUE(testing::WriteBytes(work / "nan.wav", testing::FilterWav(withNan, ramp)));
  ASSERT_TRUE(testing::WriteBytes(work / "rate.wav", testing::FilterWav(ramp, ramp, 44100)));
  ASSERT_TRUE(testing::WriteBytes(work / "junk.wav", testing::Bytes(100, 'x')));
  WriteMeasurement(plant, work / "shortL.wav", work / "shortR.wav", 4, 300, 300 + 96 + 100);
  {
    // A click 20 ms before the right loudspeaker's direct sound.
    Signal ear[2];
    for (int e = 0; e < 2; ++e) {
      ear[e].assign(3000, 0.0);
      for (size_t i = 1500; i < 3000; ++i) ear[e][i] = plant.H[e][1][i - 1500];
    }
    ear[0][1500 - 960] = 0.5;
    ASSERT_TRUE(testing::WriteBytes(work / "click.wav", testing::FilterWav(ear[0], ear[1])));
  }
  WriteSofa(work / "wide.sofa", {30, -30, 60, -60}, work);
  ASSERT_TRUE(testing::WriteBytes(work / "junk.sofa", testing::Bytes(2000, 'x')));

  const std::string left = Quoted(work / "L.wav");
  const struct {
    std::string Args, Names;
  } cases[] = {
      {"--measured " + left + " " + Quoted(work / "mono.wav"), "mono.wav: a measurement needs 2 channels"},
      {"--measured " + Quoted(work / "silent.wav") + " " + left, "silent.wav: silent"},
      {"--measured " + left + " " + Quoted(work / "deaf.wav"), "deaf.wav: the right-ear channel is silent"},
      {"--measured " + left + " " + Quoted(work / "nan.wav"), "nan.wav: holds samples that are not numbers"},
      {"--measured " + left + " " + Quoted(work / "rate.wav"), "rate.wav: sampled at 44100 Hz, but its twin"},
      {"--measured " + left + " " + Quoted(work / "junk.wav"), "junk.wav: Corrupt WAV file"},
      {"--measured " + left + " " + Quoted(work / "none.wav"), "none.wav: No such file"},
      {"--measured " + Quoted(work / "shortL.wav") + " " + Quoted(work / "shortR.wav"),
       "shortL.wav: ends 2.1 ms after the direct sound, before the 5.0 ms window does"},
      {"--measured " + left + " " + Quoted(work / "click.wav"),
       "click.wav: its largest value comes 22.0 ms after the first one above -20 dB of it"},
      {"--sofa " + Quoted(work / "wide.sofa"), "wide.sofa: no measured direction within 5 degrees of azimuth +5.0"},
      {"--sofa " + Quoted(work / "junk.sofa"), "junk.sofa: libmysofa cannot read it"},
      {"--span 0", "--span 0: must be more than 0"},
      {"--span 180", "--span 180: must be more than 0 and less than 180"},
      {"--distance -1", "--distance -1: must be more than 0"},
      {"--taps 255", "--taps 255: must be from 256"},
      {"--band 8000-200", "--band 8000-200: the lower edge"},
      {"--band 200-20000", "--band 200-20000: the upper edge must stay at or below 16971 Hz"},
      {"--taps 512", "--delay 10.67 ms (512 samples) must lie within the first half of the 512 taps"},
      {"--measured " + left + " " + left + " --span 20", "--span does not apply to a measurement"},
      {"--window 10", "--window applies to --measured and --sofa only"},
      {"--rate 48k", "--rate 48k: not a number"},
      {"--bogus", "--bogus: unknown option"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args);
    const RunResult r = Xtc(c.Args + " " + Quoted(work / "out/x"), work);
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find(c.Names), std::string::npos) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_FALSE(std::filesystem::exists(work / "out")) << "nothing written";
  }
  const RunResult digit = Xtc(Quoted(work / "bank1"), work);
  EXPECT_EQ(digit.Code, 1);
  EXPECT_NE(digit.Err.find("must not end in a digit"), std::string::npos) << digit.Err;
}

TEST_F(XtcTest, ReportWarnsOfLoudspeakersTooCloseAndOfAMeasurementThatCannotBeRight) {
  RunResult r = Xtc("--span 1 " + Quoted(work / "narrow"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("warning: the boost limit (+12.0 dB) caps the cancellation below 10 dB"), std::string::npos)
      << r.Out;
  EXPECT_EQ(report.find("warning"), std::string::npos) << "the default geometry is fine";

  const xtc::ImpulsePlant plant = xtc::SphereImpulses(Geometry{}, 48000);
  WriteMeasurement(plant, work / "L.wav", work / "R.wav");
  r = Xtc("--measured " + Quoted(work / "L.wav") + " " + Quoted(work / "L.wav") + " " + Quoted(work / "twice"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("warning: the loudspeaker-to-ear paths are hardly distinguishable"), std::string::npos)
      << r.Out;
  r = Xtc("--measured " + Quoted(work / "R.wav") + " " + Quoted(work / "L.wav") + " " + Quoted(work / "swapped"), work);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("are the ears, or the files, swapped?"), std::string::npos) << r.Out;
}

}  // namespace
}  // namespace tessival
