#pragma once
// A fixed ring of values between one producer thread and one consumer thread, without a
// lock: what a device's real-time side and the program's side hand each other.
#include <array>
#include <atomic>
#include <cstdint>

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

}  // namespace tessival
