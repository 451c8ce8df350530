#pragma once
// The fixed room of the program, in one place: every table of channels, devices,
// buffers and sliders is sized from here. Header only, so the lowest library can
// hold it and every unit above can read it.

namespace tessival {

constexpr int MaxChannels = 10;    // output channels with a filter pair (bank files 1..10)
constexpr int MaxOutDevices = 5;   // stereo playback devices, one per output pair
constexpr int MinBuffers = 2;      // wave buffers per device: NumBuffers is held to 2..8
constexpr int MaxBuffers = 8;
constexpr int NumGainSliders = 10;  // 0 Dipole, 1..8 S1..S8, 9 Master
constexpr int MasterSlider = NumGainSliders - 1;
constexpr int MaxGainDb = 6;        // gain slider range in whole decibels
constexpr int MinGainDb = -24;

static_assert(MaxOutDevices * 2 == MaxChannels, "each playback device carries a pair of channels");

}  // namespace tessival
