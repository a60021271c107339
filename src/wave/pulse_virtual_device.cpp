// Tovrel's own I/Q device: found, made and removed through one short connection on a
// private main loop, bounded by a deadline so that a server that does not answer never
// stalls the caller.
#include "wave/pulse_virtual_device.hpp"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "wave/pulse_device_list.hpp"

namespace wave::detail {

namespace {

constexpr auto kSessionTime = 3 * kConnectTimeout;
constexpr const char* kOwnerPidProperty = "tovrel.pid";
constexpr const char* kOwnerProfileProperty = "tovrel.profile";
constexpr std::string_view kSourcePrefix = "tovrel_iq";
constexpr std::string_view kSinkSuffix = "_sink";

// One connection, and the queries and module calls on it.
class Session {
 public:
  Session() : loop_(pa_mainloop_new()), deadline_(Clock::now() + kSessionTime) {
    if (loop_ == nullptr) return;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr || pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return;
    const auto connectBy = Clock::now() + kConnectTimeout;
    const bool answered = runUntil(connectBy, [&] {
      const pa_context_state_t s = pa_context_get_state(context_);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    ready_ = answered && pa_context_get_state(context_) == PA_CONTEXT_READY;
  }
  ~Session() {
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_ != nullptr) pa_mainloop_free(loop_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ready() const { return ready_; }

  struct Found {
    bool present = false;
    uint32_t index = PA_INVALID_INDEX;
    uint32_t module = PA_INVALID_INDEX;  // the module that made it; invalid: none
    uint32_t rate = 0;
    uint8_t channels = 0;
    long ownerPid = 0;  // the process that made it; 0: not known
  };

  Found findSink(const std::string& name) {
    Found found;
    await(pa_context_get_sink_info_by_name(context_, name.c_str(), &Session::onInfo<pa_sink_info>, &found));
    return found;
  }
  Found findSource(const std::string& name) {
    Found found;
    await(pa_context_get_source_info_by_name(context_, name.c_str(), &Session::onInfo<pa_source_info>, &found));
    return found;
  }

  // How many streams record the source `index`; -1 when the server did not tell.
  int readersOf(uint32_t index) {
    std::pair<uint32_t, int> count{index, 0};
    auto each = [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
      auto* c = static_cast<std::pair<uint32_t, int>*>(userdata);
      if (eol == 0 && info != nullptr && info->source == c->first) ++c->second;
    };
    if (!await(pa_context_get_source_output_info_list(context_, each, &count))) return -1;
    return count.second;
  }

  // The new module's index; PA_INVALID_INDEX when the server refused it or did not answer.
  uint32_t load(const char* module, const std::string& arguments) {
    uint32_t index = PA_INVALID_INDEX;
    auto loaded = [](pa_context*, uint32_t idx, void* userdata) { *static_cast<uint32_t*>(userdata) = idx; };
    if (!await(pa_context_load_module(context_, module, arguments.c_str(), loaded, &index))) return PA_INVALID_INDEX;
    return index;
  }

  bool unload(uint32_t module) {
    int ok = 0;
    auto done = [](pa_context*, int success, void* userdata) { *static_cast<int*>(userdata) = success; };
    return await(pa_context_unload_module(context_, module, done, &ok)) && ok != 0;
  }

 private:
  template <typename Info>
  static void onInfo(pa_context*, const Info* info, int eol, void* userdata) {
    if (eol != 0 || info == nullptr) return;
    auto* found = static_cast<Found*>(userdata);
    const char* pid = pa_proplist_gets(info->proplist, kOwnerPidProperty);
    *found = Found{true,
                   info->index,
                   info->owner_module,
                   info->sample_spec.rate,
                   info->sample_spec.channels,
                   pid != nullptr ? std::strtol(pid, nullptr, 10) : 0};
  }

  // Runs the loop until `finished` holds or `deadline` passes.
  template <typename Pred>
  bool runUntil(Clock::time_point deadline, Pred finished) {
    while (!finished()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      if (pa_mainloop_prepare(loop_, static_cast<int>(left)) < 0) return false;
      if (pa_mainloop_poll(loop_) < 0) return false;
      if (pa_mainloop_dispatch(loop_) < 0) return false;
    }
    return true;
  }

  // Whether the operation ended before the session's deadline; one that did not is
  // cancelled, so its callback never writes into a caller's variable that has gone.
  bool await(pa_operation* op) {
    if (op == nullptr) return false;
    const bool ended = runUntil(deadline_, [&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!ended) pa_operation_cancel(op);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
  }

  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  Clock::time_point deadline_;
  bool ready_ = false;
};

// Who made it: shown by `pactl list`, and checked before another process touches it.
std::string ownerProperties() {
  std::string text = std::string(" ") + kOwnerPidProperty + "=" + std::to_string(getpid());
  if (!waveProfile().empty()) text += std::string(" ") + kOwnerProfileProperty + "=" + waveProfile();
  return text;
}

std::string sinkArguments(const OwnDeviceNames& names, uint32_t rate) {
  return "sink_name=" + names.sink + " rate=" + std::to_string(rate) +
         " channels=2 channel_map=front-left,front-right sink_properties='device.description=\"" +
         names.sinkDescription + "\"" + ownerProperties() + "'";
}

// The source keeps the sink's channels as they are (no remixing): left I, right Q.
std::string sourceArguments(const OwnDeviceNames& names) {
  return "source_name=" + names.source + " master=" + names.sink +
         ".monitor channels=2 channel_map=front-left,front-right remix=no source_properties='device.description=\"" +
         names.sourceDescription + "\"" + ownerProperties() + "'";
}

// A process that is Tovrel and still runs, other than this one: a device it made is its own.
bool anotherRunningTovrel(long pid) {
  if (pid <= 0 || pid == getpid()) return false;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return std::getline(comm, name) && name == "tovrel";
}

bool ownedByAnother(const Session::Found& sink, const Session::Found& source) {
  return anotherRunningTovrel(sink.ownerPid) || anotherRunningTovrel(source.ownerPid);
}

// Unloads what was found; false when it is there but made by no module we could unload.
bool removeFound(Session& session, const Session::Found& found) {
  if (!found.present) return true;
  return found.module != PA_INVALID_INDEX && session.unload(found.module);
}

}  // namespace

OwnDeviceNames ownDeviceNames(std::string_view profile) {
  const std::string suffix = profile.empty() ? "" : " (" + std::string(profile) + ")";
  const std::string source = std::string(kSourcePrefix) + (profile.empty() ? "" : "_" + std::string(profile));
  return {source + std::string(kSinkSuffix), "Tovrel I/Q sink" + suffix, source, "Tovrel I/Q" + suffix};
}

OwnDeviceNames ownDeviceNames() { return ownDeviceNames(waveProfile()); }

bool isOwnDevice(std::string_view name) {
  const OwnDeviceNames names = ownDeviceNames();
  return name == names.sink || name == names.source || name == names.sink + ".monitor";
}

std::string ownSinkOf(std::string_view name) {
  // Profile names hold neither '.' nor a "sink" ending, so no sink or monitor matches.
  const bool source = name == kSourcePrefix || (name.starts_with(std::string(kSourcePrefix) + "_") &&
                                                name.find('.') == std::string_view::npos && !name.ends_with("sink"));
  return source ? std::string(name) + std::string(kSinkSuffix) : std::string();
}

MMRESULT ensureOwnDevice(uint32_t rate) {
  const OwnDeviceNames names = ownDeviceNames();
  Session session;
  if (!session.ready()) return MMSYSERR_NODRIVER;
  const Session::Found sink = session.findSink(names.sink);
  const Session::Found source = session.findSource(names.source);
  if (ownedByAnother(sink, source)) return MMSYSERR_ALLOCATED;
  if (sink.present && source.present && sink.rate == rate && sink.channels == 2) return MMSYSERR_NOERROR;
  // The source records the sink's monitor, so it goes first.
  if (!removeFound(session, source) || !removeFound(session, sink)) return MMSYSERR_ALLOCATED;
  const uint32_t sinkModule = session.load("module-null-sink", sinkArguments(names, rate));
  if (sinkModule == PA_INVALID_INDEX) return MMSYSERR_ERROR;
  if (session.load("module-remap-source", sourceArguments(names)) == PA_INVALID_INDEX) {
    session.unload(sinkModule);
    return MMSYSERR_ERROR;
  }
  return MMSYSERR_NOERROR;
}

Removal removeOwnDevice() {
  const OwnDeviceNames names = ownDeviceNames();
  Session session;
  if (!session.ready()) return Removal::Removed;
  const Session::Found sink = session.findSink(names.sink);
  const Session::Found source = session.findSource(names.source);
  if (ownedByAnother(sink, source)) return Removal::NotOurs;
  // Unloading a recorded source would move its readers to another one (say, the raw
  // receiver input), which they would take for I/Q: the device stays and plays silence.
  if (source.present && session.readersOf(source.index) != 0) return Removal::Recorded;
  removeFound(session, source);
  removeFound(session, sink);
  return Removal::Removed;
}

}  // namespace wave::detail
