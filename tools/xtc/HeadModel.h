#pragma once
// The head model of the crosstalk-canceller designs: the four loudspeaker-to-ear paths of a
// listener between two loudspeakers. Header only, so the tests that simulate the ear
// signals use exactly the model the cancellers invert.
//
// A rigid sphere in free field, in the horizontal plane, the listener facing the middle
// between the loudspeakers:
// - each path is a delay plus 1/r spreading: the straight line to an ear the loudspeaker
//   can see, or the tangent to the sphere and the arc along it to an ear in the head's
//   shadow (Woodworth's path around the sphere, at the loudspeaker's finite distance);
// - the head's shadowing is the one-pole, one-zero shelf of Brown and Duda's spherical
//   head model: (1 + j alpha w / 2w0) / (1 + j w / 2w0), w0 = c / a, with alpha falling
//   from 2 for a source on the ear's axis to 0.1 at 150 degrees from it;
// - the delay and spreading to the head centre, common to every path, are left out.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace tessival::xtc {

constexpr double SpeedOfSound = 343.0;  // m/s, air at 20 degrees C

struct Geometry {
  double SpanDeg = 10.0;         // angle between the loudspeakers, seen from the head centre
  double DistanceM = 2.0;        // loudspeakers to the head centre, more than HeadRadiusM
  double HeadRadiusM = 0.0875;
};

// Path from a loudspeaker to an ear: true when the loudspeaker and the ear are on the
// same side of the head (ipsilateral), false for the far ear (contralateral).
// Returns the path's frequency response at `hz`, relative to the head centre.
inline std::complex<double> EarPath(const Geometry& g, bool ipsilateral, double hz) {
  constexpr double pi = std::numbers::pi;
  const double a = g.HeadRadiusM, r = g.DistanceM;
  const double source = g.SpanDeg / 2 * pi / 180.0;
  // Angle between the loudspeaker's direction and the ear's axis (ears at +-90 degrees).
  const double incidence = ipsilateral ? pi / 2 - source : pi / 2 + source;
  // An ear is in view while its angle from the source direction is under acos(a / r).
  const double horizon = std::acos(a / r);
  double path;
  if (incidence <= horizon) {
    path = std::sqrt(r * r + a * a - 2 * r * a * std::cos(incidence));
  } else {
    path = std::sqrt(r * r - a * a) + a * (incidence - horizon);
  }
  const double delay = (path - r) / SpeedOfSound;  // s, negative for an ear nearer than the centre
  const double gain = r / path;

  constexpr double alphaMin = 0.1, thetaMin = 150.0 * pi / 180.0;
  const double alpha =
      (1 + alphaMin / 2) + (1 - alphaMin / 2) * std::cos(incidence / thetaMin * pi);
  const double w = 2 * pi * hz;
  const double w0 = SpeedOfSound / a;
  const std::complex<double> shadow = std::complex<double>(1.0, alpha * w / (2 * w0)) /
                                      std::complex<double>(1.0, w / (2 * w0));
  return gain * shadow * std::polar(1.0, -w * delay);
}

}  // namespace tessival::xtc
