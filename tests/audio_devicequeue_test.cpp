// The queue every driver shares: the program's side (prepare, add, the bound on
// playback), the device side's cursors with the dry rule, a long run between two
// threads, and the sample conversions of the float-speaking devices.
#include "audio/DeviceQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "audio/AlsaDriver.h"
#include "audio/FloatSamples.h"
#include "tests/support/WaveBuffers.h"

namespace tessival {
namespace {

using testing::Buffer;

constexpr uint32_t Hdr = sizeof(WAVEHDR);

// Plays everything the cursor gives, max frames at a time, as bytes (silence as zeros);
// the headers finished are appended to done.
std::vector<uint8_t> PlayFrames(PlaybackCursor& c, DeviceQueue& q, uint32_t frames, uint32_t max,
                                std::vector<WAVEHDR*>* done) {
  std::vector<uint8_t> out;
  while (frames > 0) {
    const uint8_t* p = nullptr;
    const uint32_t n = c.Next(q, std::min(frames, max), &p);
    if (n == 0) break;
    if (p != nullptr) {
      out.insert(out.end(), p, p + n * q.FrameBytes());
    } else {
      out.insert(out.end(), n * q.FrameBytes(), 0);
    }
    if (WAVEHDR* h = c.Played(q, n)) done->push_back(h);
    frames -= n;
  }
  return out;
}

TEST(DeviceQueue, PlaybackCopiesWritesInOrderAndSkipsAWriteBeyondPreparedPlusOne) {
  DeviceQueue q(WaveKind::Out, 4);
  Buffer a(8, 0), b(8, 1);  // two frames each
  bool skipped = false;
  EXPECT_EQ(q.Add(&a.Header, Hdr, &skipped), WAVERR_UNPREPARED);
  EXPECT_EQ(q.Prepare(&a.Header, 8), MMSYSERR_INVALPARAM);
  Buffer tooShort(3, 2);
  EXPECT_EQ(q.Prepare(&tooShort.Header, Hdr), MMSYSERR_INVALPARAM);
  ASSERT_EQ(q.Prepare(&a.Header, Hdr), MMSYSERR_NOERROR);
  ASSERT_EQ(q.Prepare(&b.Header, Hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED);

  // Each write is copied: the program rewrites its buffer at once.
  for (auto [x, v] : {std::pair{&a, 1}, {&b, 2}, {&a, 3}}) {
    std::fill(x->Data.begin(), x->Data.end(), static_cast<uint8_t>(v));
    ASSERT_EQ(q.Add(&x->Header, Hdr, &skipped), MMSYSERR_NOERROR);
    EXPECT_FALSE(skipped);
    std::fill(x->Data.begin(), x->Data.end(), 0xEE);
  }
  EXPECT_EQ(q.Add(&b.Header, Hdr, &skipped), MMSYSERR_NOERROR);  // a fourth: kept out, done at once
  EXPECT_TRUE(skipped);
  EXPECT_EQ(q.Size(), 3u);
  EXPECT_EQ(q.SkippedBlocks(), 1u);
  EXPECT_EQ(q.MaxQueued(), 3u);
  EXPECT_EQ(q.Unprepare(&a.Header, Hdr), WAVERR_STILLPLAYING);
  EXPECT_EQ(a.Header.dwFlags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);

  PlaybackCursor c;
  std::vector<WAVEHDR*> done;
  const std::vector<uint8_t> played = PlayFrames(c, q, 6, 3, &done);
  std::vector<uint8_t> want;
  for (uint8_t v : {1, 2, 3}) want.insert(want.end(), 8, v);
  EXPECT_EQ(played, want);
  EXPECT_EQ(done, (std::vector<WAVEHDR*>{&a.Header, &b.Header, &a.Header}));
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(q.Unprepare(&a.Header, Hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(a.Header.dwFlags & WHDR_PREPARED, 0u);
  EXPECT_EQ(q.PreparedCount(), 1u);
}

TEST(DeviceQueue, CaptureFillsHeadersInPlaceOnceEachAndAResetReportsWhatWasRecorded) {
  DeviceQueue q(WaveKind::In, 4);
  std::vector<Buffer> bufs;
  for (uintptr_t k = 0; k < 3; ++k) bufs.emplace_back(12, k);  // three frames each
  bool skipped = false;
  for (Buffer& b : bufs) {
    ASSERT_EQ(q.Prepare(&b.Header, Hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(q.Add(&b.Header, Hdr, &skipped), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(q.Add(&bufs[0].Header, Hdr, &skipped), WAVERR_STILLPLAYING);
  EXPECT_EQ(q.LargestFrames(), 3u);

  CaptureCursor c;
  uint8_t* p = nullptr;
  ASSERT_EQ(c.Next(q, 2, &p), 2u);  // two frames, then one more fills buffer 0
  EXPECT_EQ(p, bufs[0].Data.data());
  std::memset(p, 7, 8);
  EXPECT_EQ(c.Filled(q, 2), nullptr);
  ASSERT_EQ(c.Next(q, 5, &p), 1u);
  std::memset(p, 7, 4);
  EXPECT_EQ(c.Filled(q, 1), &bufs[0].Header);
  EXPECT_EQ(bufs[0].Header.dwBytesRecorded, 12u);
  EXPECT_EQ(bufs[0].Data, std::vector<uint8_t>(12, 7));
  ASSERT_EQ(c.Next(q, 2, &p), 2u);
  EXPECT_EQ(c.Filled(q, 2), nullptr);

  // A reset: the buffer begun gives back what it holds, the rest nothing, in order.
  std::vector<WAVEHDR*> back;
  q.ReturnAll(c.Offset(), [&](WAVEHDR* h) { back.push_back(h); });
  c.Reset();
  EXPECT_EQ(back, (std::vector<WAVEHDR*>{&bufs[1].Header, &bufs[2].Header}));
  EXPECT_EQ(bufs[1].Header.dwBytesRecorded, 8u);
  EXPECT_EQ(bufs[2].Header.dwBytesRecorded, 0u);
  EXPECT_EQ(c.Next(q, 5, &p), 0u);  // nothing queued: the frames would be lost
  EXPECT_EQ(bufs[2].Header.dwFlags, WHDR_PREPARED | WHDR_DONE);
}

TEST(DeviceQueue, ADryOutputPlaysSilenceThenOwesABlockBeforeTheNextBuffer) {
  DeviceQueue q(WaveKind::Out, 4);
  Buffer a(8, 0), b(12, 1);
  std::fill(a.Data.begin(), a.Data.end(), 0xA);
  std::fill(b.Data.begin(), b.Data.end(), 0xB);
  bool skipped = false;
  ASSERT_EQ(q.Prepare(&a.Header, Hdr), 0u);
  ASSERT_EQ(q.Prepare(&b.Header, Hdr), 0u);
  PlaybackCursor c;
  std::vector<WAVEHDR*> done;
  EXPECT_TRUE(PlayFrames(c, q, 10, 4, &done).empty());  // never played: idle, not dry
  EXPECT_EQ(c.UnderrunEvents(), 0u);

  ASSERT_EQ(q.Add(&a.Header, Hdr, &skipped), 0u);
  std::vector<uint8_t> out = PlayFrames(c, q, 2, 4, &done);
  for (uint32_t frames : {3u, 2u}) {  // dry: one underrun however long it lasts
    const std::vector<uint8_t> more = PlayFrames(c, q, frames, 4, &done);
    out.insert(out.end(), more.begin(), more.end());
  }
  EXPECT_EQ(c.UnderrunEvents(), 1u);
  EXPECT_EQ(c.UnderrunFrames(), 5u);
  ASSERT_EQ(q.Add(&b.Header, Hdr, &skipped), 0u);
  const std::vector<uint8_t> tail = PlayFrames(c, q, 6, 4, &done);  // three silent frames, then b
  out.insert(out.end(), tail.begin(), tail.end());
  std::vector<uint8_t> want(8, 0xA);
  want.insert(want.end(), 8 * 4, 0);
  want.insert(want.end(), 12, 0xB);
  EXPECT_EQ(out, want);
  EXPECT_EQ(c.UnderrunEvents(), 1u);
  EXPECT_EQ(c.UnderrunFrames(), 8u);
  EXPECT_EQ(done, (std::vector<WAVEHDR*>{&a.Header, &b.Header}));
  c.Reset();
  EXPECT_TRUE(PlayFrames(c, q, 10, 4, &done).empty());  // idle again after a reset
}

// A device that stops by itself when it runs dry (ALSA) is told so; the buffer that came
// too late, alone in the queue, is played after a block of silence.
TEST(DeviceQueue, ADeviceThatStopsWhenDryOwesSilenceOnlyForABufferThatCameAlone) {
  DeviceQueue q(WaveKind::Out, 4);
  Buffer a(8, 0), b(8, 1);
  bool skipped = false;
  ASSERT_EQ(q.Prepare(&a.Header, Hdr), 0u);
  ASSERT_EQ(q.Prepare(&b.Header, Hdr), 0u);
  PlaybackCursor c(/*fillsWhenDry=*/false);
  std::vector<WAVEHDR*> done;
  ASSERT_EQ(q.Add(&a.Header, Hdr, &skipped), 0u);
  EXPECT_EQ(PlayFrames(c, q, 8, 8, &done).size(), 8u);
  EXPECT_TRUE(PlayFrames(c, q, 8, 8, &done).empty());  // nothing queued: nothing given, no silence
  ASSERT_EQ(q.Add(&a.Header, Hdr, &skipped), 0u);
  c.RanDry(q);
  c.CountSilence(100);  // what the device played by itself meanwhile
  EXPECT_EQ(PlayFrames(c, q, 4, 8, &done), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(c.UnderrunEvents(), 1u);
  EXPECT_EQ(c.UnderrunFrames(), 102u);
  // With more than the late buffer queued, nothing is owed.
  std::fill(b.Data.begin(), b.Data.end(), 0xB);
  ASSERT_EQ(q.Add(&b.Header, Hdr, &skipped), 0u);
  ASSERT_EQ(q.Add(&b.Header, Hdr, &skipped), 0u);
  c.RanDry(q);
  EXPECT_EQ(PlayFrames(c, q, 4, 8, &done), std::vector<uint8_t>(16, 0xB));
  EXPECT_EQ(c.UnderrunFrames(), 102u);
  EXPECT_EQ(c.UnderrunEvents(), 2u);
}

// A device thread captures consecutive frame numbers into blocks and plays what the
// program thread writes back, in periods of random length; the program thread gets each
// full block through a ring, checks it and writes it to the output. Over 100,000
// blocks nothing is lost, repeated or reordered: the output is the silence queued at
// the start, then every block in order, with the silence of counted underruns and the
// gaps of counted skips only. (Capture takes what the queued buffers hold: the numbers
// count captured frames, so a capture device without buffers loses none here.)
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t TotalBlocks = 10000;  // ThreadSanitizer: 4 s alone for 100,000, 45 s in a busy suite
#else
constexpr uint64_t TotalBlocks = 100000;
#endif

TEST(DeviceQueue, NoFrameIsLostOrReorderedOverAHundredThousandBlocksBetweenTwoThreads) {
  std::mt19937 random(20240611);
  uint64_t blocksDone = 0;
  for (const auto& [block, longestPeriod] : {std::pair{64u, 7u}, {17u, 60u}, {48u, 48u}, {5u, 300u}}) {
    SCOPED_TRACE(block);
    constexpr uint32_t Align = 8;
    constexpr int Buffers = 3;
    constexpr uint64_t Blocks = TotalBlocks / 4;
    DeviceQueue in(WaveKind::In, Align), out(WaveKind::Out, Align);
    std::vector<Buffer> ins, outs;
    for (int k = 0; k < Buffers; ++k) {
      ins.emplace_back(block * Align, k);
      outs.emplace_back(block * Align, k);
    }
    bool skipped = false;
    for (int k = 0; k < Buffers; ++k) {
      ASSERT_EQ(in.Prepare(&ins[k].Header, Hdr), 0u);
      ASSERT_EQ(out.Prepare(&outs[k].Header, Hdr), 0u);
      ASSERT_EQ(in.Add(&ins[k].Header, Hdr, &skipped), 0u);
      ASSERT_EQ(out.Add(&outs[k].Header, Hdr, &skipped), 0u);  // silence first, as at a start
    }
    SpscRing<WAVEHDR*, 64> filled;
    std::atomic<bool> stop{false};
    // Each side sleeps while the other owes it work: a device spinning on silence while
    // the program thread waits for a core grows `played` without bound on a busy machine.
    std::atomic<uint32_t> added{0}, pushed{0};
    std::vector<int32_t> played;  // the left samples, in order (device thread only until joined)
    played.reserve((Blocks + Buffers + 8) * block + 4096);
    PlaybackCursor cursor;
    std::thread device([&, seed = random()] {
      std::mt19937 r(seed);
      CaptureCursor capture;
      uint32_t next = 1;
      std::vector<uint8_t> silence(longestPeriod * Align, 0);
      while (!stop.load(std::memory_order_acquire)) {
        if (in.Front() == nullptr && out.Size() == 0) {  // nothing to fill or play
          const uint32_t seen = added.load(std::memory_order_acquire);
          if (in.Front() == nullptr && out.Size() == 0 && !stop.load(std::memory_order_acquire))
            added.wait(seen, std::memory_order_acquire);
          continue;
        }
        uint32_t frames = 1 + r() % longestPeriod;
        for (uint32_t done = 0; done < frames;) {
          uint8_t* p = nullptr;
          const uint32_t n = capture.Next(in, frames - done, &p);
          if (n == 0) break;
          for (uint32_t f = 0; f < n; ++f, ++next) {
            const int32_t left = static_cast<int32_t>(next), right = ~left;
            std::memcpy(p + f * Align, &left, 4);
            std::memcpy(p + f * Align + 4, &right, 4);
          }
          if (WAVEHDR* h = capture.Filled(in, n)) {
            while (!filled.Push(h)) std::this_thread::yield();
            pushed.fetch_add(1, std::memory_order_release);
            pushed.notify_one();
          }
          done += n;
        }
        while (frames > 0) {
          const uint8_t* p = nullptr;
          const uint32_t n = cursor.Next(out, frames, &p);
          for (uint32_t f = 0; f < n; ++f) {
            int32_t left = 0;
            if (p != nullptr) std::memcpy(&left, p + f * Align, 4);
            played.push_back(left);
          }
          cursor.Played(out, n);
          frames -= n;
        }
        if (frames > 0) std::this_thread::yield();
      }
    });
    // The program thread: each full block is checked, queued again and written out.
    uint32_t expect = 1;
    for (uint64_t b = 0; b < Blocks;) {
      WAVEHDR* h = nullptr;
      const uint32_t seen = pushed.load(std::memory_order_acquire);
      if (!filled.Pop(&h)) {
        pushed.wait(seen, std::memory_order_acquire);
        continue;
      }
      const int k = static_cast<int>(h->dwUser);
      ASSERT_EQ(h, &ins[k].Header);
      ASSERT_EQ(h->dwBytesRecorded, block * Align);
      for (uint32_t f = 0; f < block; ++f, ++expect) {
        int32_t left = 0, right = 0;
        std::memcpy(&left, ins[k].Data.data() + f * Align, 4);
        std::memcpy(&right, ins[k].Data.data() + f * Align + 4, 4);
        ASSERT_EQ(left, static_cast<int32_t>(expect));
        ASSERT_EQ(right, ~left);
      }
      std::memcpy(outs[k].Data.data(), ins[k].Data.data(), block * Align);
      ASSERT_EQ(in.Add(h, Hdr, &skipped), 0u);
      ASSERT_EQ(out.Add(&outs[k].Header, Hdr, &skipped), 0u);
      added.fetch_add(1, std::memory_order_release);
      added.notify_one();
      ++b;
    }
    for (int wait = 0; out.Size() > 0 && wait < 5000000; ++wait) std::this_thread::yield();
    stop.store(true, std::memory_order_release);
    added.fetch_add(1, std::memory_order_release);
    added.notify_one();
    device.join();
    ASSERT_EQ(out.Size(), 0u);

    // Silence: the three buffers of the start, then the underruns' own.
    uint64_t silent = 0, frame = 0, missing = 0;
    int32_t last = 0;
    for (int32_t v : played) {
      if (v == 0) {
        ++silent;
        continue;
      }
      if (v != last + 1) {
        ASSERT_GT(v, last + 1) << "a frame repeated or out of order at " << frame;
        ASSERT_EQ((v - last - 1) % block, 0u) << "only whole blocks may be missing";
        missing += (v - last - 1) / block;
      }
      last = v;
      ++frame;
    }
    EXPECT_EQ(silent, Buffers * block + cursor.UnderrunFrames());
    missing += Blocks - static_cast<uint64_t>(last) / block;  // skipped at the end
    EXPECT_EQ(missing, out.SkippedBlocks());
    EXPECT_EQ(frame, (Blocks - missing) * block);
    blocksDone += Blocks;
  }
  EXPECT_EQ(blocksDone, TotalBlocks);
}

TEST(FloatSamples, SixteenBitValuesAndFloatExactThirtyTwoBitValuesGoThereAndBackUnchanged) {
  std::vector<uint8_t> bytes(65536 * 2);
  for (int v = -32768; v < 32768; ++v) {
    bytes[2 * (v + 32768)] = static_cast<uint8_t>(v);
    bytes[2 * (v + 32768) + 1] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> 8);
  }
  std::vector<float> floats(65536);
  SamplesToFloats(bytes.data(), 2, 16, floats.data(), 1, floats.size());
  EXPECT_EQ(floats[0], -1.0f);
  EXPECT_EQ(floats[32768], 0.0f);
  EXPECT_EQ(floats[32769], 1.0f / 32768);
  std::vector<uint8_t> back(bytes.size());
  FloatsToSamples(floats.data(), 1, 16, back.data(), 2, floats.size());
  EXPECT_EQ(back, bytes);

  // 32 bits: every value of 24 significant bits (all the engine writes), and the extremes.
  std::mt19937 r(7);
  std::vector<int32_t> values = {INT32_MIN, INT32_MAX, 0, 1, -1, (1 << 24) + 2, -(1 << 30) - 128};
  for (int i = 0; i < 10000; ++i) {
    const int shift = static_cast<int>(r() % 8);
    values.push_back(static_cast<int32_t>(static_cast<int32_t>(r()) >> 8) * (1 << shift));
  }
  std::vector<float> f(values.size());
  SamplesToFloats(reinterpret_cast<const uint8_t*>(values.data()), 4, 32, f.data(), 1, values.size());
  std::vector<int32_t> again(values.size());
  FloatsToSamples(f.data(), 1, 32, reinterpret_cast<uint8_t*>(again.data()), 4, f.size());
  EXPECT_EQ(again, values);  // INT32_MAX is 2^31 as a float, and saturates back
}

TEST(FloatSamples, FloatsSaturateRoundHalfToEvenAndNaNIsSilence) {
  const float in[] = {1.0f, 7.0f, -1.0f, -3.0f, 0.5f / 32768, 1.5f / 32768, -2.5f / 32768,
                      std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
  int16_t s16[9];
  FloatsToSamples(in, 1, 16, reinterpret_cast<uint8_t*>(s16), 2, 9);
  EXPECT_EQ(std::vector<int16_t>(s16, s16 + 9), (std::vector<int16_t>{32767, 32767, -32768, -32768, 0, 2, -2, 0, 32767}));
  int32_t s32[9];
  FloatsToSamples(in, 1, 32, reinterpret_cast<uint8_t*>(s32), 4, 9);
  EXPECT_EQ(s32[0], INT32_MAX);
  EXPECT_EQ(s32[3], INT32_MIN);
  EXPECT_EQ(s32[7], 0);
  // Interleaved left and right: strides pick one channel out of frames.
  const int16_t frames[] = {100, -100, 200, -200};
  float left[2];
  SamplesToFloats(reinterpret_cast<const uint8_t*>(frames) + 2, 4, 16, left, 1, 2);
  EXPECT_EQ(left[0], -100.0f / 32768);
  EXPECT_EQ(left[1], -200.0f / 32768);
}

TEST(AlsaBuffer, CaptureIsLongAndPlaybackGrowsWithTheBlockWithinBounds) {
  const AlsaBufferSize capture = ChooseAlsaBuffer(WaveKind::In, 257, 48000);
  EXPECT_EQ(capture.PeriodFrames, 480u);
  EXPECT_EQ(capture.BufferFrames, 12000u);
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 0, 48000).BufferFrames, 1920u);      // not known yet: 40 ms
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 257, 48000).BufferFrames, 1920u);    // a short block: 40 ms
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 4097, 48000).BufferFrames, 4097u);   // one block
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 16385, 48000).BufferFrames, 12000u); // 250 ms at most
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 16385, 96000).BufferFrames, 16385u);
  EXPECT_EQ(ChooseAlsaBuffer(WaveKind::Out, 1, 8000).PeriodFrames, 80u);
}

}  // namespace
}  // namespace tessival
