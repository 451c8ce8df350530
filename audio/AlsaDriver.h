#pragma once
// The ALSA wave driver.
//
// Devices: "default", the sound servers that answer, every card's direct and converting
// devices and the user's own PCMs, as AlsaDeviceList.h chooses them from ALSA's name
// hints; identities are the PCM names. The list is read again at every device count
// query and every Devices() call; ids index the latest list.
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
// Lost devices: a transfer error other than an xrun, a suspend or an interruption
// (ENODEV when a card is unplugged, EBADFD, EIO or a broken connection when a sound
// server goes away), a recovery that fails, or 2 s in which a running device with
// buffers queued moves nothing, posts MM_WAVE_LOST with ALSA's error text as the reason.
//
// Setting TESSIVAL_AUDIO_DEBUG=1 prints ALSA's error texts to stderr.
#include <memory>

#include "audio/WaveDriver.h"

namespace tessival {

std::unique_ptr<WaveDriver> MakeAlsaDriver();

}  // namespace tessival
