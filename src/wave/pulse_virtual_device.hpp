#pragma once
// Tovrel's own I/Q device on the sound server: a stereo null sink that Tovrel plays into,
// and a source that records it, so that SDR programs see a real input named "Tovrel I/Q"
// rather than a monitor. Made through the server's client interface as two modules
// (module-null-sink, module-remap-source), which PulseAudio and PipeWire's pulse server
// both load. Modules outlive the client that loaded them, so a device left by a run that
// ended (killed, or closed while an SDR program recorded it) is found by its names and
// taken over.
//
// Each instance has a device of its own, named after its profile (waveProfile()), so two
// receivers on one computer never play into one device. Both modules carry their maker's
// process id and profile ("tovrel.pid", "tovrel.profile"); a device whose maker is a
// Tovrel still running is never taken over or removed by another process.
#include <cstdint>
#include <string>
#include <string_view>

#include "wave/wave.hpp"

namespace wave::detail {

struct OwnDeviceNames {
  std::string sink;               // "tovrel_iq_sink", or "tovrel_iq_NAME_sink"
  std::string sinkDescription;    // "Tovrel I/Q sink", or "Tovrel I/Q sink (NAME)"
  std::string source;             // "tovrel_iq", or "tovrel_iq_NAME"
  std::string sourceDescription;  // "Tovrel I/Q", or "Tovrel I/Q (NAME)"
};

// The names of the device of `profile` (empty: the default instance's).
OwnDeviceNames ownDeviceNames(std::string_view profile);
// This instance's: those of waveProfile().
OwnDeviceNames ownDeviceNames();

// The sink, its monitor or the source of this instance's device: the device lists leave
// them out, since their own entry stands for them.
bool isOwnDevice(std::string_view name);

// The sink whose sound the source `name` carries when it is the source of any instance's
// device ("tovrel_iq_b" -> "tovrel_iq_b_sink"); empty otherwise.
std::string ownSinkOf(std::string_view name);

// Makes sure this instance's device runs at `rate` (stereo), at most about three
// connection timeouts after the call. A device found by name at that rate is taken over
// as it is; one at another rate, or a half of one, is removed and made anew.
// MMSYSERR_NODRIVER without a server; MMSYSERR_ALLOCATED when another running Tovrel owns
// it, or something of that name is there that is no module and so cannot be replaced;
// MMSYSERR_ERROR when the server refuses a module.
MMRESULT ensureOwnDevice(uint32_t rate);

// What became of this instance's device at removeOwnDevice().
enum class Removal {
  Removed,   // unloaded, or there was none (or no server answered)
  Recorded,  // left in place: a reader still records its source
  NotOurs,   // left in place: another running Tovrel owns it
};

// Unloads the modules of this instance's device found by name (the source first), unless
// a reader records its source or another running Tovrel owns it.
Removal removeOwnDevice();

}  // namespace wave::detail
