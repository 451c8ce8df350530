// tessival-render: runs a stereo file through a filter bank offline, block by block,
// with the same loading and block convolution as a live run, and writes one stereo
// file per output device.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Gains.h"
#include "engine/Kernels.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace tessival {
namespace {

constexpr char Usage[] =
    "usage: tessival-render [--bits 16|24] [--dither] [--gain NAME=DB ...] [--fft-estimate]\n"
    "                       BANKFILE INPUT OUTDIR\n"
    "       tessival-render --help | --version\n"
    "\n"
    "Convolves the stereo INPUT (any format libsndfile reads, at the bank's sampling\n"
    "frequency) with the filter bank that BANKFILE belongs to and writes OUTDIR/out0.wav\n"
    "(the dipole pair) to outD.wav (surround pairs): stereo PCM of the chosen bits, each\n"
    "input length + filter length - 1 frames long. Older outN.wav files in OUTDIR that\n"
    "this run does not write are removed.\n"
    "\n"
    "  --bits 16|24     sample resolution, as the device setting (default 16); 24-bit\n"
    "                   files hold the engine's 32-bit samples rounded to 24 bits\n"
    "  --dither         triangular dither on 16-bit output\n"
    "  --gain NAME=DB   gain of a slider: Dipole, S1..S8 or Master, whole dB from +6 to -24\n"
    "  --fft-estimate   plan the transforms at once instead of measuring them\n"
    "  -h, --help       this text\n"
    "  --version        the version\n"
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
    } else if (a == "--version") {
      std::puts("tessival-render " TESSIVAL_VERSION);
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

// A 32-bit sample to 24 bits: nearest, halves to even, held to the 24-bit range (as
// the engine rounds; a plain shift would bias every sample by half a step).
int32_t RoundTo24Bits(int32_t v) {
  int32_t q = v >> 8;  // floor
  const int32_t rest = v & 0xFF;
  if (rest > 0x80 || (rest == 0x80 && (q & 1))) ++q;
  return std::min(q, (1 << 23) - 1);
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
  // in one system call: 16-bit samples as they are, 32-bit ones rounded to 24 bits.
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
        int32_t v;
        std::memcpy(&v, buffers[b] + 4 * static_cast<size_t>(i), 4);
        v = RoundTo24Bits(v);
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

// The input file and how its samples reach the capture buffers.
struct Input {
  SNDFILE* File = nullptr;
  SF_INFO Info{};
  bool Direct = false;        // integer samples read straight into the capture buffer
  std::vector<double> Block;  // otherwise one block of doubles, converted as a device would
};

// What the block loop did, for the summary line.
struct RenderCounts {
  int64_t InputFrames = 0;
  int64_t OutputFrames = 0;
  int64_t Blocks = 0;
  double Seconds = 0;
};

// A progress line on stderr, a few times a second, when stderr is a terminal.
struct Progress {
  bool Shown = ::isatty(2) != 0;
  int64_t Expected = -1;  // output frames, when the input's length is known
  std::chrono::steady_clock::time_point Last = std::chrono::steady_clock::now();

  void Update(int64_t outFrames) {
    if (!Shown) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - Last <= std::chrono::milliseconds(250)) return;
    Last = now;
    if (Expected > 0) {
      std::fprintf(stderr, "\rtessival-render: %3d %%", static_cast<int>(100 * outFrames / Expected));
    } else {
      std::fprintf(stderr, "\rtessival-render: %.1f s", static_cast<double>(outFrames) / SampleRate);
    }
  }
};

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

std::string OutputName(int32_t d) { return "out" + std::to_string(d) + ".wav"; }

// Output frames of the whole run (input + M - 1), or -1 when the input's length is unknown.
int64_t ExpectedOutputFrames(const Input& in) {
  const sf_count_t frames = in.Info.frames;
  return frames > 0 && frames < SF_COUNT_MAX ? frames + TheEngine.FilterLength - 1 : -1;
}

// Messages of the loading go to stderr on one line each; there is no status panel.
void ReportOnStderr() {
  Ui.ShowMessage = [](MessageKind, const std::string& text) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::fprintf(stderr, "tessival-render: %s\n", line.c_str());
  };
  Ui.SetStatusText = nullptr;
}

Input OpenInput(const Options& o) {
  Input in;
  in.File = sf_open(o.Input.c_str(), SFM_READ, &in.Info);
  if (!in.File) Fail(o.Input + ": " + sf_strerror(nullptr));
  if (in.Info.channels != 2) {
    Fail(o.Input + ": the input must be stereo, this file has " + std::to_string(in.Info.channels) +
         " channels");
  }
  // Integer input that fits the device samples is read straight into the capture
  // buffer (libsndfile widens it exactly); anything else goes through doubles.
  const int32_t inBits = IntegerInputBits(in.Info.format);
  in.Direct = inBits > 0 && (o.Bits == 24 || inBits <= 16);
  return in;
}

// The settings a live run would use, and the bank loaded by the window's own code.
void LoadBankAsALiveRun(const Options& o, const Input& in) {
  SetDefaultSettings();
  SampleBits = o.Bits;
  DitherOn = o.Dither;
  NumBuffers = MinBuffers;
  for (int k = 0; k < NumGainSliders; ++k) GainSteps[k] = o.Gains[k];
  ComputeGainFactors();
  if (o.Dither) FillDitherTable();  // read by the block path only when dithering
  FftPlanMeasure = !o.Estimate;

  if (!LoadFilterBank(o.Bank)) std::exit(1);  // the loading has said why
  if (in.Info.samplerate != SampleRate) {
    Fail(o.Input + ": sampling frequency " + std::to_string(in.Info.samplerate) +
         " Hz differs from the filter bank's " + std::to_string(SampleRate) + " Hz");
  }
}

// The wave buffers take turns, so that short blocks reach the files a few at a time
// (one system call per file for about 256 kB). Returns how many there are.
int32_t TakeBatchOfWaveBuffers() {
  const int32_t batch =
      std::clamp<int32_t>((256 * 1024 + TheEngine.WaveBufferSize - 1) / TheEngine.WaveBufferSize, MinBuffers, MaxBuffers);
  if (batch != TheEngine.WaveBufferCount) {
    NumBuffers = batch;
    if (!TheEngine.ReallocateWaveBuffers()) Fail("not enough memory for the wave buffers");
  }
  return batch;
}

void OpenOutputs(Outputs& out, const Options& o, const Input& in, int32_t batch) {
  out.Files.resize(TheEngine.LastOutDevice + 1);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    const std::string name = OutputName(d);
    out.FinalPaths.push_back(o.OutDir + "/" + name);
    out.TempPaths.push_back(o.OutDir + "/." + name + ".partial-" + std::to_string(::getpid()));
    if (!out.Files[d].Open(out.TempPaths.back(), o.Bits, SampleRate, int64_t{batch} * TheEngine.BlockLength)) out.FailWrite(d);
  }
  const int64_t frames = ExpectedOutputFrames(in);
  if (frames > 0 && static_cast<uint64_t>(frames) * (o.Bits == 16 ? 4 : 6) > WavWriter::MaxDataBytes) {
    out.FailWith(o.Input + ": the output would be longer than a WAV file can hold (4 GiB)");
  }
}

// Fills capture buffer k with the next block of input, silence after its end (and
// only silence when `more` is false); returns the frames read.
int32_t ReadCaptureBlock(Input& in, Outputs& out, const Options& o, int32_t k, bool more) {
  const int32_t n = TheEngine.BlockLength;
  uint8_t* capture = TheEngine.InBuffers[k];
  int32_t got = 0;
  if (more) {
    if (!in.Direct)
      got = static_cast<int32_t>(sf_readf_double(in.File, in.Block.data(), n));
    else if (o.Bits == 16)
      got = static_cast<int32_t>(sf_readf_short(in.File, reinterpret_cast<short*>(capture), n));
    else
      got = static_cast<int32_t>(sf_readf_int(in.File, reinterpret_cast<int*>(capture), n));
    got = std::max(got, 0);
    if (got < n && sf_error(in.File) != SF_ERR_NO_ERROR) out.FailWith(o.Input + ": " + sf_strerror(in.File));
  }
  if (in.Direct) {
    const size_t frameBytes = o.Bits == 16 ? 4 : 8;
    std::memset(capture + got * frameBytes, 0, (n - got) * frameBytes);
  } else {
    // Full scale 1.0 to the device's integer scale, rounded and held as the engine does.
    std::fill(in.Block.begin() + 2 * got, in.Block.end(), 0.0);
    const double scale = o.Bits == 16 ? 32768.0 : 2147483648.0;
    if (o.Bits == 16) {
      auto* dst = reinterpret_cast<int16_t*>(capture);
      for (int32_t i = 0; i < 2 * n; ++i) dst[i] = RoundToInt16(in.Block[i] * scale);
    } else {
      auto* dst = reinterpret_cast<int32_t*>(capture);
      for (int32_t i = 0; i < 2 * n; ++i) dst[i] = RoundToInt32(in.Block[i] * scale);
    }
  }
  return got;
}

// The block loop: input through ConvolveBlock exactly as a live run feeds it, then
// M - 1 frames of silence so that the tails are complete. The blocks of a batch go
// to the files together.
RenderCounts RenderBlocks(Input& in, Outputs& out, const Options& o, int32_t batch) {
  const int32_t n = TheEngine.BlockLength;
  const int32_t tail = TheEngine.FilterLength - 1;
  if (!in.Direct) in.Block.assign(2 * static_cast<size_t>(n), 0.0);
  Progress progress;
  progress.Expected = ExpectedOutputFrames(in);
  RenderCounts c;
  int64_t total = -1;  // output frames, known once the input has ended
  int32_t keeps[MaxBuffers];
  const auto start = std::chrono::steady_clock::now();
  while (total < 0 || c.OutputFrames < total) {
    if (Interrupted) out.FailWith("interrupted; no output written");
    const auto k = static_cast<int32_t>(c.Blocks % batch);
    const int32_t got = ReadCaptureBlock(in, out, o, k, total < 0);
    if (total < 0) {
      c.InputFrames += got;
      if (got < n) total = c.InputFrames + tail;
    }
    TheEngine.ConvolveBlock(k);
    ++c.Blocks;

    keeps[k] = total < 0 ? n : static_cast<int32_t>(std::min<int64_t>(n, total - c.OutputFrames));
    c.OutputFrames += keeps[k];
    if (k == batch - 1 || c.OutputFrames == total) {
      for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
        if (!out.Files[d].WriteBlocks(TheEngine.OutBuffers[d], keeps, k + 1)) out.FailWrite(d);
    }
    progress.Update(c.OutputFrames);
  }
  c.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return c;
}

// Sizes into the headers, the files to their names, and older outN.wav files that this
// run does not write out of the way, so that OUTDIR holds one consistent rendering.
void FinishOutputs(Outputs& out, const Options& o) {
  for (size_t d = 0; d < out.Files.size(); ++d)
    if (!out.Files[d].Close(SampleRate)) out.FailWrite(d);
  for (size_t d = 0; d < out.TempPaths.size(); ++d) {
    if (std::rename(out.TempPaths[d].c_str(), out.FinalPaths[d].c_str()) != 0) {
      const std::string why = std::strerror(errno);
      for (size_t e = 0; e < d; ++e) std::remove(out.FinalPaths[e].c_str());
      out.FailWith(out.FinalPaths[d] + ": " + why);
    }
  }
  for (int32_t d = TheEngine.LastOutDevice + 1; d < MaxOutDevices; ++d) {
    const std::string stale = o.OutDir + "/" + OutputName(d);
    if (std::remove(stale.c_str()) != 0 && errno != ENOENT) Fail(stale + ": " + std::strerror(errno));
  }
}

void PrintSummary(const RenderCounts& c, bool progressShown) {
  const double audio = static_cast<double>(c.OutputFrames) / SampleRate;
  std::fprintf(stderr,
               "%stessival-render: %lld input frames, %lld output frames, %lld blocks of %d, "
               "%.3f s, real-time factor %.1f\n",
               progressShown ? "\r" : "", static_cast<long long>(c.InputFrames),
               static_cast<long long>(c.OutputFrames), static_cast<long long>(c.Blocks), TheEngine.BlockLength, c.Seconds,
               c.Seconds > 0 ? audio / c.Seconds : 0.0);
}

int Run(int argc, char** argv) {
  const Options o = ParseArgs(argc, argv);
  ReportOnStderr();
  struct stat st;
  if (::stat(o.OutDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Fail(o.OutDir + ": no such folder");

  Input in = OpenInput(o);
  LoadBankAsALiveRun(o, in);
  const int32_t batch = TakeBatchOfWaveBuffers();

  Outputs out;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  OpenOutputs(out, o, in, batch);

  // As the start command: dither from its first value and silent history. Every
  // block rewrites its wave buffers whole, so they are not cleared (that would only
  // fault in memory).
  TheEngine.RestartDither();
  TheEngine.ClearInputHistory();
  const RenderCounts counts = RenderBlocks(in, out, o, batch);
  sf_close(in.File);

  FinishOutputs(out, o);
  TheEngine.FreeBuffers();
  PrintSummary(counts, ::isatty(2) != 0);
  return 0;
}

}  // namespace
}  // namespace tessival

int main(int argc, char** argv) { return tessival::Run(argc, argv); }
