#pragma once
// The user's settings variables: read and written on the main thread only.
// All are zero until LoadSettings runs (tests set them directly).
#include <cstdint>
#include <string>

#include "settings/Limits.h"

namespace tessival {

constexpr int NumSampleRates = 8;

// Selectable sampling frequencies in Hz, in the sampling dialog's order.
extern const int32_t SampleRates[NumSampleRates];

extern int32_t WaveInDevice;                 // capture device id
extern int32_t WaveOutDevices[MaxOutDevices];  // playback device id of output pair k
// The devices' identities (ALSA's PCM names), beside the ids: a device present under
// its identity is found again wherever the list has moved it. Empty: by id alone.
extern std::string WaveInDeviceName;
extern std::string WaveOutDeviceNames[MaxOutDevices];
extern int32_t OpenOrder;                    // 0 "Play, Rec", 1 "Rec, Play"
extern int32_t StartOrder;                   // 0 "Play, Rec", 1 "Rec, Play"
extern int32_t NumBuffers;                   // buffers per device, 2..8
extern int32_t SampleRateIndex;              // index into SampleRates, -1 when off the table
extern int32_t SampleRate;                   // Hz, never stored
extern int32_t SampleBits;                   // 16, or 24 (32-bit containers)
extern bool DitherOn;                        // triangular dither on 16-bit output
extern int32_t GainSteps[NumGainSliders];    // dB, +6..-24: 0 Dipole, 1..8 S1..S8, 9 Master

// Sets every settings variable to zero (the state before LoadSettings).
void ResetSettingsVariables();

// Sets every settings variable to its first-run default.
void SetDefaultSettings();

// One stored value: its name in the store, the variable it fills, its default and
// the range it is held to on load. Exactly one of Variable and Flag is set.
struct StoredSetting {
  const char* Name;
  int32_t* Variable;
  bool* Flag;        // "Dither": stored as "1"/"0", any non-zero number reads as true
  int32_t Default;
  int32_t Min, Max;  // the full 32-bit range where any stored number is taken
};

constexpr int NumStoredSettings = 22;

// The stored values in the store's order; drives loading, saving and the defaults.
extern const StoredSetting StoredSettings[NumStoredSettings];

// The stored device identities, read and written after the numbers; default empty.
struct StoredText {
  const char* Name;
  std::string* Variable;
};

constexpr int NumStoredTexts = 1 + MaxOutDevices;
extern const StoredText StoredTexts[NumStoredTexts];

}  // namespace tessival
