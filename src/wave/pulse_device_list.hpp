#pragma once
// What the sound server lists: sources (monitors included) or sinks.
#include <chrono>
#include <string>
#include <vector>

#include "wave/wave.hpp"

namespace wave::detail {

using Clock = std::chrono::steady_clock;

// How long any connection attempt may take before the server counts as unreachable.
constexpr auto kConnectTimeout = std::chrono::milliseconds(1500);
constexpr const char* kClientName = "Tovrel";

struct DeviceEntry {
  std::string name;         // the server's device name, used to connect
  std::string description;  // what the user sees
  bool monitor = false;     // a source that records what a sink plays
  // The sink whose sound a source records: the sink of a monitor, and Tovrel's own sink
  // for Tovrel's own source; empty otherwise.
  std::string monitorOf;
};

struct Listing {
  bool reachable = false;  // false: no server answered; no devices
  std::vector<DeviceEntry> devices;
  std::string defaultName;     // name of the server's default source or sink; may be empty
  DeviceEntry defaultDevice;   // that device, also when it is one left out of `devices`
  bool defaultListed = false;  // the server lists a device of that name
};

// Sources (capture) or sinks of the server named by the environment, at most
// kConnectTimeout after the call: sinks in the server's order; sources that are not
// monitors in the server's order, then the monitors in the server's order. Tovrel's own
// device (its sink, the sink's monitor and its source) is left out: its own entry stands
// for it.
Listing queryServer(Direction direction);

}  // namespace wave::detail
