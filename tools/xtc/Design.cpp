#include "tools/xtc/Design.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>

namespace tessival::xtc {
namespace {

constexpr double Pi = std::numbers::pi;
constexpr double OnsetThreshold = 0.1;  // of a loudspeaker's peak (-20 dB): its direct sound
constexpr double LeadMs = 1.0;          // kept before the earliest direct sound
constexpr double BetaFloor = 1e-5;      // where no limit binds; the plant is at unit level
constexpr double TransitionOctaves = 0.5;  // from the band's edges to plain stereo
constexpr double SphereLeadS = 0.002;   // the sphere's direct sound this far after the start
constexpr int SphereGrid = 8192;

void PutU16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}
void PutU32(std::string& out, uint32_t v) {
  PutU16(out, v & 0xffff);
  PutU16(out, v >> 16);
}

// 1 inside the band, a half-Hann on a log-frequency scale over the transition, 0 beyond.
double BandWeight(double hz, double lo, double hi) {
  if (hz >= lo && hz <= hi) return 1.0;
  const double octaves = hz < lo ? std::log2(lo / hz) : std::log2(hz / hi);
  if (!(octaves < TransitionOctaves)) return 0.0;
  return 0.5 + 0.5 * std::cos(Pi * octaves / TransitionOctaves);
}

// The spectrum of a plant response on the design grid. At the filters' own rate an FFT;
// at another rate the response's DTFT at each bin below its Nyquist frequency, which
// resamples it exactly (it is short and windowed). The phasor is renewed every 256 taps
// so that rounding does not build up.
std::vector<Complex> PlantSpectrum(const Taps& h, double plantRate, int rate, Transform& fft) {
  if (plantRate == rate) return fft.Spectrum(h);
  const int n = fft.Length();
  std::vector<Complex> s(n / 2 + 1, 0.0);
  for (size_t k = 0; k < s.size(); ++k) {
    const double hz = static_cast<double>(k) * rate / n;
    if (hz >= plantRate / 2) break;
    const double w = 2 * Pi * hz / plantRate;
    const Complex step = std::polar(1.0, -w);
    Complex sum = 0;
    for (size_t i = 0; i < h.size(); i += 256) {
      Complex phasor = std::polar(1.0, -w * static_cast<double>(i));
      for (size_t j = i; j < std::min(h.size(), i + 256); ++j, phasor *= step) sum += h[j] * phasor;
    }
    s[k] = sum;
  }
  return s;
}

// Position of the largest magnitude, refined by a parabola through its neighbours.
double PeakPosition(const Taps& t) {
  size_t at = 0;
  for (size_t i = 1; i < t.size(); ++i)
    if (std::fabs(t[i]) > std::fabs(t[at])) at = i;
  if (at == 0 || at + 1 >= t.size()) return static_cast<double>(at);
  const double a = std::fabs(t[at - 1]), b = std::fabs(t[at]), c = std::fabs(t[at + 1]);
  const double curve = a - 2 * b + c;
  return static_cast<double>(at) + (curve < 0 ? 0.5 * (a - c) / curve : 0.0);
}

}  // namespace

// ---- Shared pieces ------------------------------------------------------------------

Transform::Transform(int n) : n_(n) {
  time_ = fftw_alloc_real(n);
  bins_ = fftw_alloc_complex(n / 2 + 1);
  if (time_ && bins_) {
    forward_ = fftw_plan_dft_r2c_1d(n, time_, bins_, FFTW_ESTIMATE);
    inverse_ = fftw_plan_dft_c2r_1d(n, bins_, time_, FFTW_ESTIMATE);
  }
  if (!forward_ || !inverse_) {
    Release();
    throw std::bad_alloc();
  }
}

Transform::~Transform() { Release(); }

void Transform::Release() {
  if (forward_) fftw_destroy_plan(forward_);
  if (inverse_) fftw_destroy_plan(inverse_);
  fftw_free(time_);
  fftw_free(bins_);
}

std::vector<Complex> Transform::Spectrum(const Taps& taps) {
  std::fill(time_, time_ + n_, 0.0);
  std::copy_n(taps.begin(), std::min<size_t>(taps.size(), n_), time_);
  fftw_execute(forward_);
  std::vector<Complex> s(n_ / 2 + 1);
  for (size_t k = 0; k < s.size(); ++k) s[k] = {bins_[k][0], bins_[k][1]};
  return s;
}

Taps Transform::Impulse(const std::vector<Complex>& s) {
  for (size_t k = 0; k < s.size(); ++k) {
    bins_[k][0] = s[k].real();
    bins_[k][1] = s[k].imag();
  }
  fftw_execute(inverse_);
  Taps t(time_, time_ + n_);
  for (double& v : t) v /= n_;
  return t;
}

Matrix RegularisedInverse(const Matrix& h, double beta) {
  // A = H^H H + beta I, Hermitian.
  Complex a[2][2];
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      a[i][j] = std::conj(h[0][i]) * h[0][j] + std::conj(h[1][i]) * h[1][j] + (i == j ? beta : 0.0);
  const Complex det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
  const Complex inv[2][2] = {{a[1][1] / det, -a[0][1] / det}, {-a[1][0] / det, a[0][0] / det}};
  // C[s][x] = sum over i of inv[s][i] (H^H)[i][x], and (H^H)[i][x] = conj(H[x][i]).
  Matrix c;
  for (int s = 0; s < 2; ++s)
    for (int x = 0; x < 2; ++x)
      c[s][x] = inv[s][0] * std::conj(h[x][0]) + inv[s][1] * std::conj(h[x][1]);
  return c;
}

double BetaForBoost(const Matrix& h, double limit, double floor) {
  auto largest = [&](double beta) {
    const Matrix c = RegularisedInverse(h, beta);
    double m = 0;
    for (const auto& row : c)
      for (const Complex& v : row) m = std::max(m, std::abs(v));
    return m;
  };
  if (largest(floor) <= limit) return floor;
  // Each path is at most the largest gain of C, max over the singular values s of H of
  // s / (s^2 + beta): from this beta on every path is within the limit.
  const double power = std::norm(h[0][0]) + std::norm(h[0][1]) + std::norm(h[1][0]) + std::norm(h[1][1]);
  const double det = std::norm(h[0][0] * h[1][1] - h[0][1] * h[1][0]);
  const double root = std::sqrt(std::max(0.0, power * power - 4 * det));
  double hi = floor;
  for (const double eigen : {(power + root) / 2, std::max(0.0, (power - root) / 2)}) {
    hi = std::max(hi, std::sqrt(eigen) / limit - eigen);
  }
  for (int i = 0; i < 64 && largest(hi) > limit; ++i) hi *= 2;  // rounding only
  double lo = floor;
  for (int i = 0; i < 48; ++i) {
    const double mid = std::sqrt(lo * hi);
    (largest(mid) <= limit ? hi : lo) = mid;
  }
  return hi;
}

void Fade(Taps& t, int fadeIn, int fadeOut) {
  for (int i = 0; i < fadeIn; ++i) t[i] *= 0.5 - 0.5 * std::cos(Pi * (i + 0.5) / fadeIn);
  const int n = static_cast<int>(t.size());
  for (int i = 0; i < fadeOut; ++i) t[n - 1 - i] *= 0.5 - 0.5 * std::cos(Pi * (i + 0.5) / fadeOut);
}

std::string WriteStereoWav(const std::string& path, int rate, bool isFloat, const Taps& left,
                           const Taps& right) {
  const uint32_t frames = static_cast<uint32_t>(left.size());
  const uint32_t bytes = isFloat ? 4 : 2;
  const uint32_t blockAlign = 2 * bytes;
  const uint32_t hz = static_cast<uint32_t>(rate);
  std::string out = "RIFF";
  PutU32(out, 36 + frames * blockAlign);
  out += "WAVEfmt ";
  PutU32(out, 16);
  PutU16(out, isFloat ? 3 : 1);
  PutU16(out, 2);
  PutU32(out, hz);
  PutU32(out, hz * blockAlign);
  PutU16(out, blockAlign);
  PutU16(out, 8 * bytes);
  out += "data";
  PutU32(out, frames * blockAlign);
  for (uint32_t f = 0; f < frames; ++f) {
    for (double v : {left[f], right[f]}) {
      if (isFloat) {
        const float x = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &x, 4);
        PutU32(out, bits);
      } else {
        const double s = std::clamp(std::nearbyint(v * 32768.0), -32768.0, 32767.0);
        PutU16(out, static_cast<uint32_t>(static_cast<int32_t>(s)) & 0xffff);
      }
    }
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return path + ": " + std::strerror(errno);
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  if (std::fclose(f) != 0 || !ok) return path + ": write failed";
  return {};
}

// ---- The designer -------------------------------------------------------------------

ImpulsePlant SphereImpulses(const Geometry& g, double rate) {
  ImpulsePlant p;
  p.Rate = rate;
  Transform fft(SphereGrid);
  std::vector<Complex> s(SphereGrid / 2 + 1);
  for (int e = 0; e < 2; ++e) {
    for (int k = 0; k < 2; ++k) {
      for (size_t b = 0; b < s.size(); ++b) {
        const double hz = rate * static_cast<double>(b) / SphereGrid;
        // The paths' fractional delays make the spectrum jump at the Nyquist frequency,
        // which would ring for thousands of taps: fade it out over the top fifth.
        const double top = std::clamp((hz / (rate / 2) - 0.8) / 0.2, 0.0, 1.0);
        const double taper = 0.5 + 0.5 * std::cos(Pi * top);
        s[b] = EarPath(g, e == k, hz) * std::polar(taper, -2 * Pi * hz * SphereLeadS);
      }
      Taps t = fft.Impulse(s);
      t.resize(SphereGrid / 2);
      p.H[e][k] = std::move(t);
    }
  }
  return p;
}

ConditionProblem ConditionPlant(const ImpulsePlant& raw, double windowMs, bool mustHoldWindow,
                                ConditionedPlant& out) {
  const double rate = raw.Rate;
  const long lead = std::lround(LeadMs / 1000 * rate);
  const long window = std::max(2L, std::lround(windowMs / 1000 * rate));
  long onset[2];
  for (int s = 0; s < 2; ++s) {
    double peak = 0;
    long peakAt = 0;
    for (int e = 0; e < 2; ++e) {
      const Taps& h = raw.H[e][s];
      for (size_t i = 0; i < h.size(); ++i) {
        if (std::fabs(h[i]) > peak) {
          peak = std::fabs(h[i]);
          peakAt = static_cast<long>(i);
        }
      }
    }
    if (!(peak > 0)) return {s, "silent"};
    onset[s] = std::numeric_limits<long>::max();
    for (int e = 0; e < 2; ++e) {
      const Taps& h = raw.H[e][s];
      for (size_t i = 0; i < h.size(); ++i) {
        if (std::fabs(h[i]) >= OnsetThreshold * peak) {
          onset[s] = std::min(onset[s], static_cast<long>(i));
          break;
        }
      }
    }
    if (peakAt - onset[s] >= window) {
      char text[200];
      std::snprintf(text, sizeof text, "its largest value comes %.1f ms after the first one above "
                    "-20 dB of it, beyond the %.1f ms window: a click or noise before the direct sound?",
                    1000.0 * static_cast<double>(peakAt - onset[s]) / rate, windowMs);
      return {s, text};
    }
    const long length = static_cast<long>(std::max(raw.H[0][s].size(), raw.H[1][s].size()));
    if (mustHoldWindow && onset[s] + window > length) {
      char text[160];
      std::snprintf(text, sizeof text, "ends %.1f ms after the direct sound, before the %.1f ms window does",
                    1000.0 * static_cast<double>(length - onset[s]) / rate, windowMs);
      return {s, text};
    }
  }

  const long first = std::min(onset[0], onset[1]);
  const long start = std::max(0L, first - lead);
  const long fadeIn = (first - start) / 2;
  out.Ir.Rate = rate;
  for (int s = 0; s < 2; ++s) {
    const long end = onset[s] + window;           // silent from here on
    const long flat = onset[s] + window / 2 - start;  // the fade-out starts here
    const long fadeOut = end - start - flat;
    for (int e = 0; e < 2; ++e) {
      const Taps& h = raw.H[e][s];
      Taps t(static_cast<size_t>(end - start), 0.0);
      for (long i = start; i < std::min(end, static_cast<long>(h.size())); ++i) t[i - start] = h[i];
      for (long i = 0; i < fadeIn; ++i) t[i] *= 0.5 - 0.5 * std::cos(Pi * (i + 0.5) / fadeIn);
      for (long i = 0; i < fadeOut; ++i) t[flat + i] *= 0.5 + 0.5 * std::cos(Pi * (i + 0.5) / fadeOut);
      out.Ir.H[e][s] = std::move(t);
    }
  }
  out.ArrivalS = (PeakPosition(out.Ir.H[0][0]) + PeakPosition(out.Ir.H[1][1])) / 2 / rate;
  return {};
}

int DesignGrid(int taps) {
  int n = 1024;
  while (n < 4 * taps) n *= 2;
  return n;
}

double HighestBandTop(double plantRate, int rate) {
  return std::min(plantRate, static_cast<double>(rate)) / 2 / std::exp2(TransitionOctaves);
}

Design DesignCanceller(const ConditionedPlant& plant, const DesignOptions& o) {
  const int n = DesignGrid(o.FilterTaps);
  const size_t bins = n / 2 + 1;
  Transform fft(n);
  Design d;
  d.Hz.resize(bins);
  d.Known.resize(bins);
  for (size_t k = 0; k < bins; ++k) {
    d.Hz[k] = static_cast<double>(k) * o.Rate / n;
    d.Known[k] = plant.Ir.Rate == o.Rate || d.Hz[k] < plant.Ir.Rate / 2;
  }

  std::vector<Complex> h[2][2];
  for (int e = 0; e < 2; ++e)
    for (int s = 0; s < 2; ++s) h[e][s] = PlantSpectrum(plant.Ir.H[e][s], plant.Ir.Rate, o.Rate, fft);

  // Unit level: the near-ear paths' mean power over the band, on a log-frequency scale,
  // so that the filters in the band and plain stereo beyond it play at the same level.
  double power = 0, weight = 0;
  for (size_t k = 1; k < bins; ++k) {
    if (!d.Known[k] || d.Hz[k] < o.BandLoHz || d.Hz[k] > o.BandHiHz) continue;
    power += (std::norm(h[0][0][k]) + std::norm(h[1][1][k])) / 2 / d.Hz[k];
    weight += 1 / d.Hz[k];
  }
  const double level = weight > 0 && power > 0 ? std::sqrt(power / weight) : 1.0;
  d.Plant.resize(bins);
  for (size_t k = 0; k < bins; ++k)
    for (int e = 0; e < 2; ++e)
      for (int s = 0; s < 2; ++s) d.Plant[k][e][s] = h[e][s][k] / level;

  // Outside the band plain stereo, delayed so that it reaches the ears when the
  // cancelled band does; a whole number of samples, so nothing jumps at the Nyquist
  // frequency.
  d.FallbackDelay = o.DelaySamples - static_cast<int>(std::lround(plant.ArrivalS * o.Rate));
  const double limit = std::pow(10.0, o.MaxBoostDb / 20);
  std::vector<Complex> c[2][2];
  for (auto& row : c)
    for (auto& v : row) v.assign(bins, 0.0);
  std::vector<double> inBand(bins), beta(bins, BetaFloor);
  for (size_t k = 0; k < bins; ++k) {
    inBand[k] = d.Known[k] ? BandWeight(d.Hz[k], o.BandLoHz, o.BandHiHz) : 0.0;
    if (inBand[k] > 0) beta[k] = BetaForBoost(d.Plant[k], limit, BetaFloor);
  }
  for (size_t k = 0; k < bins; ++k) {
    const double hz = d.Hz[k];
    const double w = inBand[k];
    Matrix inverse{};
    if (w > 0) inverse = RegularisedInverse(d.Plant[k], beta[k]);
    const Complex model = std::polar(1.0, -2 * Pi * hz / o.Rate * o.DelaySamples);
    const Complex plain = std::polar(1.0, -2 * Pi * hz / o.Rate * d.FallbackDelay);
    for (int s = 0; s < 2; ++s)
      for (int x = 0; x < 2; ++x)
        c[s][x][k] = w * inverse[s][x] * model + (s == x ? (1 - w) * plain : 0.0);
  }

  double total = 0, kept = 0;
  for (int s = 0; s < 2; ++s) {
    for (int x = 0; x < 2; ++x) {
      const Taps full = fft.Impulse(c[s][x]);
      Taps t(full.begin(), full.begin() + o.FilterTaps);
      Fade(t, d.FallbackDelay / 2, o.FilterTaps / 4);
      for (double v : full) total += v * v;
      for (double& v : t) {
        kept += v * v;
        v = static_cast<float>(v);
      }
      d.C[s][x] = std::move(t);
    }
  }
  d.CutDb = 10 * std::log10(std::max(total - kept, 1e-300) / total);
  return d;
}

Evaluation Evaluate(const Design& d, const DesignOptions& o) {
  const int n = DesignGrid(o.FilterTaps);
  Transform fft(n);
  std::vector<Complex> c[2][2];
  for (int s = 0; s < 2; ++s)
    for (int x = 0; x < 2; ++x) c[s][x] = fft.Spectrum(d.C[s][x]);

  Evaluation ev;
  double nearSum[8][2] = {}, farSum[8][2] = {};
  double band = 0, below = 0, indistinct = 0, ipsi[2] = {}, contra[2] = {};
  for (size_t k = 1; k < d.Hz.size(); ++k) {
    if (!d.Known[k]) continue;
    const Matrix& h = d.Plant[k];
    // What ear e hears of input x: sum over the loudspeakers of H[e][s] C[s][x].
    Complex ear[2][2];
    for (int e = 0; e < 2; ++e)
      for (int x = 0; x < 2; ++x) ear[e][x] = h[e][0] * c[0][x][k] + h[e][1] * c[1][x][k];
    const double hz = d.Hz[k];
    const int octave = static_cast<int>(std::floor(std::log2(hz / 125.0) + 0.5));
    if (octave >= 0 && octave < 8) {
      for (int x = 0; x < 2; ++x) {
        nearSum[octave][x] += std::norm(ear[x][x]);
        farSum[octave][x] += std::norm(ear[1 - x][x]);
      }
    }
    if (hz < o.BandLoHz || hz > o.BandHiHz) continue;
    const double w = 1 / hz;  // each octave of the band counts alike
    band += w;
    for (int x = 0; x < 2; ++x) {
      if (std::norm(ear[1 - x][x]) * 10 > std::norm(ear[x][x])) {
        below += w;
        break;
      }
    }
    const double power = std::norm(h[0][0]) + std::norm(h[0][1]) + std::norm(h[1][0]) + std::norm(h[1][1]);
    const double det = std::norm(h[0][0] * h[1][1] - h[0][1] * h[1][0]);
    // The smaller singular value over the larger, squared, is about det / power^2.
    if (power > 0 && det < 1e-4 * power * power) indistinct += w;
    for (int s = 0; s < 2; ++s) {
      ipsi[s] += w * std::norm(h[s][s]);
      contra[s] += w * std::norm(h[1 - s][s]);
    }
  }
  for (int i = 0; i < 8; ++i) {
    OctaveFigure f;
    f.CentreHz = 125.0 * (1 << i);
    f.Known = nearSum[i][0] > 0 && nearSum[i][1] > 0;
    if (f.Known) {
      f.LeftInputDb = 10 * std::log10(farSum[i][0] / nearSum[i][0]);
      f.RightInputDb = 10 * std::log10(farSum[i][1] / nearSum[i][1]);
    }
    ev.Octaves.push_back(f);
  }
  if (band > 0) {
    ev.ShareBelow10Db = below / band;
    ev.IndistinctShare = indistinct / band;
  }
  for (int s = 0; s < 2; ++s) ev.ContraLouder[s] = contra[s] > ipsi[s];
  return ev;
}

}  // namespace tessival::xtc
