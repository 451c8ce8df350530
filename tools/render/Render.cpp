// tessival-render: runs a stereo file through a filter bank offline, block by block,
// with the same loading and block convolution as a live run, and writes one stereo
// file per output device.
#include <fcntl.h>
#include <immintrin.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Gains.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace tessival {
namespace {

constexpr char Usage[] =
    "usage: tessival-render [--bits 16|24] [--dither] [--gain NAME=DB ...] [--fft-estimate]\n"
    "                       BANKFILE INPUT OUTDIR\n"
    "\n"
    "Convolves the stereo INPUT (any format libsndfile reads, at the bank's sampling\n"
    "frequency) with the filter bank that BANKFILE belongs to and writes OUTDIR/out0.wav\n"
    "(the dipole pair) to outD.wav (surround pairs): stereo PCM of the chosen bits, each\n"
    "input length + filter length - 1 frames long.\n"
    "\n"
    "  --bits 16|24     sample resolution, as the device setting (default 16); 24-bit\n"
    "                   files hold the top 24 bits of the engine's 32-bit samples\n"
    "  --dither         triangular dither on 16-bit output\n"
    "  --gain NAME=DB   gain of a slider: Dipole, S1..S8 or Master, whole dB from +6 to -24\n"
    "  --fft-estimate   plan the transforms at once instead of measuring them\n"
    "\n"
    "The last line on stderr gives frames, blocks, seconds and the real-time factor\n"
    "(seconds of output rendered per second of processing).\n";

struct Options {
  int32_t Bits = 16;
  bool Dither = false;
  bool Estimate = false;
  int32_t Gains[NumGainSliders] = {};
  std::string Bank, Input, OutDir;
};

volatile std::sig_atomic_t Interrupted = 0;

void OnInterrupt(int) { Interrupted = 1; }

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "tessival-render: %s\n", text.c_str());
  std::exit(1);
}

bool ParseInt(const std::string& s, int32_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

void ParseGain(const std::string& arg, Options& o) {
  const size_t eq = arg.find('=');
  int32_t db = 0;
  const int k = eq == std::string::npos ? -1 : GainSliderIndex(arg.substr(0, eq).c_str());
  if (k < 0) Fail("--gain " + arg + ": the name must be Dipole, S1 to S8 or Master");
  if (!ParseInt(arg.substr(eq + 1), db) || db > MaxGainDb || db < MinGainDb) {
    Fail("--gain " + arg + ": the gain must be a whole number of dB from +6 to -24");
  }
  o.Gains[k] = db;
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    const bool hasValue = a.rfind("--", 0) == 0 && a.find('=') != std::string::npos;
    if (hasValue) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    }
    auto next = [&]() -> std::string {
      if (hasValue) return value;
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(Usage, stdout);
      std::exit(0);
    } else if (a == "--bits") {
      const std::string v = next();
      if (!ParseInt(v, o.Bits) || (o.Bits != 16 && o.Bits != 24)) Fail("--bits " + v + ": must be 16 or 24");
    } else if (a == "--dither") {
      o.Dither = true;
    } else if (a == "--fft-estimate") {
      o.Estimate = true;
    } else if (a == "--gain") {
      ParseGain(next(), o);
    } else if (a == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      Fail(a + ": unknown option (see --help)");
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 3) Fail("expected BANKFILE INPUT OUTDIR (see --help)");
  o.Bank = positional[0];
  o.Input = positional[1];
  o.OutDir = positional[2];
  return o;
}

// One output file: a plain PCM WAV header, then the blocks as the engine made them,
// one write per block. The sizes in the header are filled in at the end.
struct WavWriter {
  int Fd = -1;
  int32_t BytesPerSample = 2;  // 2 or 3
  uint64_t DataBytes = 0;
  std::vector<uint8_t> Packed;  // 24-bit samples packed from the engine's 32-bit ones

  static constexpr uint64_t MaxDataBytes = 0xFFFFFFFFull - 36;  // what the RIFF size field holds

  static void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  static void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
  }

  bool WriteAll(iovec* parts, int32_t count) {
    while (count > 0) {
      const ssize_t w = ::writev(Fd, parts, count);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        return false;
      }
      // Past what was written: whole parts, then into the first one left.
      size_t done = static_cast<size_t>(w);
      while (count > 0 && done >= parts->iov_len) {
        done -= parts->iov_len;
        ++parts;
        --count;
      }
      if (count > 0) {
        parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + done;
        parts->iov_len -= done;
      }
    }
    return true;
  }

  bool WriteHeader(int32_t rate) {
    uint8_t h[44];
    const uint32_t align = 2 * BytesPerSample;
    const uint32_t data = static_cast<uint32_t>(std::min(DataBytes, MaxDataBytes));
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, 36 + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // integer PCM
    Put16(h + 22, 2);
    Put32(h + 24, static_cast<uint32_t>(rate));
    Put32(h + 28, static_cast<uint32_t>(rate) * align);
    Put16(h + 32, align);
    Put16(h + 34, 8 * BytesPerSample);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, data);
    iovec part{h, sizeof h};
    return ::lseek(Fd, 0, SEEK_SET) == 0 && WriteAll(&part, 1);
  }

  // `frames`: the most one WriteBlocks call takes.
  bool Open(const std::string& path, int32_t bits, int32_t rate, int64_t frames) {
    BytesPerSample = bits == 16 ? 2 : 3;
    if (bits != 16) Packed.resize(static_cast<size_t>(frames) * 6 + 1);
    Fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return Fd >= 0 && WriteHeader(rate);
  }

  // Blocks of the engine's playback buffers, `frames[i]` stereo frames from buffers[i],
  // in one system call: 16-bit samples as they are, 32-bit ones cut to their top 24 bits.
  bool WriteBlocks(uint8_t* const* buffers, const int32_t* frames, int32_t count) {
    iovec parts[MaxBuffers];
    size_t bytes = 0;
    uint8_t* packed = Packed.data();
    for (int32_t b = 0; b < count; ++b) {
      const size_t size = static_cast<size_t>(frames[b]) * 2 * BytesPerSample;
      bytes += size;
      if (BytesPerSample == 2) {
        parts[b] = {buffers[b], size};
        continue;
      }
      for (int32_t i = 0; i < 2 * frames[b]; ++i, packed += 3) {
        uint32_t v;
        std::memcpy(&v, buffers[b] + 4 * static_cast<size_t>(i), 4);
        v >>= 8;
        std::memcpy(packed, &v, 4);  // one byte too many, overwritten by the next sample
      }
    }
    if (DataBytes + bytes > MaxDataBytes) {
      errno = EFBIG;
      return false;
    }
    DataBytes += bytes;
    if (bytes == 0) return true;
    if (BytesPerSample == 3) {
      parts[0] = {Packed.data(), bytes};
      count = 1;
    }
    return WriteAll(parts, count);
  }

  bool Close(int32_t rate) {
    const bool ok = WriteHeader(rate);
    const bool closed = ::close(Fd) == 0;
    Fd = -1;
    return ok && closed;
  }
};

// The output files, written under temporary names and renamed when complete.
struct Outputs {
  std::vector<WavWriter> Files;
  std::vector<std::string> TempPaths, FinalPaths;

  void Discard() {
    for (WavWriter& f : Files) {
      if (f.Fd >= 0) ::close(f.Fd);
      f.Fd = -1;
    }
    for (const std::string& p : TempPaths) std::remove(p.c_str());
  }
  [[noreturn]] void FailWith(const std::string& text) {
    Discard();
    Fail(text);
  }
  [[noreturn]] void FailWrite(size_t d) {
    const std::string why = errno == EFBIG ? "longer than a WAV file can hold (4 GiB)" : std::strerror(errno);
    FailWith(TempPaths[d] + ": " + why);
  }
};

// Input samples at full scale 1.0 to the device's integer scale, as a capture
// device would deliver them: rounded half to even, held to the integer range.
void FillCaptureBuffer(const double* in, int32_t frames, int32_t bits, uint8_t* dst) {
  const double scale = bits == 16 ? 32768.0 : 2147483648.0;
  const double lo = bits == 16 ? -32768.0 : -2147483648.0;
  const double hi = bits == 16 ? 32767.0 : 2147483647.0;
  // Held first, then rounded: the bounds are integers, so the order does not matter.
  auto convert = [&](double v) {
    v *= scale;
    v = v < lo ? lo : (v > hi ? hi : v);
    return _mm_cvtsd_si32(_mm_set_sd(v == v ? v : 0.0));  // nearest, halves to even
  };
  if (bits == 16) {
    auto* out = reinterpret_cast<int16_t*>(dst);
    for (int32_t i = 0; i < 2 * frames; ++i) out[i] = static_cast<int16_t>(convert(in[i]));
  } else {
    auto* out = reinterpret_cast<int32_t*>(dst);
    for (int32_t i = 0; i < 2 * frames; ++i) out[i] = convert(in[i]);
  }
}

// Bits of an integer PCM input, or 0 for float and compressed ones.
int32_t IntegerInputBits(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return 8;
    case SF_FORMAT_PCM_16:
      return 16;
    case SF_FORMAT_PCM_24:
      return 24;
    case SF_FORMAT_PCM_32:
      return 32;
    default:
      return 0;
  }
}

int Run(int argc, char** argv) {
  const Options o = ParseArgs(argc, argv);
  Ui.ShowMessage = [](MessageKind, const std::string& text) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::fprintf(stderr, "tessival-render: %s\n", line.c_str());
  };
  Ui.SetStatusText = nullptr;

  struct stat st;
  if (::stat(o.OutDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Fail(o.OutDir + ": no such folder");

  SF_INFO inInfo{};
  SNDFILE* in = sf_open(o.Input.c_str(), SFM_READ, &inInfo);
  if (!in) Fail(o.Input + ": " + sf_strerror(nullptr));
  if (inInfo.channels != 2) {
    Fail(o.Input + ": the input must be stereo, this file has " + std::to_string(inInfo.channels) +
         " channels");
  }

  // The settings a live run would use.
  SetDefaultSettings();
  SampleBits = o.Bits;
  DitherOn = o.Dither;
  NumBuffers = MinBuffers;
  for (int k = 0; k < NumGainSliders; ++k) GainSteps[k] = o.Gains[k];
  ComputeGainFactors();
  if (o.Dither) FillDitherTable();  // read by the block path only when dithering
  FftPlanMeasure = !o.Estimate;

  if (!LoadFilterBank(o.Bank)) std::exit(1);  // the loading has said why
  if (inInfo.samplerate != SampleRate) {
    Fail(o.Input + ": sampling frequency " + std::to_string(inInfo.samplerate) +
         " Hz differs from the filter bank's " + std::to_string(SampleRate) + " Hz");
  }
  // The wave buffers take turns, so that short blocks reach the files a few at a
  // time (one system call per file for about 256 kB).
  const int32_t batch = std::clamp<int32_t>((256 * 1024 + TheEngine.WaveBufferSize - 1) / TheEngine.WaveBufferSize, MinBuffers, MaxBuffers);
  if (batch != TheEngine.WaveBufferCount) {
    NumBuffers = batch;
    if (!TheEngine.ReallocateWaveBuffers()) Fail("not enough memory for the wave buffers");
  }

  Outputs out;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  out.Files.resize(TheEngine.LastOutDevice + 1);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    const std::string name = "out" + std::to_string(d) + ".wav";
    out.FinalPaths.push_back(o.OutDir + "/" + name);
    out.TempPaths.push_back(o.OutDir + "/." + name + ".partial-" + std::to_string(::getpid()));
    if (!out.Files[d].Open(out.TempPaths.back(), o.Bits, SampleRate, int64_t{batch} * TheEngine.BlockLength)) out.FailWrite(d);
  }

  // As the start command: dither from its first value and silent history. Every
  // block rewrites its wave buffers whole, so they are not cleared (that would only
  // fault in memory).
  TheEngine.DitherPos = 0;
  TheEngine.DitherCount = 0;
  for (float* h : TheEngine.InputHistory)
    if (h) std::memset(h, 0, static_cast<size_t>(TheEngine.FilterLength - 1) * sizeof(float));

  const int32_t n = TheEngine.BlockLength;
  const int32_t tail = TheEngine.FilterLength - 1;
  const bool progress = ::isatty(2) != 0;
  const int64_t expected = inInfo.frames > 0 && inInfo.frames < SF_COUNT_MAX ? inInfo.frames + tail : -1;
  if (expected > 0 && static_cast<uint64_t>(expected) * (o.Bits == 16 ? 4 : 6) > WavWriter::MaxDataBytes) {
    out.FailWith(o.Input + ": the output would be longer than a WAV file can hold (4 GiB)");
  }

  // Integer input that fits the device samples is read straight into the capture
  // buffer (libsndfile widens it exactly); anything else goes through doubles.
  const int32_t inBits = IntegerInputBits(inInfo.format);
  const bool direct = inBits > 0 && (o.Bits == 24 || inBits <= 16);
  std::vector<double> block(direct ? 0 : 2 * static_cast<size_t>(n));
  const size_t frameBytes = o.Bits == 16 ? 4 : 8;

  int64_t inFrames = 0, outFrames = 0, blocks = 0;
  int64_t total = -1;  // output frames, known once the input has ended
  const auto start = std::chrono::steady_clock::now();
  auto lastProgress = start;
  int32_t keeps[MaxBuffers];
  while (total < 0 || outFrames < total) {
    if (Interrupted) out.FailWith("interrupted; no output written");
    const int32_t k = static_cast<int32_t>(blocks % batch);
    uint8_t* capture = TheEngine.InBuffers[k];
    int32_t got = 0;
    if (total < 0) {
      if (!direct)
        got = static_cast<int32_t>(sf_readf_double(in, block.data(), n));
      else if (o.Bits == 16)
        got = static_cast<int32_t>(sf_readf_short(in, reinterpret_cast<short*>(capture), n));
      else
        got = static_cast<int32_t>(sf_readf_int(in, reinterpret_cast<int*>(capture), n));
      if (got < 0) got = 0;
      inFrames += got;
      if (got < n) {
        if (sf_error(in) != SF_ERR_NO_ERROR) out.FailWith(o.Input + ": " + sf_strerror(in));
        total = inFrames + tail;
      }
    }
    if (direct) {
      std::memset(capture + got * frameBytes, 0, (n - got) * frameBytes);
    } else {
      std::fill(block.begin() + 2 * got, block.end(), 0.0);
      FillCaptureBuffer(block.data(), n, o.Bits, capture);
    }
    TheEngine.ConvolveBlock(k);
    ++blocks;

    keeps[k] = total < 0 ? n : static_cast<int32_t>(std::min<int64_t>(n, total - outFrames));
    outFrames += keeps[k];
    if (k == batch - 1 || outFrames == total) {
      for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
        if (!out.Files[d].WriteBlocks(TheEngine.OutBuffers[d], keeps, k + 1)) out.FailWrite(d);
    }

    if (progress) {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastProgress > std::chrono::milliseconds(250)) {
        lastProgress = now;
        if (expected > 0) {
          std::fprintf(stderr, "\rtessival-render: %3d %%", static_cast<int>(100 * outFrames / expected));
        } else {
          std::fprintf(stderr, "\rtessival-render: %.1f s", static_cast<double>(outFrames) / SampleRate);
        }
      }
    }
  }
  sf_close(in);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (size_t d = 0; d < out.Files.size(); ++d)
    if (!out.Files[d].Close(SampleRate)) out.FailWrite(d);
  for (size_t d = 0; d < out.TempPaths.size(); ++d) {
    if (std::rename(out.TempPaths[d].c_str(), out.FinalPaths[d].c_str()) != 0) {
      const std::string why = std::strerror(errno);
      for (size_t e = 0; e < d; ++e) std::remove(out.FinalPaths[e].c_str());
      out.FailWith(out.FinalPaths[d] + ": " + why);
    }
  }
  TheEngine.FreeBuffers();

  const double audio = static_cast<double>(outFrames) / SampleRate;
  std::fprintf(stderr,
               "%stessival-render: %lld input frames, %lld output frames, %lld blocks of %d, "
               "%.3f s, real-time factor %.1f\n",
               progress ? "\r" : "", static_cast<long long>(inFrames),
               static_cast<long long>(outFrames), static_cast<long long>(blocks), n, seconds,
               seconds > 0 ? audio / seconds : 0.0);
  return 0;
}

}  // namespace
}  // namespace tessival

int main(int argc, char** argv) { return tessival::Run(argc, argv); }
