#pragma once
// A loudspeaker's measured responses at the two ears, for tessival-xtc.
#include <string>

#include "tools/xtc/Design.h"

namespace tessival::xtc {

// Reads one measurement: a two-channel WAV file (left ear, right ear) of any sample type
// the bank reader takes, at any rate. Returns "" or the problem (without the file's name).
std::string ReadMeasurement(const std::string& path, double& rate, Taps& leftEar, Taps& rightEar);

}  // namespace tessival::xtc
