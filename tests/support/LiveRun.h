#pragma once
// The program running live on a real device, from a test: the notifications are queued
// as the main window's event loop would and dispatched on the test's thread; messages
// and the status text are captured. Header only: it needs the audio library, which the
// support library does not link.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio/BufferCycle.h"
#include "audio/DeviceControl.h"
#include "engine/Report.h"

namespace tessival::testing {

class LiveRun : public WaveNotifyTarget {
 public:
  LiveRun() {
    NotifyTarget = this;
    Ui.ShowMessage = [this](MessageKind, const std::string& text) { Messages.push_back(text); };
    Ui.SetStatusText = [this](const std::string& text) { Status = text; };
  }
  ~LiveRun() override {
    StopButtonClick();
    Pump(std::chrono::milliseconds(0));
    NotifyTarget = nullptr;
    ResetUiHooks();
  }
  LiveRun(const LiveRun&) = delete;
  LiveRun& operator=(const LiveRun&) = delete;

  void PostWaveMessage(const WaveMessage& m) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(m);
    }
    changed_.notify_one();
  }

  // Dispatches notifications for up to `patience`, or until `until` (asked after each
  // one and at least every 50 ms) says so; true when it did.
  bool Pump(std::chrono::milliseconds patience, const std::function<bool()>& until = {}) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
      WaveMessage m{};
      bool got = false;
      {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)),
                            [this] { return !queue_.empty(); });
        if (!queue_.empty()) {
          m = queue_.front();
          queue_.pop_front();
          got = true;
        }
      }
      if (got) {
        CaptureBlocks += m.Msg == MM_WIM_DATA && m.Device == WaveInHandle && Running && !Stopping;
        Lost += m.Msg == MM_WAVE_LOST;
        DispatchWaveMessage(m);
      }
      if (until && until()) return true;
      // Past its patience it still drains what is queued, but a device that never stops
      // notifying must not hold the test for ever.
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline && (!got || now >= deadline + std::chrono::seconds(1))) return false;
    }
  }

  std::vector<std::string> Messages;  // every message box, in order
  std::string Status;
  uint64_t CaptureBlocks = 0;         // capture buffers of a run dispatched
  int Lost = 0;                       // MM_WAVE_LOST notifications dispatched

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<WaveMessage> queue_;
};

}  // namespace tessival::testing
