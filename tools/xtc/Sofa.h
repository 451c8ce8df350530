#pragma once
// A measured head from an AES69 SOFA file (read by libmysofa), for tessival-xtc.
#include <string>

#include "tools/xtc/Design.h"

namespace tessival::xtc {

constexpr double SofaMaxMissDeg = 5.0;  // farthest a measured direction may lie from a loudspeaker

// What was taken for one loudspeaker.
struct SofaPick {
  double AzimuthDeg = 0, ElevationDeg = 0;  // the nearest measured direction
  bool Interpolated = false;                // between it and its neighbours
};

struct SofaPlant {
  ImpulsePlant Plant;    // at the file's own rate
  int Directions = 0;    // measured in the file
  SofaPick Picked[2];    // left loudspeaker, right loudspeaker
};

// The four paths of loudspeakers at azimuth +span/2 (left) and -span/2 (right),
// elevation 0, `distanceM` away (the file's nearest distance when it holds several).
// Returns "" or the problem (without the file's name).
std::string ReadSofaPlant(const std::string& path, double spanDeg, double distanceM, SofaPlant& out);

}  // namespace tessival::xtc
