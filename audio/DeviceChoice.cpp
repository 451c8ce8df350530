#include "audio/DeviceChoice.h"

#include "audio/MmErrMsg.h"
#include "settings/Settings.h"

namespace tessival {

const char* DeviceRoleCaption(int role) {
  static const char* const captions[1 + MaxOutDevices] = {"Wave Record",        "Stereo Dipole Out",
                                                        "Surround Out (1-2)", "Surround Out (3-4)",
                                                        "Surround Out (5-6)", "Surround Out (7-8)"};
  return role >= CaptureRole && role < MaxOutDevices ? captions[role + 1] : "";
}

int32_t& StoredDeviceId(int role) { return role == CaptureRole ? WaveInDevice : WaveOutDevices[role]; }

std::string& StoredDeviceName(int role) { return role == CaptureRole ? WaveInDeviceName : WaveOutDeviceNames[role]; }

std::vector<int> MatchStoredDevices(const std::vector<WaveDeviceEntry>& inputs,
                                    const std::vector<WaveDeviceEntry>& outputs, int lastPair) {
  std::vector<int> missing;
  for (int role = CaptureRole; role <= lastPair && role < MaxOutDevices; ++role) {
    const std::string& name = StoredDeviceName(role);
    if (name.empty()) continue;
    const int32_t id = FindWaveDevice(role == CaptureRole ? inputs : outputs, name);
    if (id >= 0) {
      StoredDeviceId(role) = id;
    } else {
      missing.push_back(role);
    }
  }
  return missing;
}

namespace {

std::string MissingHead(bool capture) {
  return std::string(capture ? "WaveInOpen: " : "Error en waveOutOpen: ") + "\r\n" + MMErrorText(MMSYSERR_BADDEVICEID);
}

std::string MissingLine(int role, const std::string& identity) {
  return std::string("\r\n") + DeviceRoleCaption(role) + ": " + identity + " is not present";
}

}  // namespace

std::string MissingDevicesText(const std::vector<int>& roles, bool captureFirst) {
  if (roles.empty()) return {};
  // Named as the open that would have failed first.
  std::string text = MissingHead(roles.front() == CaptureRole && (captureFirst || roles.size() == 1));
  for (int role : roles) text += MissingLine(role, StoredDeviceName(role));
  return text;
}

std::string MissingDeviceText(int role, const std::string& identity) {
  return MissingHead(role == CaptureRole) + MissingLine(role, identity);
}

std::string DeviceLostText(int role, const std::string& name, const std::string& reason) {
  std::string text = std::string("Device lost: ") + DeviceRoleCaption(role);
  if (!name.empty()) text += ", " + name;
  return text + "\r\n" + reason;
}

}  // namespace tessival
