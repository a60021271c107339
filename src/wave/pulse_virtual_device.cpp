// Tovrel's own I/Q device: found, made and removed through one short connection on a
// private main loop, bounded by a deadline so that a server that does not answer never
// stalls the caller.
#include "wave/pulse_virtual_device.hpp"

#include <pulse/pulseaudio.h>

#include <string>

#include "wave/pulse_device_list.hpp"

namespace wave::detail {

namespace {

constexpr auto kSessionTime = 3 * kConnectTimeout;

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
    uint32_t module = PA_INVALID_INDEX;  // the module that made it; invalid: none
    uint32_t rate = 0;
    uint8_t channels = 0;
  };

  Found findSink(const char* name) {
    Found found;
    await(pa_context_get_sink_info_by_name(context_, name, &Session::onInfo<pa_sink_info>, &found));
    return found;
  }
  Found findSource(const char* name) {
    Found found;
    await(pa_context_get_source_info_by_name(context_, name, &Session::onInfo<pa_source_info>, &found));
    return found;
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
    *found = Found{true, info->owner_module, info->sample_spec.rate, info->sample_spec.channels};
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

std::string sinkArguments(uint32_t rate) {
  return "sink_name=" + std::string(kOwnSinkName) + " rate=" + std::to_string(rate) +
         " channels=2 channel_map=front-left,front-right sink_properties='device.description=\"" + kOwnSinkDescription +
         "\"'";
}

// The source keeps the sink's channels as they are (no remixing): left I, right Q.
std::string sourceArguments() {
  return "source_name=" + std::string(kOwnSourceName) + " master=" + kOwnSinkName +
         ".monitor channels=2 channel_map=front-left,front-right remix=no source_properties='device.description=\"" +
         kOwnSourceDescription + "\"'";
}

// Unloads what was found; false when it is there but made by no module we could unload.
bool removeFound(Session& session, const Session::Found& found) {
  if (!found.present) return true;
  return found.module != PA_INVALID_INDEX && session.unload(found.module);
}

}  // namespace

bool isOwnDevice(std::string_view name) {
  return name == kOwnSinkName || name == kOwnSourceName || name == std::string(kOwnSinkName) + ".monitor";
}

MMRESULT ensureOwnDevice(uint32_t rate) {
  Session session;
  if (!session.ready()) return MMSYSERR_NODRIVER;
  const Session::Found sink = session.findSink(kOwnSinkName);
  const Session::Found source = session.findSource(kOwnSourceName);
  if (sink.present && source.present && sink.rate == rate && sink.channels == 2) return MMSYSERR_NOERROR;
  // The source records the sink's monitor, so it goes first.
  if (!removeFound(session, source) || !removeFound(session, sink)) return MMSYSERR_ALLOCATED;
  const uint32_t sinkModule = session.load("module-null-sink", sinkArguments(rate));
  if (sinkModule == PA_INVALID_INDEX) return MMSYSERR_ERROR;
  if (session.load("module-remap-source", sourceArguments()) == PA_INVALID_INDEX) {
    session.unload(sinkModule);
    return MMSYSERR_ERROR;
  }
  return MMSYSERR_NOERROR;
}

void removeOwnDevice() {
  Session session;
  if (!session.ready()) return;
  removeFound(session, session.findSource(kOwnSourceName));
  removeFound(session, session.findSink(kOwnSinkName));
}

}  // namespace wave::detail
