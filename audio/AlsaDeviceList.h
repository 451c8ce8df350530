#pragma once
// Which ALSA PCMs the device lists offer, and under which names. A pure function of
// ALSA's name hints, the cards present and the sound servers that answer, so that the
// lists of machines the tests do not run on can be checked.
//
// The lists, in order:
// - "default", always first (the hints may lack it);
// - the sound servers' devices whose server answers: pipewire, pulse, jack;
// - per card (by card number) and per PCM device: the direct device (hw:) and the
//   converting one (plughw:). The card's other hints (sysdefault, front, surround*,
//   iec958, hdmi, dmix, dsnoop, ...) are left out: every device is opened with two
//   channels, which the direct and converting devices give in full, and the multi-
//   channel ones refuse;
// - the user's own PCMs (from ~/.asoundrc or /etc/asound.conf, with a hint), by their
//   description.
// Left out: ALSA's and alsa-plugins' own definitions that discard or have no card
// behind them by themselves (null, the rate converters, upmix, vdownmix, speex, oss,
// a52, ...). Names are unique within a list; identities are the PCM names as hinted.
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace tessival {

// One of ALSA's name hints.
struct AlsaHint {
  std::string Name;         // NAME: "hw:CARD=CODEC,DEV=0", "pipewire", "default", ...
  std::string Description;  // DESC, lines separated by '\n'
  std::string Ioid;         // IOID: "Input", "Output", or empty for both
};

// A sound card present.
struct AlsaCard {
  int Index = 0;     // the number in hw:2,0
  std::string Id;    // "CODEC": what the hints give as CARD=
  std::string Name;  // "USB Audio CODEC"
};

// Which sound servers answer now.
struct SoundServers {
  bool PipeWire = false;
  bool Pulse = false;
  bool Jack = false;
};

struct AlsaDeviceLists {
  std::vector<WaveDeviceEntry> Inputs;
  std::vector<WaveDeviceEntry> Outputs;
};

AlsaDeviceLists BuildAlsaDeviceLists(const std::vector<AlsaHint>& hints, const std::vector<AlsaCard>& cards,
                                     const SoundServers& servers);

}  // namespace tessival
