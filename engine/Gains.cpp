#include "engine/Gains.h"

#include <cmath>
#include <cstring>

#include "engine/Engine.h"
#include "settings/Settings.h"

namespace tessival {

const char* const GainSliderNames[NumGainSliders] = {"Dipole", "S1", "S2", "S3", "S4", "S5",
                                                     "S6",     "S7", "S8", "Master"};

float GainFactorFromDb(int32_t db) {
  // powl(10, 0) is exactly 1, so a 0 dB channel skips no precision and costs nothing.
  return static_cast<float>(std::pow(10.0L, static_cast<long double>(db) / 20.0L));
}

void UpdateGainFactorsForSlider(int k) {
  const int32_t master = GainSteps[MasterSlider];
  if (k == MasterSlider) {
    for (int j = 0; j < MasterSlider; ++j) GainFactors[j + 1] = GainFactorFromDb(GainSteps[j] + master);
  } else if (k >= 0 && k < MasterSlider) {
    GainFactors[k + 1] = GainFactorFromDb(GainSteps[k] + master);
  }
  GainFactors[0] = GainFactors[1];
}

void ComputeGainFactors() { UpdateGainFactorsForSlider(MasterSlider); }

int GainSliderIndex(const char* name) {
  for (int k = 0; k < NumGainSliders; ++k)
    if (std::strcmp(name, GainSliderNames[k]) == 0) return k;
  return -1;
}

}  // namespace tessival
