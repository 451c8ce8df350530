#include "settings/Settings.h"

#include <cstdint>

namespace tessival {

const int32_t SampleRates[NumSampleRates] = {16000, 32000, 48000, 96000, 11025, 22050, 44100, 88200};

int32_t WaveInDevice = 0;
int32_t WaveOutDevices[MaxOutDevices] = {};
std::string WaveInDeviceName;
std::string WaveOutDeviceNames[MaxOutDevices];
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
  for (const StoredText& t : StoredTexts) t.Variable->clear();
  OpenOrder = StartOrder = NumBuffers = 0;
  SampleRateIndex = SampleRate = SampleBits = 0;
  DitherOn = false;
  for (auto& g : GainSteps) g = 0;
}

namespace {
constexpr int32_t Lowest = INT32_MIN;
constexpr int32_t Highest = INT32_MAX;
}  // namespace

const StoredSetting StoredSettings[NumStoredSettings] = {
    {"Wave Record Dev", &WaveInDevice, nullptr, 0, Lowest, Highest},
    {"Wave Playback Dev0", &WaveOutDevices[0], nullptr, 0, Lowest, Highest},
    // Every pair on the first device ("default"): a fresh start never sends a pair to
    // whatever device happens to be listed k-th.
    {"Wave Playback Dev1", &WaveOutDevices[1], nullptr, 0, Lowest, Highest},
    {"Wave Playback Dev2", &WaveOutDevices[2], nullptr, 0, Lowest, Highest},
    {"Wave Playback Dev3", &WaveOutDevices[3], nullptr, 0, Lowest, Highest},
    {"Wave Playback Dev4", &WaveOutDevices[4], nullptr, 0, Lowest, Highest},
    {"OpenOrder", &OpenOrder, nullptr, 0, Lowest, Highest},
    {"StartOrder", &StartOrder, nullptr, 1, Lowest, Highest},
    {"NumBuffers", &NumBuffers, nullptr, 3, MinBuffers, MaxBuffers},
    {"Sampling Freq", &SampleRateIndex, nullptr, 6, Lowest, Highest},
    {"Bits", &SampleBits, nullptr, 16, Lowest, Highest},
    {"Dither", nullptr, &DitherOn, 0, Lowest, Highest},
    {"Gain0", &GainSteps[0], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain1", &GainSteps[1], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain2", &GainSteps[2], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain3", &GainSteps[3], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain4", &GainSteps[4], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain5", &GainSteps[5], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain6", &GainSteps[6], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain7", &GainSteps[7], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain8", &GainSteps[8], nullptr, 0, MinGainDb, MaxGainDb},
    {"Gain9", &GainSteps[9], nullptr, 0, MinGainDb, MaxGainDb},
};

const StoredText StoredTexts[NumStoredTexts] = {
    {"Wave Record Dev Name", &WaveInDeviceName},
    {"Wave Playback Dev0 Name", &WaveOutDeviceNames[0]},
    {"Wave Playback Dev1 Name", &WaveOutDeviceNames[1]},
    {"Wave Playback Dev2 Name", &WaveOutDeviceNames[2]},
    {"Wave Playback Dev3 Name", &WaveOutDeviceNames[3]},
    {"Wave Playback Dev4 Name", &WaveOutDeviceNames[4]},
};

void SetDefaultSettings() {
  for (const StoredSetting& s : StoredSettings) {
    if (s.Variable) *s.Variable = s.Default;
    else *s.Flag = s.Default != 0;
  }
  for (const StoredText& t : StoredTexts) t.Variable->clear();
  SampleRate = SampleRates[SampleRateIndex];
}

}  // namespace tessival
