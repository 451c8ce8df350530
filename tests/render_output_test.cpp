// tessival-render's WAV output: every input length ends up whole in the files, across
// the blocks that are written several at a time, at both resolutions, with headers
// that agree with the files' sizes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/WavBuilder.h"

namespace tessival {
namespace {

using testing::Bytes;

const std::string RenderBinary = std::string(TESSIVAL_BUILD_DIR) + "/tools/render/tessival-render";

uint32_t U32At(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(RenderOutput, EveryLengthIsWrittenWholeAndDelayedExactlyAtBothResolutions) {
  testing::TempDir dir;
  // Three taps, the last one 1.0: a pure delay of two frames. Blocks are 6 frames
  // long, so several go to the files per write and the lengths below straddle that.
  ASSERT_TRUE(testing::WriteBytes(dir / "d1.wav", testing::FilterWav({0, 0, 1.0}, {0, 0, 0})));
  ASSERT_TRUE(testing::WriteBytes(dir / "d2.wav", testing::FilterWav({0, 0, 0}, {0, 0, -1.0})));
  const std::string out = dir / "out";
  std::filesystem::create_directory(out);

  for (size_t frames : {size_t{0}, size_t{1}, size_t{47}, size_t{48}, size_t{49}, size_t{1001}}) {
    std::vector<int64_t> interleaved;
    for (size_t i = 0; i < frames; ++i) {
      interleaved.push_back(static_cast<int64_t>((i * 7919) % 60001) - 30000);
      interleaved.push_back(static_cast<int64_t>((i * 104729) % 65536) - 32768);
    }
    testing::WavSpec input;
    input.Data = testing::IntSamples(interleaved, 2);
    ASSERT_TRUE(testing::WriteBytes(dir / "in.wav", testing::BuildWav(input)));

    for (int bits : {16, 24}) {
      const std::string cmd = "'" + RenderBinary + "' --fft-estimate --bits " + std::to_string(bits) + " '" +
                              (dir / "d1.wav") + "' '" + (dir / "in.wav") + "' '" + out + "' 2>/dev/null";
      const int status = std::system(cmd.c_str());
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << frames << " frames, " << bits << " bits";

      const std::string path = out + "/out0.wav";
      const Bytes file = testing::ReadBytes(path);
      ASSERT_GE(file.size(), 44u);
      const uint32_t data = U32At(file, 40);
      EXPECT_EQ(U32At(file, 4), file.size() - 8) << frames << " frames, " << bits << " bits";
      EXPECT_EQ(data, file.size() - 44);
      EXPECT_EQ(data, (frames + 2) * (bits == 16 ? 4 : 6));

      SF_INFO info{};
      SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
      ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
      EXPECT_EQ(info.format, SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24));
      ASSERT_EQ(info.frames, static_cast<sf_count_t>(frames + 2));
      std::vector<int32_t> got(2 * (frames + 2));
      sf_readf_int(f, got.data(), info.frames);  // left-justified: 16-bit input units times 2^16
      sf_close(f);
      // Left: the left input two frames late. Right (channel 2): the right input, negated,
      // two frames late. 24 bits keep the engine's 32-bit result to within one step.
      const int64_t step = bits == 16 ? 65536 : 256;
      for (size_t j = 0; j < frames + 2; ++j) {
        const int64_t l = j >= 2 ? interleaved[2 * (j - 2)] * 65536 : 0;
        int64_t r = j >= 2 ? -interleaved[2 * (j - 2) + 1] * 65536 : 0;
        if (r > INT32_MAX) r = INT32_MAX - (bits == 16 ? 65535 : 255);  // -(-32768) saturates
        ASSERT_NEAR(got[2 * j], l, bits == 16 ? 0 : step) << frames << " frames, " << bits << " bits, frame " << j;
        ASSERT_NEAR(got[2 * j + 1], r, bits == 16 ? 0 : step) << frames << " frames, " << bits << " bits, frame " << j;
      }
    }
  }
}

std::vector<int32_t> ReadInts(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return {};
  std::vector<int32_t> v(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_int(f, v.data(), info.frames);
  sf_close(f);
  return v;
}

// --block P renders through the partitioned engine: at 24 bits the files differ from
// Auto's by at most 2 steps (float rounding of other transforms), at 16 bits by 1.
TEST(RenderOutput, PartitionedBlocksGiveWhatAutoGives) {
  testing::TempDir dir;
  for (int ch = 1; ch <= 3; ++ch) {
    // Decaying responses whose absolute taps sum to 0.7: near full scale, never beyond.
    std::vector<double> l(3000), r(3000);
    double sl = 0, sr = 0;
    for (size_t t = 0; t < l.size(); ++t) {
      l[t] = std::sin(0.37 * t * ch) * std::exp(-0.002 * t);
      r[t] = std::cos(0.11 * t + ch) * std::exp(-0.001 * t);
      sl += std::fabs(l[t]);
      sr += std::fabs(r[t]);
    }
    for (size_t t = 0; t < l.size(); ++t) {
      l[t] *= 0.7 / sl;
      r[t] *= 0.7 / sr;
    }
    ASSERT_TRUE(testing::WriteBytes(dir / ("p" + std::to_string(ch) + ".wav"), testing::FilterWav(l, r)));
  }
  std::vector<int64_t> interleaved;
  for (size_t i = 0; i < 2 * 30000; ++i) interleaved.push_back(static_cast<int64_t>((i * 7919) % 40001) - 20000);
  testing::WavSpec input;
  input.Data = testing::IntSamples(interleaved, 2);
  ASSERT_TRUE(testing::WriteBytes(dir / "in.wav", testing::BuildWav(input)));

  for (int bits : {24, 16}) {
    std::vector<int32_t> automatic[2];
    for (int block : {0, 64, 1024}) {
      const std::string out = dir / ("out" + std::to_string(block) + "_" + std::to_string(bits));
      std::filesystem::create_directory(out);
      const std::string cmd = "'" + RenderBinary + "' --fft-estimate --bits " + std::to_string(bits) + " --block " +
                              std::to_string(block) + " '" + (dir / "p1.wav") + "' '" + (dir / "in.wav") + "' '" + out +
                              "' 2>/dev/null";
      const int status = std::system(cmd.c_str());
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "block " << block;
      for (int d = 0; d < 2; ++d) {
        const auto got = ReadInts(out + "/out" + std::to_string(d) + ".wav");
        ASSERT_EQ(got.size(), 2u * (30000 + 2999)) << "block " << block;
        if (block == 0) {
          automatic[d] = got;
          continue;
        }
        // sf_readf_int gives the samples left-justified in 32 bits.
        const int64_t step = bits == 24 ? 256 : 65536;
        int64_t worst = 0, same = 0;
        for (size_t i = 0; i < got.size(); ++i) {
          worst = std::max<int64_t>(worst, std::llabs(int64_t{got[i]} - automatic[d][i]) / step);
          same += got[i] == automatic[d][i];
        }
        EXPECT_LE(worst, bits == 24 ? 2 : 1) << "block " << block << " device " << d << " bits " << bits;
        EXPECT_GT(same, static_cast<int64_t>(got.size()) / 2) << "block " << block << " device " << d;
      }
    }
  }
}

}  // namespace
}  // namespace tessival
