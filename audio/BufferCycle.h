#pragma once
// The cycle of buffers between the capture device and the playback devices.
#include "audio/WaveDevice.h"

namespace tessival {

extern WAVEHDR InHeaders[8];
extern WAVEHDR OutHeaders[5][8];

// Describes, prepares and queues every buffer at a start.
void QueueBuffers();

// Runs the handler of one device notification, on the main thread.
void DispatchWaveMessage(const WaveMessage& message);

}  // namespace tessival
