#include "audio/ServerProbe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tessival {

namespace {

std::string Environment(const char* name, const std::string& otherwise = {}) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : otherwise;
}

std::string RuntimeDir() { return Environment("XDG_RUNTIME_DIR", "/run/user/" + std::to_string(::getuid())); }

}  // namespace

bool SocketAnswers(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const bool answers = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return answers;
}

bool PipeWireAnswers() {
  const std::string remote = Environment("PIPEWIRE_REMOTE", "pipewire-0");
  return SocketAnswers(remote[0] == '/' ? remote : Environment("PIPEWIRE_RUNTIME_DIR", RuntimeDir()) + "/" + remote);
}

bool PulseAnswers() {
  const std::string server = Environment("PULSE_SERVER");
  if (!server.empty()) return server.rfind("unix:", 0) != 0 || SocketAnswers(server.substr(5));
  return SocketAnswers(Environment("PULSE_RUNTIME_PATH", RuntimeDir() + "/pulse") + "/native");
}

bool JackdAnswers() {
  // jackd 2 keeps its sockets in /dev/shm, named by server and user.
  const std::string server = Environment("JACK_DEFAULT_SERVER", "default");
  return SocketAnswers("/dev/shm/jack_" + server + "_" + std::to_string(::getuid()) + "_0");
}

}  // namespace tessival
