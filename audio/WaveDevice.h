#pragma once
// The wave device layer: the operations, records and result codes of a wave-audio
// interface, as free functions that call the driver in use (ALSA, or the simulated
// driver when TESSIVAL_AUDIO=sim).
//
// Notifications: a driver thread never runs program code. It posts a WaveMessage to
// the notification target given at open; the target hands it to the main thread
// (the main window posts a Qt event; tests keep a queue they pump), where
// DispatchWaveMessage runs the handlers.
#include <cstdint>
#include <string>
#include <vector>

namespace tessival {

using MMRESULT = uint32_t;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;   // device busy
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;     // format refused
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;    // header not prepared

// Notification messages.
constexpr uint32_t MM_WOM_OPEN = 0x3BB;
constexpr uint32_t MM_WOM_CLOSE = 0x3BC;
constexpr uint32_t MM_WOM_DONE = 0x3BD;
constexpr uint32_t MM_WIM_OPEN = 0x3BE;
constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
constexpr uint32_t MM_WIM_DATA = 0x3C0;
// Not of the original interface: the device stopped working for good (it was unplugged,
// its sound server went away, or it moved no sound for 2 s while running). Posted once;
// WaveDeviceLostReason says why. The device still answers reset and close.
constexpr uint32_t MM_WAVE_LOST = 0x3E0;

constexpr uint32_t CALLBACK_WINDOW = 0x10000;
constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// Stream format record.
struct WAVEFORMATEX {
  uint16_t wFormatTag;       // 1: integer PCM
  uint16_t nChannels;        // 2
  uint32_t nSamplesPerSec;   // frames per second
  uint32_t nAvgBytesPerSec;  // block align times rate
  uint16_t nBlockAlign;      // 4 (16-bit) or 8 (32-bit)
  uint16_t wBitsPerSample;   // 16 or 32
  uint16_t cbSize;           // 0
};

// Buffer header record.
struct WAVEHDR {
  uint8_t* lpData;           // the buffer
  uint32_t dwBufferLength;   // bytes
  uint32_t dwBytesRecorded;  // capture: bytes filled
  uintptr_t dwUser;          // the buffer's index k
  uint32_t dwFlags;          // WHDR_*
  uint32_t dwLoops;
  WAVEHDR* lpNext;
  uintptr_t reserved;
};

// Product names, at most 31 characters and a terminating zero.
struct WAVEINCAPSA {
  char szPname[32];
};
struct WAVEOUTCAPSA {
  char szPname[32];
};

struct WaveDeviceHandle;  // opaque, owned by the driver
using HWAVEIN = WaveDeviceHandle*;
using HWAVEOUT = WaveDeviceHandle*;

// One notification: the message, the device it concerns and, for MM_WIM_DATA and
// MM_WOM_DONE, the header (the second message parameter).
struct WaveMessage {
  uint32_t Msg;
  WaveDeviceHandle* Device;
  WAVEHDR* Header;
};

// Where a driver posts notifications. PostWaveMessage is called from driver
// threads (or, in the simulated driver, from whatever thread steps its clock) and
// must only queue the message for the main thread.
class WaveNotifyTarget {
 public:
  virtual ~WaveNotifyTarget() = default;
  virtual void PostWaveMessage(const WaveMessage& message) = 0;
};

uint32_t waveInGetNumDevs();
uint32_t waveOutGetNumDevs();
MMRESULT waveInGetDevCapsA(uint32_t deviceId, WAVEINCAPSA* caps, uint32_t capsSize);
MMRESULT waveOutGetDevCapsA(uint32_t deviceId, WAVEOUTCAPSA* caps, uint32_t capsSize);

MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                    WaveNotifyTarget* target, uintptr_t instance, uint32_t flags);
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     WaveNotifyTarget* target, uintptr_t instance, uint32_t flags);

MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveInStart(HWAVEIN handle);

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize);

// One entry of a device list: the whole name shown to the user, and the identity by
// which a choice is remembered (for ALSA the PCM name), which stays the same when
// other devices come and go.
struct WaveDeviceEntry {
  std::string Name;
  std::string Identity;
};

enum class WaveKind { In, Out };

// The devices of kind, read afresh; from now on the device ids index this list. Every
// Name is whole (the capability records keep a cut copy) and unique within the list.
std::vector<WaveDeviceEntry> WaveDeviceList(WaveKind kind);

// The id of the entry with identity in list, or -1.
int32_t FindWaveDevice(const std::vector<WaveDeviceEntry>& list, const std::string& identity);

// Why an open device was lost (after MM_WAVE_LOST): the driver's error text, such as
// "No such device (ENODEV)". False while the device works, or for a bad handle.
bool WaveDeviceLostReason(WaveDeviceHandle* handle, std::string* reason);

MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveOutClose(HWAVEOUT handle);

}  // namespace tessival
