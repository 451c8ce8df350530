#pragma once
// Unit Inis: the settings store. The settings variables (Settings.h) persist per user
// in an INI file, $XDG_CONFIG_HOME/Software/Tessival.ini, section [Options], one
// decimal text per value.
#include <stdexcept>
#include <string>

namespace tessival {

// A store failure, with the text the user is shown ("Invalid data type for '...'",
// "Failed to create key ...", "Failed to set data: the settings file ... could not
// be written").
class SettingsStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store's file: $XDG_CONFIG_HOME (or ~/.config) / Software / Tessival.ini.
std::string SettingsFilePath();

// Reads every stored value into its variable, in the store's order, then the device
// identities ("Wave Record Dev Name", "Wave Playback Dev0 Name" ...). Every variable
// starts from its default, so a missing value, a text that is not a number, or a
// value after a failure keeps its default. NumBuffers is held to 2..8 and each gain
// to -24..+6. Throws SettingsStoreError at a value that is not a single text; the
// values after it are not read.
void LoadSettings();

// Writes all 22 values, then the device identities, from the variables. The new file
// is written completely and then replaces the old one, so a failed save leaves the old
// file as it was.
// Throws SettingsStoreError when the file cannot be written.
void SaveSettings();

}  // namespace tessival
