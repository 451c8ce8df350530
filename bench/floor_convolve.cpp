// The floor for the peer comparison (bench/peers.sh): the least work an overlap-save
// convolver with Tessival's sizes does for the same job. Per block: the new input frames
// read and split into the two transform frames (after the M - 1 kept ones), exactly 2
// forward and C inverse real transforms of L points and the spectral multiply-accumulate,
// and the valid samples rounded to 16 bits and handed to buffered files; before the
// blocks it reads and transforms the filters, as any convolver must.
//
//   floor_convolve INPUT.wav BANKSTEM C OUTDIR
//
// The filters are BANKSTEM1.wav .. BANKSTEMC.wav (two channels each); M is the longest.
// Writes OUTDIR/out0.raw .. (raw 16-bit stereo, one per output pair, input length +
// M - 1 frames). Plans come from Tessival's FFT wisdom ($XDG_CACHE_HOME/Tessival/
// fftwf-wisdom) when it holds them, so both programs run the same transforms; otherwise
// they are measured with the same time limit.
#include <fftw3.h>
#include <immintrin.h>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Engine.h"

namespace {

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "floor_convolve: %s\n", text.c_str());
  std::exit(1);
}

// Buffers as the engine takes them: 64-byte aligned, and from 2 MB on, on huge pages.
float* Alloc(size_t floats) {
  constexpr size_t huge = size_t{2} << 20;
  const size_t bytes = (floats * sizeof(float) + 63) & ~size_t{63};
  float* p = static_cast<float*>(bytes < huge ? std::aligned_alloc(64, bytes)
                                              : std::aligned_alloc(huge, (bytes + huge - 1) & ~(huge - 1)));
  if (!p) Die("out of memory");
  if (bytes >= huge) ::madvise(p, bytes & ~(huge - 1), MADV_HUGEPAGE);
  return p;
}

void MultiplyAdd2Plain(const float* __restrict x0, const float* __restrict h0, const float* __restrict x1,
                       const float* __restrict h1, float* __restrict y, int32_t bins) {
  for (int32_t i = 0; i < bins; ++i) {
    const float ar = x0[2 * i], ai = x0[2 * i + 1], br = h0[2 * i], bi = h0[2 * i + 1];
    const float cr = x1[2 * i], ci = x1[2 * i + 1], dr = h1[2 * i], di = h1[2 * i + 1];
    y[2 * i] = (ar * br - ai * bi) + (cr * dr - ci * di);
    y[2 * i + 1] = (ar * bi + ai * br) + (cr * di + ci * dr);
  }
}

__attribute__((target("avx2,fma"))) void MultiplyAdd2Avx2(const float* __restrict x0, const float* __restrict h0,
                                                          const float* __restrict x1, const float* __restrict h1,
                                                          float* __restrict y, int32_t bins) {
  int32_t i = 0;
  for (; i + 4 <= bins; i += 4) {
    const __m256 a = _mm256_load_ps(x0 + 2 * i), b = _mm256_load_ps(h0 + 2 * i);
    const __m256 c = _mm256_load_ps(x1 + 2 * i), d = _mm256_load_ps(h1 + 2 * i);
    __m256 p = _mm256_mul_ps(a, _mm256_moveldup_ps(b));
    p = _mm256_fmadd_ps(c, _mm256_moveldup_ps(d), p);
    __m256 q = _mm256_mul_ps(_mm256_permute_ps(a, 0xB1), _mm256_movehdup_ps(b));
    q = _mm256_fmadd_ps(_mm256_permute_ps(c, 0xB1), _mm256_movehdup_ps(d), q);
    _mm256_store_ps(y + 2 * i, _mm256_addsub_ps(p, q));
  }
  _mm256_zeroupper();  // FFTW's SSE2 code runs next
  MultiplyAdd2Plain(x0 + 2 * i, h0 + 2 * i, x1 + 2 * i, h1 + 2 * i, y + 2 * i, bins - i);
}

void SplitPlain(const int16_t* in, float* l, float* r, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    l[j] = in[2 * j];
    r[j] = in[2 * j + 1];
  }
}

__attribute__((target("avx2"))) void SplitAvx2(const int16_t* in, float* l, float* r, int32_t n) {
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * j));
    _mm256_storeu_ps(l + j, _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(f, 16), 16)));
    _mm256_storeu_ps(r + j, _mm256_cvtepi32_ps(_mm256_srai_epi32(f, 16)));
  }
  _mm256_zeroupper();  // FFTW's SSE2 code runs next
  SplitPlain(in + 2 * j, l + j, r + j, n - j);
}

// Rounds l[j] * scale and r[j] * scale to 16 bits (halves to even, saturating) and
// interleaves them; r may be null (silence).
void ToPcmPlain(const float* l, const float* r, float scale, int16_t* out, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    for (int side = 0; side < 2; ++side) {
      const float* src = side ? r : l;
      float v = src ? src[j] * scale : 0.0f;
      v = v < -32768.0f ? -32768.0f : (v > 32767.0f ? 32767.0f : v);
      out[2 * j + side] = static_cast<int16_t>(_mm_cvtss_si32(_mm_set_ss(v)));
    }
  }
}

__attribute__((target("avx2"))) void ToPcmAvx2(const float* l, const float* r, float scale, int16_t* out,
                                               int32_t n) {
  const __m256 s = _mm256_set1_ps(scale);
  int32_t j = 0;
  if (r) {
    for (; j + 8 <= n; j += 8) {
      const __m256i il = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(l + j), s));
      const __m256i ir = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(r + j), s));
      const __m256i a = _mm256_unpacklo_epi32(il, ir), b = _mm256_unpackhi_epi32(il, ir);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j), _mm256_packs_epi32(a, b));
    }
  }
  _mm256_zeroupper();  // FFTW's SSE2 code runs next
  ToPcmPlain(l + j, r ? r + j : nullptr, scale, out + 2 * j, n - j);
}

std::string WisdomPath() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache) return std::string(cache) + "/Tessival/fftwf-wisdom";
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + "/.cache/Tessival/fftwf-wisdom" : std::string();
}

// A plan between `time` and `spectrum` (the same buffer in place).
fftwf_plan Plan(bool forward, int n, float* time, float* spectrum) {
  auto* packed = reinterpret_cast<fftwf_complex*>(spectrum);
  for (unsigned flags : {FFTW_MEASURE | FFTW_WISDOM_ONLY, unsigned{FFTW_MEASURE}}) {
    if (flags == FFTW_MEASURE) fftwf_set_timelimit(1.5);
    fftwf_plan p = forward ? fftwf_plan_dft_r2c_1d(n, time, packed, flags) : fftwf_plan_dft_c2r_1d(n, packed, time, flags);
    if (p) return p;
  }
  Die("FFTW could not plan " + std::to_string(n) + " points");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) Die("usage: floor_convolve INPUT.wav BANKSTEM C OUTDIR");
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int c = std::atoi(args[2].c_str());
  if (c < 1 || c > 10) Die("C must be 1 to 10");
  const auto start = std::chrono::steady_clock::now();

  // Input: 16-bit stereo, read block by block as integer-valued floats.
  SF_INFO info{};
  SNDFILE* in = sf_open(args[0].c_str(), SFM_READ, &info);
  if (!in || info.channels != 2) Die(args[0] + ": needs a stereo file");
  const int64_t frames = info.frames;

  // Filters.
  std::vector<std::vector<float>> taps(c);
  int32_t m = 1;
  for (int ch = 0; ch < c; ++ch) {
    const std::string path = args[1] + std::to_string(ch + 1) + ".wav";
    SF_INFO fi{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &fi);
    if (!f || fi.channels != 2) Die(path + ": needs a two-channel file");
    taps[ch].resize(2 * static_cast<size_t>(fi.frames));
    if (sf_readf_float(f, taps[ch].data(), fi.frames) != fi.frames) Die(path + ": short read");
    sf_close(f);
    if (fi.frames > m) m = static_cast<int32_t>(fi.frames);
  }
  const tessival::EngineSizes sizes = tessival::SizesForFilterLength(m);
  const int32_t l = sizes.FFTLength, n = sizes.BlockLength, bins = l / 2 + 1;

  const int64_t outFrames = frames + m - 1;
  const int64_t blocks = (outFrames + n - 1) / n;

  if (!fftwf_import_wisdom_from_filename(WisdomPath().c_str())) fftwf_forget_wisdom();
  float* x[2] = {Alloc(l + 2), Alloc(l + 2)};
  float* history[2] = {Alloc(m), Alloc(m)};
  std::memset(history[0], 0, m * sizeof(float));
  std::memset(history[1], 0, m * sizeof(float));
  std::vector<int16_t> pcm(2 * static_cast<size_t>(n));
  // Out of place up to 65536 points, in place above, as the engine runs them (the
  // faster way on each side). Out of place the spectra go to xs and the inverse
  // transforms from one spectrum buffer into the pair's time buffers.
  const bool outOfPlace = l <= (1 << 16);
  float* y[2] = {Alloc(l + 2), Alloc(l + 2)};  // the two channels of an output pair
  float* xs[2] = {x[0], x[1]};
  float* ys = nullptr;
  if (outOfPlace) {
    xs[0] = Alloc(l + 2);
    xs[1] = Alloc(l + 2);
    ys = Alloc(l + 2);
  }
  const fftwf_plan fwd = Plan(true, l, x[0], xs[0]);
  const fftwf_plan inv = outOfPlace ? Plan(false, l, y[0], ys) : Plan(false, l, y[0], y[0]);

  std::vector<float*> h(2 * c);
  for (int ch = 0; ch < c; ++ch) {
    for (int i = 0; i < 2; ++i) {
      float* s = h[2 * ch + i] = Alloc(l + 2);
      std::memset(s, 0, (l + 2) * sizeof(float));
      const int64_t len = static_cast<int64_t>(taps[ch].size() / 2);
      for (int64_t t = 0; t < len; ++t) s[t] = taps[ch][2 * t + i];
      fftwf_execute_dft_r2c(fwd, s, reinterpret_cast<fftwf_complex*>(outOfPlace ? xs[0] : s));
      if (outOfPlace) std::memcpy(s, xs[0], (l + 2) * sizeof(float));
    }
  }

  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const auto mac = avx2 ? MultiplyAdd2Avx2 : MultiplyAdd2Plain;
  const auto split = avx2 ? SplitAvx2 : SplitPlain;
  const auto toPcm = avx2 ? ToPcmAvx2 : ToPcmPlain;
  const int devices = (c + 1) / 2;
  // Each file gets whole blocks, converted in place into a buffer of about 256 kB
  // that goes out in one write when full.
  const int64_t perWrite = std::max<int64_t>(1, (1 << 18) / (4 * static_cast<int64_t>(n))) * n;
  std::vector<int> out(devices);
  std::vector<std::vector<int16_t>> pending(devices, std::vector<int16_t>(2 * perWrite));
  int64_t pendingFrames = 0;
  for (int d = 0; d < devices; ++d) {
    const std::string path = args[3] + "/out" + std::to_string(d) + ".raw";
    if ((out[d] = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)) < 0) Die(path + ": cannot write");
  }
  auto flush = [&] {
    for (int d = 0; d < devices; ++d) {
      const ssize_t bytes = static_cast<ssize_t>(pendingFrames * 4);
      if (::write(out[d], pending[d].data(), bytes) != bytes) Die("write failed");
    }
    pendingFrames = 0;
  };
  const float scale = 1.0f / static_cast<float>(l);

  for (int64_t b = 0; b < blocks; ++b) {
    // The transforms work in place, so the last M - 1 frames are kept aside.
    sf_count_t got = sf_readf_short(in, pcm.data(), n);
    if (got < 0) got = 0;
    std::memset(pcm.data() + 2 * got, 0, (n - got) * 2 * sizeof(int16_t));
    for (int i = 0; i < 2; ++i) std::memcpy(x[i], history[i], (m - 1) * sizeof(float));
    split(pcm.data(), x[0] + m - 1, x[1] + m - 1, n);
    for (int i = 0; i < 2; ++i) {
      std::memcpy(history[i], x[i] + n, (m - 1) * sizeof(float));
      fftwf_execute_dft_r2c(fwd, x[i], reinterpret_cast<fftwf_complex*>(xs[i]));
    }
    const int32_t keep = static_cast<int32_t>(std::min<int64_t>(n, outFrames - b * n));
    for (int ch = 0; ch < c; ++ch) {
      float* yc = y[ch & 1];
      float* spectrum = outOfPlace ? ys : yc;
      mac(xs[0], h[2 * ch], xs[1], h[2 * ch + 1], spectrum, bins);
      fftwf_execute_dft_c2r(inv, reinterpret_cast<fftwf_complex*>(spectrum), yc);
      if (ch % 2 == 1 || ch == c - 1) {
        toPcm(y[0] + m - 1, ch % 2 ? y[1] + m - 1 : nullptr, scale, pending[ch / 2].data() + 2 * pendingFrames,
              keep);
      }
    }
    pendingFrames += keep;
    if (pendingFrames == perWrite || b == blocks - 1) flush();
  }
  for (int f : out)
    if (::close(f) != 0) Die("write failed");
  sf_close(in);

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "floor_convolve: C %d, M %d, L %d, N %d, %lld blocks, %.3f s\n", c, m, l, n,
               static_cast<long long>(blocks), seconds);
  return 0;
}
