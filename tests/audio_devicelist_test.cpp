// The device lists built from ALSA's name hints of machines the tests do not run on,
// and stored devices found again by identity when the lists move.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "audio/AlsaDeviceList.h"
#include "audio/DeviceChoice.h"
#include "audio/WaveDriver.h"
#include "settings/Settings.h"

namespace tessival {
namespace {

std::vector<std::string> Names(const std::vector<WaveDeviceEntry>& list) {
  std::vector<std::string> names;
  for (const WaveDeviceEntry& e : list) names.push_back(e.Name);
  return names;
}

std::vector<std::string> Identities(const std::vector<WaveDeviceEntry>& list) {
  std::vector<std::string> ids;
  for (const WaveDeviceEntry& e : list) ids.push_back(e.Identity);
  return ids;
}

void ExpectUniqueNames(const std::vector<WaveDeviceEntry>& list) {
  const std::vector<std::string> names = Names(list);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

// What ALSA hints for one card: its direct and converting devices, and the other
// definitions every card gets (which the lists leave out).
void AddCard(std::vector<AlsaHint>& hints, const std::string& id, const std::string& card,
             const std::vector<std::pair<int, std::string>>& devices, const std::string& ioid = "") {
  for (const auto& [dev, pcm] : devices) {
    const std::string args = "CARD=" + id + ",DEV=" + std::to_string(dev);
    const std::string desc = card + ", " + pcm;
    hints.push_back({"hw:" + args, desc + "\nDirect hardware device without any conversions", ioid});
    hints.push_back({"plughw:" + args, desc + "\nHardware device with all software conversions", ioid});
  }
  const std::string first = card + ", " + devices.front().second;
  hints.push_back({"default:CARD=" + id, first + "\nDefault Audio Device", ""});
  hints.push_back({"sysdefault:CARD=" + id, first + "\nDefault Audio Device", ""});
  hints.push_back({"front:CARD=" + id + ",DEV=0", first + "\nFront output / input", ""});
  for (const char* s : {"surround21", "surround40", "surround41", "surround50", "surround51", "surround71"})
    hints.push_back({std::string(s) + ":CARD=" + id + ",DEV=0", first + "\nSurround output", "Output"});
  hints.push_back({"iec958:CARD=" + id + ",DEV=0", first + "\nIEC958 (S/PDIF) Digital Audio Output", "Output"});
  hints.push_back({"dmix:CARD=" + id + ",DEV=0", first + "\nDirect sample mixing device", "Output"});
  hints.push_back({"dsnoop:CARD=" + id + ",DEV=0", first + "\nDirect sample snooping device", "Input"});
  hints.push_back({"usbstream:CARD=" + id, card + "\nUSB Stream Output", "Output"});
}

// What libasound2-plugins adds.
void AddPluginPackage(std::vector<AlsaHint>& hints) {
  for (const char* name : {"lavrate", "samplerate", "speexrate", "speex", "upmix", "vdownmix"})
    hints.push_back({name, std::string("Plugin ") + name, ""});
  hints.push_back({"jack", "JACK Audio Connection Kit", ""});
  hints.push_back({"oss", "Open Sound System", ""});
  hints.push_back({"pulse", "PulseAudio Sound Server", ""});
}

TEST(AlsaDeviceLists, DesktopWithPipeWire) {
  std::vector<AlsaHint> hints = {
      {"null", "Discard all samples (playback) or generate zero samples (capture)", ""},
      {"pipewire", "PipeWire Sound Server", ""},
      {"default", "Default ALSA Output (currently PipeWire Media Server)", ""},
  };
  AddCard(hints, "PCH", "HDA Intel PCH", {{0, "ALC892 Analog"}});
  // The digital and HDMI devices play only.
  AddCard(hints, "PCH", "HDA Intel PCH", {{1, "ALC892 Digital"}, {3, "HDMI 0"}}, "Output");
  hints.push_back({"hdmi:CARD=PCH,DEV=0", "HDA Intel PCH, HDMI 0\nHDMI Audio Output", "Output"});
  const std::vector<AlsaCard> cards = {{0, "PCH", "HDA Intel PCH"}};
  SoundServers servers;
  servers.PipeWire = servers.Pulse = true;  // pipewire-pulse answers, but ALSA has no pulse device here

  const AlsaDeviceLists lists = BuildAlsaDeviceLists(hints, cards, servers);
  EXPECT_EQ(Names(lists.Outputs), (std::vector<std::string>{
                                      "Default ALSA Output (currently PipeWire Media Server)",
                                      "PipeWire sound server",
                                      "HDA Intel PCH, ALC892 Analog (hw:0,0, direct)",
                                      "HDA Intel PCH, ALC892 Analog (plughw:0,0, converts)",
                                      "HDA Intel PCH, ALC892 Digital (hw:0,1, direct)",
                                      "HDA Intel PCH, ALC892 Digital (plughw:0,1, converts)",
                                      "HDA Intel PCH, HDMI 0 (hw:0,3, direct)",
                                      "HDA Intel PCH, HDMI 0 (plughw:0,3, converts)",
                                  }));
  EXPECT_EQ(Identities(lists.Outputs)[2], "hw:CARD=PCH,DEV=0");
  EXPECT_EQ(Identities(lists.Outputs)[3], "plughw:CARD=PCH,DEV=0");
  EXPECT_EQ(Identities(lists.Inputs), (std::vector<std::string>{"default", "pipewire", "hw:CARD=PCH,DEV=0",
                                                                "plughw:CARD=PCH,DEV=0"}));

  // The server's device only while its server answers; "default" always.
  servers.PipeWire = false;
  const AlsaDeviceLists down = BuildAlsaDeviceLists(hints, cards, servers);
  EXPECT_EQ(down.Outputs.size(), lists.Outputs.size() - 1);
  EXPECT_EQ(down.Outputs[0].Identity, "default");
  EXPECT_LT(FindWaveDevice(down.Outputs, "pipewire"), 0);
}

TEST(AlsaDeviceLists, BareMachineWithTwoUsbCardsOfOneModelWithAndWithoutThePluginPackage) {
  std::vector<AlsaHint> hints = {{"null", "Discard all samples", ""}};
  // ALSA lists the second card first here: the lists still go by card number.
  AddCard(hints, "CODEC_1", "USB Audio CODEC", {{0, "USB Audio"}});
  AddCard(hints, "CODEC", "USB Audio CODEC", {{0, "USB Audio"}});
  const std::vector<AlsaCard> cards = {{1, "CODEC", "USB Audio CODEC"}, {2, "CODEC_1", "USB Audio CODEC"}};
  const std::vector<std::string> expected = {
      "Default device",
      "USB Audio CODEC (hw:1,0, direct)",
      "USB Audio CODEC (plughw:1,0, converts)",
      "USB Audio CODEC (hw:2,0, direct)",
      "USB Audio CODEC (plughw:2,0, converts)",
  };
  const AlsaDeviceLists bare = BuildAlsaDeviceLists(hints, cards, {});
  EXPECT_EQ(Names(bare.Outputs), expected);
  EXPECT_EQ(Names(bare.Inputs), expected);
  EXPECT_EQ(Identities(bare.Outputs)[3], "hw:CARD=CODEC_1,DEV=0");

  // The plugin package adds converters and servers' devices, none of which is a device
  // of its own; the servers' devices appear once their servers answer.
  AddPluginPackage(hints);
  EXPECT_EQ(Names(BuildAlsaDeviceLists(hints, cards, {}).Outputs), expected);
  SoundServers servers;
  servers.Pulse = servers.Jack = true;
  const AlsaDeviceLists withServers = BuildAlsaDeviceLists(hints, cards, servers);
  EXPECT_EQ(Identities(withServers.Outputs),
            (std::vector<std::string>{"default", "pulse", "jack", "hw:CARD=CODEC,DEV=0", "plughw:CARD=CODEC,DEV=0",
                                      "hw:CARD=CODEC_1,DEV=0", "plughw:CARD=CODEC_1,DEV=0"}));
  EXPECT_EQ(withServers.Outputs[1].Name, "PulseAudio sound server");
  EXPECT_EQ(withServers.Outputs[2].Name, "JACK sound server");
  for (const auto* list : {&bare.Inputs, &bare.Outputs, &withServers.Inputs, &withServers.Outputs})
    ExpectUniqueNames(*list);
}

TEST(AlsaDeviceLists, UsersOwnDevicesComeLastAndEveryNameIsUnique) {
  const std::vector<AlsaHint> hints = {
      {"rear_pair", "Rear pair of the 7.1 card", "Output"},
      {"hw:CARD=Gone,DEV=0", "Gone Card, USB Audio\nDirect hardware device", ""},  // no longer in the card table
      {"mic_route", "", "Input"},
      {"default", "", ""},
      {"twin", "Same words", ""},
      {"twin2", "Same words", ""},
  };
  const AlsaDeviceLists lists = BuildAlsaDeviceLists(hints, {}, {});
  EXPECT_EQ(Names(lists.Outputs), (std::vector<std::string>{"Default device", "Gone Card (hw:Gone,0, direct)",
                                                             "Rear pair of the 7.1 card (rear_pair)",
                                                             "Same words (twin)", "Same words (twin2)"}));
  EXPECT_EQ(Identities(lists.Inputs), (std::vector<std::string>{"default", "hw:CARD=Gone,DEV=0", "mic_route",
                                                                "twin", "twin2"}));
  EXPECT_EQ(lists.Inputs[2].Name, "mic_route");

  std::vector<WaveDeviceEntry> same = {{"A", "1"}, {"A", "2"}, {"A (2)", "3"}, {"B", "4"}, {"A", "5"}};
  MakeDeviceNamesUnique(same);
  EXPECT_EQ(Names(same), (std::vector<std::string>{"A", "A (3)", "A (2)", "B", "A (4)"}));
}

class StoredDevices : public ::testing::Test {
 protected:
  void SetUp() override { SetDefaultSettings(); }
  void TearDown() override { SetDefaultSettings(); }
};

// A card plugged in moves the devices after it; the stored identities follow them, and
// an identity no longer present leaves its id alone and is reported.
TEST_F(StoredDevices, IdentitiesFollowAReorderedListAndAbsentOnesAreReported) {
  const std::vector<WaveDeviceEntry> inputs = {{"Default", "default"}, {"USB (hw:2,0)", "hw:CARD=CODEC,DEV=0"}};
  const std::vector<WaveDeviceEntry> outputs = {
      {"Default", "default"}, {"PipeWire", "pipewire"}, {"HDA", "hw:CARD=PCH,DEV=0"}, {"USB", "hw:CARD=CODEC,DEV=0"}};
  WaveInDevice = 1;
  WaveInDeviceName = "hw:CARD=CODEC,DEV=0";
  WaveOutDevices[0] = 0;
  WaveOutDeviceNames[0] = "hw:CARD=PCH,DEV=0";
  WaveOutDevices[1] = 3;
  WaveOutDeviceNames[1] = "hw:CARD=Missing,DEV=0";
  WaveOutDevices[2] = 2;  // no identity: the id stands
  WaveOutDevices[4] = 1;
  WaveOutDeviceNames[4] = "hw:CARD=Other,DEV=0";

  const std::vector<int> missing = MatchStoredDevices(inputs, outputs, 3);
  EXPECT_EQ(missing, std::vector<int>{1});  // pair 4 is beyond the pairs asked for
  EXPECT_EQ(WaveInDevice, 1);
  EXPECT_EQ(WaveOutDevices[0], 2);
  EXPECT_EQ(WaveOutDevices[1], 3);
  EXPECT_EQ(WaveOutDevices[2], 2);
  EXPECT_EQ(WaveOutDevices[4], 1);

  // The USB capture card moves behind a new one.
  const std::vector<WaveDeviceEntry> moved = {inputs[0], {"New", "hw:CARD=New,DEV=0"}, inputs[1]};
  EXPECT_TRUE(MatchStoredDevices(moved, outputs, 0).empty());
  EXPECT_EQ(WaveInDevice, 2);

  EXPECT_EQ(MissingDevicesText({1, 4}, false),
            "Error en waveOutOpen: \r\ndevice ID out of range\r\n"
            "Surround Out (1-2): hw:CARD=Missing,DEV=0 is not present\r\n"
            "Surround Out (7-8): hw:CARD=Other,DEV=0 is not present");
  EXPECT_EQ(MissingDevicesText({CaptureRole, 0}, true).rfind("WaveInOpen: \r\ndevice ID out of range\r\n", 0), 0u);
  EXPECT_EQ(MissingDevicesText({CaptureRole, 0}, false).rfind("Error en waveOutOpen: ", 0), 0u);
}

}  // namespace
}  // namespace tessival
