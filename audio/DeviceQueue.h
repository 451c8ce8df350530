#pragma once
// What every wave driver does with the buffers the program hands it, whatever it speaks
// to: the prepared headers, the copies taken of written playback buffers, one device's
// queue with the bounded playback rule of WaveDriver.h, and the device side's place in
// that queue.
//
// Two sides. The program's side (Prepare, Unprepare, Add) runs on the main thread. The
// device side (Front, Complete, the cursors) runs on one thread at a time: the driver's
// I/O thread or real-time callback, or the main thread while the driver holds the device
// side off (during a reset). The device side takes no lock, allocates nothing and makes
// no system call; the sides meet through single-producer rings only.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/SpscRing.h"
#include "audio/WaveDevice.h"

namespace tessival {

constexpr uint32_t DeviceQueueRoom = 1024;                    // most entries one device can hold
constexpr uint32_t MaxPreparedHeaders = DeviceQueueRoom - 2;  // so that P + 1 copies always fit

struct PreparedHeader;

// One queue entry: a capture header filled in place, or the copy of a written playback buffer.
struct QueueEntry {
  PreparedHeader* Owner = nullptr;
  uint8_t* Bytes = nullptr;   // the frames
  uint32_t Frames = 0;        // whole frames
  std::vector<uint8_t> Copy;  // playback: the copy's storage, sized at prepare time
};

// A header prepared on the device.
struct PreparedHeader {
  WAVEHDR* Header = nullptr;
  QueueEntry Own;                    // capture: its one entry
  std::atomic<uint32_t> Queued{0};   // its entries in the queue; the device side lowers it last
};

class DeviceQueue {
 public:
  DeviceQueue(WaveKind kind, uint32_t frameBytes);
  DeviceQueue(const DeviceQueue&) = delete;
  DeviceQueue& operator=(const DeviceQueue&) = delete;

  // --- The program's side ---

  // Copies for a full playback queue are made here, so that Add does not allocate.
  // MMSYSERR_INVALPARAM for a header without data or shorter than one frame.
  MMRESULT Prepare(WAVEHDR* header, uint32_t headerSize);
  // WAVERR_STILLPLAYING while any entry of the header is queued.
  MMRESULT Unprepare(WAVEHDR* header, uint32_t headerSize);
  // waveInAddBuffer / waveOutWrite: WAVERR_UNPREPARED for a header not prepared here;
  // a capture header already queued gives WAVERR_STILLPLAYING. A playback buffer is
  // copied, so the program may rewrite it at once; with P headers prepared, a write that
  // finds P + 1 copies queued is skipped instead: *skipped is set, the header is marked
  // done, and the caller reports it done at once.
  MMRESULT Add(WAVEHDR* header, uint32_t headerSize, bool* skipped);

  uint32_t PreparedCount() const { return static_cast<uint32_t>(headers_.size()); }
  uint32_t LargestFrames() const;                          // of the headers prepared
  uint64_t SkippedBlocks() const { return skipped_; }      // writes dropped by the bound
  uint32_t MaxQueued() const { return maxQueued_; }        // most entries queued, just after an Add
  WaveKind Kind() const { return kind_; }
  uint32_t FrameBytes() const { return frameBytes_; }

  // --- The device side ---

  QueueEntry* Front() {
    QueueEntry** e = queue_.Front();
    return e != nullptr ? *e : nullptr;
  }
  uint32_t Size() const { return queue_.Size(); }
  // Lets go of the front entry, of which frames were done (capture: recorded); returns
  // its header, for the driver to report.
  WAVEHDR* Complete(uint32_t frames);
  // With the device stopped: hands every entry back in queue order, the front one with
  // frontFrames done, calling report(header) for each.
  template <typename Report>
  void ReturnAll(uint32_t frontFrames, Report report) {
    for (uint32_t frames = frontFrames; Front() != nullptr; frames = 0) report(Complete(frames));
  }

 private:
  PreparedHeader* Find(const WAVEHDR* header) const;
  QueueEntry* TakeCopy();

  const WaveKind kind_;
  const uint32_t frameBytes_;
  SpscRing<QueueEntry*, DeviceQueueRoom> queue_;     // program -> device
  SpscRing<QueueEntry*, DeviceQueueRoom> returned_;  // device -> program: copies played
  std::vector<std::unique_ptr<PreparedHeader>> headers_;
  std::vector<std::unique_ptr<QueueEntry>> copies_;
  std::vector<QueueEntry*> free_;                    // copies not queued (capacity reserved)
  uint64_t skipped_ = 0;
  uint32_t maxQueued_ = 0;
};

// A playing device's place in its queue. Once it has played, a device that finds nothing
// queued plays silence (it ran dry) until a buffer comes, and then as much silence again
// as that buffer is long before it, so that a device faster than its feed gains a block
// of slack at once instead of running dry at every block. The silence is counted.
//
// A device that plays silence by itself when it runs dry (an ALSA device, which stops
// at an xrun) makes its cursor with fillsWhenDry false: Next then gives nothing while
// nothing is queued, and the driver reports the xrun with RanDry and the frames the
// device lost with CountSilence.
class PlaybackCursor {
 public:
  explicit PlaybackCursor(bool fillsWhenDry = true) : fillsWhenDry_(fillsWhenDry) {}
  // The next piece to play, at most max frames: *bytes points at the frames, or is null
  // for silence. 0 when there is nothing to play: nothing queued and nothing played
  // since the last Reset (or, without fillsWhenDry, nothing queued at all).
  uint32_t Next(DeviceQueue& q, uint32_t max, const uint8_t** bytes);
  // frames of the piece Next gave have been played. Returns the header of an entry played
  // to its end (to be reported done), else null.
  WAVEHDR* Played(DeviceQueue& q, uint32_t frames);
  // Idle again, after the queue was emptied.
  void Reset();
  // The device ran dry by itself: one underrun; when the front entry is all that is
  // queued and none of it has played, it came too late, and as much silence as it is
  // long is owed before it.
  void RanDry(DeviceQueue& q);
  // Silent frames the device played by itself, counted with the underruns.
  void CountSilence(uint64_t frames) { frames_.fetch_add(frames, std::memory_order_relaxed); }
  uint32_t Offset() const { return offset_; }
  bool Dry() const { return dry_; }

  // Read from any thread.
  uint64_t UnderrunEvents() const { return events_.load(std::memory_order_relaxed); }
  uint64_t UnderrunFrames() const { return frames_.load(std::memory_order_relaxed); }

 private:
  enum class Piece { None, Buffer, Silence };
  const bool fillsWhenDry_;
  uint32_t offset_ = 0;   // frames played of the front entry
  uint64_t owed_ = 0;     // silence still owed before the front entry
  bool started_ = false;  // has played since the last Reset
  bool dry_ = false;      // ran dry and plays silence until a buffer comes
  Piece piece_ = Piece::None;
  std::atomic<uint64_t> events_{0};
  std::atomic<uint64_t> frames_{0};
};

// A capturing device's place in its queue.
class CaptureCursor {
 public:
  // Where the next frames go, at most max: 0 when nothing is queued (the frames are lost).
  uint32_t Next(DeviceQueue& q, uint32_t max, uint8_t** bytes);
  // frames were written where Next said. Returns the header of a buffer now full, else null.
  WAVEHDR* Filled(DeviceQueue& q, uint32_t frames);
  void Reset() { offset_ = 0; }
  uint32_t Offset() const { return offset_; }

 private:
  uint32_t offset_ = 0;  // frames filled of the front buffer
};

// Header flags are set by the program at a write and by the device side when it lets go
// of a copy; with several copies of one header in flight both may touch them.
void SetHeaderFlags(WAVEHDR* header, uint32_t set, uint32_t clear);

}  // namespace tessival
