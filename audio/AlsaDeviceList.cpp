#include "audio/AlsaDeviceList.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "audio/WaveDriver.h"

namespace tessival {

namespace {

// Definitions shipped by ALSA and alsa-plugins that are no device of their own: they
// discard, convert or remix for a slave given as an argument (a card by default), or
// address one card's outputs in a way a two-channel stream cannot use.
bool IsStockDefinition(const std::string& prefix) {
  static const std::set<std::string> names = {
      "null", "sysdefault", "speex",  "upmix", "vdownmix", "oss",   "a52",       "usbstream",
      "dmix", "dsnoop",     "front",  "rear",  "center_lfe", "side", "surround21", "surround40",
      "surround41", "surround50", "surround51", "surround71", "iec958", "spdif", "hdmi", "modem",
      "phoneline", "dpl", "tee", "plug", "hw", "plughw", "shm", "asym", "route", "rate"};
  if (names.count(prefix) != 0) return true;
  for (const char* family : {"lavrate", "samplerate", "speexrate"}) {
    if (prefix.rfind(family, 0) == 0) return true;
  }
  return false;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool IsNumber(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A PCM name cut into its prefix and arguments: "hw:CARD=CODEC,DEV=0" gives "hw",
// CARD "CODEC", DEV "0"; "hw:1,0" gives the same by position.
struct PcmName {
  std::string Prefix;
  std::string Card;
  std::string Dev;
  bool HasArgs = false;
};

PcmName ParsePcmName(const std::string& name) {
  PcmName p;
  const size_t colon = name.find(':');
  p.Prefix = name.substr(0, colon);
  if (colon == std::string::npos) return p;
  p.HasArgs = true;
  const std::string args = name.substr(colon + 1);
  size_t start = 0;
  int position = 0;
  while (start <= args.size()) {
    const size_t comma = std::min(args.find(',', start), args.size());
    const std::string arg = args.substr(start, comma - start);
    const size_t eq = arg.find('=');
    const std::string key = eq == std::string::npos ? (position == 0 ? "CARD" : position == 1 ? "DEV" : "") : arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? arg : arg.substr(eq + 1);
    if (key == "CARD") p.Card = value;
    if (key == "DEV") p.Dev = value;
    ++position;
    start = comma + 1;
  }
  return p;
}

struct CardDevice {
  const AlsaHint* Direct = nullptr;      // hw:
  const AlsaHint* Converting = nullptr;  // plughw:
  std::string PcmName;                   // "USB Audio", "ALC892 Analog"
};

struct CardEntries {
  int Index = -1;  // -1: not among the cards present
  std::string Id;
  std::string Name;
  std::map<int, CardDevice> Devices;
};

void Add(AlsaDeviceLists& lists, const std::string& ioid, const std::string& name, const std::string& identity) {
  const WaveDeviceEntry entry{name, identity};
  if (ioid != "Output" && FindWaveDevice(lists.Inputs, identity) < 0) lists.Inputs.push_back(entry);
  if (ioid != "Input" && FindWaveDevice(lists.Outputs, identity) < 0) lists.Outputs.push_back(entry);
}

}  // namespace

AlsaDeviceLists BuildAlsaDeviceLists(const std::vector<AlsaHint>& hints, const std::vector<AlsaCard>& cards,
                                     const SoundServers& servers) {
  AlsaDeviceLists lists;

  const AlsaHint* defaultHint = nullptr;
  const AlsaHint* serverHints[3] = {};
  std::vector<CardEntries> byCard;
  std::vector<const AlsaHint*> own;
  const auto cardFor = [&](const std::string& card) -> CardEntries& {
    const AlsaCard* known = nullptr;
    for (const AlsaCard& c : cards) {
      if (c.Id == card || (IsNumber(card) && c.Index == std::atoi(card.c_str()))) known = &c;
    }
    const std::string id = known != nullptr ? known->Id : card;
    for (CardEntries& e : byCard) {
      if (e.Id == id) return e;
    }
    CardEntries e;
    e.Id = id;
    if (known != nullptr) {
      e.Index = known->Index;
      e.Name = known->Name;
    }
    byCard.push_back(e);
    return byCard.back();
  };

  for (const AlsaHint& hint : hints) {
    const PcmName pcm = ParsePcmName(hint.Name);
    if (hint.Name == "default") {
      if (defaultHint == nullptr) defaultHint = &hint;
    } else if (hint.Name == "pipewire") {
      if (servers.PipeWire) serverHints[0] = &hint;
    } else if (hint.Name == "pulse") {
      if (servers.Pulse) serverHints[1] = &hint;
    } else if (hint.Name == "jack") {
      if (servers.Jack) serverHints[2] = &hint;
    } else if (!pcm.Card.empty()) {
      if ((pcm.Prefix != "hw" && pcm.Prefix != "plughw") || !IsNumber(pcm.Dev.empty() ? "0" : pcm.Dev)) continue;
      CardEntries& card = cardFor(pcm.Card);
      CardDevice& device = card.Devices[pcm.Dev.empty() ? 0 : std::atoi(pcm.Dev.c_str())];
      (pcm.Prefix == "hw" ? device.Direct : device.Converting) = &hint;
      // The first description line is "<card name>, <device name>".
      const std::string line = FirstLine(hint.Description);
      if (card.Name.empty()) card.Name = line.substr(0, line.find(", "));
      if (device.PcmName.empty()) {
        if (line.rfind(card.Name + ", ", 0) == 0) {
          device.PcmName = line.substr(card.Name.size() + 2);
        } else if (line.find(", ") != std::string::npos) {
          device.PcmName = line.substr(line.find(", ") + 2);
        }
      }
    } else if (!IsStockDefinition(pcm.Prefix)) {
      own.push_back(&hint);
    }
  }

  const std::string defaultName = defaultHint != nullptr ? FirstLine(defaultHint->Description) : "";
  Add(lists, "", defaultName.empty() ? "Default device" : defaultName, "default");

  const char* const serverNames[3] = {"PipeWire sound server", "PulseAudio sound server", "JACK sound server"};
  for (int s = 0; s < 3; ++s) {
    if (serverHints[s] != nullptr) Add(lists, serverHints[s]->Ioid, serverNames[s], serverHints[s]->Name);
  }

  std::stable_sort(byCard.begin(), byCard.end(), [](const CardEntries& a, const CardEntries& b) {
    // Cards present by number; cards only the hints know of after them.
    const unsigned ka = static_cast<unsigned>(a.Index), kb = static_cast<unsigned>(b.Index);
    return ka != kb ? ka < kb : a.Id < b.Id;
  });
  for (const CardEntries& card : byCard) {
    const std::string number = card.Index >= 0 ? std::to_string(card.Index) : card.Id;
    for (const auto& [dev, device] : card.Devices) {
      // The device's own name only where the card has several devices to tell apart.
      std::string shown = card.Name.empty() ? card.Id : card.Name;
      if (card.Devices.size() > 1 && !device.PcmName.empty()) shown += ", " + device.PcmName;
      const std::string place = number + "," + std::to_string(dev);
      if (device.Direct != nullptr) {
        Add(lists, device.Direct->Ioid, shown + " (hw:" + place + ", direct)", device.Direct->Name);
      }
      if (device.Converting != nullptr) {
        Add(lists, device.Converting->Ioid, shown + " (plughw:" + place + ", converts)", device.Converting->Name);
      }
    }
  }

  for (const AlsaHint* hint : own) {
    const std::string line = FirstLine(hint->Description);
    Add(lists, hint->Ioid, line.empty() ? hint->Name : line + " (" + hint->Name + ")", hint->Name);
  }

  MakeDeviceNamesUnique(lists.Inputs);
  MakeDeviceNamesUnique(lists.Outputs);
  return lists;
}

}  // namespace tessival
