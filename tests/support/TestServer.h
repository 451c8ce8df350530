#pragma once
// A real sound server for a test binary, started and stopped by the scripts of
// scripts/ in a folder of its own: jackd on its dummy backend (jackd-headless) or a
// headless PipeWire with a null sink and a tone source (pipewire-headless). The
// process's environment is pointed at it. A server that is not installed is skipped
// with a line saying so, except on CI (CI=true), where that and a server that does not
// start are failures.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tessival::testing {

class TestServer {
 public:
  enum class Kind { Jackd, PipeWire };

  TestServer(Kind kind, const std::string& tag) : kind_(kind) {
    dir_ = std::filesystem::temp_directory_path() / (tag + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "home");
  }
  ~TestServer() {
    Stop();
    std::filesystem::remove_all(dir_);
  }

  // Starts the server, points this process at it and says how long it took. The
  // script's exit status: 0 started, 2 not installed, anything else failed.
  int Start() {
    const auto started = std::chrono::steady_clock::now();
    // JACK clients here feed their own signal: no tone stream among the physical ports.
    const std::string command = std::string(kind_ == Kind::PipeWire ? "PIPEWIRE_HEADLESS_TONE=0 " : "") + Script() +
                                " start " + dir_.string() + " " + std::to_string(::getpid());
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    status_ = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (status_ == 0) {
      std::printf("%s started in %.2f s\n", Name(), seconds_);
      ::setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
      if (kind_ == Kind::Jackd) {
        std::string server;
        std::ifstream(dir_ / "server") >> server;
        ::setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
        ::setenv("JACK_NO_START_SERVER", "1", 1);
      }
    }
    return status_;
  }

  void Stop() {
    if (status_ != 0) return;
    std::system((Script() + " stop " + dir_.string()).c_str());
    status_ = -1;
  }

  // For SetUp: empty when the server runs; else why not, and whether that fails the test.
  std::string Problem(bool* fail) const {
    *fail = OnCi() || (status_ != 0 && status_ != 2);
    if (status_ == 0) return {};
    if (status_ == 2)
      return std::string(Name()) + " is not installed (" +
             (kind_ == Kind::Jackd ? "jackd2" : "pipewire, pipewire-bin, pipewire-alsa, wireplumber, sox") + "): skipped";
    return std::string(Name()) + " did not start: see " + dir_.string();
  }

  static bool OnCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
  }

  const char* Name() const { return kind_ == Kind::Jackd ? "jackd" : "PipeWire"; }
  const std::filesystem::path& Dir() const { return dir_; }
  bool Running() const { return status_ == 0; }

 private:
  std::string Script() const {
    return std::string(TESSIVAL_SOURCE_DIR) + (kind_ == Kind::Jackd ? "/scripts/jackd-headless" : "/scripts/pipewire-headless");
  }

  Kind kind_;
  std::filesystem::path dir_;
  int status_ = -1;
  double seconds_ = 0;
};

// Skips or fails the current test when server does not run.
#define TESSIVAL_REQUIRE_SERVER(server)                   \
  do {                                                     \
    bool fail_ = false;                                    \
    const std::string problem_ = (server).Problem(&fail_); \
    if (!problem_.empty()) {                               \
      if (fail_) FAIL() << problem_;                       \
      GTEST_SKIP() << problem_;                            \
    }                                                      \
  } while (0)

}  // namespace tessival::testing
