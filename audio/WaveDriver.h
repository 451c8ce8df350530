#pragma once
// The driver behind the wave device functions, and the choice of the driver in use.
//
// The free functions of WaveDevice.h check the handle and forward every call to the
// driver that opened it (enumeration and open go to the driver in use). All of them,
// and so every driver entry point, are called on the main thread only; driver threads
// talk to the program through WaveNotifyTarget::PostWaveMessage alone.
//
// Playback queues and clock drift: every sound card runs on its own clock, so over minutes
// a playback device consumes a little faster or slower than the capture device delivers.
// Every driver keeps each playback queue bounded the same way:
// - a write is copied, so a header may be written again while an earlier copy of it is
//   still queued (the cycle writes playback buffer k whenever capture buffer k returns,
//   whatever the device has played);
// - with P headers prepared on the device, a write that finds P + 1 copies queued is
//   skipped: it is counted, reported done at once, and the queue keeps the older blocks
//   (dropping the newest rather than the oldest leaves the device's queue untouched and
//   costs the same: one block missing and one block less latency);
// - a playing device that runs dry plays silence until the next buffer arrives, and one
//   block more of silence before that buffer, so that a fast device gains a block of
//   slack at once instead of running dry again at every following block. The silence
//   and the event are counted.
// So the latency of every playback device stays between about one and P + 1 blocks for
// as long as it runs, and a drift of e ppm costs one skipped or silent block every
// 1e6 / e blocks.
//
// Handle lifetime: a handle is created by a successful open and stays a valid pointer
// after its close, so the close notification's handler may still pass it (the calls
// then answer MMSYSERR_INVALHANDLE without touching anything). The shells of closed
// handles are kept for the most recent closes and freed with their driver; a handle
// never returned by an open, or freed long ago, is recognised and refused, never
// dereferenced.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival {

// What an open device has done since its open: the figures behind drift and load
// diagnostics. Counts a driver does not keep stay 0.
struct WaveDeviceStats {
  double Rate = 0;              // frames per second measured against the driver's clock; 0 until known
  uint64_t UnderrunEvents = 0;  // output: times it ran dry and played silence
  uint64_t UnderrunFrames = 0;  // output: silent frames played for those
  uint64_t SkippedBlocks = 0;   // output: written buffers dropped to keep its queue bounded
  uint32_t MaxQueued = 0;       // most buffers queued on it at once, just after a write or add
  uint32_t DelayFrames = 0;     // frames the device itself holds between its buffers and the sound
                                // (the driver's ring for an output, a period for an input); 0: none known
};

// The program's side of an open device; drivers keep their device state in DriverData.
struct WaveDeviceHandle {
  class WaveDriver* Driver = nullptr;  // the driver that opened it
  WaveKind Kind = WaveKind::In;
  uint32_t DeviceId = 0;
  bool Closed = false;                 // set once the close has been done
  void* DriverData = nullptr;          // the driver's device, null after the close
};

// One wave-audio back end. Every call comes from the main thread. A driver posts
// notifications only to the target given at open, never after that device's close
// notification, and its threads never run program code.
class WaveDriver {
 public:
  virtual ~WaveDriver() = default;  // stops and frees every device, posting nothing

  virtual uint32_t NumDevs(WaveKind kind) = 0;
  // The whole product name of device id; false when id is out of range.
  virtual bool DeviceName(WaveKind kind, uint32_t id, std::string* name) = 0;
  // The list read afresh, ids indexing it from now on (NumDevs may read it again too).
  // By default the names, each its own identity.
  virtual std::vector<WaveDeviceEntry> Devices(WaveKind kind);

  // Opens handle->DeviceId with format; on success sets handle->DriverData and may post
  // the open notification. The caller frees the handle when the result is not 0.
  virtual MMRESULT Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format,
                        WaveNotifyTarget* target, uintptr_t instance, uint32_t flags) = 0;

  // The handle operations. The handle is one this driver opened (maybe closed since).
  virtual MMRESULT Start(WaveDeviceHandle* handle) = 0;    // capture begins
  virtual MMRESULT Pause(WaveDeviceHandle* handle) = 0;    // playback held
  virtual MMRESULT Restart(WaveDeviceHandle* handle) = 0;  // playback begins
  virtual MMRESULT Prepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) = 0;
  virtual MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) = 0;
  // waveInAddBuffer or waveOutWrite, by the handle's kind (playback: see above).
  virtual MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) = 0;
  // Returns every queued buffer and stops the device.
  virtual MMRESULT Reset(WaveDeviceHandle* handle) = 0;
  // Returns what is still queued, releases the device and posts the close notification;
  // sets handle->DriverData to null.
  virtual MMRESULT Close(WaveDeviceHandle* handle) = 0;

  // Why an open device was lost (see MM_WAVE_LOST); false while it works. A driver
  // posts MM_WAVE_LOST once per device, stops moving its buffers and still answers
  // reset and close; a lost device never comes back, it has to be opened again.
  virtual bool LostReason(WaveDeviceHandle*, std::string*) { return false; }

  // Overruns and underruns recovered on an open device so far.
  virtual uint64_t XrunCount(WaveDeviceHandle*) { return 0; }
  // The figures of an open device; false when the driver keeps none.
  virtual bool Stats(WaveDeviceHandle*, WaveDeviceStats*) { return false; }
  // Whether RaisePriorities should really change the scheduling of the process.
  virtual bool WantsRealTimePriority() const { return true; }
  // An event of the program worth seeing next to the device calls (the simulated
  // driver records it in its call log).
  virtual void NoteEvent(const char*) {}
};

// The driver in use, made on first use, as the environment variable TESSIVAL_AUDIO
// says: "sim" the simulated driver, "jack" the JACK driver alone, "alsa" the ALSA driver
// alone; else ALSA's devices and, while a JACK server answers, the JACK driver's.
WaveDriver& ActiveWaveDriver();

// Puts driver in use (null: the default is made again on next use). Every device
// still open on the previous driver is closed without notifications, its handles
// become invalid, and the previous driver is destroyed.
void InstallWaveDriver(std::unique_ptr<WaveDriver> driver);

// The overrun/underrun count of an open device (0 for an invalid handle).
uint64_t WaveDeviceXruns(WaveDeviceHandle* handle);

// The figures of an open device; false for an invalid or closed handle.
bool WaveDeviceStatistics(WaveDeviceHandle* handle, WaveDeviceStats* stats);

// When the environment variable TESSIVAL_DEBUG is 1, prints to stderr each playback
// device's rate against the capture device (in ppm), its underruns, skipped blocks and
// longest queue. The stop command calls it before the devices are reset.
void PrintWaveDeviceStats(WaveDeviceHandle* capture, WaveDeviceHandle* const* playback, int count);

// Helpers shared by the drivers.

// Size of the header record as the program passes it: anything smaller than the
// record's original 32 bytes is refused.
constexpr uint32_t MinWaveHeaderSize = 32;

// 0 when format is 2-channel integer PCM at 16 or 32 bits with a consistent frame size
// and a rate above 0, else WAVERR_BADFORMAT.
MMRESULT CheckWaveFormat(const WAVEFORMATEX& format);

// Writes name into a 32-byte product-name field, cut to 31 characters.
void CopyProductName(const std::string& name, char (&field)[32]);

// Makes every Name of list unique: a name met again gets " (2)", " (3)" ... appended.
void MakeDeviceNamesUnique(std::vector<WaveDeviceEntry>& list);

// An errno-style code (negative or positive) as "No such device (ENODEV)".
std::string ErrnoText(int err);

}  // namespace tessival
