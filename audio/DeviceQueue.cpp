#include "audio/DeviceQueue.h"

#include <algorithm>
#include <cstring>

#include "audio/WaveDriver.h"

namespace tessival {

void SetHeaderFlags(WAVEHDR* header, uint32_t set, uint32_t clear) {
  std::atomic_ref<uint32_t> flags(header->dwFlags);
  flags.fetch_and(~clear, std::memory_order_relaxed);
  flags.fetch_or(set, std::memory_order_relaxed);
}

DeviceQueue::DeviceQueue(WaveKind kind, uint32_t frameBytes) : kind_(kind), frameBytes_(frameBytes) {}

PreparedHeader* DeviceQueue::Find(const WAVEHDR* header) const {
  for (const auto& h : headers_) {
    if (h->Header == header) return h.get();
  }
  return nullptr;
}

uint32_t DeviceQueue::LargestFrames() const {
  uint32_t frames = 0;
  for (const auto& h : headers_) frames = std::max(frames, h->Header->dwBufferLength / frameBytes_);
  return frames;
}

// A free playback copy: first the ones the device side has handed back.
QueueEntry* DeviceQueue::TakeCopy() {
  QueueEntry* e = nullptr;
  while (returned_.Pop(&e)) free_.push_back(e);  // within the capacity Prepare reserved
  if (free_.empty()) return nullptr;
  e = free_.back();
  free_.pop_back();
  return e;
}

MMRESULT DeviceQueue::Prepare(WAVEHDR* header, uint32_t headerSize) {
  if (header == nullptr || headerSize < MinWaveHeaderSize || header->lpData == nullptr ||
      header->dwBufferLength < frameBytes_) {
    return MMSYSERR_INVALPARAM;
  }
  PreparedHeader* h = Find(header);
  if (h == nullptr) {
    if (headers_.size() >= MaxPreparedHeaders) return MMSYSERR_NOMEM;
    headers_.push_back(std::make_unique<PreparedHeader>());
    h = headers_.back().get();
    h->Header = header;
    h->Own.Owner = h;
  }
  if (kind_ == WaveKind::Out) {
    QueueEntry* e = nullptr;
    while (returned_.Pop(&e)) free_.push_back(e);
    while (copies_.size() < headers_.size() + 2) {
      copies_.push_back(std::make_unique<QueueEntry>());
      free_.reserve(copies_.size());
      free_.push_back(copies_.back().get());
    }
    for (QueueEntry* c : free_) {
      if (c->Copy.size() < header->dwBufferLength) c->Copy.resize(header->dwBufferLength);
    }
  }
  SetHeaderFlags(header, WHDR_PREPARED, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT DeviceQueue::Unprepare(WAVEHDR* header, uint32_t headerSize) {
  if (header == nullptr || headerSize < MinWaveHeaderSize) return MMSYSERR_INVALPARAM;
  if (PreparedHeader* h = Find(header)) {
    if (h->Queued.load(std::memory_order_acquire) > 0) return WAVERR_STILLPLAYING;
    std::erase_if(headers_, [h](const std::unique_ptr<PreparedHeader>& p) { return p.get() == h; });
  }
  SetHeaderFlags(header, 0, WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT DeviceQueue::Add(WAVEHDR* header, uint32_t headerSize, bool* skipped) {
  *skipped = false;
  if (header == nullptr || headerSize < MinWaveHeaderSize) return MMSYSERR_INVALPARAM;
  PreparedHeader* h = Find(header);
  if (h == nullptr ||
      (std::atomic_ref<uint32_t>(header->dwFlags).load(std::memory_order_relaxed) & WHDR_PREPARED) == 0) {
    return WAVERR_UNPREPARED;
  }
  const uint32_t frames = header->dwBufferLength / frameBytes_;
  if (frames == 0 || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  const uint32_t queued = queue_.Size();
  QueueEntry* e = &h->Own;
  if (kind_ == WaveKind::In) {
    // Filled in place: one entry per header.
    if (h->Queued.load(std::memory_order_acquire) > 0) return WAVERR_STILLPLAYING;
    header->dwBytesRecorded = 0;
    e->Bytes = header->lpData;
  } else {
    if (queued >= headers_.size() + 1) {
      // The device plays slower than it is fed: dropping this block keeps latency bounded.
      ++skipped_;
      if (h->Queued.load(std::memory_order_acquire) == 0) SetHeaderFlags(header, WHDR_DONE, WHDR_INQUEUE);
      *skipped = true;
      return MMSYSERR_NOERROR;
    }
    e = TakeCopy();
    if (e == nullptr) return MMSYSERR_NOMEM;  // cannot happen while the queue is bounded
    const size_t bytes = static_cast<size_t>(frames) * frameBytes_;
    if (e->Copy.size() < bytes) e->Copy.resize(bytes);  // only if the header grew since it was prepared
    std::memcpy(e->Copy.data(), header->lpData, bytes);
    e->Bytes = e->Copy.data();
    e->Owner = h;
  }
  e->Frames = frames;
  SetHeaderFlags(header, WHDR_INQUEUE, WHDR_DONE);
  h->Queued.fetch_add(1, std::memory_order_relaxed);
  if (!queue_.Push(e)) {
    h->Queued.fetch_sub(1, std::memory_order_relaxed);
    if (e != &h->Own) free_.push_back(e);
    return MMSYSERR_NOMEM;
  }
  maxQueued_ = std::max(maxQueued_, queued + 1);
  return MMSYSERR_NOERROR;
}

// Header fields first, the copy back to the program, then the queue, then the count the
// program checks before it may unprepare.
WAVEHDR* DeviceQueue::Complete(uint32_t frames) {
  QueueEntry* e = Front();
  PreparedHeader* h = e->Owner;
  WAVEHDR* header = h->Header;
  if (kind_ == WaveKind::In) header->dwBytesRecorded = frames * frameBytes_;
  // The last copy out marks the header done (a write racing with this may leave the flag
  // early; the counts, not the flags, decide what may be reused).
  if (h->Queued.load(std::memory_order_relaxed) == 1) SetHeaderFlags(header, WHDR_DONE, WHDR_INQUEUE);
  if (e != &h->Own) returned_.Push(e);  // never full: it holds fewer copies than there are
  queue_.Pop();
  h->Queued.fetch_sub(1, std::memory_order_release);
  return header;
}

uint32_t PlaybackCursor::Next(DeviceQueue& q, uint32_t max, const uint8_t** bytes) {
  *bytes = nullptr;
  piece_ = Piece::Silence;
  if (max == 0) return 0;
  if (owed_ > 0) return static_cast<uint32_t>(std::min<uint64_t>(max, owed_));
  const QueueEntry* e = q.Front();
  if (e == nullptr) {
    if (!started_ || !fillsWhenDry_) {
      piece_ = Piece::None;
      return 0;
    }
    if (!dry_) {
      dry_ = true;
      events_.fetch_add(1, std::memory_order_relaxed);
    }
    return max;
  }
  if (dry_) {
    dry_ = false;
    owed_ = e->Frames;
    return std::min(max, e->Frames);
  }
  started_ = true;
  piece_ = Piece::Buffer;
  *bytes = e->Bytes + static_cast<size_t>(offset_) * q.FrameBytes();
  return std::min(max, e->Frames - offset_);
}

WAVEHDR* PlaybackCursor::Played(DeviceQueue& q, uint32_t frames) {
  const Piece piece = piece_;
  piece_ = Piece::None;
  if (piece == Piece::Silence) {
    frames_.fetch_add(frames, std::memory_order_relaxed);
    owed_ -= std::min<uint64_t>(owed_, frames);
    return nullptr;
  }
  if (piece != Piece::Buffer) return nullptr;
  offset_ += frames;
  const uint32_t length = q.Front()->Frames;
  if (offset_ < length) return nullptr;
  offset_ = 0;
  return q.Complete(length);
}

void PlaybackCursor::RanDry(DeviceQueue& q) {
  events_.fetch_add(1, std::memory_order_relaxed);
  const QueueEntry* e = q.Front();
  if (e != nullptr && q.Size() == 1 && offset_ == 0 && owed_ == 0) owed_ = e->Frames;
}

void PlaybackCursor::Reset() {
  offset_ = 0;
  owed_ = 0;
  started_ = false;
  dry_ = false;
  piece_ = Piece::None;
}

uint32_t CaptureCursor::Next(DeviceQueue& q, uint32_t max, uint8_t** bytes) {
  QueueEntry* e = q.Front();
  if (e == nullptr || max == 0) {
    *bytes = nullptr;
    return 0;
  }
  *bytes = e->Bytes + static_cast<size_t>(offset_) * q.FrameBytes();
  return std::min(max, e->Frames - offset_);
}

WAVEHDR* CaptureCursor::Filled(DeviceQueue& q, uint32_t frames) {
  offset_ += frames;
  const uint32_t length = q.Front()->Frames;
  if (offset_ < length) return nullptr;
  offset_ = 0;
  return q.Complete(length);
}

}  // namespace tessival
