#pragma once
// The ALSA wave driver.
//
// Devices: ALSA's PCM name hints, "default" first (added when the hints lack it), then
// every other hint that can capture (inputs) or play (outputs), each named by the first
// line of its description. The list is read again at every device count query; ids
// index the latest list.
//
// Open: interleaved S16_LE or S32_LE, 2 channels, the exact rate, else WAVERR_BADFORMAT;
// a busy device gives MMSYSERR_ALLOCATED, a missing one MMSYSERR_NODRIVER. Each open
// device has one I/O thread (real-time scheduling when allowed) that moves whole queued
// buffers in period-sized pieces; the PCM is non-blocking and the thread waits for it
// with a short timeout, so reset and close are answered promptly even by a stalled
// device. Capture buffers are zeroed before they are filled (ALSA's null device leaves
// them untouched). Playback buffers are copied when written, into copies made at
// prepare time, and the playback queue is bounded as WaveDriver.h describes. Xruns are
// recovered and counted; a playback xrun is the device running dry: the gap (from the
// stream's timestamps) and, when nothing else was queued, one block of silence written
// before the next buffer count as its underrun frames. A played buffer is returned once
// ALSA has taken all of it. Each device's rate is measured from its position (frames
// moved less or plus ALSA's delay) against the monotonic clock.
//
// Setting TESSIVAL_AUDIO_DEBUG=1 prints ALSA's error texts to stderr.
#include <memory>

#include "audio/WaveDriver.h"

namespace tessival {

std::unique_ptr<WaveDriver> MakeAlsaDriver();

}  // namespace tessival
