#pragma once
// The JACK wave driver: one JACK client, "Tessival", whose ports carry the bank's roles.
// The same program runs on jackd and on PipeWire's JACK layer (pw-jack), whichever
// libjack the dynamic linker gives it.
//
// Devices: capture "JACK: in 1-2" (ports in_L, in_R); playback "JACK: out 1-2"
// (dipole_L, dipole_R), "JACK: out 3-4" (S1, S2) ... "JACK: out 9-10" (S7, S8).
// Identities "jack:<left port>,<right port>". TESSIVAL_AUDIO=jack makes this the
// driver in use; otherwise its entries follow ALSA's in the lists while a JACK server
// answers (DesktopDriver.h).
//
// Open: the client is opened (never starting a server) and activated on the first
// open of a session, and lives until the driver goes or the server does; opening an
// entry registers its two ports, which then stay registered, so that the connections a
// user makes in a patchbay survive stop and play. A port registered for the first time
// that has no connection is connected to the physical ports in order (in_L and in_R to
// the first two capture ports, dipole_L, dipole_R, S1 ... to the playback ports), where
// they exist; a port someone connected is never touched. The format's rate must be the
// server's, else WAVERR_BADFORMAT; 16 and 32-bit samples are converted to and from
// JACK's floats (FloatSamples.h). An entry already open gives MMSYSERR_ALLOCATED; no
// server gives MMSYSERR_NODRIVER.
//
// Running: the process callback moves frames between the ports and a ring per device,
// converting, and wakes the notifier thread with a semaphore; it takes no lock and
// allocates nothing. The notifier (real-time scheduling when allowed) is the device side
// of each DeviceQueue (DeviceQueue.h): it fills the queued capture buffers from the
// rings, a block of any length over as many periods as it takes, keeps each playing
// output's ring two periods ahead of the callback from the queued buffers (the dry rule
// of WaveDriver.h included), and posts the notifications. A paused output and a closed
// entry play silence. The server's xruns are counted for every open device, with the
// device's own overruns and underruns. The client's latency (queued playback buffers
// times the block length, plus the ring) is reported on its ports, so that other clients
// can compensate.
//
// Lost devices: the server shutting down (or PipeWire going away) posts MM_WAVE_LOST
// for every open device, naming JACK and the server's reason; so does a server that
// runs no cycle for 2 s while a device has work. Reset and close still answer; the
// client goes with the last device closed, and the next open opens a new one.
//
// Setting TESSIVAL_AUDIO_DEBUG=1 lets libjack print its messages to stderr.
#include <memory>
#include <string>

#include "audio/WaveDriver.h"

namespace tessival {

std::unique_ptr<WaveDriver> MakeJackDriver();

// Whether the JACK server of the libjack in use answers: PipeWire's socket when that
// libjack is PipeWire's, else jackd's.
bool JackServerAnswers();

// The file of the libjack in use, as the dynamic linker found it.
std::string LoadedLibjack();

}  // namespace tessival
