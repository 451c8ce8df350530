// Test signals for the peer comparison (bench/peers.sh), and the agreement check.
//
//   floor_signals input PATH SECONDS
//       48 kHz 16-bit stereo noise at about -20 dBFS, two independent channels.
//   floor_signals bank DIR STEM C M
//       C two-channel 32-bit float filters DIR/STEM1.wav .. STEMC.wav of M taps each
//       (decaying noise, 60 dB down at the last tap, each filter at -6 dB power gain),
//       and the same taps as raw mono floats DIR/STEMch_i.raw (ch from 1, i = 0 left
//       input, 1 right input) for tools that read raw coefficients.
//   floor_signals compare FRAMES REF... -- OTHER...
//       Compares the first FRAMES frames of two channel lists. Each list is one or more
//       files whose channels are taken in order: a sound file libsndfile reads, or a
//       raw file given as raw:s16:CHANNELS:PATH or raw:f32:CHANNELS:PATH. A file may be
//       prefixed with lag:FRAMES: to drop its first FRAMES frames. Prints the largest
//       difference in 16-bit steps and the RMS of the reference; exits 1 if the lists
//       differ in channel count. A file shorter than FRAMES (some tools drop the last
//       partial block or the tail) is compared over its length if that is at least
//       95 % of FRAMES.
//   floor_signals reference INPUT DIR STEM C OUTDIR
//       The exact answer, in double precision: every output channel of the bank
//       DIR/STEM1.wav .. STEMC.wav applied to the stereo INPUT (the left input through
//       the file's first channel plus the right input through its second), input length
//       + M - 1 frames, written as raw stereo floats per device: OUTDIR/ref0.f32 .. (an
//       odd last channel beside silence). Compare with raw:f32:2:OUTDIR/refD.f32.
#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int Rate = 48000;

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "floor_signals: %s\n", text.c_str());
  std::exit(2);
}

// xorshift64*: fixed seeds, the same signals on every machine.
struct Random {
  uint64_t s;
  explicit Random(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  double Uniform() {  // [-1, 1)
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return static_cast<double>((s * 2685821657736338717ull) >> 11) / 9007199254740992.0 * 2.0 - 1.0;
  }
  double Gauss() {  // sum of four uniforms: near-normal, bounded
    return (Uniform() + Uniform() + Uniform() + Uniform()) * 0.8660254;
  }
};

void WriteFile(const std::string& path, const void* data, size_t bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data, 1, bytes, f) != bytes || std::fclose(f) != 0) Die(path + ": cannot write");
}

void MakeInput(const std::string& path, double seconds) {
  const int64_t frames = static_cast<int64_t>(seconds * Rate);
  std::vector<int16_t> pcm(2 * frames);
  Random r(1);
  for (int64_t i = 0; i < 2 * frames; ++i) {
    const double v = std::nearbyint(r.Gauss() * 0.1 * 32768.0);
    pcm[i] = static_cast<int16_t>(std::fmax(-32768.0, std::fmin(32767.0, v)));
  }
  SF_INFO info{};
  info.samplerate = Rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) Die(path + ": " + sf_strerror(nullptr));
  if (sf_writef_short(f, pcm.data(), frames) != frames) Die(path + ": " + sf_strerror(f));
  sf_close(f);
}

void MakeBank(const std::string& dir, const std::string& stem, int c, int m) {
  for (int ch = 1; ch <= c; ++ch) {
    std::vector<float> taps[2];
    for (int i = 0; i < 2; ++i) {
      Random r(1000 + 2 * ch + i);
      taps[i].resize(m);
      double power = 0.0;
      for (int t = 0; t < m; ++t) {
        const double v = r.Gauss() * std::exp(-6.9077553 * t / m);  // -60 dB at the end
        taps[i][t] = static_cast<float>(v);
        power += v * v;
      }
      const double g = std::sqrt(0.25 / power);
      for (float& v : taps[i]) v = static_cast<float>(v * g);
      WriteFile(dir + "/" + stem + std::to_string(ch) + "_" + std::to_string(i) + ".raw", taps[i].data(),
                taps[i].size() * sizeof(float));
    }
    std::vector<float> interleaved(2 * static_cast<size_t>(m));
    for (int t = 0; t < m; ++t) {
      interleaved[2 * t] = taps[0][t];
      interleaved[2 * t + 1] = taps[1][t];
    }
    const std::string path = dir + "/" + stem + std::to_string(ch) + ".wav";
    SF_INFO info{};
    info.samplerate = Rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) Die(path + ": " + sf_strerror(nullptr));
    if (sf_writef_float(f, interleaved.data(), m) != m) Die(path + ": " + sf_strerror(f));
    sf_close(f);
  }
}

// One channel list: every channel of every file, as doubles at full scale 1.0.
struct Channels {
  std::vector<std::vector<double>> data;
  std::vector<std::string> names;
};

// Frames to read from a file that has `have` after its lag.
int64_t Usable(const std::string& path, int64_t have, int64_t frames) {
  if (have >= frames) return frames;
  if (have < frames * 95 / 100)
    Die(path + ": " + std::to_string(have) + " frames, fewer than 95 % of " + std::to_string(frames));
  return have;
}

void ReadRaw(const std::string& source, int64_t lag, int64_t frames, Channels& out) {
  // raw:FMT:CHANNELS:PATH
  const size_t a = source.find(':', 4), b = source.find(':', a + 1);
  if (a == std::string::npos || b == std::string::npos) Die(source + ": expected raw:s16|f32:CHANNELS:PATH");
  const std::string fmt = source.substr(4, a - 4);
  const int nch = std::atoi(source.substr(a + 1, b - a - 1).c_str());
  const std::string path = source.substr(b + 1);
  const int width = fmt == "s16" ? 2 : fmt == "f32" ? 4 : 0;
  if (!width || nch < 1) Die(source + ": expected raw:s16|f32:CHANNELS:PATH");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) Die(path + ": cannot open");
  std::fseek(f, 0, SEEK_END);
  const int64_t have = std::ftell(f) / (width * nch) - lag;
  frames = Usable(path, have, frames);
  std::fseek(f, lag * width * nch, SEEK_SET);
  std::vector<uint8_t> bytes(static_cast<size_t>(frames) * width * nch);
  if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) Die(path + ": short read");
  std::fclose(f);
  for (int c = 0; c < nch; ++c) {
    std::vector<double> v(frames);
    for (int64_t j = 0; j < frames; ++j) {
      const uint8_t* p = bytes.data() + (j * nch + c) * width;
      if (width == 2) {
        int16_t s;
        std::memcpy(&s, p, 2);
        v[j] = s / 32768.0;
      } else {
        float s;
        std::memcpy(&s, p, 4);
        v[j] = s;
      }
    }
    out.data.push_back(std::move(v));
    out.names.push_back(path + "#" + std::to_string(c));
  }
}

void ReadSound(const std::string& path, int64_t lag, int64_t frames, Channels& out) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) Die(path + ": " + sf_strerror(nullptr));
  frames = Usable(path, info.frames - lag, frames);
  sf_command(f, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_FALSE);
  if (lag) sf_seek(f, lag, SEEK_SET);
  std::vector<double> buf(static_cast<size_t>(frames) * info.channels);
  if (sf_readf_double(f, buf.data(), frames) != frames) Die(path + ": short read");
  sf_close(f);
  for (int c = 0; c < info.channels; ++c) {
    std::vector<double> v(frames);
    for (int64_t j = 0; j < frames; ++j) v[j] = buf[j * info.channels + c];
    out.data.push_back(std::move(v));
    out.names.push_back(path + "#" + std::to_string(c));
  }
}

void ReadList(const std::vector<std::string>& specs, int64_t frames, Channels& out) {
  for (std::string s : specs) {
    int64_t lag = 0;
    if (s.rfind("lag:", 0) == 0) {
      const size_t c = s.find(':', 4);
      lag = std::atoll(s.substr(4, c - 4).c_str());
      s = s.substr(c + 1);
    }
    if (s.rfind("raw:", 0) == 0)
      ReadRaw(s, lag, frames, out);
    else
      ReadSound(s, lag, frames, out);
  }
}

int Compare(int64_t frames, const std::vector<std::string>& ref, const std::vector<std::string>& other) {
  Channels a, b;
  ReadList(ref, frames, a);
  ReadList(other, frames, b);
  if (a.data.size() != b.data.size()) {
    std::printf("channels differ: %zu against %zu\n", a.data.size(), b.data.size());
    return 1;
  }
  for (const auto& ch : a.data) frames = std::min<int64_t>(frames, static_cast<int64_t>(ch.size()));
  for (const auto& ch : b.data) frames = std::min<int64_t>(frames, static_cast<int64_t>(ch.size()));
  double worst = 0.0, power = 0.0;
  size_t worstCh = 0;
  int64_t worstAt = 0;
  for (size_t c = 0; c < a.data.size(); ++c) {
    for (int64_t j = 0; j < frames; ++j) {
      const double d = std::fabs(a.data[c][j] - b.data[c][j]);
      power += a.data[c][j] * a.data[c][j];
      if (d > worst) {
        worst = d;
        worstCh = c;
        worstAt = j;
      }
    }
  }
  const double rms = std::sqrt(power / (static_cast<double>(frames) * a.data.size()));
  std::printf("max difference %.2f steps of 16 bits (channel %zu, frame %lld of %lld), reference RMS %.0f steps\n",
              worst * 32768.0, worstCh, static_cast<long long>(worstAt), static_cast<long long>(frames),
              rms * 32768.0);
  return 0;
}

// Reads a sound file whole as doubles at full scale 1.0, channel by channel.
std::vector<std::vector<double>> ReadWhole(const std::string& path, int channels) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) Die(path + ": " + sf_strerror(nullptr));
  if (info.channels != channels) Die(path + ": expected " + std::to_string(channels) + " channels");
  std::vector<double> buf(static_cast<size_t>(info.frames) * info.channels);
  if (sf_readf_double(f, buf.data(), info.frames) != info.frames) Die(path + ": short read");
  sf_close(f);
  std::vector<std::vector<double>> out(info.channels, std::vector<double>(info.frames));
  for (int64_t j = 0; j < info.frames; ++j)
    for (int c = 0; c < info.channels; ++c) out[c][j] = buf[j * info.channels + c];
  return out;
}

// Linear convolution by one transform of the whole signal, in double precision: the
// rounding error is some 1e-13 of full scale, far below a 16-bit step.
int Reference(const std::string& input, const std::string& dir, const std::string& stem, int c,
              const std::string& outDir) {
  const auto x = ReadWhole(input, 2);
  const int64_t frames = static_cast<int64_t>(x[0].size());
  std::vector<std::vector<std::vector<double>>> bank;
  int64_t m = 1;
  for (int ch = 1; ch <= c; ++ch) {
    bank.push_back(ReadWhole(dir + "/" + stem + std::to_string(ch) + ".wav", 2));
    m = std::max<int64_t>(m, static_cast<int64_t>(bank.back()[0].size()));
  }
  const int64_t length = frames + m - 1;
  int64_t n = 1;
  while (n < length) n *= 2;
  const int64_t bins = n / 2 + 1;
  double* time = fftw_alloc_real(n);
  fftw_complex* spectrum = fftw_alloc_complex(bins);
  fftw_plan forward = fftw_plan_dft_r2c_1d(static_cast<int>(n), time, spectrum, FFTW_ESTIMATE);
  fftw_plan inverse = fftw_plan_dft_c2r_1d(static_cast<int>(n), spectrum, time, FFTW_ESTIMATE);
  auto transform = [&](const std::vector<double>& v) {
    std::fill(time, time + n, 0.0);
    std::copy(v.begin(), v.end(), time);
    fftw_execute(forward);
    return std::vector<std::complex<double>>(reinterpret_cast<std::complex<double>*>(spectrum),
                                             reinterpret_cast<std::complex<double>*>(spectrum) + bins);
  };
  const auto xl = transform(x[0]), xr = transform(x[1]);
  std::vector<std::vector<float>> channels;
  for (int ch = 0; ch < c; ++ch) {
    const auto hl = transform(bank[ch][0]), hr = transform(bank[ch][1]);
    auto* y = reinterpret_cast<std::complex<double>*>(spectrum);
    for (int64_t k = 0; k < bins; ++k) y[k] = (xl[k] * hl[k] + xr[k] * hr[k]) / static_cast<double>(n);
    fftw_execute(inverse);
    channels.emplace_back(time, time + length);
  }
  fftw_destroy_plan(forward);
  fftw_destroy_plan(inverse);
  fftw_free(time);
  fftw_free(spectrum);
  for (int d = 0; d < (c + 1) / 2; ++d) {
    std::vector<float> pair(2 * static_cast<size_t>(length), 0.0f);
    for (int side = 0; side < 2 && 2 * d + side < c; ++side)
      for (int64_t j = 0; j < length; ++j) pair[2 * j + side] = channels[2 * d + side][j];
    WriteFile(outDir + "/ref" + std::to_string(d) + ".f32", pair.data(), pair.size() * sizeof(float));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "input" && argc == 4) {
    MakeInput(argv[2], std::atof(argv[3]));
  } else if (cmd == "bank" && argc == 6) {
    MakeBank(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  } else if (cmd == "compare" && argc > 3) {
    std::vector<std::string> ref, other;
    bool second = false;
    for (int i = 3; i < argc; ++i) {
      if (std::strcmp(argv[i], "--") == 0)
        second = true;
      else
        (second ? other : ref).push_back(argv[i]);
    }
    if (ref.empty() || other.empty()) Die("compare FRAMES REF... -- OTHER...");
    return Compare(std::atoll(argv[2]), ref, other);
  } else if (cmd == "reference" && argc == 7) {
    return Reference(argv[2], argv[3], argv[4], std::atoi(argv[5]), argv[6]);
  } else {
    std::fprintf(stderr,
                 "usage: floor_signals input PATH SECONDS\n"
                 "       floor_signals bank DIR STEM C M\n"
                 "       floor_signals compare FRAMES REF... -- OTHER...\n"
                 "       floor_signals reference INPUT DIR STEM C OUTDIR\n");
    return 2;
  }
  return 0;
}
