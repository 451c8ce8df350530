// The wiring check on the simulated driver: what its recording holds, and the check
// ending by itself, on demand, or with its device lost.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "audio/DeviceControl.h"
#include "audio/SimDriver.h"
#include "audio/WiringTest.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::WaveQueue;

double Rms(const std::vector<int32_t>& samples, size_t channel, size_t from, size_t frames, double full) {
  double sum = 0;
  for (size_t f = from; f < from + frames; ++f) {
    const double v = samples[2 * f + channel] / full;
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(frames));
}

// Power of x between lo and hi Hz, from its DFT.
double BandPower(const std::vector<float>& x, double rate, double lo, double hi) {
  const size_t n = x.size();
  double power = 0;
  for (size_t k = static_cast<size_t>(lo * n / rate); k < static_cast<size_t>(hi * n / rate); ++k) {
    std::complex<double> sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * std::polar(1.0, -2 * M_PI * double(k * i % n) / n);
    power += std::norm(sum);
  }
  return power;
}

TEST(WiringBurst, IsPinkNoiseAtMinus20DbfsThatStartsAndEndsInSilence) {
  for (uint32_t rate : {44100u, 48000u, 96000u}) {
    const std::vector<float> burst = WiringBurst(rate);
    ASSERT_EQ(burst.size(), rate / 2);
    double sum = 0, peak = 0;
    for (float v : burst) {
      sum += double(v) * v;
      peak = std::max(peak, std::fabs(double(v)));
    }
    const double db = 10 * std::log10(sum / burst.size());
    EXPECT_NEAR(db, -20.0, 0.2) << rate;  // the fades take a little
    EXPECT_LT(peak, 0.6);                  // far from clipping
    EXPECT_LT(std::fabs(burst.front()), 1e-3);
    EXPECT_LT(std::fabs(burst.back()), 1e-3);
  }
  // Pink: every octave holds about the same power (white noise would gain 3 dB an octave).
  const std::vector<float> burst = WiringBurst(48000);
  const std::vector<float> part(burst.begin() + 4800, burst.begin() + 4800 + 8000);
  const double low = BandPower(part, 48000, 250, 500);
  const double high = BandPower(part, 48000, 4000, 8000);
  EXPECT_NEAR(10 * std::log10(high / low), 0.0, 2.5);
}

class Wiring : public ::testing::Test {
 protected:
  void SetUp() override { sim = &InstallSimDriver(); }
  void TearDown() override { InstallWaveDriver(nullptr); }

  // Steps the simulated clock in 10 ms pieces, handing every notification to the check.
  bool Play(WiringTest& test, uint64_t frames, std::string* lost = nullptr) {
    bool wasLost = false;
    for (uint64_t done = 0; done < frames; done += 480) {
      sim->Step(480);
      queue.Pump([&](const WaveMessage& m) {
        std::string reason;
        if (test.OnMessage(m, &reason)) {
          wasLost = true;
          if (lost != nullptr) *lost = reason;
        }
      });
    }
    return wasLost;
  }

  SimDriver* sim = nullptr;
  WaveQueue queue;
};

TEST_F(Wiring, PlaysLeftThenRightOnTheChosenDeviceAndClosesIt) {
  for (int bits : {16, 24}) {
    SCOPED_TRACE(bits);
    WiringTest test;
    ASSERT_EQ(test.Start(2, MakeWaveFormat(48000, bits), &queue), MMSYSERR_NOERROR);
    EXPECT_TRUE(test.Playing());
    Play(test, 60000);
    EXPECT_FALSE(test.Playing()) << "closed once the tail has played";
    EXPECT_EQ(sim->OpenDeviceCount(), 0u);

    const SimRecording rec = sim->Recordings().back();
    EXPECT_EQ(rec.DeviceId, 2u);
    EXPECT_TRUE(rec.Closed);
    EXPECT_EQ(rec.Format.wBitsPerSample, bits == 16 ? 16 : 32);
    const std::vector<int32_t> s = SimDriver::DecodeSamples(rec.Bytes, rec.Format.wBitsPerSample);
    ASSERT_GE(s.size() / 2, 48000u);
    const double full = bits == 16 ? 32767.0 : 2147483647.0;
    // 0.5 s on the left alone, then 0.5 s on the right alone, each at -20 dBFS.
    EXPECT_NEAR(20 * std::log10(Rms(s, 0, 0, 24000, full)), -20.0, 0.25);
    EXPECT_EQ(Rms(s, 1, 0, 24000, full), 0.0);
    EXPECT_EQ(Rms(s, 0, 24000, 24000, full), 0.0);
    EXPECT_NEAR(20 * std::log10(Rms(s, 1, 24000, 24000, full)), -20.0, 0.25);
    // The burst as made, sample for sample.
    const std::vector<float> burst = WiringBurst(48000);
    for (size_t f = 0; f < burst.size(); f += 997) EXPECT_NEAR(s[2 * f] / full, burst[f], 1.0 / full);
  }
}

TEST_F(Wiring, StopsOnDemandOnANewStartAndWhenItsDeviceIsLost) {
  WiringTest test;
  ASSERT_EQ(test.Start(0, MakeWaveFormat(44100, 16), &queue), MMSYSERR_NOERROR);
  Play(test, 4800);
  // Another pair's test: the first one ends where it is.
  ASSERT_EQ(test.Start(1, MakeWaveFormat(44100, 16), &queue), MMSYSERR_NOERROR);
  EXPECT_EQ(sim->OpenDeviceCount(), 1u);
  EXPECT_EQ(sim->Recordings()[0].Bytes.size(), 4800u * 4);
  Play(test, 4410);
  test.Stop();
  EXPECT_FALSE(test.Playing());
  EXPECT_EQ(sim->OpenDeviceCount(), 0u);
  Play(test, 441);  // late notifications are ignored

  ASSERT_EQ(test.Start(4, MakeWaveFormat(44100, 16), &queue), MMSYSERR_NOERROR);
  Play(test, 441);
  sim->LoseDevice(WaveKind::Out, 4, "No such device (ENODEV)");
  std::string reason;
  EXPECT_TRUE(Play(test, 441, &reason));
  EXPECT_EQ(reason, "No such device (ENODEV)");
  EXPECT_FALSE(test.Playing());
  EXPECT_EQ(sim->OpenDeviceCount(), 0u);

  // An open that fails plays nothing and says why.
  EXPECT_EQ(test.Start(9, MakeWaveFormat(44100, 16), &queue), MMSYSERR_BADDEVICEID);
  EXPECT_FALSE(test.Playing());
}

}  // namespace
}  // namespace tessival
