#pragma once
#include <cstddef>
#include <filesystem>
#include <thread>

namespace tessival::testing {

// Threads of the process. The first thread started may start a sanitizer's own helper
// thread too, so one is started and ended before the first count.
inline size_t ThreadCount() {
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

}  // namespace tessival::testing
