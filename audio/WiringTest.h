#pragma once
// The wiring check of the device dialog: on one playback device, a short burst of pink
// noise on the left channel, then on the right, so that a user with several output
// pairs can hear which loudspeaker is which. It goes through the wave device layer as a
// run does (so it works on every driver, and the simulated one records it), with its
// own notification target; nothing of a run is touched.
#include <cstdint>
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival {

constexpr double WiringBurstSeconds = 0.5;
constexpr double WiringBurstLevelDb = -20.0;  // RMS, dB below full scale
constexpr double WiringTailSeconds = 0.2;     // silence after the bursts, so that they play out before the close

// One burst: pink noise (-3 dB per octave) at WiringBurstLevelDb RMS, full scale 1.0,
// faded in and out over 10 ms so that it neither starts nor stops with a click.
// The same samples every time.
std::vector<float> WiringBurst(uint32_t rate);

class WiringTest {
 public:
  WiringTest() = default;
  WiringTest(const WiringTest&) = delete;
  WiringTest& operator=(const WiringTest&) = delete;
  ~WiringTest() { Stop(); }

  // Stops a check still playing, opens output device id with format and plays the left
  // burst, the right burst and the tail; the open's result (0 when it plays).
  MMRESULT Start(uint32_t deviceId, const WAVEFORMATEX& format, WaveNotifyTarget* target);

  // A notification posted to the target, handed back on the main thread. Once the tail
  // has played the device is closed. Returns true when the device was lost (the check
  // is then stopped and *reason says why); anything not about the device is ignored.
  bool OnMessage(const WaveMessage& message, std::string* reason);

  // Ends the check at once (reset and close); nothing more is played.
  void Stop();

  bool Playing() const { return device_ != nullptr; }
  HWAVEOUT Device() const { return device_; }

 private:
  static constexpr int Parts = 3;  // left, right, tail
  HWAVEOUT device_ = nullptr;
  std::vector<uint8_t> data_[Parts];
  WAVEHDR headers_[Parts] = {};
  int played_ = 0;
};

}  // namespace tessival
