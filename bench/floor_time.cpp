// Runs a command and prints its wall time and the CPU time of it and every process it
// started (user + system of all their threads), in seconds, for bench/peers.sh. On a
// shared machine the CPU time is the steadier figure: the wall time also holds the time
// others had the CPU. Descendants that their parent never waits for (BruteFIR's filter
// processes) are adopted and waited for here, so their time counts too.
//
//   floor_time [-o FILE] COMMAND [ARG...]
//
// Prints "WALL CPU" (to FILE when given, else to stderr); exits with the command's status.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  int first = 1;
  const char* outPath = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "-o") == 0) {
    outPath = argv[2];
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: floor_time [-o FILE] COMMAND [ARG...]\n");
    return 2;
  }
  // Orphaned descendants come to us instead of to init.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("floor_time: fork");
    return 2;
  }
  if (pid == 0) {
    ::execvp(argv[first], argv + first);
    std::fprintf(stderr, "floor_time: %s: %s\n", argv[first], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("floor_time: waitpid");
      return 2;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Adopted descendants still finishing: waited for up to 10 s.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const pid_t done = ::waitpid(-1, nullptr, WNOHANG);
    if (done > 0 || (done < 0 && errno == EINTR)) continue;
    if (done < 0) break;  // no children left
    if (std::chrono::steady_clock::now() > giveUp) {
      std::fprintf(stderr, "floor_time: descendants of %s still run; their time is missing\n", argv[first]);
      break;
    }
    ::usleep(10000);
  }
  // The child and every descendant that was waited for.
  rusage children{};
  ::getrusage(RUSAGE_CHILDREN, &children);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const double cpu = seconds(children.ru_utime) + seconds(children.ru_stime);
  std::FILE* out = outPath ? std::fopen(outPath, "w") : stderr;
  if (!out) {
    std::perror(outPath);
    return 2;
  }
  std::fprintf(out, "%.4f %.4f\n", wall, cpu);
  if (outPath) std::fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
