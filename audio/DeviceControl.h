#pragma once
// Starting and stopping live processing: opening, queueing and starting the devices,
// and resetting and closing them again.
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
// The open-and-start sequence of the play command.
void OpenDevices();

}  // namespace tessival
