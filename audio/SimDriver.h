#pragma once
// The simulated wave driver: virtual capture and playback devices for tests and for
// machines without a sound card (TESSIVAL_AUDIO=sim).
//
// Devices: named inputs and outputs (by default "Sim Input 1", "Sim Input 2" and
// "Sim Output 1" to "Sim Output 5"); ids in list order. Every output open is a separate
// instance, even of the same id, unless SimConfig::Exclusive asks for busy devices.
//
// Behaviour, as the program relies on it:
// - open: MMSYSERR_BADDEVICEID for an id out of range, WAVERR_BADFORMAT unless the format
//   is 2-channel integer PCM at 16 or 32 bits with a matching block align (and an
//   accepted rate when SimConfig::Rates is not empty), MMSYSERR_ALLOCATED for a busy
//   device; then posts MM_WIM_OPEN / MM_WOM_OPEN. An output plays what is written at
//   once unless paused; a capture device captures only after waveInStart.
// - prepare sets WHDR_PREPARED; add/write of a header that is not prepared on this
//   device gives WAVERR_UNPREPARED, add of a capture header still queued
//   WAVERR_STILLPLAYING (so does unprepare of a header with anything queued). A written
//   playback buffer is copied at once, so a header may be written again while an
//   earlier copy of it is queued; the playback queue is bounded and a device that runs
//   dry plays silence, as WaveDriver.h describes for every driver.
// - a filled capture buffer comes back as MM_WIM_DATA with dwBytesRecorded set and
//   WHDR_DONE, in queue order; a played buffer as MM_WOM_DONE.
// - reset returns every queued buffer at once (capture ones with the bytes recorded so
//   far), stops capture and leaves an output's pause state as it was.
// - close does what reset does, then posts MM_WIM_CLOSE / MM_WOM_CLOSE; nothing about
//   that device is posted afterwards. Calls on a closed handle give MMSYSERR_INVALHANDLE.
// - a device made lost (LoseDevice) posts MM_WAVE_LOST once and from then on neither
//   captures nor plays; reset and close work as before.
//
// Clocks. Stepped (for tests): time moves only in Step(frames). Every started capture
// device fills its queued buffers frame by frame from the capture signal and every
// playing output consumes its queued buffers; each completed buffer is posted at once.
// Devices are advanced one after another in the order they were opened, so a stepped
// run is fully deterministic. A capture device with nothing queued drops the frames
// (they still advance the signal). An output that has played and finds nothing queued
// runs dry: it plays (and records) silence until the next write, then one block more
// (WaveDriver.h); an output that has not played since its open or reset is idle.
// Step one block, or less, at a time and pump the notifications in between, as a
// real-time program would answer. RealTime (for the interactive program): a background
// thread paces the same advance by the devices' sample rates.
//
// Rate offsets: a device with an offset of p ppm advances by elapsed * (1e6 + p) / 1e6
// frames, computed on the whole elapsed time so the fraction is never lost. Stats()
// reports the rate it ran at against the clock, the underrun and skip counts and the
// longest queue.
//
// Capture signal: sample values as the device stores them (16-bit or 32-bit signed,
// left channel 0). The frame index counts from 0 at the device's open and advances
// only while it is started. Default: a deterministic pair of sines (periods of 109 and
// 87 frames, a quarter of full scale). Or a function, given samples, or a looped WAV
// file (read with libsndfile; mono is doubled, channels past 2 ignored; at 16 bits the
// top 16 bits of each 32-bit sample are taken).
//
// Playback recording: every output open is one recording, numbered from 0 in open
// order on this driver, holding all bytes played in order, silence included (to memory,
// and to a WAV file per open in SimConfig::RecordFolder when set).
//
// Thread safety: every member may be called from any thread (one mutex); notifications
// are posted with it held, so a target must only queue them.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveDriver.h"

namespace tessival {

enum class SimOp { Open, Start, Pause, Restart, Prepare, Unprepare, Add, Write, Reset, Close };
enum class SimClock { Stepped, RealTime };

constexpr uint32_t SimAnyDevice = 0xFFFFFFFF;  // FailOperation: every device of the kind
constexpr int SimAlways = -1;                  // FailOperation: fail every time

// Capture sample of channel (0 left, 1 right) at frame, for bits 16 or 32.
using SimSignal = std::function<int32_t(uint64_t frame, int channel, int bits)>;

struct SimConfig {
  std::vector<std::string> InputNames{"Sim Input 1", "Sim Input 2"};
  std::vector<std::string> OutputNames{"Sim Output 1", "Sim Output 2", "Sim Output 3",
                                       "Sim Output 4", "Sim Output 5"};
  SimClock Clock = SimClock::Stepped;
  std::vector<uint32_t> Rates;  // accepted sample rates; empty: any above 0
  bool Exclusive = false;       // a second open of an open device id gives MMSYSERR_ALLOCATED
  bool RecordToMemory = true;   // keep played bytes for Recordings()
  bool KeepCallLog = true;      // record calls for CallLog()
  std::string RecordFolder;     // when set, one WAV file per output open is written there
  std::string InputFile;        // when set, capture loops this WAV file
  bool RealTimePacer = false;   // the real-time clock's thread asks for real-time scheduling, as a
                                // sound card's I/O threads do (the soak bench, to time the program)
};

// One logged call: a device call, or an event noted by the program (DeviceId
// SimAnyDevice, Buffer -1).
struct SimCall {
  std::string Function;  // "waveOutWrite", "waveInStart", ..., or the event's name
  uint32_t DeviceId;     // the id opened (for open) or the handle's device id
  int64_t Buffer;        // the header's user word (dwUser) for header calls, else -1
  MMRESULT Result;
};

struct SimRecording {
  uint32_t DeviceId = 0;
  WAVEFORMATEX Format{};
  std::vector<uint8_t> Bytes;   // everything played, in order
  uint64_t UnderrunFrames = 0;  // silent frames played after running dry
  bool Closed = false;
};

class SimDriver : public WaveDriver {
 public:
  explicit SimDriver(SimConfig config = {});
  ~SimDriver() override;

  // --- Test API ---

  // The next count calls (or all, SimAlways) of op on deviceId (or SimAnyDevice) of
  // kind return result and do nothing else. For Open, deviceId is the id asked for.
  void FailOperation(WaveKind kind, uint32_t deviceId, SimOp op, MMRESULT result,
                     int count = SimAlways);
  void ClearFailures();

  // Device calls in call order as "<function> <deviceId>", plus " <dwUser>" for calls
  // with a header: "waveOutOpen 0", "waveOutPause 0", "waveInPrepareHeader 1 2",
  // "waveOutWrite 3 0", "waveInStart 1"; events noted by the program appear as their
  // names ("RaisePriorities", "RestorePriorities"). Failed calls are logged too;
  // enumeration is not. Calls() gives the same with results.
  std::vector<std::string> CallLog() const;
  std::vector<SimCall> Calls() const;
  void ClearCallLog();

  // Capture sources; each replaces the previous one for every capture device.
  void SetInputSignal(SimSignal signal);
  // Interleaved left/right values; after the end, silence or (loop) from the start.
  void SetInputSamples(std::vector<int32_t> interleaved, bool loop);
  // A WAV file, looped. False (and a message naming the file in *error) if unreadable.
  bool SetInputFile(const std::string& path, std::string* error);

  // Makes device deviceId (or every device, SimAnyDevice) of kind run fast (ppm > 0) or
  // slow by ppm parts per million, for devices opened from now on. Held to +-500000.
  void SetRateOffsetPpm(WaveKind kind, uint32_t deviceId, int32_t ppm);

  // Devices open now of id (or every id, SimAnyDevice) of kind go away, as an unplugged
  // card would: each posts MM_WAVE_LOST with reason as its LostReason.
  void LoseDevice(WaveKind kind, uint32_t deviceId, const std::string& reason);

  // Stepped clock: lets frames of time pass on every open device (see above).
  void Step(uint64_t frames);

  // Every output open so far, in open order (copies).
  std::vector<SimRecording> Recordings() const;
  // Bytes played by the latest open of output deviceId (empty if never opened).
  std::vector<uint8_t> PlayedBytes(uint32_t deviceId) const;
  // The same, handed over for long runs: *bytes receives what was played since the last
  // take, and its old storage, emptied, takes the recording on (so nothing is reallocated).
  void TakePlayedBytes(uint32_t deviceId, std::vector<uint8_t>* bytes);
  // Capture frames lost because no buffer was queued, over all capture opens.
  uint64_t DroppedCaptureFrames() const;
  // Devices open now, and buffers queued on the open device of handle.
  size_t OpenDeviceCount() const;
  size_t QueuedBufferCount(WaveDeviceHandle* handle) const;

  // Little-endian interleaved bytes as signed sample values (bits 16 or 32).
  static std::vector<int32_t> DecodeSamples(const std::vector<uint8_t>& bytes, int bits);
  // The default capture signal.
  static int32_t DefaultSignal(uint64_t frame, int channel, int bits);

  // --- WaveDriver ---
  uint32_t NumDevs(WaveKind kind) override;
  bool DeviceName(WaveKind kind, uint32_t id, std::string* name) override;
  MMRESULT Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format, WaveNotifyTarget* target,
                uintptr_t instance, uint32_t flags) override;
  MMRESULT Start(WaveDeviceHandle* handle) override;
  MMRESULT Pause(WaveDeviceHandle* handle) override;
  MMRESULT Restart(WaveDeviceHandle* handle) override;
  MMRESULT Prepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override;
  MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override;
  MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override;
  MMRESULT Reset(WaveDeviceHandle* handle) override;
  MMRESULT Close(WaveDeviceHandle* handle) override;
  uint64_t XrunCount(WaveDeviceHandle* handle) override;
  bool Stats(WaveDeviceHandle* handle, WaveDeviceStats* stats) override;
  bool LostReason(WaveDeviceHandle* handle, std::string* reason) override;
  bool WantsRealTimePriority() const override { return false; }
  void NoteEvent(const char* event) override;

 private:
  struct Device;
  struct Failure {
    WaveKind Kind;
    uint32_t DeviceId;
    SimOp Op;
    MMRESULT Result;
    int Remaining;
  };
  struct RateOffset {
    WaveKind Kind;
    uint32_t DeviceId;
    int32_t Ppm;
  };

  MMRESULT Log(const char* function, uint32_t deviceId, const WAVEHDR* header, MMRESULT result);
  bool TakeFailure(WaveKind kind, uint32_t deviceId, SimOp op, MMRESULT* result);
  Device* DeviceOf(WaveDeviceHandle* handle) const;
  void Record(Device& device, SimRecording& rec, const uint8_t* bytes, size_t size);
  void Advance(Device& device, uint64_t frames);
  void AdvanceCapture(Device& device, uint64_t frames);
  void AdvancePlayback(Device& device, uint64_t frames);
  void ReturnAll(Device& device);
  void Post(Device& device, uint32_t msg, WAVEHDR* header);
  void PaceLoop();

  SimConfig config_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Device>> devices_;  // open devices, in open order
  std::vector<SimRecording> recordings_;
  std::vector<SimCall> calls_;
  std::vector<Failure> failures_;
  std::vector<RateOffset> rateOffsets_;
  SimSignal signal_;
  uint64_t droppedFrames_ = 0;
  bool stopPacing_ = false;
  std::thread pacer_;
};

// Makes a simulated driver with config and puts it in use (closing the devices of the
// previous driver without notifications). The reference stays valid until the next
// InstallWaveDriver or InstallSimDriver.
SimDriver& InstallSimDriver(SimConfig config = {});

// The driver for TESSIVAL_AUDIO=sim: real-time clock, no call log, nothing kept in
// memory; capture from TESSIVAL_SIM_INPUT (a WAV file, looped) when set, playback to
// WAV files in the folder TESSIVAL_SIM_RECORD when set.
std::unique_ptr<WaveDriver> MakeSimDriverFromEnvironment();

}  // namespace tessival
