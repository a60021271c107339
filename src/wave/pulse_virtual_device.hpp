#pragma once
// Tovrel's own I/Q device on the sound server: a stereo null sink that Tovrel plays into,
// and a source that records it, so that SDR programs see a real input named "Tovrel I/Q"
// rather than a monitor. Made through the server's client interface as two modules
// (module-null-sink, module-remap-source), which PulseAudio and PipeWire's pulse server
// both load. Modules outlive the client that loaded them, so a device left by a run that
// was killed is found by its names and taken over.
#include <cstdint>
#include <string_view>

#include "wave/wave.hpp"

namespace wave::detail {

constexpr const char* kOwnSinkName = "tovrel_iq_sink";
constexpr const char* kOwnSinkDescription = "Tovrel I/Q sink";
constexpr const char* kOwnSourceName = "tovrel_iq";
constexpr const char* kOwnSourceDescription = "Tovrel I/Q";

// The sink, its monitor or the source: the device lists leave them out, since their own
// entry stands for them.
bool isOwnDevice(std::string_view name);

// Makes sure the device runs at `rate` (stereo), at most about three connection timeouts
// after the call. A device found by name at that rate is taken over as it is; one at
// another rate, or a half of one, is removed and made anew. MMSYSERR_NODRIVER without a
// server; MMSYSERR_ALLOCATED when something of that name is there that is no module and
// so cannot be replaced; MMSYSERR_ERROR when the server refuses a module.
MMRESULT ensureOwnDevice(uint32_t rate);

// Unloads the modules of the device found by name (the source first); nothing when there
// is none or no server answers.
void removeOwnDevice();

}  // namespace wave::detail
