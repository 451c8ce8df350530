// A small harness on the zita-convolver library for the peer comparison
// (bench/peers.sh): the same work as tessival-render, partitioned.
//
//   zita_convolve [-M] INPUT.wav BANKSTEM C PARTITION OUTDIR [MAXPART]
//
// Reads the stereo INPUT and the filters BANKSTEM1.wav .. BANKSTEMC.wav (two channels:
// left-input and right-input filter of output channel ch) and writes OUTDIR/out0.wav ..
// (stereo 16-bit, input length + M - 1 frames) as tessival-render does, in the library's
// vector mode (its SIMD multiply-accumulate). -M measures the FFT plans.
// Without MAXPART: one partition level of PARTITION frames (64 to 8192), so that every
// block is computed in the calling thread. With it: the library's non-uniform scheme as
// jconvolver runs live, a quantum and smallest partition of PARTITION frames and
// partitions growing up to MAXPART (at most 8192), the larger ones in the library's
// worker threads; each call waits for the results it needs, as an offline run must.
// The harness pauses 0.1 s after starting the library's threads: with every thread on
// one CPU, blocks processed before the threads reach their first wait came out wrong
// (seen in one run of two). The pause shows in the wall time, not in the CPU time.
#include <immintrin.h>
#include <sched.h>
#include <unistd.h>
#include <sndfile.h>
#include <zita-convolver.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "zita_convolve: %s\n", text.c_str());
  std::exit(1);
}

// Full scale 1.0 to 16 bits, rounded to nearest, held to the range; no branches.
inline int16_t ToInt16(float v) {
  const __m128 s = _mm_mul_ss(_mm_set_ss(v), _mm_set_ss(32768.0f));
  return static_cast<int16_t>(
      _mm_cvtss_si32(_mm_min_ss(_mm_max_ss(s, _mm_set_ss(-32768.0f)), _mm_set_ss(32767.0f))));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  bool measure = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-M") == 0)
      measure = true;
    else
      args.emplace_back(argv[i]);
  }
  if (args.size() != 5 && args.size() != 6) Die("usage: zita_convolve [-M] INPUT.wav BANKSTEM C PARTITION OUTDIR [MAXPART]");
  const int c = std::atoi(args[2].c_str());
  const int part = std::atoi(args[3].c_str());
  const int maxPart = args.size() == 6 ? std::atoi(args[5].c_str()) : part;
  if (c < 1 || c > 10) Die("C must be 1 to 10");
  const auto start = std::chrono::steady_clock::now();

  SF_INFO info{};
  SNDFILE* in = sf_open(args[0].c_str(), SFM_READ, &info);
  if (!in || info.channels != 2) Die(args[0] + ": needs a stereo file");
  const int64_t frames = info.frames;

  std::vector<std::vector<float>> taps(2 * c);
  int32_t m = 1;
  for (int ch = 0; ch < c; ++ch) {
    const std::string path = args[1] + std::to_string(ch + 1) + ".wav";
    SF_INFO fi{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &fi);
    if (!f || fi.channels != 2) Die(path + ": needs a two-channel file");
    std::vector<float> both(2 * static_cast<size_t>(fi.frames));
    if (sf_readf_float(f, both.data(), fi.frames) != fi.frames) Die(path + ": short read");
    sf_close(f);
    for (int i = 0; i < 2; ++i) {
      taps[2 * ch + i].resize(fi.frames);
      for (int64_t t = 0; t < fi.frames; ++t) taps[2 * ch + i][t] = both[2 * t + i];
    }
    m = std::max<int32_t>(m, static_cast<int32_t>(fi.frames));
  }

  Convproc conv;
  conv.set_options(Convproc::OPT_VECTOR_MODE | (measure ? Convproc::OPT_FFTW_MEASURE : 0));
  if (conv.configure(2, c, m, part, part, maxPart, 0.0f)) Die("configure failed (partitions 64 to 8192?)");
  for (int ch = 0; ch < c; ++ch)
    for (int i = 0; i < 2; ++i) {
      std::vector<float>& t = taps[2 * ch + i];
      conv.impdata_create(i, ch, 1, t.data(), 0, static_cast<int32_t>(t.size()));
    }
  if (conv.start_process(0, SCHED_OTHER)) Die("start_process failed");
  if (maxPart > part) usleep(100000);  // see above

  const int devices = (c + 1) / 2;
  std::vector<SNDFILE*> outs(devices);
  for (int d = 0; d < devices; ++d) {
    const std::string path = args[4] + "/out" + std::to_string(d) + ".wav";
    SF_INFO oi{};
    oi.samplerate = info.samplerate;
    oi.channels = 2;
    oi.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    outs[d] = sf_open(path.c_str(), SFM_WRITE, &oi);
    if (!outs[d]) Die(path + ": " + sf_strerror(nullptr));
  }

  const int64_t total = frames + m - 1;
  std::vector<int16_t> pcm(2 * static_cast<size_t>(part));
  std::vector<float> input(2 * static_cast<size_t>(part));
  long late = 0;  // blocks in which a level was late
  for (int64_t pos = 0; pos < total; pos += part) {
    float* l = conv.inpdata(0);
    float* r = conv.inpdata(1);
    int have = 0;
    if (pos < frames) have = static_cast<int>(std::max<sf_count_t>(0, sf_readf_float(in, input.data(), part)));
    const float* src = input.data();
    for (int j = 0; j < have; ++j) {
      l[j] = src[2 * j];
      r[j] = src[2 * j + 1];
    }
    std::fill(l + have, l + part, 0.0f);
    std::fill(r + have, r + part, 0.0f);
    if (conv.process(true) & Convproc::FL_LATE) ++late;
    const int keep = static_cast<int>(std::min<int64_t>(part, total - pos));
    for (int d = 0; d < devices; ++d) {
      const float* ol = conv.outdata(2 * d);
      const float* orr = 2 * d + 1 < c ? conv.outdata(2 * d + 1) : nullptr;
      for (int j = 0; j < keep; ++j) {
        pcm[2 * j] = ToInt16(ol[j]);
        pcm[2 * j + 1] = orr ? ToInt16(orr[j]) : 0;
      }
      if (sf_writef_short(outs[d], pcm.data(), keep) != keep) Die("write failed");
    }
  }
  sf_close(in);
  conv.stop_process();
  conv.cleanup();
  for (SNDFILE* f : outs) sf_close(f);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "zita_convolve: C %d, M %d, partitions %d to %d, %.3f s, %ld late blocks\n", c, m, part, maxPart, seconds, late);
  return 0;
}
