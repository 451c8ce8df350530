// tessival-xtc: designs a crosstalk canceller for two loudspeakers, from a head model, a
// measurement of your own or a measured head (SOFA), and writes it as files 1 and 2 of a
// filter bank, with a report of what it will do at the ears.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Headroom.h"
#include "tools/xtc/Design.h"
#include "tools/xtc/Measured.h"
#include "tools/xtc/Sofa.h"

namespace tessival::xtc {
namespace {

constexpr char Usage[] =
    "usage: tessival-xtc [options] OUTSTEM\n"
    "       tessival-xtc --help | --version\n"
    "\n"
    "Designs a crosstalk canceller for two loudspeakers and writes it as files 1\n"
    "and 2 of a filter bank: OUTSTEM1.wav feeds the left loudspeaker, OUTSTEM2.wav\n"
    "the right one (two channels of 32-bit float each: the filter for the left\n"
    "input, then the one for the right input). The report (the cancellation\n"
    "predicted at the ears, the headroom the bank needs, the latency, any\n"
    "warning) goes to stdout and to OUTSTEM.txt.\n"
    "\n"
    "The loudspeaker-to-ear paths come from one of:\n"
    "  (default)              a rigid-sphere head model in free field\n"
    "  --measured LEFT RIGHT  your own measurement: two two-channel WAV impulse\n"
    "                         responses, of the left loudspeaker and of the right\n"
    "                         one, each at (left ear, right ear), on one time\n"
    "                         base; any rate, any sample type a bank file may have\n"
    "  --sofa FILE            a measured head, an AES69 SOFA file\n"
    "                         (SimpleFreeFieldHRIR): the directions nearest the\n"
    "                         loudspeakers, interpolated\n"
    "\n"
    "Geometry:\n"
    "  --span DEG             angle between the loudspeakers (default 10;\n"
    "                         model, SOFA)\n"
    "  --distance M           loudspeakers to the head centre (default 2.0;\n"
    "                         model, SOFA)\n"
    "  --head-radius CM       radius of the sphere (default 8.75; model)\n"
    "  --window MS            part of each response kept after its direct sound,\n"
    "                         the second half faded out (default 5; measured, SOFA)\n"
    "Design:\n"
    "  --band LO-HI           cancelled band in Hz (default 200-8000); plain stereo\n"
    "                         beyond, reached smoothly half an octave outside it\n"
    "  --max-boost DB         largest gain any of the four filters may reach, at\n"
    "                         any frequency (default 12)\n"
    "  --delay MS             modelling delay (default 10.7, 512 samples at 48 kHz)\n"
    "  --rate HZ              sampling rate of the filters (default 48000, or the\n"
    "                         measurement's)\n"
    "  --taps N               filter length (default 16384, 256 to 262144)\n"
    "\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "\n"
    "A bad input or option exits with status 1 and one line saying why; nothing\n"
    "is written then.\n";

enum class Source { Sphere, Measured, Sofa };

struct Options {
  Source From = Source::Sphere;
  Geometry Head;
  std::string Measured[2], Sofa;
  double WindowMs = 5.0;
  double DelayMs = 0;         // 0: 512 samples at 48 kHz
  double MaxBoostDb = 12.0;
  double BandLoHz = 200, BandHiHz = 8000;
  int Rate = 0;               // 0: 48000, or the measurement's
  int FilterTaps = 16384;
  std::string OutStem;
  std::vector<std::string> Given;  // the options on the command line
  std::string Command;
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "tessival-xtc: %s\n", text.c_str());
  std::exit(1);
}

std::string Format(const char* format, auto... values) {
  std::string text(static_cast<size_t>(std::snprintf(nullptr, 0, format, values...)), '\0');
  std::snprintf(text.data(), text.size() + 1, format, values...);
  return text;
}

double ParseNumber(const std::string& option, const std::string& v) {
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(v.c_str(), &end);
  if (v.empty() || *end || errno || !std::isfinite(d)) Fail(option + " " + v + ": not a number");
  return d;
}

int ParseWhole(const std::string& option, const std::string& v) {
  const double d = ParseNumber(option, v);
  if (d != std::floor(d) || std::fabs(d) > 1e9) Fail(option + " " + v + ": not a whole number");
  return static_cast<int>(d);
}

void Require(bool ok, const std::string& option, const std::string& v, const std::string& rule) {
  if (!ok) Fail(option + " " + v + ": " + rule);
}

bool Given(const Options& o, const char* option) {
  for (const std::string& g : o.Given)
    if (g == option) return true;
  return false;
}

std::string Quote(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789-_./=+,:@%") == std::string::npos) {
    return s;
  }
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  o.Command = "tessival-xtc";
  for (int i = 1; i < argc; ++i) o.Command += " " + Quote(argv[i]);
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string inlineValue;
    const bool hasInline = a.rfind("--", 0) == 0 && a.find('=') != std::string::npos;
    if (hasInline) {
      inlineValue = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    }
    auto next = [&]() -> std::string {
      if (hasInline) {
        const std::string v = inlineValue;
        inlineValue.clear();
        return v;
      }
      if (i + 1 >= argc) Fail(a + " needs a value (see --help)");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(Usage, stdout);
      std::exit(0);
    }
    if (a == "--version") {
      std::puts("tessival-xtc " TESSIVAL_VERSION);
      std::exit(0);
    }
    if (a == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
      break;
    }
    if (a.size() < 2 || a[0] != '-') {
      positional.push_back(argv[i]);
      continue;
    }
    if (Given(o, a.c_str())) Fail(a + ": given twice");
    o.Given.push_back(a);
    if (a == "--measured") {
      o.From = Source::Measured;
      o.Measured[0] = next();
      if (i + 1 >= argc) Fail("--measured needs two files, LEFT.wav RIGHT.wav");
      o.Measured[1] = argv[++i];
    } else if (a == "--sofa") {
      o.From = Source::Sofa;
      o.Sofa = next();
    } else if (a == "--span") {
      const std::string v = next();
      o.Head.SpanDeg = ParseNumber(a, v);
      Require(o.Head.SpanDeg > 0 && o.Head.SpanDeg < 180, a, v, "must be more than 0 and less than 180 degrees");
    } else if (a == "--distance") {
      const std::string v = next();
      o.Head.DistanceM = ParseNumber(a, v);
      Require(o.Head.DistanceM > 0 && o.Head.DistanceM <= 100, a, v, "must be more than 0 and at most 100 m");
    } else if (a == "--head-radius") {
      const std::string v = next();
      o.Head.HeadRadiusM = ParseNumber(a, v) / 100;
      Require(o.Head.HeadRadiusM >= 0.02 && o.Head.HeadRadiusM <= 0.3, a, v, "must be from 2 to 30 cm");
    } else if (a == "--window") {
      const std::string v = next();
      o.WindowMs = ParseNumber(a, v);
      Require(o.WindowMs >= 1 && o.WindowMs <= 100, a, v, "must be from 1 to 100 ms");
    } else if (a == "--band") {
      const std::string v = next();
      const size_t dash = v.find('-', 1);
      if (dash == std::string::npos) Fail("--band " + v + ": must be LO-HI in Hz, such as 200-8000");
      o.BandLoHz = ParseNumber(a, v.substr(0, dash));
      o.BandHiHz = ParseNumber(a, v.substr(dash + 1));
      Require(o.BandLoHz >= 20 && o.BandLoHz < o.BandHiHz, a, v,
              "the lower edge must be at least 20 Hz and below the upper one");
    } else if (a == "--max-boost") {
      const std::string v = next();
      o.MaxBoostDb = ParseNumber(a, v);
      Require(o.MaxBoostDb >= 0 && o.MaxBoostDb <= 40, a, v, "must be from 0 to 40 dB");
    } else if (a == "--delay") {
      const std::string v = next();
      o.DelayMs = ParseNumber(a, v);
      Require(o.DelayMs > 0 && o.DelayMs <= 1000, a, v, "must be more than 0 and at most 1000 ms");
    } else if (a == "--rate") {
      const std::string v = next();
      o.Rate = ParseWhole(a, v);
      Require(o.Rate >= 8000 && o.Rate <= 384000, a, v, "must be from 8000 to 384000 Hz");
    } else if (a == "--taps") {
      const std::string v = next();
      o.FilterTaps = ParseWhole(a, v);
      Require(o.FilterTaps >= 256 && o.FilterTaps <= 262144, a, v, "must be from 256 to 262144");
    } else {
      Fail(a + ": unknown option (see --help)");
    }
    if (hasInline && !inlineValue.empty()) Fail(a + " takes no value");
  }

  if (Given(o, "--measured") && Given(o, "--sofa")) Fail("--measured and --sofa: choose one source");
  // Options that would be silently ignored are refused.
  if (o.From == Source::Measured) {
    for (const char* option : {"--span", "--distance", "--head-radius"}) {
      if (Given(o, option)) Fail(std::string(option) + " does not apply to a measurement, which holds the geometry");
    }
  }
  if (o.From == Source::Sofa && Given(o, "--head-radius")) {
    Fail("--head-radius does not apply to a SOFA file, whose head is measured");
  }
  if (o.From == Source::Sphere && Given(o, "--window")) {
    Fail("--window applies to --measured and --sofa only (the model has no room)");
  }
  if (o.From == Source::Sphere && o.Head.DistanceM < 1.5 * o.Head.HeadRadiusM) {
    Fail(Format("--distance %g: must be at least 1.5 times the head radius (%.3g m)",
                o.Head.DistanceM, o.Head.HeadRadiusM));
  }

  if (positional.size() != 1) Fail("expected one OUTSTEM (see --help)");
  o.OutStem = positional[0];
  const std::string name = std::filesystem::path(o.OutStem).filename().string();
  if (name.empty() || name == "." || name == "..") {
    Fail(o.OutStem + ": OUTSTEM names the files (OUTSTEM1.wav ...), not a folder");
  }
  if (std::isdigit(static_cast<unsigned char>(name.back()))) {
    Fail(o.OutStem + ": OUTSTEM must not end in a digit (the bank's file numbers follow it)");
  }
  return o;
}

// ---- The plant ----------------------------------------------------------------------

struct Plant {
  ConditionedPlant Conditioned;
  double RawRate = 0;
  std::string Description;
};

Plant LoadPlant(const Options& o) {
  Plant p;
  ImpulsePlant raw;
  ConditionProblem problem;
  const char* sides[2] = {"left", "right"};
  switch (o.From) {
    case Source::Sphere:
      raw = SphereImpulses(o.Head, o.Rate ? o.Rate : 48000);
      p.Description = Format("rigid-sphere head model, loudspeakers %.1f degrees apart at %.2f m, "
                             "head radius %.2f cm", o.Head.SpanDeg, o.Head.DistanceM, 100 * o.Head.HeadRadiusM);
      problem = ConditionPlant(raw, o.WindowMs, false, p.Conditioned);
      break;
    case Source::Measured: {
      double rates[2] = {0, 0};
      for (int s = 0; s < 2; ++s) {
        const std::string text = ReadMeasurement(o.Measured[s], rates[s], raw.H[0][s], raw.H[1][s]);
        if (!text.empty()) Fail(o.Measured[s] + ": " + text);
      }
      if (rates[0] != rates[1]) {
        Fail(Format("%s: sampled at %.0f Hz, but its twin %s at %.0f Hz", o.Measured[1].c_str(),
                    rates[1], o.Measured[0].c_str(), rates[0]));
      }
      raw.Rate = rates[0];
      p.Description = Format("measured, %s (left loudspeaker) and %s (right loudspeaker), %.0f Hz, "
                             "window %.1f ms", o.Measured[0].c_str(), o.Measured[1].c_str(), raw.Rate, o.WindowMs);
      problem = ConditionPlant(raw, o.WindowMs, true, p.Conditioned);
      if (!problem.Text.empty()) Fail(o.Measured[problem.Speaker] + ": " + problem.Text);
      break;
    }
    case Source::Sofa: {
      SofaPlant sofa;
      const std::string text = ReadSofaPlant(o.Sofa, o.Head.SpanDeg, o.Head.DistanceM, sofa);
      if (!text.empty()) Fail(o.Sofa + ": " + text);
      raw = sofa.Plant;
      p.Description = Format("measured head %s (%d directions, %.0f Hz), window %.1f ms", o.Sofa.c_str(),
                             sofa.Directions, raw.Rate, o.WindowMs);
      for (int s = 0; s < 2; ++s) {
        p.Description += Format("\n    %s loudspeaker at azimuth %+.1f: %s azimuth %+.1f, elevation %+.1f",
                                sides[s], s == 0 ? o.Head.SpanDeg / 2 : -o.Head.SpanDeg / 2,
                                sofa.Picked[s].Interpolated ? "interpolated around the measured"
                                                            : "measured at",
                                sofa.Picked[s].AzimuthDeg, sofa.Picked[s].ElevationDeg);
      }
      problem = ConditionPlant(raw, o.WindowMs, false, p.Conditioned);
      if (!problem.Text.empty()) {
        Fail(o.Sofa + ": the " + sides[problem.Speaker] + " loudspeaker's responses: " + problem.Text);
      }
      break;
    }
  }
  if (!problem.Text.empty()) Fail("the head model: " + problem.Text);
  p.RawRate = raw.Rate;
  return p;
}

// ---- Output -------------------------------------------------------------------------

std::string SourceName(const Options& o, int speaker) {
  if (o.From == Source::Measured) return o.Measured[speaker];
  return o.From == Source::Sofa ? o.Sofa : "the model";
}

std::string Report(const Options& o, const Plant& p, const DesignOptions& d, const Design& design,
                   const Evaluation& ev, const std::vector<std::string>& files) {
  std::string r = "Crosstalk canceller " + files[0] + " (left loudspeaker), " + files[1] +
                  " (right loudspeaker)\n";
  r += "  made by: " + o.Command + "\n";
  r += "  plant: " + p.Description + "\n";
  r += Format("  filters: %d Hz, %d taps, 32-bit float; band %g-%g Hz; largest path gain %+.1f dB; "
              "modelling delay %d samples\n",
              d.Rate, d.FilterTaps, d.BandLoHz, d.BandHiHz, d.MaxBoostDb, d.DelaySamples);

  r += "\nPredicted cancellation at the ears, far ear over near ear, dB:\n";
  r += "      band   left input   right input\n";
  for (const OctaveFigure& f : ev.Octaves) {
    if (f.Known) {
      r += Format("  %5.0f Hz   %10.1f   %11.1f\n", f.CentreHz, f.LeftInputDb, f.RightInputDb);
    } else {
      r += Format("  %5.0f Hz   %10s   %11s\n", f.CentreHz, "-", "-");
    }
  }

  r += "\nPeak gain of the filters (the headroom the bank needs):\n";
  std::vector<std::string> warnings;
  for (int s = 0; s < 2; ++s) {
    std::vector<float> left(design.C[s][0].begin(), design.C[s][0].end());
    std::vector<float> right(design.C[s][1].begin(), design.C[s][1].end());
    const auto h = MeasureHeadroom(left.data(), right.data(), d.FilterTaps);
    if (!h) Fail("out of memory measuring the headroom");
    r += Format("  %s: %+.1f dB at %.0f Hz for a full-scale sine; at most %+.1f dB for any input\n",
                files[s].c_str(), h->PeakDb, h->PeakCycles * d.Rate, h->BoundDb);
  }
  r += Format("\nLatency added by the modelling delay: %.1f ms (%d samples)\n",
              1000.0 * d.DelaySamples / d.Rate, d.DelaySamples);

  if (ev.IndistinctShare > 0.5) {
    warnings.push_back(
        o.From == Source::Measured
            ? "the loudspeaker-to-ear paths are hardly distinguishable: the two loudspeakers, or "
              "the two ears, measure alike (the same file twice? one microphone in both channels?)"
        : o.From == Source::Sofa
            ? "the loudspeaker-to-ear paths are hardly distinguishable: the file's responses for "
              "the two directions are alike, or the loudspeakers too close together"
            : "the loudspeaker-to-ear paths are hardly distinguishable: the loudspeakers are too "
              "close together");
  }
  if (ev.ShareBelow10Db > 0.5) {
    warnings.push_back(Format("the boost limit (%+.1f dB) caps the cancellation below 10 dB over "
                              "%.0f %% of the band: %sa higher --max-boost cancels more (and needs "
                              "more headroom)",
                              d.MaxBoostDb, 100 * ev.ShareBelow10Db,
                              o.From == Source::Measured ? "" : "a wider --span or "));
  }
  for (int s = 0; s < 2; ++s) {
    if (ev.ContraLouder[s] && o.From != Source::Sphere) {
      warnings.push_back(SourceName(o, s) + Format(": the %s ear hears the %s loudspeaker louder "
                                                   "than the %s ear does: are the ears, or the files, swapped?",
                                                   s == 0 ? "right" : "left", s == 0 ? "left" : "right",
                                                   s == 0 ? "left" : "right"));
    }
  }
  if (design.CutDb > -20) {
    warnings.push_back(Format("%.0f dB of the filters' energy falls outside the %d taps kept: "
                              "raise --taps or --delay",
                              design.CutDb, d.FilterTaps));
  }
  for (int k = 3; k <= 10; ++k) {
    const std::string sibling = o.OutStem + std::to_string(k) + ".wav";
    struct stat st;
    if (::stat(sibling.c_str(), &st) == 0) {
      warnings.push_back(sibling + " exists: Tessival will load it with this bank (as channel S" +
                         std::to_string(k - 2) + ")");
      break;
    }
  }
  if (!warnings.empty()) r += "\n";
  for (const std::string& w : warnings) r += "warning: " + w + "\n";
  return r;
}

// All three files under temporary names first, then renamed: a failure leaves none of
// them, and never a new file 1 beside an old file 2.
void WriteOutputs(const Options& o, const Design& design, int rate, const std::string& report) {
  const std::string names[3] = {o.OutStem + "1.wav", o.OutStem + "2.wav", o.OutStem + ".txt"};
  std::string problem;
  for (int i = 0; i < 3 && problem.empty(); ++i) {
    const std::string temp = names[i] + ".partial";
    if (i < 2) {
      problem = WriteStereoWav(temp, rate, true, design.C[i][0], design.C[i][1]);
    } else if (std::FILE* f = std::fopen(temp.c_str(), "wb")) {
      const bool ok = std::fwrite(report.data(), 1, report.size(), f) == report.size();
      if (std::fclose(f) != 0 || !ok) problem = temp + ": write failed";
    } else {
      problem = temp + ": " + std::strerror(errno);
    }
  }
  for (int i = 0; i < 3 && problem.empty(); ++i) {
    if (std::rename((names[i] + ".partial").c_str(), names[i].c_str()) != 0) {
      problem = names[i] + ": " + std::strerror(errno);
      for (int j = 0; j < i; ++j) std::remove(names[j].c_str());
    }
  }
  for (const std::string& n : names) std::remove((n + ".partial").c_str());
  if (!problem.empty()) Fail(problem);
}

int Run(int argc, char** argv) {
  const Options o = ParseArgs(argc, argv);
  const Plant plant = LoadPlant(o);

  DesignOptions d;
  d.Rate = o.Rate ? o.Rate : o.From == Source::Sphere ? 48000 : static_cast<int>(std::lround(plant.RawRate));
  if (d.Rate < 8000 || d.Rate > 384000) {
    Fail(Format("a rate of %d Hz for the filters is out of range: give --rate", d.Rate));
  }
  d.FilterTaps = o.FilterTaps;
  d.MaxBoostDb = o.MaxBoostDb;
  d.BandLoHz = o.BandLoHz;
  d.BandHiHz = o.BandHiHz;
  const double top = HighestBandTop(plant.RawRate, d.Rate);
  if (d.BandHiHz > top) {
    Fail(Format("--band %g-%g: the upper edge must stay at or below %.0f Hz at these rates, half an "
                "octave under the Nyquist frequency", d.BandLoHz, d.BandHiHz, top));
  }
  d.DelaySamples = static_cast<int>(std::lround(o.DelayMs > 0 ? o.DelayMs / 1000 * d.Rate : 512.0 * d.Rate / 48000));
  const double delayMs = 1000.0 * d.DelaySamples / d.Rate;
  if (d.DelaySamples < 1 || d.DelaySamples > d.FilterTaps / 2) {
    Fail(Format("--delay %.2f ms (%d samples) must lie within the first half of the %d taps: "
                "lower --delay or raise --taps", delayMs, d.DelaySamples, d.FilterTaps));
  }
  const double arrivalMs = 1000.0 * plant.Conditioned.ArrivalS;
  if (std::lround(plant.Conditioned.ArrivalS * d.Rate) > d.DelaySamples) {
    Fail(Format("--delay %.2f ms is shorter than the direct sound's own delay in the plant "
                "(%.2f ms): raise --delay", delayMs, arrivalMs));
  }
  const size_t plantTaps = std::max({plant.Conditioned.Ir.H[0][0].size(), plant.Conditioned.Ir.H[0][1].size(),
                                     plant.Conditioned.Ir.H[1][0].size(), plant.Conditioned.Ir.H[1][1].size()});
  if (static_cast<double>(plantTaps) * d.Rate / plant.RawRate > DesignGrid(d.FilterTaps) / 2.0) {
    Fail(Format("the responses kept (%.1f ms) are too long for filters of %d taps: shorten --window "
                "or raise --taps", 1000.0 * static_cast<double>(plantTaps) / plant.RawRate, d.FilterTaps));
  }

  const Design design = DesignCanceller(plant.Conditioned, d);
  const Evaluation ev = Evaluate(design, d);

  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(o.OutStem).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) Fail(folder.string() + ": " + ec.message());
  const std::vector<std::string> files = {o.OutStem + "1.wav", o.OutStem + "2.wav"};
  const std::string report = Report(o, plant, d, design, ev, files);
  WriteOutputs(o, design, d.Rate, report);
  std::fputs(report.c_str(), stdout);
  return 0;
}

}  // namespace
}  // namespace tessival::xtc

int main(int argc, char** argv) {
  try {
    return tessival::xtc::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("tessival-xtc: out of memory\n", stderr);
    return 1;
  }
}
