#pragma once
// The back end on top of the PulseAudio sound server (PipeWire's pulse server works too).
#include <memory>

#include "wave/wave.hpp"

namespace wave {

// Playback device k is the k-th sink in the server's order; capture device k counts the
// sources that are not monitors first, then the monitors (each in the server's order).
// Ids keep naming the devices of the list they were counted from: open finds the device
// by its server name and fails with MMSYSERR_BADDEVICEID when it has gone. WAVE_MAPPER is
// the server's default source or sink, named "Default (<its description>)" (the query
// fails when the server names no default, so the caller falls back to its own mapper
// name). With no server reachable (connection attempts give up after about 1.5 s) there
// are no devices, every caps query fails and opening returns MMSYSERR_NODRIVER.
std::unique_ptr<Backend> makePulseBackend();

}  // namespace wave
