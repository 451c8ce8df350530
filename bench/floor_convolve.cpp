// The floor for the peer comparison (bench/peers.sh): the least work an overlap-save
// convolver with Tessival's sizes can do. Per block: the new input frames read and split
// into the two transform frames (after the M - 1 kept ones), then exactly 2 forward and
// C inverse real transforms of L points and the spectral multiply-accumulate, nothing
// else; before the blocks it reads and transforms the filters, as any convolver must.
// Nothing is written unless --out is given (for the agreement check).
//
//   floor_convolve INPUT.wav BANKSTEM C [--out PATH.raw]
//
// The filters are BANKSTEM1.wav .. BANKSTEMC.wav (two channels each); M is the longest.
// Plans come from Tessival's FFT wisdom ($XDG_CACHE_HOME/Tessival/fftwf-wisdom) when it
// holds them, so both programs run the same transforms; otherwise they are measured with
// the same time limit. --out writes the C output channels as raw interleaved floats at
// full scale 1.0, input length + M - 1 frames.
#include <fftw3.h>
#include <immintrin.h>
#include <sndfile.h>
#include <sys/mman.h>

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
  SplitPlain(in + 2 * j, l + j, r + j, n - j);
}

std::string WisdomPath() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache) return std::string(cache) + "/Tessival/fftwf-wisdom";
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + "/.cache/Tessival/fftwf-wisdom" : std::string();
}

fftwf_plan Plan(bool forward, int n, float* buf) {
  auto* spec = reinterpret_cast<fftwf_complex*>(buf);
  for (unsigned flags : {FFTW_MEASURE | FFTW_WISDOM_ONLY, unsigned{FFTW_MEASURE}}) {
    if (flags == FFTW_MEASURE) fftwf_set_timelimit(1.5);
    fftwf_plan p = forward ? fftwf_plan_dft_r2c_1d(n, buf, spec, flags) : fftwf_plan_dft_c2r_1d(n, spec, buf, flags);
    if (p) return p;
  }
  Die("FFTW could not plan " + std::to_string(n) + " points");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  std::string outPath;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
      outPath = argv[++i];
    else
      args.emplace_back(argv[i]);
  }
  if (args.size() != 3) Die("usage: floor_convolve INPUT.wav BANKSTEM C [--out PATH.raw]");
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
  float* y = Alloc(l + 2);
  const fftwf_plan fwd = Plan(true, l, x[0]);
  const fftwf_plan inv = Plan(false, l, y);

  std::vector<float*> h(2 * c);
  for (int ch = 0; ch < c; ++ch) {
    for (int i = 0; i < 2; ++i) {
      float* s = h[2 * ch + i] = Alloc(l + 2);
      std::memset(s, 0, (l + 2) * sizeof(float));
      const int64_t len = static_cast<int64_t>(taps[ch].size() / 2);
      for (int64_t t = 0; t < len; ++t) s[t] = taps[ch][2 * t + i];
      fftwf_execute_dft_r2c(fwd, s, reinterpret_cast<fftwf_complex*>(s));
    }
  }

  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const auto mac = avx2 ? MultiplyAdd2Avx2 : MultiplyAdd2Plain;
  const auto split = avx2 ? SplitAvx2 : SplitPlain;
  std::FILE* out = outPath.empty() ? nullptr : std::fopen(outPath.c_str(), "wb");
  if (!outPath.empty() && !out) Die(outPath + ": cannot write");
  std::vector<float> block(out ? static_cast<size_t>(n) * c : 0);
  const float scale = 1.0f / (static_cast<float>(l) * 32768.0f);

  for (int64_t b = 0; b < blocks; ++b) {
    // The transforms work in place, so the last M - 1 frames are kept aside.
    sf_count_t got = sf_readf_short(in, pcm.data(), n);
    if (got < 0) got = 0;
    std::memset(pcm.data() + 2 * got, 0, (n - got) * 2 * sizeof(int16_t));
    for (int i = 0; i < 2; ++i) std::memcpy(x[i], history[i], (m - 1) * sizeof(float));
    split(pcm.data(), x[0] + m - 1, x[1] + m - 1, n);
    for (int i = 0; i < 2; ++i) {
      std::memcpy(history[i], x[i] + n, (m - 1) * sizeof(float));
      fftwf_execute_dft_r2c(fwd, x[i], reinterpret_cast<fftwf_complex*>(x[i]));
    }
    for (int ch = 0; ch < c; ++ch) {
      mac(x[0], h[2 * ch], x[1], h[2 * ch + 1], y, bins);
      fftwf_execute_dft_c2r(inv, reinterpret_cast<fftwf_complex*>(y), y);
      if (out)
        for (int32_t j = 0; j < n; ++j) block[static_cast<size_t>(j) * c + ch] = y[m - 1 + j] * scale;
    }
    if (out) {
      const int64_t keep = std::min<int64_t>(n, outFrames - b * n);
      if (std::fwrite(block.data(), sizeof(float) * c, keep, out) != static_cast<size_t>(keep)) Die(outPath + ": write failed");
    }
  }
  if (out && std::fclose(out) != 0) Die(outPath + ": write failed");
  sf_close(in);

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "floor_convolve: C %d, M %d, L %d, N %d, %lld blocks, %.3f s\n", c, m, l, n,
               static_cast<long long>(blocks), seconds);
  return 0;
}
