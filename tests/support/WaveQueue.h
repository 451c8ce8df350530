#pragma once
// A notification target for tests: device notifications are queued (from any thread)
// and taken or pumped by the test's thread, as the main window's event loop would.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival::testing {

class WaveQueue : public WaveNotifyTarget {
 public:
  void PostWaveMessage(const WaveMessage& message) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(message);
      ++posted_;
    }
    changed_.notify_all();
  }

  // Takes the oldest message; false when none is queued.
  bool Take(WaveMessage* message) {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    *message = queue_.front();
    queue_.pop_front();
    return true;
  }

  // Takes the oldest message, waiting up to timeout for one.
  bool WaitTake(WaveMessage* message, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
    *message = queue_.front();
    queue_.pop_front();
    return true;
  }

  // Waits up to timeout until at least count messages are queued.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return queue_.size() >= count; });
  }

  // Everything queued, oldest first, and the queue emptied.
  std::vector<WaveMessage> TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<WaveMessage> all(queue_.begin(), queue_.end());
    queue_.clear();
    return all;
  }

  // Hands queued messages to handler one at a time, oldest first, until the queue is
  // empty, including messages posted while pumping (the handler may call the device
  // functions); stops after limit messages. Returns how many were handled.
  size_t Pump(const std::function<void(const WaveMessage&)>& handler,
              size_t limit = static_cast<size_t>(-1)) {
    size_t handled = 0;
    WaveMessage message{};
    while (handled < limit && Take(&message)) {
      handler(message);
      ++handled;
    }
    return handled;
  }

  size_t Size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  // Messages posted since construction (or the last Clear).
  size_t PostedCount() const {
    std::lock_guard lock(mutex_);
    return posted_;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    posted_ = 0;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<WaveMessage> queue_;
  size_t posted_ = 0;
};

}  // namespace tessival::testing
