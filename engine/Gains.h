#pragma once
// Decibel steps to linear factors, shared by the gain dialog and the renderer.
#include <cstdint>

#include "settings/Limits.h"

namespace tessival {

// 10^(dB/20) computed in extended precision and rounded to float; 0 dB gives exactly 1.0.
float GainFactorFromDb(int32_t db);

// Every GainFactors entry from GainSteps: channel k+1 gets slider k plus Master,
// channel 0 shares the dipole factor of channel 1.
void ComputeGainFactors();

// Recomputes the factors that slider k affects after GainSteps[k] changed.
void UpdateGainFactorsForSlider(int k);

// Index 0..9 of a slider name ("Dipole", "S1".."S8", "Master"), or -1.
int GainSliderIndex(const char* name);

extern const char* const GainSliderNames[NumGainSliders];

}  // namespace tessival
