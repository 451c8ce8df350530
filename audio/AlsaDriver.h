#pragma once
// The ALSA wave driver.
//
// Devices: "default", the sound servers that answer, every card's direct and converting
// devices and the user's own PCMs, as AlsaDeviceList.h chooses them from ALSA's name
// hints; identities are the PCM names. The list is read again at every device count
// query and every Devices() call; ids index the latest list.
//
// Open: interleaved, 2 channels, the exact rate, S16_LE or S32_LE as the format asks,
// or FLOAT_LE for a device that takes nothing else (ALSA's jack device), converted in
// the driver; else WAVERR_BADFORMAT. A busy device gives MMSYSERR_ALLOCATED, a missing
// one MMSYSERR_NODRIVER. Each open device has one I/O thread (real-time scheduling when
// allowed) that moves whole queued buffers in period-sized pieces; the PCM is
// non-blocking and the thread waits for it with a short timeout, so reset and close are
// answered promptly even by a stalled device. The open only checks the parameters; the
// I/O thread sets them up when the stream first starts, with ALSA's buffer chosen by
// ChooseAlsaBuffer for the block length the program's headers give (a longer block
// before a later start opens the PCM anew). Capture buffers are zeroed before they are filled (ALSA's null
// device leaves them untouched). Buffers travel through the shared DeviceQueue, so
// playback buffers are copied when written and the playback queue is bounded as
// WaveDriver.h describes.
//
// Xruns are recovered and counted. A playback xrun is the device running dry: its
// underrun frames are the frames it really went without, from the time its buffer ran
// out (as its delay told at the last write) to the next write, plus, when the buffer
// that came was all that was queued, one block of silence owed before it. Each device's
// rate is its position (frames moved, gaps included, less or plus ALSA's delay) against
// the monotonic clock, measured from its first transfer on.
//
// Lost devices: a transfer error other than an xrun, a suspend or an interruption
// (ENODEV when a card is unplugged, EBADFD, EIO or a broken connection when a sound
// server goes away), a recovery that fails, or 2 s in which a running device with
// buffers queued moves nothing, posts MM_WAVE_LOST with ALSA's error text as the reason.
//
// Setting TESSIVAL_AUDIO_DEBUG=1 prints ALSA's error texts and the sizes chosen to stderr.
#include <cstdint>
#include <memory>

#include "audio/WaveDriver.h"

namespace tessival {

std::unique_ptr<WaveDriver> MakeAlsaDriver();

// ALSA's period and buffer, in frames, for a device moving blocks of blockFrames (0: not
// known yet) at rate. The period is 10 ms. A capture buffer holds only what is not read
// yet, so it is long (250 ms) at no cost in latency. A playback buffer adds its length
// to the latency: one block long, from 40 ms up to 250 ms, since next to a short block
// latency matters and next to a long one a gap costs far more.
struct AlsaBufferSize {
  uint32_t PeriodFrames = 0;
  uint32_t BufferFrames = 0;
};
AlsaBufferSize ChooseAlsaBuffer(WaveKind kind, uint32_t blockFrames, uint32_t rate);

}  // namespace tessival
