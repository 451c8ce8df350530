#include "settings/Settings.h"

namespace tessival {

const int32_t SampleRates[NumSampleRates] = {16000, 32000, 48000, 96000, 11025, 22050, 44100, 88200};

int32_t WaveInDevice = 0;
int32_t WaveOutDevices[NumOutPairs] = {};
int32_t OpenOrder = 0;
int32_t StartOrder = 0;
int32_t NumBuffers = 0;
int32_t SampleRateIndex = 0;
int32_t SampleRate = 0;
int32_t SampleBits = 0;
bool DitherOn = false;
int32_t GainSteps[NumGainSliders] = {};

void ResetSettingsVariables() {
  WaveInDevice = 0;
  for (auto& d : WaveOutDevices) d = 0;
  OpenOrder = StartOrder = NumBuffers = 0;
  SampleRateIndex = SampleRate = SampleBits = 0;
  DitherOn = false;
  for (auto& g : GainSteps) g = 0;
}

void SetDefaultSettings() {
  WaveInDevice = 0;
  for (int k = 0; k < NumOutPairs; ++k) WaveOutDevices[k] = k;
  OpenOrder = 0;
  StartOrder = 1;
  NumBuffers = 3;
  SampleRateIndex = 6;
  SampleRate = SampleRates[6];
  SampleBits = 16;
  DitherOn = false;
  for (auto& g : GainSteps) g = 0;
}

}  // namespace tessival
