// Device lists of the sound server: a one-shot connection on a private main loop, bounded
// by a deadline so that a server that does not answer never stalls the caller.
#include "wave/pulse_device_list.hpp"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "wave/pulse_virtual_device.hpp"

namespace wave::detail {

namespace {

// Runs `loop` until `finished` holds or the deadline passes.
template <typename Pred>
bool runUntil(pa_mainloop* loop, Clock::time_point deadline, Pred finished) {
  while (!finished()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (pa_mainloop_prepare(loop, static_cast<int>(left)) < 0) return false;
    if (pa_mainloop_poll(loop) < 0) return false;
    if (pa_mainloop_dispatch(loop) < 0) return false;
  }
  return true;
}

bool isMonitor(const pa_source_info& info) { return info.monitor_of_sink != PA_INVALID_INDEX; }
bool isMonitor(const pa_sink_info&) { return false; }

std::string monitorOf(const pa_source_info& info) {
  if (info.name != nullptr)
    if (std::string sink = ownSinkOf(info.name); !sink.empty()) return sink;
  return isMonitor(info) && info.monitor_of_sink_name ? info.monitor_of_sink_name : "";
}
std::string monitorOf(const pa_sink_info&) { return {}; }

template <typename Info>
void addEntry(pa_context*, const Info* info, int eol, void* userdata) {
  auto* listing = static_cast<Listing*>(userdata);
  if (eol == 0 && info != nullptr) {
    listing->devices.push_back(
        {info->name ? info->name : "", info->description ? info->description : "", isMonitor(*info), monitorOf(*info)});
  }
}

}  // namespace

Listing queryServer(Direction direction) {
  Listing listing;
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) return listing;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), kClientName);
  const auto deadline = Clock::now() + kConnectTimeout;
  const bool capture = direction == Direction::Capture;
  if (context != nullptr && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    const bool ready = runUntil(loop, deadline, [&] {
      const pa_context_state_t s = pa_context_get_state(context);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (ready && pa_context_get_state(context) == PA_CONTEXT_READY) {
      pa_operation* list = capture ? pa_context_get_source_info_list(context, addEntry<pa_source_info>, &listing)
                                   : pa_context_get_sink_info_list(context, addEntry<pa_sink_info>, &listing);
      auto serverInfo = [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* out = static_cast<std::pair<bool, Listing*>*>(userdata);
        if (info != nullptr) {
          const char* name = out->first ? info->default_source_name : info->default_sink_name;
          out->second->defaultName = name ? name : "";
        }
      };
      std::pair<bool, Listing*> infoTarget{capture, &listing};
      pa_operation* server = pa_context_get_server_info(context, serverInfo, &infoTarget);
      if (list != nullptr && server != nullptr) {
        listing.reachable = runUntil(loop, deadline, [&] {
          return pa_operation_get_state(list) != PA_OPERATION_RUNNING &&
                 pa_operation_get_state(server) != PA_OPERATION_RUNNING;
        });
        listing.reachable = listing.reachable && pa_operation_get_state(list) == PA_OPERATION_DONE;
      }
      if (list) pa_operation_unref(list);
      if (server) pa_operation_unref(server);
    }
    pa_context_disconnect(context);
  }
  if (context) pa_context_unref(context);
  pa_mainloop_free(loop);
  if (!listing.reachable) listing = Listing{};
  for (const DeviceEntry& d : listing.devices) {
    if (d.name == listing.defaultName) {
      listing.defaultDevice = d;
      listing.defaultListed = true;
    }
  }
  std::erase_if(listing.devices, [](const DeviceEntry& d) { return isOwnDevice(d.name); });
  // Real inputs first, so that capture id 0 never records the monitor of a sink.
  std::stable_partition(listing.devices.begin(), listing.devices.end(),
                        [](const DeviceEntry& d) { return !d.monitor; });
  return listing;
}

}  // namespace wave::detail
