#include "audio/DeviceControl.h"

#include <string>

#include "audio/BufferCycle.h"
#include "audio/DeviceChoice.h"
#include "audio/MmErrMsg.h"
#include "audio/Priority.h"
#include "audio/WaveDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "settings/Settings.h"

namespace tessival {

bool Running = false;
bool Stopping = false;
HWAVEIN WaveInHandle = nullptr;
HWAVEOUT WaveOutHandles[MaxOutDevices] = {};
WAVEFORMATEX WaveFormat = {};
WaveNotifyTarget* NotifyTarget = nullptr;

namespace {

// What the current open sequence has opened, so that a failure can close it again.
bool CaptureOpened = false;
int32_t PlaybackOpened = 0;  // devices 0 .. PlaybackOpened - 1

// The shown names of the devices of the run, for the message when one is lost.
std::string OpenedNames[1 + MaxOutDevices];

void FillWaveFormat() { WaveFormat = MakeWaveFormat(static_cast<uint32_t>(SampleRate), SampleBits); }

// An open failed: nothing is queued or started, and what this sequence opened is
// closed again so that it is not left busy until the program ends.
void AbandonOpen(MMRESULT result, bool capture) {
  Running = false;
  ShowMessage(MessageKind::Warning, OpenFailureText(result, capture, SampleRate));
  for (int32_t d = 0; d < PlaybackOpened; ++d) waveOutClose(WaveOutHandles[d]);
  if (CaptureOpened) waveInClose(WaveInHandle);
  PlaybackOpened = 0;
  CaptureOpened = false;
}

bool OpenCapture() {
  const MMRESULT r = waveInOpen(&WaveInHandle, static_cast<uint32_t>(WaveInDevice), &WaveFormat, NotifyTarget, 0,
                                CALLBACK_WINDOW);
  if (r != MMSYSERR_NOERROR) {
    AbandonOpen(r, true);
    return false;
  }
  CaptureOpened = true;
  return true;
}

// A device that opened is remembered by its identity from now on, and its name kept
// for the messages of this run.
void RememberOpened(int role, const std::vector<WaveDeviceEntry>& list) {
  const int32_t id = StoredDeviceId(role);
  const bool listed = id >= 0 && static_cast<size_t>(id) < list.size();
  OpenedNames[role + 1] = listed ? list[static_cast<size_t>(id)].Name : std::string();
  if (listed && StoredDeviceName(role).empty()) StoredDeviceName(role) = list[static_cast<size_t>(id)].Identity;
}

}  // namespace

WAVEFORMATEX MakeWaveFormat(uint32_t rate, int32_t bits) {
  const bool wide = bits != 16;
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 2;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = wide ? 8 : 4;
  f.wBitsPerSample = wide ? 32 : 16;
  f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
  f.cbSize = 0;
  return f;
}

std::string OpenFailureText(MMRESULT result, bool capture, int32_t rate) {
  if (result == WAVERR_BADFORMAT)
    return "Unsupported wave format:\r\nfs=" + std::to_string(rate) + "  Bits=" + std::to_string(SampleBits);
  return std::string(capture ? "WaveInOpen: " : "Error en waveOutOpen: ") + "\r\n" + MMErrorText(result);
}

void StartButtonClick() {
  if (!TheEngine.FiltersLoaded || Running) return;
  // The wave buffers must match the format the devices are opened with.
  if (TheEngine.WaveBufferCount != HeldNumBuffers() || (TheEngine.WaveBufferBits == 16) != (SampleBits == 16)) {
    if (!TheEngine.ReallocateWaveBuffers()) {
      ShowMessage(MessageKind::Warning, "Not enough memory for the wave buffers");
      return;
    }
  }
  Running = true;
  TheEngine.RestartDither();
  TheEngine.ClearBuffers();
  OpenDevices();
}

void OpenDevices() {
  Stopping = false;
  CaptureOpened = false;
  PlaybackOpened = 0;
  FillWaveFormat();
  // Any order other than 1 counts as 0, so the capture device is always opened and started.
  const bool captureFirst = OpenOrder == 1;
  // The lists as they are now: a stored device is opened wherever they hold it, and one
  // that is absent is named rather than replaced by whatever holds its old place.
  const std::vector<WaveDeviceEntry> inputs = WaveDeviceList(WaveKind::In);
  const std::vector<WaveDeviceEntry> outputs = WaveDeviceList(WaveKind::Out);
  const std::vector<int> missing = MatchStoredDevices(inputs, outputs, TheEngine.LastOutDevice);
  if (!missing.empty()) {
    Running = false;
    ShowMessage(MessageKind::Warning, MissingDevicesText(missing, captureFirst));
    return;
  }
  if (captureFirst && !OpenCapture()) return;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    const MMRESULT r = waveOutOpen(&WaveOutHandles[d], static_cast<uint32_t>(WaveOutDevices[d]), &WaveFormat,
                                   NotifyTarget, 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
      AbandonOpen(r, false);
      return;
    }
    PlaybackOpened = d + 1;
    waveOutPause(WaveOutHandles[d]);  // nothing plays until every device is ready
  }
  if (!captureFirst && !OpenCapture()) return;
  RememberOpened(CaptureRole, inputs);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) RememberOpened(d, outputs);

  QueueBuffers();
  SetStatusText("Playing ...");
  RaisePriorities();
  const bool startCaptureFirst = StartOrder == 1;
  if (startCaptureFirst) waveInStart(WaveInHandle);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) waveOutRestart(WaveOutHandles[d]);
  if (!startCaptureFirst) waveInStart(WaveInHandle);
}

void StopButtonClick() {
  if (!Running) return;
  Stopping = true;
  PrintWaveDeviceStats(WaveInHandle, WaveOutHandles, TheEngine.LastOutDevice + 1);  // TESSIVAL_DEBUG=1 only
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) waveOutReset(WaveOutHandles[d]);
  waveInReset(WaveInHandle);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) waveOutClose(WaveOutHandles[d]);
  waveInClose(WaveInHandle);
  Running = false;
  SetStatusText("Stopped");
  RestorePriorities();
}

void DeviceLost(WaveDeviceHandle* device) {
  if (!Running || Stopping || device == nullptr) return;
  int role = device == WaveInHandle ? CaptureRole : MaxOutDevices;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice && role == MaxOutDevices; ++d) {
    if (device == WaveOutHandles[d]) role = d;
  }
  if (role == MaxOutDevices) return;  // not a device of this run
  std::string reason;
  if (!WaveDeviceLostReason(device, &reason)) reason = MMErrorText(MMSYSERR_NODRIVER);
  StopButtonClick();  // before the box, so that nothing waits on a dead device meanwhile
  ShowMessage(MessageKind::Warning, DeviceLostText(role, OpenedNames[role + 1], reason));
}

}  // namespace tessival
