#pragma once
// The back end on top of the PulseAudio sound server (PipeWire's pulse server works too).
#include <memory>

#include "wave/wave.hpp"

namespace wave {

// Capture device k is the k-th source the server lists (monitors included), playback
// device k the k-th sink, in the server's order; WAVE_MAPPER is the server's default
// source or sink, and its name is that device's description (the query fails when the
// server names no default, so the caller falls back to its own mapper name).
// With no server reachable (connection attempts give up after about 1.5 s) there are no
// devices, every caps query fails and opening returns MMSYSERR_NODRIVER.
std::unique_ptr<Backend> makePulseBackend();

}  // namespace wave
