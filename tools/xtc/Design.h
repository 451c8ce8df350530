#pragma once
// Crosstalk-canceller design, shared by tessival-xtc and the demo bank generator.
//
// A plant is the 2 x 2 matrix of loudspeaker-to-ear responses, H[ear][speaker]; a
// canceller is the 2 x 2 matrix of filters C[speaker][input] that makes H C close to a
// delayed identity, so that each ear hears its own input only. Per frequency,
// C = (H^H H + beta I)^-1 H^H: beta (Tikhonov regularisation) trades cancellation for
// gain where H is nearly singular.
//
// The designer's pipeline (tessival-xtc): four impulse responses from a source (the
// sphere model, a measurement, a SOFA file) -> ConditionPlant (a common start, the room
// windowed away) -> DesignCanceller (spectra on the design grid, level, per-frequency
// beta from the boost limit, plain stereo outside the band, taps) -> Evaluate (the
// cancellation at the ears, against the same plant).
#include <fftw3.h>

#include <array>
#include <complex>
#include <string>
#include <vector>

#include "tools/xtc/HeadModel.h"

namespace tessival::xtc {

using Complex = std::complex<double>;
using Taps = std::vector<double>;
using Matrix = std::array<std::array<Complex, 2>, 2>;

// ---- Shared pieces ------------------------------------------------------------------

// Real taps <-> spectra on an n-point grid (n / 2 + 1 bins), FFTW double precision.
class Transform {
 public:
  explicit Transform(int n);
  ~Transform();
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  int Length() const { return n_; }
  // Spectrum of `taps` (at most n of them), zero-padded to n points.
  std::vector<Complex> Spectrum(const Taps& taps);
  // The whole n-point impulse response of a spectrum, scaled by 1/n.
  Taps Impulse(const std::vector<Complex>& s);

 private:
  void Release();

  int n_;
  double* time_ = nullptr;
  fftw_complex* bins_ = nullptr;
  fftw_plan forward_ = nullptr, inverse_ = nullptr;
};

// (H^H H + beta I)^-1 H^H for the plant h[ear][speaker], indexed C[speaker][input].
Matrix RegularisedInverse(const Matrix& h, double beta);
// Smallest beta >= floor for which no path of RegularisedInverse(h, beta) exceeds
// `limit` in magnitude.
double BetaForBoost(const Matrix& h, double limit, double floor);

// Half-Hann fades over the first `fadeIn` and the last `fadeOut` taps.
void Fade(Taps& t, int fadeIn, int fadeOut);

// A canonical 44-byte-header WAV file of two channels, 32-bit float (format 3) or 16-bit
// PCM, written to `path` ("" on success, else the problem). Callers that write several
// files write them under temporary names and rename them when all are complete.
std::string WriteStereoWav(const std::string& path, int rate, bool isFloat, const Taps& left,
                           const Taps& right);

// ---- The designer -------------------------------------------------------------------

// Four impulse responses at one sampling rate: H[ear][speaker].
struct ImpulsePlant {
  double Rate = 0;  // Hz
  Taps H[2][2];
};

// The sphere model's responses at `rate`, band-limited just below the Nyquist frequency,
// the near ears' direct sound a little after the start.
ImpulsePlant SphereImpulses(const Geometry& g, double rate);

// A plant ready for the design: a common start (the leading silence dropped, the
// relative delays kept) and each loudspeaker's responses windowed to `windowMs` after its
// direct sound.
struct ConditionedPlant {
  ImpulsePlant Ir;
  double ArrivalS = 0;  // direct sound at the near ears after the start, s
};

struct ConditionProblem {
  int Speaker = -1;  // whose responses, -1 for none
  std::string Text;  // empty when the plant is fine
};

// `mustHoldWindow`: a response that ends before its window does is a problem (for
// measurements); otherwise it is taken as silent from its end on (HRIRs).
ConditionProblem ConditionPlant(const ImpulsePlant& raw, double windowMs, bool mustHoldWindow,
                                ConditionedPlant& out);

struct DesignOptions {
  int Rate = 48000;           // Hz, of the filters
  int FilterTaps = 16384;
  int DelaySamples = 512;     // modelling delay
  double MaxBoostDb = 12.0;   // the largest gain of any of the four filters
  double BandLoHz = 200, BandHiHz = 8000;
};

struct Design {
  Taps C[2][2];                   // C[speaker][input], rounded to the floats written
  std::vector<double> Hz;         // the design grid's bins
  std::vector<Matrix> Plant;      // the plant used, at unit level, per bin
  std::vector<char> Known;        // 1 where the plant is known (below its Nyquist frequency)
  double CutDb = 0;               // energy of the full inverse outside the kept, faded taps
  int FallbackDelay = 0;          // samples: plain stereo's delay outside the band
};

// Points of the design grid for filters of `taps` taps.
int DesignGrid(int taps);
// The highest band top the plant and the filters' rate allow: the plain-stereo fallback
// must be complete half an octave above the band, below both Nyquist frequencies.
double HighestBandTop(double plantRate, int rate);

// Designs the canceller. The caller checks first that the options are in range, that
// the plant's responses fit in half the design grid and that they arrive before the
// modelling delay (ArrivalS * Rate, rounded, at most DelaySamples).
Design DesignCanceller(const ConditionedPlant& plant, const DesignOptions& o);

// What the ears hear through the designed filters.
struct OctaveFigure {
  double CentreHz = 0;
  bool Known = false;       // the band holds bins where the plant is known
  double LeftInputDb = 0;   // far ear over near ear for a left-only input
  double RightInputDb = 0;
};
struct Evaluation {
  std::vector<OctaveFigure> Octaves;  // 125 Hz to 16 kHz
  double ShareBelow10Db = 0;     // of the band (on a log scale) cancelled by less than 10 dB
  double IndistinctShare = 0;    // of the band where the plant's two modes differ by > 40 dB
  bool ContraLouder[2] = {};     // per loudspeaker: its far ear hears it louder in the band
};
Evaluation Evaluate(const Design& d, const DesignOptions& o);

}  // namespace tessival::xtc
