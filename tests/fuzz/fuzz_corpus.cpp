// Writes the seed corpora of the fuzz targets: WAV files of every sample type and
// header form, and small banks of them joined by the bank fuzzer's "@@@@" marker.
//   fuzz_corpus WAVDIR BANKDIR
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/WavBuilder.h"

using namespace tessival::testing;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_corpus WAVDIR BANKDIR\n");
    return 1;
  }
  const std::string wavDir = argv[1], bankDir = argv[2];
  std::vector<Bytes> seeds;
  const std::vector<double> left = {1.0, -0.5, 0.25, 0.0, 0.125}, right = {0.0, 0.5, -0.25, 0.0, 0.0};
  for (int type = 1; type <= 9; ++type) seeds.push_back(FilterWav(left, right, 48000, type));

  WavSpec s;
  s.Data = IntSamples({1, -1, 300, -300, 32767, -32768}, 2);
  s.BeforeData.push_back({"LIST", Bytes(7, 'x')});
  s.BeforeFmt.push_back({"JUNK", Bytes(4, 0)});
  seeds.push_back(BuildWav(s));
  s.FmtSize = 18;
  seeds.push_back(BuildWav(s));
  s.Extensible = true;
  s.BitsPerSample = 24;
  s.Data = IntSamples({1, -1, 8388607, -8388608}, 3);
  seeds.push_back(BuildWav(s));
  s.SubFormat = 3;
  s.BitsPerSample = 32;
  s.Data = FloatSamples({0.5f, -0.5f, 1.0f, 0.0f});
  seeds.push_back(BuildWav(s));
  WavSpec streamed;
  streamed.Data = IntSamples({5, 6, 7, 8}, 2);
  streamed.DataSizeField = 0xFFFFFFFF;
  seeds.push_back(BuildWav(streamed));
  streamed.TruncateTo = 47;
  seeds.push_back(BuildWav(streamed));
  WavSpec rf64;
  rf64.RiffId = "RF64";
  rf64.Extensible = true;
  rf64.BitsPerSample = 32;
  rf64.Data = IntSamples({1 << 30, -858993459, 0, 5}, 4);
  seeds.push_back(BuildWav(rf64));
  WavSpec tagged;
  tagged.DataSizeField = 0;
  tagged.AfterData.push_back({"LIST", Bytes(12, 'x')});
  seeds.push_back(BuildWav(tagged));
  WavSpec odd;
  odd.BitsPerSample = 12;
  odd.Data = IntSamples({1, 2}, 2);
  seeds.push_back(BuildWav(odd));

  int n = 0;
  for (const Bytes& b : seeds) WriteBytes(wavDir + "/seed" + std::to_string(n++) + ".wav", b);

  // Banks: one, two and three files.
  const Bytes marker = {'@', '@', '@', '@'};
  n = 0;
  for (size_t a = 0; a < seeds.size(); a += 3) {
    Bytes bank = seeds[a];
    for (size_t extra = 1; extra <= (a % 3) && a + extra < seeds.size(); ++extra) {
      bank.insert(bank.end(), marker.begin(), marker.end());
      bank.insert(bank.end(), seeds[a + extra].begin(), seeds[a + extra].end());
    }
    WriteBytes(bankDir + "/bank" + std::to_string(n++), bank);
  }
  Bytes pair = seeds[3];
  pair.insert(pair.end(), marker.begin(), marker.end());
  pair.insert(pair.end(), seeds[3].begin(), seeds[3].end());
  WriteBytes(bankDir + "/bank" + std::to_string(n++), pair);
  return 0;
}
