#pragma once
// Whether the sound servers answer where their clients would look for them: a program
// listening on the server's socket, not a stale file. Quick (one connect each), so the
// device lists may ask every time they are read.
#include <string>

namespace tessival {

// True when a program listens on the Unix socket at path.
bool SocketAnswers(const std::string& path);

// PipeWire, at PIPEWIRE_REMOTE (default pipewire-0) in PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR.
bool PipeWireAnswers();
// PulseAudio (or PipeWire's stand-in), at PULSE_SERVER or PULSE_RUNTIME_PATH; a server
// elsewhere than a local socket is taken on trust.
bool PulseAnswers();
// jackd (version 2), under JACK_DEFAULT_SERVER (default "default").
bool JackdAnswers();

}  // namespace tessival
