#pragma once
// Starting and stopping live processing: opening, queueing and starting the devices,
// and resetting and closing them again.
#include <string>

#include "audio/WaveDevice.h"

namespace tessival {

extern bool Running;    // the devices run (from an accepted start to the stop)
extern bool Stopping;   // set by the stop command; returned capture buffers are then ignored
extern HWAVEIN WaveInHandle;
extern HWAVEOUT WaveOutHandles[5];
extern WAVEFORMATEX WaveFormat;

// The target every device is opened with; the main window installs itself.
extern WaveNotifyTarget* NotifyTarget;

// The play command: does nothing unless a bank is loaded and not running.
void StartButtonClick();
// The stop command: does nothing unless running.
void StopButtonClick();
// The open-and-start sequence of the play command. Before anything is opened, the
// stored device identities are matched against the device lists; when one of the
// devices needed is absent, a warning names it and nothing is opened.
void OpenDevices();

// A device of the run reported MM_WAVE_LOST: stops as the stop command does, then shows
// a warning naming the role, the device and the driver's reason. Anything else (a
// device of an earlier run, a notification after the stop) is ignored.
void DeviceLost(WaveDeviceHandle* device);

// The stream format every device is opened with, at rate and SampleBits-style bits.
WAVEFORMATEX MakeWaveFormat(uint32_t rate, int32_t bits);

// The text of an open failure: "Unsupported wave format:" with rate and SampleBits, or
// "WaveInOpen: " / "Error en waveOutOpen: " and the result's text.
std::string OpenFailureText(MMRESULT result, bool capture, int32_t rate);

}  // namespace tessival
