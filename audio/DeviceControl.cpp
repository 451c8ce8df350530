#include "audio/DeviceControl.h"

#include <string>

#include "audio/BufferCycle.h"
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

void FillWaveFormat() {
  const bool wide = SampleBits != 16;
  WaveFormat.wFormatTag = WAVE_FORMAT_PCM;
  WaveFormat.nChannels = 2;
  WaveFormat.nSamplesPerSec = static_cast<uint32_t>(SampleRate);
  WaveFormat.nBlockAlign = wide ? 8 : 4;
  WaveFormat.wBitsPerSample = wide ? 32 : 16;
  WaveFormat.nAvgBytesPerSec = WaveFormat.nBlockAlign * WaveFormat.nSamplesPerSec;
  WaveFormat.cbSize = 0;
}

void ReportOpenFailure(MMRESULT result, bool capture) {
  std::string text;
  if (result == WAVERR_BADFORMAT)
    text = "Unsupported wave format:\r\nfs=" + std::to_string(SampleRate) + "  Bits=" + std::to_string(SampleBits);
  else
    text = std::string(capture ? "WaveInOpen: " : "Error en waveOutOpen: ") + "\r\n" + MMErrorText(result);
  ShowMessage(MessageKind::Warning, text);
}

// An open failed: nothing is queued or started, and what this sequence opened is
// closed again so that it is not left busy until the program ends.
void AbandonOpen(MMRESULT result, bool capture) {
  Running = false;
  ReportOpenFailure(result, capture);
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

}  // namespace

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

}  // namespace tessival
