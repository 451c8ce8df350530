#include "tools/xtc/Sofa.h"

#include <mysofa.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

namespace tessival::xtc {

namespace {

struct HrtfFree {
  void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};
struct LookupFree {
  void operator()(MYSOFA_LOOKUP* l) const { mysofa_lookup_free(l); }
};
struct NeighbourhoodFree {
  void operator()(MYSOFA_NEIGHBORHOOD* n) const { mysofa_neighborhood_free(n); }
};

std::string ErrorText(int err) {
  switch (err) {
    case MYSOFA_INVALID_FORMAT:
      return "not a SOFA file of head-related impulse responses";
    case MYSOFA_UNSUPPORTED_FORMAT:
      return "a variant of HDF5 or SOFA that libmysofa does not support";
    case MYSOFA_NO_MEMORY:
      return "out of memory";
    case MYSOFA_READ_ERROR:
      return "read error";
    case MYSOFA_INVALID_ATTRIBUTES:
      return "invalid attributes";
    case MYSOFA_INVALID_DIMENSIONS:
    case MYSOFA_INVALID_DIMENSION_LIST:
      return "invalid dimensions";
    default:
      // Below its own codes libmysofa passes errno values through.
      return err > 0 && err < MYSOFA_INVALID_FORMAT ? std::strerror(err)
                                                    : "libmysofa error " + std::to_string(err);
  }
}

double Length(const float* v) { return std::sqrt(double{v[0]} * v[0] + double{v[1]} * v[1] + double{v[2]} * v[2]); }

}  // namespace

std::string ReadSofaPlant(const std::string& path, double spanDeg, double distanceM, SofaPlant& out) {
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    return std::strerror(errno);
  }
  int err = 0;
  std::unique_ptr<MYSOFA_HRTF, HrtfFree> hrtf(mysofa_load(path.c_str(), &err));
  if (!hrtf) return "libmysofa cannot read it (" + ErrorText(err) + ")";
  if ((err = mysofa_check(hrtf.get())) != MYSOFA_OK) {
    return "libmysofa cannot use it (" + ErrorText(err) + "; a SimpleFreeFieldHRIR set is needed)";
  }
  MYSOFA_HRTF& h = *hrtf;
  const unsigned size = h.R * h.N;  // floats per measurement
  if (h.R != 2 || h.N == 0 || h.M == 0 || h.DataIR.elements != h.M * size ||
      h.SourcePosition.elements != h.M * h.C || h.DataSamplingRate.elements < 1 ||
      h.DataDelay.elements < h.R || h.ReceiverPosition.elements < 6) {
    return "holds no usable set of responses (two ears, rate, delays and positions needed)";
  }
  const double rate = h.DataSamplingRate.values[0];
  if (!(rate >= 1000 && rate <= 768000)) {
    return "a sampling frequency of " + std::to_string(rate) + " Hz is not usable";
  }
  // y points to the listener's left: the receiver with the larger y is the left ear.
  const bool swapEars = h.ReceiverPosition.values[1] < h.ReceiverPosition.values[4];

  mysofa_tocartesian(&h);
  std::unique_ptr<MYSOFA_LOOKUP, LookupFree> lookup(mysofa_lookup_init(&h));
  if (!lookup) return "libmysofa cannot search its source positions";
  std::unique_ptr<MYSOFA_NEIGHBORHOOD, NeighbourhoodFree> neighbours(
      mysofa_neighborhood_init(&h, lookup.get()));

  out.Plant.Rate = rate;
  out.Directions = static_cast<int>(h.M);
  std::vector<float> fir(size);
  for (int s = 0; s < 2; ++s) {
    const double azimuth = s == 0 ? spanDeg / 2 : -spanDeg / 2;
    float at[3] = {static_cast<float>(azimuth), 0.0f, static_cast<float>(distanceM)};
    mysofa_s2c(at);
    const int nearest = mysofa_lookup(lookup.get(), at);  // moves `at` into the measured distances
    if (nearest < 0 || static_cast<unsigned>(nearest) >= h.M) return "libmysofa found no measured direction";
    const float* measured = h.SourcePosition.values + nearest * h.C;
    double cosine = (double{at[0]} * measured[0] + double{at[1]} * measured[1] + double{at[2]} * measured[2]) /
                    (Length(at) * Length(measured));
    const double missDeg = std::acos(std::clamp(cosine, -1.0, 1.0)) * 180 / std::numbers::pi;
    float where[3] = {measured[0], measured[1], measured[2]};
    mysofa_c2s(where);
    out.Picked[s].AzimuthDeg = where[0] > 180 ? where[0] - 360 : where[0];
    out.Picked[s].ElevationDeg = where[1];
    if (!(missDeg <= SofaMaxMissDeg)) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "no measured direction within %.0f degrees of azimuth %+.1f, elevation 0 "
                    "(the nearest is azimuth %+.1f, elevation %+.1f)",
                    SofaMaxMissDeg, azimuth, out.Picked[s].AzimuthDeg, out.Picked[s].ElevationDeg);
      return text;
    }
    const float* stored = h.DataIR.values + nearest * size;
    float delays[2] = {0, 0};
    const float* ir = stored;
    if (neighbours) {
      ir = mysofa_interpolate(&h, at, nearest, mysofa_neighborhood(neighbours.get(), nearest),
                              fir.data(), delays);
    } else {
      const unsigned d = h.DataDelay.elements > h.R ? nearest * h.R : 0;
      delays[0] = h.DataDelay.values[d];
      delays[1] = h.DataDelay.values[d + 1];
    }
    out.Picked[s].Interpolated = ir != stored;
    for (int e = 0; e < 2; ++e) {
      const int receiver = swapEars ? 1 - e : e;
      // Delays are in samples; the fraction of one is below what the window cares for.
      const double delay = delays[receiver];
      if (!std::isfinite(delay) || delay < 0 || delay > 100000) return "holds an unusable delay";
      const size_t shift = static_cast<size_t>(std::lround(delay));
      Taps t(shift + h.N, 0.0);
      for (unsigned i = 0; i < h.N; ++i) {
        const float v = ir[receiver * h.N + i];
        if (!std::isfinite(v)) return "holds samples that are not numbers (NaN or infinity)";
        t[shift + i] = v;
      }
      out.Plant.H[e][s] = std::move(t);
    }
  }
  return {};
}

}  // namespace tessival::xtc
