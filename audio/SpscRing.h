#pragma once
// A fixed ring of values between one producer thread and one consumer thread, without a
// lock: what a device's real-time side and the program's side hand each other.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace tessival {

template <typename T, uint32_t Capacity>
class SpscRing {
  static_assert(Capacity > 0 && (Capacity & (Capacity - 1)) == 0, "a power of two, so the counters may wrap");

 public:
  // Producer: false when full.
  bool Push(const T& value) {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == Capacity) return false;
    items_[head % Capacity] = value;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Consumer: the oldest value, null when empty.
  T* Front() {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    return &items_[tail % Capacity];
  }

  // Consumer: drops the oldest value (there must be one).
  void Pop() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  // Consumer: takes the oldest value; false when empty.
  bool Pop(T* value) {
    T* front = Front();
    if (front == nullptr) return false;
    *value = *front;
    Pop();
    return true;
  }

  // Values held, as seen from either side (the other side may change it meanwhile).
  uint32_t Size() const { return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire); }
  static constexpr uint32_t Room() { return Capacity; }

 private:
  std::array<T, Capacity> items_{};
  alignas(64) std::atomic<uint32_t> head_{0};  // next to write; producer only
  alignas(64) std::atomic<uint32_t> tail_{0};  // next to read; consumer only
};

// Frames of a fixed size between one producer thread and one consumer thread: what a
// real-time callback and the thread that serves the program's buffers hand each other.
// Each side reaches the frames in place, in at most two pieces (where the ring wraps).
class FrameRing {
 public:
  // capacityFrames is rounded up to a power of two.
  FrameRing(uint32_t capacityFrames, uint32_t frameBytes) : frameBytes_(frameBytes) {
    while (capacity_ < capacityFrames) capacity_ *= 2;
    bytes_.assign(static_cast<size_t>(capacity_) * frameBytes, 0);
  }

  uint32_t Capacity() const { return capacity_; }
  uint32_t FrameBytes() const { return frameBytes_; }
  // Frames the consumer may take (seen from either side).
  uint32_t Readable() const { return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire); }
  // Frames the producer may add.
  uint32_t Writable() const { return capacity_ - Readable(); }

  // Producer: up to frames (no more than Writable), fill(bytes, count) called for each
  // contiguous piece in order, then published. Returns the frames written.
  template <typename Fill>
  uint32_t Write(uint32_t frames, Fill fill) {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    frames = std::min(frames, capacity_ - (head - tail_.load(std::memory_order_acquire)));
    Pieces(head, frames, fill);
    head_.store(head + frames, std::memory_order_release);
    return frames;
  }

  // Consumer: up to frames (no more than Readable), take(bytes, count) called for each
  // contiguous piece in order, then released. Returns the frames read.
  template <typename Take>
  uint32_t Read(uint32_t frames, Take take) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    frames = std::min(frames, head_.load(std::memory_order_acquire) - tail);
    Pieces(tail, frames, take);
    tail_.store(tail + frames, std::memory_order_release);
    return frames;
  }

  // Empties the ring; only while neither side uses it.
  void Clear() { tail_.store(head_.load(std::memory_order_relaxed), std::memory_order_relaxed); }

 private:
  template <typename Piece>
  void Pieces(uint32_t at, uint32_t frames, Piece piece) {
    const uint32_t start = at & (capacity_ - 1);
    const uint32_t first = std::min(frames, capacity_ - start);
    if (first > 0) piece(bytes_.data() + static_cast<size_t>(start) * frameBytes_, first);
    if (frames > first) piece(bytes_.data(), frames - first);
  }

  const uint32_t frameBytes_;
  uint32_t capacity_ = 1;
  std::vector<uint8_t> bytes_;
  alignas(64) std::atomic<uint32_t> head_{0};  // frames written; producer only
  alignas(64) std::atomic<uint32_t> tail_{0};  // frames read; consumer only
};

}  // namespace tessival
