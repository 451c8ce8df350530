#pragma once
// Which device each role uses. A role is the capture device or one output pair; each
// has a stored id (its place in the list) and a stored identity (WaveDriver's
// WaveDeviceEntry::Identity). A stored identity that is present wins over the id, so
// that plugging in a card or installing an ALSA plugin, which moves the devices in the
// list, never sends a pair to another device.
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival {

constexpr int CaptureRole = -1;  // roles: CaptureRole, then the output pairs 0..4

// "Wave Record", "Stereo Dipole Out", "Surround Out (1-2)" ... "Surround Out (7-8)".
const char* DeviceRoleCaption(int role);

// The stored id and identity of role.
int32_t& StoredDeviceId(int role);
std::string& StoredDeviceName(int role);

// For the capture device and pairs 0..lastPair: a stored identity present in the list
// sets the stored id to its place. Returns the roles whose stored identity is absent
// (their ids are left as they are), capture first.
std::vector<int> MatchStoredDevices(const std::vector<WaveDeviceEntry>& inputs,
                                    const std::vector<WaveDeviceEntry>& outputs, int lastPair);

// The warning for roles whose stored devices are absent, in the form of the open
// failures: "Error en waveOutOpen: " (or "WaveInOpen: ") CR LF "device ID out of
// range", then a line per role naming it and the device's identity.
std::string MissingDevicesText(const std::vector<int>& roles, bool captureFirst);
// The same for one role and the identity it was to use.
std::string MissingDeviceText(int role, const std::string& identity);

// The warning for a device lost while it played: "Device lost: " with the role and the
// device's shown name, CR LF, the driver's reason.
std::string DeviceLostText(int role, const std::string& name, const std::string& reason);

}  // namespace tessival
