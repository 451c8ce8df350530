// tessival-demobank OUTDIR: writes the demo filter bank demo1.wav .. demo10.wav and the
// small check bank tiny1.wav, tiny2.wav into OUTDIR. The normal build runs it into
// build/demo/.
//
// The demo bank: 48 kHz, 32-bit IEEE float, two channels, 16384 frames per file.
//
// Files 1 and 2, a crosstalk canceller ("stereo dipole") for two loudspeakers at +-5
// degrees, 2 m from the head centre, the listener facing the middle between them.
// File 1 feeds the left loudspeaker, file 2 the right one; in each, the first channel
// is the filter for the left input, the second the filter for the right input.
// - The four loudspeaker-to-ear paths come from a rigid-sphere head of radius 8.75 cm
//   (tools/xtc/HeadModel.h): the straight line to the near ear, Woodworth's path around the head
//   to the far ear, 1/r spreading, and a one-pole head-shadow shelf that takes more of
//   the highs off the far ear (-2.2 dB against the near ear above 5 kHz) than off the
//   near one. No pinnae, torso or room: the model is symmetric and anechoic, and the
//   listener sits still, exactly on the centre line.
// - Per frequency bin of a 65536-point grid, the 2 x 2 matrix H of ear-over-loudspeaker
//   responses is inverted with Tikhonov regularisation, C = (H^H H + b(f) I)^-1 H^H, so
//   that H C is close to the identity: the left ear hears the left input only, the right
//   ear the right input only.
// - The far path is only 45 us longer than the near one (68 us at low frequencies), so
//   the two paths differ little: an exact inverse would need +27 dB at 100 Hz for the
//   difference of the inputs. b(f) is small (2e-4) in the useful band and grows below
//   about 200 Hz, where the bass is left mostly uncancelled (it reaches both ears alike),
//   and above about 8 kHz, where the cancellation would hang on millimetres of head
//   position and the sum of the two paths has a notch near 11 kHz.
// - A modelling delay of 1024 samples (21.3 ms) makes the inverse causal; the response is
//   faded out above 20 kHz (so the fractional delays do not ring), cut to 16384 taps and
//   given half-Hann fades at both ends; what is cut away holds less than -80 dB of the
//   energy.
// - The pair is scaled to a peak gain of +12 dB: no sine on one input, nor any mix of
//   sines of one frequency on both, comes out of a loudspeaker feed more than 12 dB
//   louder. The peak lies near 250 Hz, where the loudspeakers must play the difference
//   of the inputs loudly to cancel it at the far ear; an input near full scale there can
//   still clip (lower the Dipole or Master slider). In the middle of the band a one-sided
//   input reaches its ear at about -6 dB and the other ear 27 to 60 dB lower (300 Hz
//   to 4 kHz).
//
// Files 3 to 10, ambience for surround channels S1 to S8: after the canceller's delay,
// a few sparse early reflections and a short exponentially decaying noise tail (RT60
// 0.28 s), gently low-passed, decorrelated between channels and between the two inputs
// of a channel (a fixed seed per filter, so every build writes the same bank). Each
// channel takes the left and right inputs in its own proportion (odd channels lean
// left, even ones right), at about -12 dB of power relative to its input.
//
// The check bank: tiny1.wav passes the left input unchanged (a unit impulse), tiny2.wav
// delays the right input by 1 ms; 48 kHz, 16-bit PCM, 256 frames.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "tools/xtc/Design.h"

namespace tessival::demobank {
namespace {

using xtc::Complex;
using xtc::Taps;
constexpr double Pi = std::numbers::pi;

constexpr double SampleRateHz = 48000.0;
// Loudspeakers at +-5 degrees, 2 m from the head centre, an 8.75 cm sphere.
constexpr xtc::Geometry Listening{10.0, 2.0, 0.0875};

constexpr int FilterTaps = 16384;
constexpr int DesignLength = 4 * FilterTaps;  // grid of the inverse: DesignLength / 2 + 1 bins
constexpr int ModellingDelay = 1024;          // samples, 21.3 ms
constexpr double PeakGainDb = 12.0;
constexpr int TinyTaps = 256;
constexpr int TinyDelay = 48;                 // 1 ms

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "tessival-demobank: %s\n", text.c_str());
  std::exit(1);
}

// ---- WAV output -------------------------------------------------------------------

// Written under a temporary name and renamed when complete, so that an interrupted
// build never leaves a truncated filter behind.
void WriteWav(const std::string& path, bool isFloat, const Taps& left, const Taps& right) {
  const std::string temp = path + ".partial";
  const std::string problem =
      xtc::WriteStereoWav(temp, static_cast<int>(SampleRateHz), isFloat, left, right);
  if (!problem.empty()) {
    std::remove(temp.c_str());
    Fail(problem);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    Fail(path + ": " + std::strerror(errno));
  }
}

double BinHz(size_t k) { return SampleRateHz * static_cast<double>(k) / DesignLength; }

// ---- Crosstalk canceller -------------------------------------------------------------

// Regularisation weight: small where cancellation is worth its gain, growing smoothly
// below lowCorner and above highCorner.
double Regularisation(double hz) {
  constexpr double floor = 2e-4, lowEdge = 0.05, highEdge = 0.5;
  constexpr double lowCorner = 120.0, highCorner = 9000.0;
  const double f = std::max(hz, 1.0);
  return floor + lowEdge / (1 + std::pow(f / lowCorner, 4)) +
         highEdge / (1 + std::pow(highCorner / f, 4));
}

// Ear responses of the symmetric pair: H[ear][speaker].
xtc::Matrix PlantAt(double hz) {
  const Complex ipsi = xtc::EarPath(Listening, true, hz), contra = xtc::EarPath(Listening, false, hz);
  return {{{ipsi, contra}, {contra, ipsi}}};
}

struct Canceller {
  Taps C[2][2];           // C[speaker][input]
  double ScaleDb = 0;     // applied to reach the peak gain
  double CutDb = 0;       // energy of the full inverse outside the kept, faded taps
  double MinSuppressionDb = 0;  // least ipsi/contra ratio at the ears, 300 Hz to 4 kHz
  double MidGainDb = 0;   // ipsilateral ear response at 1 kHz
};

Canceller DesignCanceller(xtc::Transform& fft) {
  const size_t bins = DesignLength / 2 + 1;
  std::vector<Complex> spectra[2][2];
  for (auto& row : spectra)
    for (auto& s : row) s.resize(bins);
  for (size_t k = 0; k < bins; ++k) {
    const double hz = BinHz(k);
    const xtc::Matrix inverse = xtc::RegularisedInverse(PlantAt(hz), Regularisation(hz));
    // The fractional delays of the paths make the spectrum jump at the Nyquist
    // frequency, which rings for thousands of taps; fade it out above 20 kHz.
    const double top = std::clamp((hz - 20000.0) / 4000.0, 0.0, 1.0);
    const double bandLimit = 0.5 + 0.5 * std::cos(Pi * top);
    const Complex delay = bandLimit * std::polar(1.0, -2 * Pi * hz / SampleRateHz * ModellingDelay);
    for (int s = 0; s < 2; ++s)
      for (int x = 0; x < 2; ++x) spectra[s][x][k] = inverse[s][x] * delay;
  }

  Canceller c;
  double total = 0, kept = 0;
  for (int s = 0; s < 2; ++s) {
    for (int x = 0; x < 2; ++x) {
      const Taps full = fft.Impulse(spectra[s][x]);
      Taps t(full.begin(), full.begin() + FilterTaps);
      xtc::Fade(t, ModellingDelay / 2, FilterTaps / 4);
      for (double v : full) total += v * v;
      for (double v : t) kept += v * v;
      c.C[s][x] = std::move(t);
    }
  }
  c.CutDb = 10 * std::log10(std::max(total - kept, 1e-300) / total);

  // Peak gain of a speaker feed over every mix of both inputs at one frequency.
  std::vector<Complex> final[2][2];
  for (int s = 0; s < 2; ++s)
    for (int x = 0; x < 2; ++x) final[s][x] = fft.Spectrum(c.C[s][x]);
  double peak = 0;
  for (size_t k = 0; k < bins; ++k) {
    for (int s = 0; s < 2; ++s) {
      peak = std::max(peak, std::abs(final[s][0][k]) + std::abs(final[s][1][k]));
    }
  }
  const double scale = std::pow(10.0, PeakGainDb / 20) / peak;
  c.ScaleDb = 20 * std::log10(scale);
  for (auto& row : c.C)
    for (Taps& t : row)
      for (double& v : t) v *= scale;

  // What the ears hear of a left-only input.
  c.MinSuppressionDb = 1e9;
  for (size_t k = 0; k < bins; ++k) {
    const double hz = BinHz(k);
    const xtc::Matrix p = PlantAt(hz);
    const Complex near = p[0][0] * final[0][0][k] + p[0][1] * final[1][0][k];
    const Complex far = p[1][0] * final[0][0][k] + p[1][1] * final[1][0][k];
    if (hz >= 300 && hz <= 4000) {
      const double db = 20 * std::log10(std::abs(near) / std::abs(far));
      c.MinSuppressionDb = std::min(c.MinSuppressionDb, db);
    }
    if (k == static_cast<size_t>(1000.0 * DesignLength / SampleRateHz)) {
      c.MidGainDb = 20 * std::log10(std::abs(near) * scale);
    }
  }
  return c;
}

// ---- Ambience -----------------------------------------------------------------------

// splitmix64: a fixed, portable sequence, so every build writes the same bank.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double Gaussian() {                                                         // Box-Muller
    const double u = 1.0 - Uniform(), v = Uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * Pi * v);
  }

 private:
  uint64_t state_;
};

// Share of the left input's power in surround channels S1..S8: odd channels lean left.
constexpr double LeftShare[8] = {0.80, 0.20, 0.70, 0.30, 0.90, 0.10, 0.60, 0.40};
constexpr double AmbienceLevelDb = -12.0;  // power of a channel relative to its input
constexpr double TailRt60 = 0.28;          // s

// One ambience filter: reflections and tail starting after the canceller's delay, with
// energy `energy`.
Taps AmbienceFilter(uint64_t seed, double energy) {
  Random rng(seed);
  Taps t(FilterTaps, 0.0);
  const double ms = SampleRateHz / 1000.0;
  const int start = ModellingDelay + static_cast<int>(4 * ms);

  // Sparse early reflections, 4 to 45 ms after the direct sound, falling off as 1/time,
  // each smeared over three taps so it is not harsh.
  for (int i = 0; i < 7; ++i) {
    const double when = 4 + 41 * rng.Uniform();  // ms
    const int at = ModellingDelay + static_cast<int>(when * ms);
    const double amp = (rng.Uniform() < 0.5 ? -1 : 1) * (0.6 + 0.4 * rng.Uniform()) * 8.0 / when;
    t[at - 1] += 0.25 * amp;
    t[at] += 0.5 * amp;
    t[at + 1] += 0.25 * amp;
  }

  // The tail: noise under an exponential decay (-60 dB after TailRt60), faded in over
  // 10 ms from 12 ms on, through a one-pole low-pass at about 6 kHz.
  const int tailStart = start + static_cast<int>(8 * ms);
  const int fadeIn = static_cast<int>(10 * ms);
  const double decay = std::log(1000.0) / (TailRt60 * SampleRateHz);
  const double pole = std::exp(-2 * Pi * 6000.0 / SampleRateHz);
  double lp = 0;
  for (int i = tailStart; i < FilterTaps; ++i) {
    const int n = i - tailStart;
    const double onset = n < fadeIn ? 0.5 - 0.5 * std::cos(Pi * n / fadeIn) : 1.0;
    lp = (1 - pole) * rng.Gaussian() + pole * lp;
    t[i] += 0.35 * onset * std::exp(-decay * n) * lp;
  }
  xtc::Fade(t, 0, FilterTaps / 16);

  double e = 0;
  for (double v : t) e += v * v;
  const double scale = std::sqrt(energy / e);
  for (double& v : t) v *= scale;
  return t;
}

// ---- Program ------------------------------------------------------------------------

int Run(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fputs("usage: tessival-demobank OUTDIR\n"
               "Writes the demo filter bank demo1.wav .. demo10.wav (a crosstalk canceller for\n"
               "loudspeakers at +-5 degrees and eight ambience channels) and the check bank\n"
               "tiny1.wav, tiny2.wav into OUTDIR.\n",
               argc == 2 && std::string(argv[1]) == "--help" ? stdout : stderr);
    return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 2;
  }
  const std::string dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) Fail(dir + ": " + ec.message());

  xtc::Transform fft(DesignLength);
  const Canceller c = DesignCanceller(fft);
  WriteWav(dir + "/demo1.wav", true, c.C[0][0], c.C[0][1]);
  WriteWav(dir + "/demo2.wav", true, c.C[1][0], c.C[1][1]);

  const double energy = std::pow(10.0, AmbienceLevelDb / 10);
  for (int k = 0; k < 8; ++k) {
    const Taps left = AmbienceFilter(0x7e55'1000u + 2 * k, energy * LeftShare[k]);
    const Taps right = AmbienceFilter(0x7e55'1000u + 2 * k + 1, energy * (1 - LeftShare[k]));
    WriteWav(dir + "/demo" + std::to_string(k + 3) + ".wav", true, left, right);
  }

  Taps identity(TinyTaps, 0.0), silent(TinyTaps, 0.0), delayed(TinyTaps, 0.0);
  identity[0] = 1.0;  // stored as 32767
  delayed[TinyDelay] = 1.0;
  WriteWav(dir + "/tiny1.wav", false, identity, silent);
  WriteWav(dir + "/tiny2.wav", false, silent, delayed);

  std::printf("tessival-demobank: wrote demo1..10.wav and tiny1..2.wav to %s; canceller scaled "
              "by %+.1f dB to a peak gain of %+.0f dB (%+.1f dB at 1 kHz), at least %.1f dB "
              "of crosstalk suppression from 300 Hz to 4 kHz, %.0f dB cut by the window\n",
              dir.c_str(), c.ScaleDb, PeakGainDb, c.MidGainDb, c.MinSuppressionDb, c.CutDb);
  return 0;
}

}  // namespace
}  // namespace tessival::demobank

int main(int argc, char** argv) { return tessival::demobank::Run(argc, argv); }
