// Fuzzes the bank loading: the input is cut into up to three files of one bank
// (at each "@@@@" marker) written to a temporary folder, then loaded.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace {

std::string Folder() {
  static std::string folder = [] {
    char tmpl[] = "/tmp/tessival-fuzz-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) std::abort();
    return std::string(dir);
  }();
  return folder;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessival;
  static bool ready = [] {
    SetDefaultSettings();
    FftPlanMeasure = false;
    Ui.ShowMessage = [](MessageKind, const std::string&) {};
    return true;
  }();
  (void)ready;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  int files = 0;
  for (; files < 3; ++files) {
    const size_t cut = input.find("@@@@");
    WriteFile(Folder() + "/f" + std::to_string(files + 1) + ".wav", input.substr(0, cut));
    if (cut == std::string_view::npos) {
      ++files;
      break;
    }
    input.remove_prefix(cut + 4);
  }
  for (int i = files + 1; i <= 3; ++i) std::remove((Folder() + "/f" + std::to_string(i) + ".wav").c_str());
  // Filters are bounded by the input size, so the engine's buffers stay small.
  const bool loaded = LoadFilterBank(Folder() + "/f1.wav");
  if (loaded != TheEngine.FiltersLoaded) __builtin_trap();
  if (loaded && (TheEngine.NumFilterChannels < 1 || TheEngine.NumFilterChannels > files)) __builtin_trap();
  TheEngine.ResetEngine();
  return 0;
}
