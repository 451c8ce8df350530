// The settings store: defaults, stored texts, a value of the wrong type, and saving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>

#include "settings/Inis.h"
#include "settings/Settings.h"

using namespace tessival;

namespace {

// Every test gets an empty config folder of its own.
class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    setenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit().constData(), 1);
    ResetSettingsVariables();
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

  QString StorePath() const { return config_.path() + "/Software/Tessival.ini"; }

  void WriteStore(const char* text) {
    ASSERT_TRUE(QDir().mkpath(config_.path() + "/Software"));
    QFile file(StorePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
  }

  // The stored texts, as a reader of the file sees them.
  QVariant Stored(const char* name) const {
    QSettings store(StorePath(), QSettings::IniFormat);
    return store.value(QString("Options/") + name);
  }

  QTemporaryDir config_;
};

TEST_F(SettingsStore, FirstRunGivesTheDefaultsAndSavingWritesAll22ValuesAndTheDeviceNames) {
  LoadSettings();
  EXPECT_EQ(WaveInDevice, 0);
  // Every pair on the first device, "default": never on whatever is listed k-th.
  for (int k = 0; k < MaxOutDevices; ++k) EXPECT_EQ(WaveOutDevices[k], 0);
  EXPECT_EQ(WaveInDeviceName, "");
  for (const std::string& name : WaveOutDeviceNames) EXPECT_EQ(name, "");
  EXPECT_EQ(OpenOrder, 0);
  EXPECT_EQ(StartOrder, 1);
  EXPECT_EQ(NumBuffers, 3);
  EXPECT_EQ(SampleRateIndex, 6);
  EXPECT_EQ(SampleRate, 44100);
  EXPECT_EQ(SampleBits, 16);
  EXPECT_FALSE(DitherOn);
  for (int g : GainSteps) EXPECT_EQ(g, 0);
  EXPECT_EQ(SettingsFilePath(), StorePath().toStdString());
  EXPECT_FALSE(QFile::exists(StorePath())) << "loading must not create the file";

  SaveSettings();
  QSettings store(StorePath(), QSettings::IniFormat);
  EXPECT_EQ(store.childGroups(), QStringList{"Options"});
  store.beginGroup("Options");
  EXPECT_EQ(store.childKeys().size(), 22 + 6);
  const char* expected[][2] = {
      {"Wave Record Dev", "0"}, {"Wave Playback Dev0", "0"}, {"Wave Playback Dev4", "0"},
      {"Wave Record Dev Name", ""}, {"Wave Playback Dev4 Name", ""},
      {"OpenOrder", "0"},       {"StartOrder", "1"},         {"NumBuffers", "3"},
      {"Sampling Freq", "6"},   {"Bits", "16"},              {"Dither", "0"},
      {"Gain0", "0"},           {"Gain9", "0"}};
  for (auto& [name, text] : expected) {
    const QVariant v = store.value(name);
    EXPECT_EQ(v.typeId(), QMetaType::QString) << name;
    EXPECT_EQ(v.toString(), text) << name;
  }
}

TEST_F(SettingsStore, StoredTextsAreReadAsDecimalAndHeldWhereTheProgramNeedsIt) {
  WriteStore(
      "[Options]\n"
      "Wave Record Dev=2\n"
      "Wave%20Playback%20Dev3=7\n"
      "OpenOrder=1\n"
      "StartOrder=0\n"
      "NumBuffers=abc\n"
      "Sampling Freq=2\n"
      "Bits=20\n"
      "Dither=2\n"
      "Gain0=-12\n"
      "Gain1=10\n"
      "Gain2=-99\n"
      "Gain5=\n");
  LoadSettings();
  EXPECT_EQ(WaveInDevice, 2);
  EXPECT_EQ(WaveOutDevices[3], 7);
  EXPECT_EQ(WaveOutDevices[4], 0);  // missing: default
  EXPECT_EQ(OpenOrder, 1);
  EXPECT_EQ(StartOrder, 0);
  EXPECT_EQ(NumBuffers, 3);  // not a number: default
  EXPECT_EQ(SampleRateIndex, 2);
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(SampleBits, 20);  // taken as stored
  EXPECT_TRUE(DitherOn);
  EXPECT_EQ(GainSteps[0], -12);
  EXPECT_EQ(GainSteps[1], 6);
  EXPECT_EQ(GainSteps[2], -24);
  EXPECT_EQ(GainSteps[5], 0);  // empty text: default

  // An index off the table (a bank at another rate) survives a round trip; the rate
  // stays usable.
  SampleRateIndex = -1;
  SampleRate = 8000;
  SaveSettings();
  EXPECT_EQ(Stored("Gain0").toString(), "-12");
  EXPECT_EQ(Stored("Sampling Freq").toString(), "-1");
  EXPECT_EQ(Stored("Dither").toString(), "1");
  LoadSettings();
  EXPECT_EQ(SampleRateIndex, -1);
  EXPECT_EQ(SampleRate, 44100);

  WriteStore("[Options]\nDither=yes\nNumBuffers=1\nSampling Freq=4\n");
  LoadSettings();
  EXPECT_FALSE(DitherOn);
  EXPECT_EQ(NumBuffers, 2);
  EXPECT_EQ(SampleRate, 11025);
  WriteStore("[Options]\nNumBuffers=0\n");
  LoadSettings();
  EXPECT_EQ(NumBuffers, 2);
}

TEST_F(SettingsStore, TwentyTwoDistinctValuesSurviveASaveAndALoadUnderTheirOwnNames) {
  // Every value differs from every other and from its default, so a value stored under
  // another's name, or loaded into another's variable, shows.
  WaveInDevice = 11;
  for (int k = 0; k < MaxOutDevices; ++k) WaveOutDevices[k] = 12 + k;
  OpenOrder = 17;
  StartOrder = 18;
  NumBuffers = 7;
  SampleRateIndex = 5;
  SampleBits = 24;
  DitherOn = true;
  for (int k = 0; k < NumGainSliders; ++k) GainSteps[k] = -1 - k;
  SaveSettings();
  ResetSettingsVariables();
  LoadSettings();

  EXPECT_EQ(WaveInDevice, 11);
  EXPECT_EQ(Stored("Wave Record Dev").toString(), "11");
  for (int k = 0; k < MaxOutDevices; ++k) {
    EXPECT_EQ(WaveOutDevices[k], 12 + k) << k;
    EXPECT_EQ(Stored(("Wave Playback Dev" + std::to_string(k)).c_str()).toString(), QString::number(12 + k));
  }
  EXPECT_EQ(OpenOrder, 17);
  EXPECT_EQ(Stored("OpenOrder").toString(), "17");
  EXPECT_EQ(StartOrder, 18);
  EXPECT_EQ(Stored("StartOrder").toString(), "18");
  EXPECT_EQ(NumBuffers, 7);
  EXPECT_EQ(Stored("NumBuffers").toString(), "7");
  EXPECT_EQ(SampleRateIndex, 5);
  EXPECT_EQ(SampleRate, 22050);
  EXPECT_EQ(Stored("Sampling Freq").toString(), "5");
  EXPECT_EQ(SampleBits, 24);
  EXPECT_EQ(Stored("Bits").toString(), "24");
  EXPECT_TRUE(DitherOn);
  EXPECT_EQ(Stored("Dither").toString(), "1");
  for (int k = 0; k < NumGainSliders; ++k) {
    EXPECT_EQ(GainSteps[k], -1 - k) << k;
    EXPECT_EQ(Stored(("Gain" + std::to_string(k)).c_str()).toString(), QString::number(-1 - k));
  }
}

// ALSA's names hold commas, colons and equals signs; they come back as they went.
TEST_F(SettingsStore, DeviceNamesRoundTripBesideTheIds) {
  WaveInDevice = 3;
  WaveInDeviceName = "hw:CARD=CODEC,DEV=0";
  WaveOutDevices[2] = 5;
  WaveOutDeviceNames[2] = "plughw:CARD=PCH,DEV=3";
  WaveOutDeviceNames[4] = "pipewire";
  SaveSettings();
  EXPECT_EQ(Stored("Wave Record Dev").toString(), "3");
  EXPECT_EQ(Stored("Wave Playback Dev2").toString(), "5");
  ResetSettingsVariables();
  LoadSettings();
  EXPECT_EQ(WaveInDevice, 3);
  EXPECT_EQ(WaveInDeviceName, "hw:CARD=CODEC,DEV=0");
  EXPECT_EQ(WaveOutDeviceNames[2], "plughw:CARD=PCH,DEV=3");
  EXPECT_EQ(WaveOutDeviceNames[4], "pipewire");
  EXPECT_EQ(WaveOutDeviceNames[0], "");

  // Written by hand without quotes, a name with commas still reads whole.
  WriteStore("[Options]\nWave%20Playback%20Dev1%20Name=hw:CARD=CODEC,DEV=0\n");
  LoadSettings();
  EXPECT_EQ(WaveOutDeviceNames[1], "hw:CARD=CODEC,DEV=0");
  EXPECT_EQ(WaveInDeviceName, "");
}

TEST_F(SettingsStore, AValueThatIsNotOneTextStopsLoadingThereAndLaterValuesKeepDefaults) {
  WriteStore(
      "[Options]\n"
      "OpenOrder=1\n"
      "StartOrder=0\n"
      "NumBuffers=a, b\n"
      "Bits=24\n"
      "Gain9=-3\n");
  try {
    LoadSettings();
    FAIL() << "no error";
  } catch (const SettingsStoreError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'NumBuffers'");
  }
  EXPECT_EQ(OpenOrder, 1);
  EXPECT_EQ(StartOrder, 0);
  EXPECT_EQ(NumBuffers, 3);
  EXPECT_EQ(SampleBits, 16);
  EXPECT_EQ(SampleRate, 44100);
  EXPECT_EQ(GainSteps[9], 0);

  WriteStore("[Options]\nGain4=@ByteArray(5)\n");
  EXPECT_THROW(LoadSettings(), SettingsStoreError);
}

TEST_F(SettingsStore, SavingReplacesTheWholeFileAndReportsWhatCannotBeWritten) {
  // Another section and an unknown value survive; the file is replaced, not rewritten
  // in place, and nothing temporary is left behind.
  WriteStore("[Other]\nKeep=1\n[Options]\nNumBuffers=5\nMine=x\n");
  struct stat before {};
  ASSERT_EQ(stat(StorePath().toLocal8Bit().constData(), &before), 0);
  LoadSettings();
  NumBuffers = 6;
  SaveSettings();
  struct stat after {};
  ASSERT_EQ(stat(StorePath().toLocal8Bit().constData(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(Stored("NumBuffers").toString(), "6");
  EXPECT_EQ(Stored("Mine").toString(), "x");
  EXPECT_EQ(QSettings(StorePath(), QSettings::IniFormat).value("Other/Keep").toString(), "1");
  EXPECT_EQ(QDir(config_.path() + "/Software").entryList(QDir::Files), QStringList{"Tessival.ini"});

  // The store's place is taken by a directory: the old contents stay, the error names
  // the file (the file is written whole, so no one value is to blame) and the cause.
  ASSERT_TRUE(QFile::remove(StorePath()));
  ASSERT_TRUE(QDir().mkpath(StorePath()));
  try {
    SaveSettings();
    FAIL() << "no error";
  } catch (const SettingsStoreError& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to set data: the settings file " + StorePath().toStdString() +
                                         " could not be written (a folder stands in its place)");
  }

  // The folder cannot be made: a file stands where it should be.
  QDir(StorePath()).removeRecursively();
  QDir(config_.path() + "/Software").removeRecursively();
  QFile blocker(config_.path() + "/Software");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  try {
    SaveSettings();
    FAIL() << "no error";
  } catch (const SettingsStoreError& e) {
    EXPECT_STREQ(e.what(), "Failed to create key Options");
  }
  EXPECT_NO_THROW(LoadSettings());
}

}  // namespace
