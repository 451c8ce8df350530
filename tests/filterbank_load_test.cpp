#include "filterbank/FilterBank.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Report.h"
#include "settings/Settings.h"
#include "tests/support/WavBuilder.h"

namespace tessival {
namespace {

using testing::Bytes;
using testing::FilterWav;
using testing::TempDir;

std::vector<double> Ramp(size_t n, double start, double step) {
  std::vector<double> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<double>(i);
  return v;
}

class BankLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
    SetDefaultSettings();
    FftPlanMeasure = false;
    Ui.ShowMessage = [this](MessageKind, const std::string& t) { messages.push_back(t); };
    Ui.SetStatusText = [this](const std::string& t) { statuses.push_back(t); };
    view.SetFileName = [this](const std::string& t) { fileName = t; };
    view.SetBankLabels = [this](const BankLabelTexts& t) {
      labels = t;
      ++labelCalls;
    };
  }
  void TearDown() override {
    TheEngine.ResetEngine();
    ResetFilterBank();
    ResetUiHooks();
  }

  // stem1.wav .. stemN.wav; file i's left filter starts at i, its right at -i / 100.
  void WriteBank(const std::string& stem, int files, size_t frames, int type = 4,
                 uint32_t rate = 48000) {
    for (int i = 1; i <= files; ++i) {
      ASSERT_TRUE(testing::WriteBytes(
          dir / (stem + std::to_string(i) + ".wav"),
          FilterWav(Ramp(frames, i / 16.0, 1.0 / 1024), Ramp(frames, -i / 100.0, 0), rate, type)));
    }
  }

  bool Load(const std::string& name) { return LoadFilterBank(dir / name, view); }

  bool NoBank() const {
    return !TheEngine.FiltersLoaded && TheEngine.FilterSpectra[0][0] == nullptr && TheEngine.InBuffers[0] == nullptr;
  }

  TempDir dir;
  BankLoadView view;
  std::vector<std::string> messages, statuses;
  std::string fileName;
  BankLabelTexts labels;
  int labelCalls = 0;
};

TEST_F(BankLoadTest, LoadsTheWholeSetFromAnyFileWithRolesAndPadding) {
  WriteBank("stem", 4, 100);
  // File 4 shorter: padded with zeros up to the transform length.
  ASSERT_TRUE(testing::WriteBytes(dir / "stem4.wav", FilterWav(Ramp(60, 0.25, 0), Ramp(60, -0.5, 0))));

  ASSERT_TRUE(Load("stem3.wav"));
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(TheEngine.FiltersLoaded);
  EXPECT_EQ(fileName, "stem");
  EXPECT_EQ(FilterBaseName, dir / "stem");
  EXPECT_EQ(TheEngine.NumFilterChannels, 4);
  EXPECT_EQ(SurroundChannels, 2);
  EXPECT_EQ(TheEngine.LastOutDevice, 1);
  EXPECT_EQ(TheEngine.FilterLength, 100);
  EXPECT_EQ(statuses, (std::vector<std::string>{"Loading Filters ...", "Filters Loaded"}));
  EXPECT_EQ(labelCalls, 1);
  EXPECT_EQ(labels.Fs, "48000");
  EXPECT_EQ(labels.SurrChannels, "2");
  EXPECT_EQ(labels.MaxLen, "100");
  EXPECT_EQ(labels.FFTOrderText, "8");
  EXPECT_EQ(labels.Effi, "61 %");  // 157 / 256
  EXPECT_EQ(labels.SampleType, "IEEE Float (0.24 type 3)");
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(SampleRateIndex, 2);
  ASSERT_NE(TheEngine.OutBuffers[1][0], nullptr);
  EXPECT_EQ(TheEngine.OutBuffers[2][0], nullptr);

  // Re-reading puts the impulse responses (not yet transformed) where the roles say.
  ASSERT_TRUE(LoadFilterSamples());
  for (int c = 0; c < 3; ++c) {
    EXPECT_FLOAT_EQ(TheEngine.FilterSpectra[c][0][0], (c + 1) / 16.0f) << c;
    EXPECT_FLOAT_EQ(TheEngine.FilterSpectra[c][0][99], (c + 1) / 16.0f + 99.0f / 1024) << c;
    EXPECT_FLOAT_EQ(TheEngine.FilterSpectra[c][1][50], -(c + 1) / 100.0f) << c;
    EXPECT_EQ(TheEngine.FilterSpectra[c][0][100], 0.0f) << c;
    EXPECT_EQ(TheEngine.FilterSpectra[c][1][TheEngine.FFTLength - 1], 0.0f) << c;
  }
  EXPECT_EQ(TheEngine.FilterSpectra[3][0][59], 0.25f);
  EXPECT_EQ(TheEngine.FilterSpectra[3][1][59], -0.5f);
  for (int i = 60; i < TheEngine.FFTLength; ++i) ASSERT_EQ(TheEngine.FilterSpectra[3][0][i], 0.0f) << i;
}

TEST_F(BankLoadTest, SizesAndEfficiencyFollowTheLongestFilter) {
  struct Row {
    int32_t m, order, length, block;
    const char* effi;
  };
  const Row rows[] = {{1, 1, 2, 2, "100 %"},          {4, 3, 8, 5, "62 %"},
                      {1000, 11, 2048, 1049, "51 %"}, {1024, 11, 2048, 1025, "50 %"},
                      {1448, 11, 2048, 601, "29 %"},  {1449, 12, 4096, 2648, "65 %"},
                      {44100, 16, 65536, 21437, "33 %"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.m);
    // The longest file is the second one.
    ASSERT_TRUE(testing::WriteBytes(dir / "m1.wav", FilterWav({0.5}, {0.5})));
    ASSERT_TRUE(testing::WriteBytes(dir / "m2.wav", FilterWav(Ramp(r.m, 0, 0), Ramp(r.m, 0, 0))));
    ASSERT_TRUE(Load("m1.wav"));
    EXPECT_EQ(TheEngine.FilterLength, r.m);
    EXPECT_EQ(TheEngine.FFTOrder, r.order);
    EXPECT_EQ(TheEngine.FFTLength, r.length);
    EXPECT_EQ(TheEngine.BlockLength, r.block);
    EXPECT_EQ(labels.MaxLen, std::to_string(r.m));
    EXPECT_EQ(labels.FFTOrderText, std::to_string(r.order));
    EXPECT_EQ(labels.Effi, r.effi);
  }
  EXPECT_TRUE(messages.empty());
}

// Partitioned blocks: the window shows the latency (NumBuffers blocks of P frames) in
// place of the efficiency, and the first partition's transform order.
TEST_F(BankLoadTest, PartitionedBlocksShowTheLatencyAndTheFirstPartitionsOrder) {
  WriteBank("p", 3, 5000);
  BlockFrames = 256;
  ASSERT_TRUE(Load("p1.wav"));
  EXPECT_EQ(TheEngine.BlockLength, 256);
  EXPECT_EQ(labels.MaxLen, "5000");
  EXPECT_EQ(labels.FFTOrderText, "9");
  EXPECT_EQ(labels.EffiCaption, "Latency:");
  EXPECT_EQ(labels.Effi, "16.0 ms");
  NumBuffers = 2;
  SetEffiTexts(labels);
  EXPECT_EQ(labels.Effi, "10.7 ms");

  BlockFrames = 8192;
  NumBuffers = 8;
  WriteBank("q", 2, 5000, 4, 44100);
  ASSERT_TRUE(Load("q1.wav"));
  EXPECT_EQ(labels.FFTOrderText, "14");
  EXPECT_EQ(labels.Effi, "1486 ms");

  BlockFrames = 0;
  ASSERT_TRUE(Load("q1.wav"));
  EXPECT_EQ(labels.EffiCaption, "Efficiency:");
  EXPECT_EQ(labels.Effi, "39 %");  // N = 3193 of L = 8192
  EXPECT_TRUE(messages.empty());
}

TEST_F(BankLoadTest, SampleTypeLabelNamesTheTypeOrMixed) {
  for (int type = 1; type <= 9; ++type) {
    SCOPED_TRACE(type);
    // Values an 8-bit file holds exactly, whose 32-bit integer forms are no 16.8 floats.
    ASSERT_TRUE(testing::WriteBytes(dir / "t1.wav", FilterWav({0.5, -0.25}, {0.75, 0.0}, 48000, type)));
    ASSERT_TRUE(testing::WriteBytes(dir / "t2.wav", FilterWav({-0.25}, {0.125}, 48000, type)));
    ASSERT_TRUE(Load("t1.wav"));
    EXPECT_EQ(BankSampleType, type);
    EXPECT_EQ(labels.SampleType, SampleTypeNames[type]);
    ASSERT_TRUE(LoadFilterSamples());
    EXPECT_EQ(TheEngine.FilterSpectra[0][0][1], -0.25f);
    EXPECT_EQ(TheEngine.FilterSpectra[0][1][0], 0.75f);
    EXPECT_EQ(TheEngine.FilterSpectra[1][1][0], 0.125f);
  }
  ASSERT_TRUE(testing::WriteBytes(dir / "t2.wav", FilterWav({-0.5}, {0.125}, 48000, 7)));
  ASSERT_TRUE(testing::WriteBytes(dir / "t1.wav", FilterWav({-0.5}, {0.125}, 48000, 7)));
  ASSERT_TRUE(testing::WriteBytes(dir / "t3.wav", FilterWav({-0.5}, {0.125}, 48000, 3)));
  ASSERT_TRUE(testing::WriteBytes(dir / "t4.wav", FilterWav({-0.5}, {0.125}, 48000, 7)));
  ASSERT_TRUE(Load("t1.wav"));
  EXPECT_EQ(labels.SampleType, "Mixed");
  EXPECT_TRUE(messages.empty());
}

TEST_F(BankLoadTest, FrequencyMismatchLeavesNoBank) {
  WriteBank("ok", 2, 10);
  ASSERT_TRUE(Load("ok1.wav"));
  statuses.clear();

  WriteBank("mix", 3, 10, 4, 44100);
  ASSERT_TRUE(testing::WriteBytes(dir / "mix3.wav", FilterWav({1}, {1}, 48000)));
  labelCalls = 0;
  EXPECT_FALSE(Load("mix1.wav"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Sampling Frequency must be the same for each filter\n" + dir / "mix3.wav" +
                             ": 48000 Hz, file 1 has 44100 Hz");
  EXPECT_TRUE(NoBank());
  EXPECT_EQ(fileName, "mix");
  EXPECT_EQ(labelCalls, 0);
  EXPECT_TRUE(statuses.empty());
  EXPECT_EQ(SampleRate, 48000) << "the rate of a bank that failed is not taken";
}

// Every channel's headroom from its taps, as loaded: a Dirac of 0.5, two opposite
// Diracs (a sine in opposite phase on the inputs adds them up), a short file padded to
// the longest, and a filter of 1.0 at every tap, whose huge figure loads like any.
// A failed load leaves none.
TEST_F(BankLoadTest, HeadroomOfEveryChannelIsMeasuredOnItsTaps) {
  std::vector<double> silence(100, 0.0), ones(100, 1.0), half(100, 0.0), late(7, 0.0);
  half[0] = 0.5;
  late[6] = 1.0;
  std::vector<double> minusHalf = silence;
  minusHalf[0] = -0.5;
  ASSERT_TRUE(testing::WriteBytes(dir / "h1.wav", FilterWav(half, silence)));
  ASSERT_TRUE(testing::WriteBytes(dir / "h2.wav", FilterWav(half, minusHalf)));
  ASSERT_TRUE(testing::WriteBytes(dir / "h3.wav", FilterWav(late, {0, 0, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(testing::WriteBytes(dir / "h4.wav", FilterWav(ones, ones)));
  ASSERT_TRUE(Load("h1.wav"));
  const double bound[4] = {-6.0206, 0.0, 0.0, 20 * std::log10(200.0)};
  for (int ch = 0; ch < 4; ++ch) {
    ASSERT_TRUE(BankHeadroom[ch].has_value()) << ch;
    EXPECT_NEAR(BankHeadroom[ch]->BoundDb, bound[ch], 1e-3) << ch;
    EXPECT_NEAR(BankHeadroom[ch]->PeakDb, bound[ch], 1e-3) << ch;  // each peaks at DC at its bound
  }
  EXPECT_FALSE(BankHeadroom[4].has_value());

  WriteBank("mix", 2, 10, 4, 44100);
  ASSERT_TRUE(testing::WriteBytes(dir / "mix3.wav", FilterWav({1}, {1}, 48000)));
  EXPECT_FALSE(Load("mix1.wav"));
  for (int ch = 0; ch < MaxChannels; ++ch) EXPECT_FALSE(BankHeadroom[ch].has_value()) << ch;
}

TEST_F(BankLoadTest, RatesOffTheTableLoadWithIndexMinusOne) {
  WriteBank("low", 2, 8, 7, 8000);
  ASSERT_TRUE(Load("low2.wav"));
  EXPECT_EQ(SampleRate, 8000);
  EXPECT_EQ(SampleRateIndex, -1);
  EXPECT_EQ(labels.Fs, "8000");

  WriteBank("cd", 2, 8, 7, 44100);
  ASSERT_TRUE(Load("cd1.wav"));
  EXPECT_EQ(SampleRateIndex, 6);
  EXPECT_EQ(IndexOfSampleRate(88200), 7);
  EXPECT_EQ(IndexOfSampleRate(16000), 0);
}

TEST_F(BankLoadTest, FileCountsFromOneToMoreThanTen) {
  WriteBank("one", 1, 5);
  ASSERT_TRUE(Load("one1.wav"));
  EXPECT_EQ(TheEngine.NumFilterChannels, 1);
  EXPECT_EQ(SurroundChannels, 0);
  EXPECT_EQ(TheEngine.LastOutDevice, 0);

  WriteBank("odd", 3, 5);
  ASSERT_TRUE(Load("odd2.wav"));
  EXPECT_EQ(TheEngine.NumFilterChannels, 3);
  EXPECT_EQ(SurroundChannels, 1);
  EXPECT_EQ(TheEngine.LastOutDevice, 1);

  // Eleven files, chosen by number 10: the stem drops every digit, the first ten load.
  WriteBank("many", 11, 5);
  ASSERT_TRUE(Load("many10.wav"));
  EXPECT_EQ(fileName, "many");
  EXPECT_EQ(TheEngine.NumFilterChannels, 10);
  EXPECT_EQ(TheEngine.LastOutDevice, 4);
  EXPECT_EQ(BankFiles.back(), dir / "many10.wav");

  // A gap ends the set.
  WriteBank("gap", 5, 5);
  std::filesystem::remove(dir / "gap3.wav");
  ASSERT_TRUE(Load("gap1.wav"));
  EXPECT_EQ(TheEngine.NumFilterChannels, 2);
  EXPECT_TRUE(messages.empty());
}

TEST_F(BankLoadTest, LongPathsAndEndingsInAnyCase) {
  std::string sub = dir.Path();
  for (int i = 0; i < 4; ++i) sub += "/a-rather-long-folder-name-for-impulse-responses-" + std::to_string(i);
  std::filesystem::create_directories(sub);
  const std::string stem = sub + "/Concert Hall 2.5s";  // digits inside the name stay
  ASSERT_TRUE(testing::WriteBytes(stem + "1.WAV", FilterWav({1}, {0})));
  ASSERT_TRUE(testing::WriteBytes(stem + "2.wav", FilterWav({0}, {1})));
  ASSERT_TRUE(testing::WriteBytes(stem + "3.Wav", FilterWav({0}, {1})));
  ASSERT_GT(stem.size(), 200u);
  ASSERT_TRUE(LoadFilterBank(stem + "3.Wav", view));
  EXPECT_EQ(FilterBaseName, stem);
  EXPECT_EQ(fileName, "Concert Hall 2.5s");
  EXPECT_EQ(BankFiles, (std::vector<std::string>{stem + "1.WAV", stem + "2.wav", stem + "3.Wav"}));
  EXPECT_TRUE(messages.empty());
}

TEST_F(BankLoadTest, BadFilesEndTheLoadWithOneMessageNamingThem) {
  WriteBank("good", 2, 10);
  struct Case {
    std::string name;
    Bytes second;           // file 2 of a two-file set
    std::string expected;   // the message after "<path of file 2>: "
    bool samplePass;        // found while reading the samples, after "Loading Filters ..."
  };
  testing::WavSpec mono;
  mono.Channels = 1;
  mono.Data = testing::IntSamples({1, 2, 3}, 2);
  testing::WavSpec twelve;
  twelve.BitsPerSample = 12;
  twelve.BlockAlign = 4;
  twelve.Data = Bytes(8, 0);
  testing::WavSpec adpcm;
  adpcm.FormatTag = 2;
  testing::WavSpec oddAlign;
  oddAlign.BlockAlign = 6;
  oddAlign.Data = Bytes(12, 0);
  testing::WavSpec quad = mono;
  quad.Channels = 4;
  const std::string notANumber = "the filter holds samples that are not numbers (NaN or infinite)";
  const std::vector<Case> cases = {
      {"mono", testing::BuildWav(mono),
       "a filter file must have 2 channels (the filters for the left and the right input), this one "
       "has 1. To make a pair of two mono filters: sox -M left.wav right.wav mono2.wav", false},
      {"quad", testing::BuildWav(quad), "a filter file must have 2 channels, this one has 4", false},
      {"twelve", testing::BuildWav(twelve), "12-bit samples are not supported", false},
      {"corrupt", Bytes{'R', 'I', 'F', 'X'}, "Corrupt WAV file", false},
      {"adpcm", testing::BuildWav(adpcm), "WAV Type 2 not supported", false},
      {"align", testing::BuildWav(oddAlign), "Corrupt WAV file", false},
      {"nan", FilterWav({0.5, std::nan("")}, {0.0, 0.0}), notANumber, true},
      {"inf", FilterWav({0.5, 0.0}, {0.0, -HUGE_VAL}), notANumber, true},
      {"double", FilterWav({0.5, 1e300}, {0.0, 0.0}, 48000, 9), notANumber, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Load("good1.wav"));
    messages.clear();
    statuses.clear();
    ASSERT_TRUE(testing::WriteBytes(dir / (c.name + "1.wav"), FilterWav({1}, {1})));
    ASSERT_TRUE(testing::WriteBytes(dir / (c.name + "2.wav"), c.second));
    EXPECT_FALSE(Load(c.name + "1.wav"));
    const bool readerText = c.expected.rfind("Corrupt", 0) == 0 || c.expected.rfind("WAV Type", 0) == 0;
    EXPECT_EQ(messages, std::vector<std::string>{readerText ? c.expected + "\n" + dir / (c.name + "2.wav")
                                                            : dir / (c.name + "2.wav: ") + c.expected});
    EXPECT_TRUE(NoBank());
    const std::vector<std::string> sampleStatuses = {"Loading Filters ...", "Stopped"};
    EXPECT_EQ(statuses, c.samplePass ? sampleStatuses : std::vector<std::string>{});
  }
}

TEST_F(BankLoadTest, AFileChangedBetweenThePassesIsRefusedNotOverrun) {
  // The labels come between the header pass and the sample pass: rewrite file 2 there.
  struct Change {
    std::string name;
    Bytes rewritten;
  };
  testing::WavSpec mono;
  mono.Channels = 1;
  mono.Data = testing::IntSamples(std::vector<int64_t>(64, 100), 2);
  const std::vector<Change> changes = {
      {"longer", FilterWav(Ramp(5000, 0.1, 0), Ramp(5000, 0.1, 0))},  // far past FFTLength
      {"mono", testing::BuildWav(mono)},
      {"broken", Bytes{'R', 'I', 'F', 'F'}},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    messages.clear();
    WriteBank(c.name, 2, 10);
    const std::string second = dir / (c.name + "2.wav");
    view.SetBankLabels = [&](const BankLabelTexts&) { ASSERT_TRUE(testing::WriteBytes(second, c.rewritten)); };
    EXPECT_FALSE(Load(c.name + "1.wav"));
    EXPECT_EQ(messages, std::vector<std::string>{second + ": the file changed while the bank was loading"});
    EXPECT_TRUE(NoBank());
  }
}

TEST_F(BankLoadTest, MissingOrEmptySetsAreRefused) {
  EXPECT_FALSE(Load("absent1.wav"));
  EXPECT_EQ(messages, std::vector<std::string>{dir / "absent1.wav: file not found"});
  EXPECT_TRUE(NoBank());

  // No digits in the chosen name: file 1 of that stem is looked for.
  messages.clear();
  ASSERT_TRUE(testing::WriteBytes(dir / "plain.wav", FilterWav({1}, {1})));
  EXPECT_FALSE(Load("plain.wav"));
  EXPECT_EQ(messages, std::vector<std::string>{dir / "plain1.wav: file not found"});

  messages.clear();
  ASSERT_TRUE(testing::WriteBytes(dir / "empty1.wav", FilterWav({}, {})));
  ASSERT_TRUE(testing::WriteBytes(dir / "empty2.wav", FilterWav({}, {})));
  EXPECT_FALSE(Load("empty2.wav"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("holds no samples"), std::string::npos) << messages[0];
  EXPECT_TRUE(NoBank());

  // A data size of 0 with a LIST after it: empty, not the LIST's bytes as taps.
  messages.clear();
  testing::WavSpec listAfter;
  listAfter.BitsPerSample = 32;
  listAfter.DataSizeField = 0;
  listAfter.AfterData = {{"LIST", Bytes(40, 'x')}};
  ASSERT_TRUE(testing::WriteBytes(dir / "tagged1.wav", testing::BuildWav(listAfter)));
  EXPECT_FALSE(Load("tagged1.wav"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("holds no samples"), std::string::npos) << messages[0];
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they reserve huge address space
// Current address space of this process in bytes.
int64_t AddressSpaceBytes() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7)) * 1024;
  }
  return 0;
}

TEST_F(BankLoadTest, OutOfMemoryForAHugeBankLeavesNoBank) {
  // 8 Mi frames of 8-bit stereo: a 16 MB file that needs about 600 MB of buffers.
  testing::WavSpec s;
  s.BitsPerSample = 8;
  s.Data = Bytes(16u << 20, 128);
  ASSERT_TRUE(testing::WriteBytes(dir / "huge1.wav", testing::BuildWav(s)));
  s.Data.clear();
  const std::string path = dir / "huge1.wav";
  auto child = [&] {
    rlimit limit{};
    limit.rlim_cur = static_cast<rlim_t>(AddressSpaceBytes() + (200 << 20));
    limit.rlim_max = RLIM_INFINITY;
    setrlimit(RLIMIT_AS, &limit);
    const bool loaded = LoadFilterBank(path, view);
    const bool told = messages.size() == 1 && messages[0].find("not enough memory") != std::string::npos;
    for (const auto& m : messages) std::fprintf(stderr, "%s\n", m.c_str());
    std::exit(!loaded && NoBank() && told ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "huge: not enough memory for a bank with filters of 8388608 frames");
}
#endif

TEST_F(BankLoadTest, ReadsFilesWrittenBySox) {
  if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox not installed";
  // sox writes the extensible form for 24 bits and floats, with extra chunks for floats.
  const std::string a = dir / "sox1.wav", b = dir / "sox2.wav";
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 24 '" + a + "' synth 0.01 sine 1000 2>/dev/null").c_str()), 0);
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -e floating-point -b 32 '" + b +
                         "' synth 0.02 sine 500 2>/dev/null").c_str()), 0);
  ASSERT_TRUE(Load("sox1.wav"));
  EXPECT_TRUE(messages.empty()) << messages.front();
  EXPECT_EQ(TheEngine.FilterLength, 882);
  EXPECT_EQ(labels.SampleType, "Mixed");
  ASSERT_TRUE(LoadFilterSamples());
  float peak = 0;
  for (int i = 0; i < 441; ++i) peak = std::max(peak, std::fabs(TheEngine.FilterSpectra[0][0][i]));
  EXPECT_GT(peak, 0.5f);
  EXPECT_LE(peak, 1.0f);
}

}  // namespace
}  // namespace tessival
