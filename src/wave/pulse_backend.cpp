// The back end on top of the PulseAudio sound server.
//
// Each open device has its own server connection driven by its own threaded main loop:
// that loop's thread is the device's worker. It moves samples between the stream and the
// head of the device's header queue in fragments of a few tens of milliseconds and posts
// the notices. The caller's thread takes the loop's lock only for short bookkeeping
// (queueing a header, taking the queue back), and the worker holds it only while it
// copies one fragment, so neither side waits on the other for long. The caller's thread
// posts the buffers that Reset and Close hand back after letting go of the lock, so a
// target that queues a buffer again from inside the notice cannot disturb the hand-back.
// (The worker's own notices are posted from inside libpulse's callbacks, where the loop
// holds its lock; that lock is recursive, so a target may still call in from there.)
#include "wave/pulse_backend.hpp"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wave/pulse_device_list.hpp"
#include "wave/pulse_virtual_device.hpp"
#include "wave/wave_checks.hpp"

namespace wave {

namespace {

using detail::Clock;
using detail::kClientName;
using detail::kConnectTimeout;
using detail::Listing;
using detail::queryServer;

constexpr auto kListingLifetime = std::chrono::milliseconds(1000);  // one device-box fill, one connection
constexpr uint64_t kCaptureFragmentUsec = 20000;
constexpr uint64_t kPlaybackLatencyUsec = 50000;
// On PipeWire a stream at another rate than the graph's passes the server's resampler (see
// kResampleQuality) on top of what the stream keeps written ahead; a caller with short
// buffers, who is after low delay, asks it for less than the default.
constexpr uint64_t kShortPlaybackLatencyOnPipeWireUsec = 40000;
// PulseAudio's floor for the same: a caller with short buffers keeps three of them written
// ahead on top, which also covers a server that asks for a whole buffer's worth at once.
constexpr uint64_t kShortPlaybackLatencyUsec = 25000;
constexpr uint64_t kPlaybackRequestUsec = 10000;
// PipeWire resamples a stream whose rate differs from its graph's, and its default quality
// cuts the top of the band: ask for its best, which delays 24000 Hz playback by 21.5 ms (its
// own report). A low-delay caller gets 5.5 ms instead; a tone at 97 % of the band then comes
// out 0.01 dB lower and its image still more than 110 dB down. PulseAudio ignores the key.
constexpr const char* kResampleQuality = "14";
constexpr const char* kLowDelayResampleQuality = "12";
constexpr int kMostLatencyRequests = 4;
// For this long after a playback stream is connected its sink's changes are its own arrival
// (PipeWire reports the sink changed, looking just as before): none of them connects the
// stream again, so a server that keeps sending changes never gets into a loop with us.
constexpr pa_usec_t kSinkSettleUsec = 1000000;
// Handle values: opaque, 16 apart, never reused within a process, so a stale handle is
// recognised instead of being taken for a newer device.
constexpr uintptr_t kFirstHandle = 0x7E5800000000ull;

// Errors while opening: what the caller can do something about.
MMRESULT openError(int paError) {
  switch (paError) {
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_INVALIDSERVER:
    case PA_ERR_TIMEOUT:
    case PA_ERR_ACCESS:
    case PA_ERR_AUTHKEY:
    case PA_ERR_VERSION: return MMSYSERR_NODRIVER;
    case PA_ERR_NOENTITY:
    case PA_ERR_KILLED: return MMSYSERR_BADDEVICEID;
    case PA_ERR_BUSY: return MMSYSERR_ALLOCATED;
    case PA_ERR_NOTSUPPORTED:
    case PA_ERR_INVALID: return WAVERR_BADFORMAT;
    case PA_ERR_TOOLARGE: return MMSYSERR_NOMEM;
    default: return MMSYSERR_ERROR;
  }
}

// Errors of a running device: the server went away, or the device did.
MMRESULT runningError(int paError) {
  switch (paError) {
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_INVALIDSERVER: return MMSYSERR_NODRIVER;
    case PA_ERR_NOENTITY:
    case PA_ERR_KILLED: return MMSYSERR_BADDEVICEID;
    default: return MMSYSERR_ERROR;
  }
}

// ---------------------------------------------------------------------------------------
// One open device.

class PulseDevice {
 public:
  PulseDevice(Direction direction, NoticeTarget* target, void* handle, bool lowDelay)
      : capture_(direction == Direction::Capture), lowDelay_(lowDelay), target_(target), handle_(handle) {
    queue_.reserve(64);
  }
  ~PulseDevice() { teardown(); }
  PulseDevice(const PulseDevice&) = delete;
  PulseDevice& operator=(const PulseDevice&) = delete;

  bool capture() const { return capture_; }
  Direction direction() const { return capture_ ? Direction::Capture : Direction::Playback; }
  uint32_t deviceRate() {
    Locked lock(loop_);
    return deviceRate_;
  }
  uint32_t frameBytes() const { return static_cast<uint32_t>(frameBytes_); }
  void* handle() const { return handle_; }
  NoticeTarget* target() const { return target_; }

  // Connects to the server and the device (null name: the default one). Calling thread.
  MMRESULT connect(const char* deviceName, const WAVEFORMATEX& format) {
    if (MMRESULT r = startLoop(); r != MMSYSERR_NOERROR) return r;
    Locked lock(loop_);
    if (MMRESULT r = waitForContext(); r != MMSYSERR_NOERROR) return r;
    if (!capture_) readServerName();  // only playback's buffer depends on it
    if (MMRESULT r = createStream(format); r != MMSYSERR_NOERROR) return r;
    if (MMRESULT r = connectStream(deviceName); r != MMSYSERR_NOERROR) return r;
    if (MMRESULT r = waitForStream(); r != MMSYSERR_NOERROR) return r;
    readDeviceRate();
    running_ = true;
    if (!capture_ && onPipeWire_) watchSink();
    return MMSYSERR_NOERROR;
  }

  // Every call below answers MMSYSERR_INVALHANDLE once Close has begun: another thread
  // may still hold the device when Close takes it out of the table.
  MMRESULT prepare(WAVEHDR* header) {
    Locked lock(loop_);
    if (closing_) return MMSYSERR_INVALHANDLE;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  // After a failure headers are still taken and held (nothing fills or plays them), so a
  // caller that queues buffers again neither fails nor loops; Reset or Close returns them.
  MMRESULT enqueue(WAVEHDR* header) {
    Locked lock(loop_);
    if (closing_) return MMSYSERR_INVALHANDLE;
    if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if (std::find(queue_.begin(), queue_.end(), header) != queue_.end()) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    if (capture_) header->dwBytesRecorded = 0;
    queue_.push_back(header);
    if (capture_) {
      fitFragmentTo(header->dwBufferLength);
    } else {
      fitLatencyTo(header->dwBufferLength);
    }
    // Room the server asked for while nothing was queued is filled at once.
    if (!capture_ && running_ && failure_ == MMSYSERR_NOERROR) write();
    return MMSYSERR_NOERROR;
  }

  MMRESULT start() {
    Locked lock(loop_);
    if (closing_) return MMSYSERR_INVALHANDLE;
    if (failure_ != MMSYSERR_NOERROR) return failure_;
    if (!recording_) {
      recording_ = true;
      // Drop what the server still held from before a reset, then let samples flow.
      unrefOp(pa_stream_flush(stream_, nullptr, nullptr));
      unrefOp(pa_stream_cork(stream_, 0, nullptr, nullptr));
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT reset() {
    std::vector<WAVEHDR*> back;
    {
      Locked lock(loop_);
      if (closing_) return MMSYSERR_INVALHANDLE;
      if (failure_ == MMSYSERR_NOERROR && running_) {
        if (capture_) {
          if (recording_) unrefOp(pa_stream_cork(stream_, 1, nullptr, nullptr));
        } else {
          // Forget what was written ahead; the worker goes on with silence.
          unrefOp(pa_stream_flush(stream_, nullptr, nullptr));
        }
      }
      recording_ = false;
      back = takeQueue();
      beginHandBack();
    }
    handBack(back);
    endHandBack();
    return MMSYSERR_NOERROR;
  }

  // Stops the worker and releases the connection, then hands back what was still queued.
  // False when another thread's Close came first.
  bool close() {
    std::vector<WAVEHDR*> back;
    {
      Locked lock(loop_);
      if (closing_) return false;
      closing_ = true;
      recording_ = false;
      back = takeQueue();
    }
    disconnect();
    handBack(back);
    // A Reset on another thread may still be posting what it took: the close notice must
    // come after those.
    std::unique_lock lock(handBackMutex_);
    handBackDone_.wait(lock, [&] { return handBacksInFlight_ == 0; });
    return true;
  }

 private:
  // The loop's lock, for the calling thread.
  struct Locked {
    explicit Locked(pa_threaded_mainloop* loop) : loop(loop) { pa_threaded_mainloop_lock(loop); }
    ~Locked() { pa_threaded_mainloop_unlock(loop); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    pa_threaded_mainloop* loop;
  };

  // The device's own loop and its connection to the server; the loop's thread becomes
  // the worker.
  MMRESULT startLoop() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return MMSYSERR_NOMEM;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) return MMSYSERR_NOMEM;
    pa_context_set_state_callback(context_, &PulseDevice::onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return openError(pa_context_errno(context_));
    }
    if (pa_threaded_mainloop_start(loop_) < 0) return MMSYSERR_NOMEM;
    started_ = true;
    return MMSYSERR_NOERROR;
  }

  // Lock held.
  MMRESULT waitForContext() {
    const bool answered = waitUntil([&] {
      const pa_context_state_t s = pa_context_get_state(context_);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!answered) return MMSYSERR_NODRIVER;  // the server does not answer
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) return openError(pa_context_errno(context_));
    return MMSYSERR_NOERROR;
  }

  // Lock held. A 16-bit stream of the caller's rate and channels.
  MMRESULT createStream(const WAVEFORMATEX& format) {
    sampleSpec_.format = PA_SAMPLE_S16LE;
    sampleSpec_.rate = format.nSamplesPerSec;
    sampleSpec_.channels = static_cast<uint8_t>(format.nChannels);
    frameBytes_ = pa_frame_size(&sampleSpec_);
    return newStream();
  }

  // Lock held. A stream of sampleSpec_ with the state callback set.
  MMRESULT newStream() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, "resample.quality", lowDelay_ ? kLowDelayResampleQuality : kResampleQuality);
    stream_ = pa_stream_new_with_proplist(context_, capture_ ? "Capture" : "Playback", &sampleSpec_, nullptr, props);
    pa_proplist_free(props);
    if (stream_ == nullptr) return openError(pa_context_errno(context_));
    pa_stream_set_state_callback(stream_, &PulseDevice::onStreamState, this);
    return MMSYSERR_NOERROR;
  }

  // Lock held. Capture asks for fragments of kCaptureFragmentUsec and starts corked (it
  // records from Start on); playback keeps kPlaybackLatencyUsec written ahead. Both get
  // shorter for a caller with short buffers (fitFragmentTo, fitLatencyTo).
  MMRESULT connectStream(const char* deviceName) {
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    // The device a stream opened on (chosen, or the default of that moment) stays its device:
    // if it goes away the stream fails instead of moving, maybe onto the sink being recorded.
    const int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE;
    int rc;
    if (capture_) {
      attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kCaptureFragmentUsec, &sampleSpec_));
      fragmentBytes_ = attr.fragsize;
      attr.tlength = attr.minreq = static_cast<uint32_t>(-1);
      pa_stream_set_read_callback(stream_, &PulseDevice::onRead, this);
      rc = pa_stream_connect_record(stream_, deviceName, &attr,
                                    static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED));
    } else {
      attr.fragsize = static_cast<uint32_t>(-1);
      attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(latencyUsec_, &sampleSpec_));
      attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kPlaybackRequestUsec, &sampleSpec_));
      pa_stream_set_write_callback(stream_, &PulseDevice::onWrite, this);
      pa_stream_set_buffer_attr_callback(stream_, &PulseDevice::onBufferAttr, this);
      pa_stream_set_underflow_callback(stream_, &PulseDevice::onUnderflow, this);
      rc = pa_stream_connect_playback(stream_, deviceName, &attr, static_cast<pa_stream_flags_t>(flags), nullptr,
                                      nullptr);
    }
    return rc < 0 ? openError(pa_context_errno(context_)) : MMSYSERR_NOERROR;
  }

  // Lock held.
  MMRESULT waitForStream() {
    const bool settled = waitUntil([&] {
      const pa_stream_state_t s = pa_stream_get_state(stream_);
      return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (!settled) return MMSYSERR_ERROR;
    if (pa_stream_get_state(stream_) != PA_STREAM_READY) return openError(pa_context_errno(context_));
    return MMSYSERR_NOERROR;
  }

  // Lock held. The rate of the device the stream reached (the server resamples between the
  // two); stays 0 when the server does not say.
  void readDeviceRate() {
    const uint32_t index = pa_stream_get_device_index(stream_);
    if (index == PA_INVALID_INDEX) return;
    pa_operation* op = capture_
                           ? pa_context_get_source_info_by_index(context_, index, &onDeviceInfo<pa_source_info>, this)
                           : pa_context_get_sink_info_by_index(context_, index, &onDeviceInfo<pa_sink_info>, this);
    awaitOperation(op);
  }

  // Lock held. Whether the server is PipeWire's pulse layer (it names itself so).
  void readServerName() { awaitOperation(pa_context_get_server_info(context_, &PulseDevice::onServerInfo, this)); }

  // Lock held. Waits (at most kConnectTimeout) for a query's answer; a query that
  // could not be sent is no answer.
  void awaitOperation(pa_operation* op) {
    if (op == nullptr) return;
    waitUntil([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    pa_operation_unref(op);
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    if (info != nullptr && info->server_name != nullptr)
      self->onPipeWire_ = std::strstr(info->server_name, "PipeWire") != nullptr;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  template <typename Info>
  static void onDeviceInfo(pa_context*, const Info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    if (eol == 0 && info != nullptr) self->deviceRate_ = info->sample_spec.rate;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void unrefOp(pa_operation* op) {
    if (op) pa_operation_unref(op);
  }

  // Waits (lock held) for the worker to make `done` true, at most kConnectTimeout: a timer
  // on the loop wakes the wait when the server never answers.
  template <typename Pred>
  bool waitUntil(Pred done) {
    timedOut_ = false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(std::chrono::microseconds(kConnectTimeout).count()));
    pa_time_event* timer = api->time_new(api, &when, &PulseDevice::onTimeout, this);
    while (!done() && !timedOut_) pa_threaded_mainloop_wait(loop_);
    if (timer) api->time_free(timer);
    return done();
  }

  void post(uint32_t message, WAVEHDR* header, MMRESULT error) {
    target_->postWaveNotice(message, handle_, header, error);
  }

  // Lock held. PipeWire (0.3.65 measured) brings a suspended sink back at once, but the
  // links of the streams that stayed connected come back broken: one channel of a playback
  // stream and whole monitor recordings stay silent, while the stream itself plays on and
  // sees nothing. A new connection gets new links, so the playback device watches its sink.
  void watchSink() {
    sinkIndex_ = pa_stream_get_device_index(stream_);
    if (sinkIndex_ == PA_INVALID_INDEX) return;
    sinkSettled_ = pa_rtclock_now() + kSinkSettleUsec;
    pa_context_set_subscribe_callback(context_, &PulseDevice::onSubscription, this);
    unrefOp(pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr));
    lookAtSink();
  }

  // Lock held. Asks for the sink's state; the answer comes to onSinkLook.
  void lookAtSink() {
    unrefOp(pa_context_get_sink_info_by_index(context_, sinkIndex_, &PulseDevice::onSinkLook, this));
  }

  static void onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK ||
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE || index != self->sinkIndex_)
      return;
    if (!self->closing_ && self->failure_ == MMSYSERR_NOERROR) self->lookAtSink();
  }

  // Worker thread, lock held. A running sink that was seen suspended, or that reports a
  // change while it looks just as before (it went through a suspend between two looks),
  // has lost this stream's links: the stream is connected again.
  static void onSinkLook(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    if (eol != 0 || info == nullptr || self->closing_ || self->failure_ != MMSYSERR_NOERROR) return;
    SinkLook look{.known = true, .state = info->state, .mute = info->mute != 0, .volume = info->volume};
    const SinkLook before = self->sinkLook_;
    self->sinkLook_ = look;
    self->sinkName_ = info->name != nullptr ? info->name : "";
    if (!before.known) return;
    if (look.state == PA_SINK_SUSPENDED) {
      self->suspendedWhileRunning_ = self->suspendedWhileRunning_ || before.state == PA_SINK_RUNNING;
      return;
    }
    if (look.state != PA_SINK_RUNNING) return;
    const bool same = before.state == PA_SINK_RUNNING && before.mute == look.mute &&
                      pa_cvolume_equal(&before.volume, &look.volume) != 0;
    const bool cameBack = self->suspendedWhileRunning_ || same;
    self->suspendedWhileRunning_ = false;
    if (cameBack && pa_rtclock_now() >= self->sinkSettled_) self->reconnect();
  }

  // Worker thread, lock held. The old stream goes without notices; the new one starts
  // taking the queued buffers as soon as the server asks for data. Nothing here waits.
  void reconnect() {
    sinkSettled_ = pa_rtclock_now() + kSinkSettleUsec;
    dropStream();
    if (newStream() != MMSYSERR_NOERROR ||
        connectStream(sinkName_.empty() ? nullptr : sinkName_.c_str()) != MMSYSERR_NOERROR) {
      fail(MMSYSERR_ERROR);
      return;
    }
    latencyRequestsLeft_ = kMostLatencyRequests;
    playedAny_ = starving_ = false;  // the interruption is the break
    post(MM_WOM_INTERRUPTED, nullptr, MMSYSERR_NOERROR);
  }

  // Lock held. Disconnects the stream and forgets it; its callbacks are gone first.
  void dropStream() {
    if (stream_ == nullptr) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_buffer_attr_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  // Lock held. Empties the queue; the headers are marked done for handBack.
  std::vector<WAVEHDR*> takeQueue() {
    std::vector<WAVEHDR*> taken;
    taken.reserve(queue_.capacity());
    taken.swap(queue_);
    for (WAVEHDR* header : taken) header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    playOffset_ = 0;
    playedAny_ = starving_ = false;  // the caller starts again: the wait for its buffers is no break
    return taken;
  }

  // Lock NOT held (caller's thread). Every taken header goes back once, in queue order.
  void handBack(const std::vector<WAVEHDR*>& taken) {
    for (WAVEHDR* header : taken) post(capture_ ? MM_WIM_DATA : MM_WOM_DONE, header, MMSYSERR_NOERROR);
  }

  // Loop lock held, so a Close that comes later waits for this hand-back to be posted.
  void beginHandBack() {
    std::lock_guard lock(handBackMutex_);
    ++handBacksInFlight_;
  }
  void endHandBack() {
    {
      std::lock_guard lock(handBackMutex_);
      --handBacksInFlight_;
    }
    handBackDone_.notify_all();
  }

  void completeHead() {
    WAVEHDR* header = queue_.front();
    queue_.erase(queue_.begin());
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    post(capture_ ? MM_WIM_DATA : MM_WOM_DONE, header, MMSYSERR_NOERROR);
  }

  // Worker thread, lock held: the device stopped working under us. The failure is posted
  // while the device still holds its buffers; the caller's Reset (or Close) hands them
  // back after it has heard of the failure, so a half-filled capture buffer is never
  // mistaken for a recorded block.
  void fail(MMRESULT code) {
    if (failure_ != MMSYSERR_NOERROR || closing_ || !running_) return;
    failure_ = code;
    recording_ = false;
    post(capture_ ? MM_WIM_FAILED : MM_WOM_FAILED, nullptr, code);
  }

  // Worker thread: samples arrived. Fill the head buffer; drop them when nothing is queued.
  void read() {
    while (pa_stream_readable_size(stream_) > 0) {
      const void* data = nullptr;
      size_t length = 0;
      if (pa_stream_peek(stream_, &data, &length) < 0 || length == 0) return;
      size_t used = 0;
      while (recording_ && used < length && !queue_.empty()) {
        WAVEHDR* head = queue_.front();
        const size_t room = head->dwBufferLength - head->dwBytesRecorded;
        const size_t n = std::min(room, length - used);
        char* to = head->lpData + head->dwBytesRecorded;
        if (data != nullptr) {
          std::memcpy(to, static_cast<const char*>(data) + used, n);
        } else {
          std::memset(to, 0, n);  // a hole in the stream reads as silence
        }
        head->dwBytesRecorded += static_cast<uint32_t>(n);
        used += n;
        if (head->dwBytesRecorded == head->dwBufferLength) completeHead();
      }
      pa_stream_drop(stream_);
    }
  }

  // Worker thread, or the caller's from enqueue; lock held. The server has room: queued
  // buffers go out as far as they reach. Silence is written only when the server's own
  // buffer runs low, so a caller that is late with its next buffer costs nothing while the
  // server still holds samples, and a stream with nothing queued still plays silence.
  void write() {
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    size_t room = pa_stream_writable_size(stream_);
    if (room == static_cast<size_t>(-1)) return;
    while (room >= frameBytes_ && !queue_.empty() && failure_ == MMSYSERR_NOERROR) {
      const size_t written = writeChunk(room, [&](char* to, size_t length) { return copyQueued(to, length); });
      if (written == 0) return;
      room -= written;
      playedAny_ = true;
      starving_ = false;
    }
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
    if (attr == nullptr) return;
    const size_t held = attr->tlength > room ? attr->tlength - room : 0;
    const size_t lowWater = std::min<size_t>(attr->tlength, std::max<size_t>(2 * attr->minreq, attr->prebuf));
    size_t missing = held < lowWater ? std::min(lowWater - held, room) : 0;
    missing -= missing % frameBytes_;
    if (missing > 0) reportStarved();
    while (missing > 0) {
      const size_t written = writeChunk(missing, [](char* to, size_t length) {
        std::memset(to, 0, length);
        return length;
      });
      if (written == 0) return;
      missing -= written;
    }
  }

  // Lock held. Capture buffers shorter than a fragment get fragments of their own size: a
  // sample would otherwise wait in the server for the rest of a longer fragment (PipeWire
  // hands a recording stream its data a whole fragment at a time).
  void fitFragmentTo(size_t bufferBytes) {
    size_t wanted = std::min<size_t>(bufferBytes, pa_usec_to_bytes(kCaptureFragmentUsec, &sampleSpec_));
    wanted -= wanted % frameBytes_;
    if (wanted == fragmentBytes_ || wanted < frameBytes_ || stream_ == nullptr ||
        pa_stream_get_state(stream_) != PA_STREAM_READY)
      return;
    fragmentBytes_ = wanted;
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(wanted);
    unrefOp(pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr));
  }

  // Lock held. The playback buffer follows the caller's buffer size: what it keeps written
  // ahead is delay, and short buffers already cover the caller's lateness.
  void fitLatencyTo(size_t bufferBytes) {
    const pa_usec_t wanted = std::clamp<pa_usec_t>(
        3 * pa_bytes_to_usec(bufferBytes, &sampleSpec_),
        onPipeWire_ ? kShortPlaybackLatencyOnPipeWireUsec : kShortPlaybackLatencyUsec, kPlaybackLatencyUsec);
    if (wanted == latencyUsec_ || stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    latencyUsec_ = wanted;
    askForLatency();
  }

  // Lock held.
  void askForLatency() {
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(latencyUsec_, &sampleSpec_));
    attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kPlaybackRequestUsec, &sampleSpec_));
    unrefOp(pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr));
  }

  // Worker thread, lock held. PipeWire's pulse layer works a stream's buffer out again from
  // what it was opened with when the stream joins its graph, which may come after a shorter
  // latency was asked and undo it (about 20 ms more delay for the whole run): ask again.
  // Bounded, so a server that keeps changing it never gets into a loop with us.
  void keepLatency() {
    if (stream_ == nullptr || latencyUsec_ >= kPlaybackLatencyUsec || latencyRequestsLeft_ == 0) return;
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
    if (attr == nullptr || pa_bytes_to_usec(attr->tlength, &sampleSpec_) <= latencyUsec_) return;
    --latencyRequestsLeft_;
    askForLatency();
  }

  // Lock held. Writes at most `limit` bytes (whole frames) that `fill` puts in the
  // server's buffer and reports how many it took; 0 when the server takes nothing.
  template <typename Fill>
  size_t writeChunk(size_t limit, Fill fill) {
    void* data = nullptr;
    size_t length = limit;
    if (pa_stream_begin_write(stream_, &data, &length) < 0 || data == nullptr || length == 0) return 0;
    length = std::min(length, limit);
    length -= length % frameBytes_;
    const size_t filled = length == 0 ? 0 : fill(static_cast<char*>(data), length);
    if (filled == 0) {
      pa_stream_cancel_write(stream_);
      return 0;
    }
    if (pa_stream_write(stream_, data, filled, nullptr, 0, PA_SEEK_RELATIVE) < 0) return 0;
    return filled;
  }

  // Lock held. Copies up to `length` bytes from the head buffers, completing each one
  // that has been played whole; returns the bytes copied.
  size_t copyQueued(char* to, size_t length) {
    size_t filled = 0;
    while (filled < length && !queue_.empty()) {
      WAVEHDR* head = queue_.front();
      const size_t n = std::min<size_t>(head->dwBufferLength - playOffset_, length - filled);
      std::memcpy(to + filled, head->lpData + playOffset_, n);
      playOffset_ += n;
      filled += n;
      if (playOffset_ >= head->dwBufferLength) {
        playOffset_ = 0;
        completeHead();
      }
    }
    return filled;
  }

  // Disconnects and joins the worker. The loop itself (and so its lock) lives until the
  // destructor, so a call that raced with Close still locks a valid loop and sees closing_.
  void disconnect() {
    if (loop_ == nullptr || disconnected_) return;
    disconnected_ = true;
    {
      Locked lock(loop_);
      closing_ = true;
      dropStream();
      if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
      }
    }
    if (started_) pa_threaded_mainloop_stop(loop_);  // joins the worker
    if (context_ != nullptr) pa_context_unref(context_);
    context_ = nullptr;
  }

  void teardown() {
    if (loop_ == nullptr) return;
    disconnect();
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }

  static void onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    const pa_context_state_t s = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(s)) self->fail(runningError(pa_context_errno(context)));
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void onStreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    const pa_stream_state_t s = pa_stream_get_state(stream);
    if (!PA_STREAM_IS_GOOD(s)) self->fail(runningError(pa_context_errno(self->context_)));
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void onTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
    auto* self = static_cast<PulseDevice*>(userdata);
    self->timedOut_ = true;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void onRead(pa_stream*, size_t, void* userdata) { static_cast<PulseDevice*>(userdata)->read(); }
  static void onWrite(pa_stream*, size_t, void* userdata) { static_cast<PulseDevice*>(userdata)->write(); }
  static void onBufferAttr(pa_stream*, void* userdata) { static_cast<PulseDevice*>(userdata)->keepLatency(); }
  // The server ran out of what we had written (its own thread was late, or ours): it
  // played silence. A break once the stream has played, like silence we write ourselves.
  static void onUnderflow(pa_stream*, void* userdata) { static_cast<PulseDevice*>(userdata)->reportStarved(); }
  // Silence reaches the listener for want of our buffers: said once per stretch, and only
  // once the stream has played (before that the wait for the first buffers is no break).
  void reportStarved() {
    if (!playedAny_ || starving_) return;
    starving_ = true;  // until a queued buffer is written again
    post(MM_WOM_STARVED, nullptr, MMSYSERR_NOERROR);
  }

  const bool capture_;
  const bool lowDelay_;  // opened with WAVE_LOW_DELAY
  NoticeTarget* const target_;
  void* const handle_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool started_ = false;
  bool disconnected_ = false;  // caller's thread only (Close, or the destructor)
  pa_sample_spec sampleSpec_{};
  size_t frameBytes_ = 1;
  bool onPipeWire_ = false;
  uint32_t deviceRate_ = 0;  // the server's rate of the device the stream reached; 0: unknown
  // Below: guarded by the loop's lock.
  pa_usec_t latencyUsec_ = kPlaybackLatencyUsec;    // asked of the server for playback
  size_t fragmentBytes_ = 0;                        // asked of the server for capture
  int latencyRequestsLeft_ = kMostLatencyRequests;  // asked again after the server changed it
  std::vector<WAVEHDR*> queue_;
  size_t playOffset_ = 0;   // bytes of the head playback buffer already written
  bool playedAny_ = false;  // a queued buffer has been written since the stream (re)started
  bool starving_ = false;   // silence plays for want of queued buffers (written here, or the server's underflow)
  bool running_ = false;    // open finished; failures from now on are reported
  bool recording_ = false;
  bool closing_ = false;
  bool timedOut_ = false;
  MMRESULT failure_ = MMSYSERR_NOERROR;
  // The playback sink as last seen (PipeWire only), for telling when it came back.
  struct SinkLook {
    bool known = false;
    pa_sink_state_t state = PA_SINK_INVALID_STATE;
    bool mute = false;
    pa_cvolume volume{};
  };
  uint32_t sinkIndex_ = PA_INVALID_INDEX;
  std::string sinkName_;
  SinkLook sinkLook_;
  bool suspendedWhileRunning_ = false;
  pa_usec_t sinkSettled_ = 0;  // pa_rtclock_now() from which the sink's changes count
  // Hand-backs of Reset being posted outside the loop's lock.
  std::mutex handBackMutex_;
  std::condition_variable handBackDone_;
  int handBacksInFlight_ = 0;
};

// ---------------------------------------------------------------------------------------

class PulseBackend : public Backend {
 public:
  ~PulseBackend() override {
    std::map<uintptr_t, std::shared_ptr<PulseDevice>> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(devices_);
    }
    // Devices still open at exit are stopped without notices: their targets may be gone.
    left.clear();
    removeOwnDevices();
  }

  // Playback lists Tovrel's own device after the server's sinks, whenever the server answers.
  uint32_t getNumDevs(Direction direction) override {
    const Listing list = listing(direction, Refresh::WhenOld);
    return static_cast<uint32_t>(list.devices.size() + (ownDeviceListed(direction, list) ? 1 : 0));
  }

  MMRESULT getDevCaps(Direction direction, int32_t id, WAVECAPS* caps) override {
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    const Listing list = listing(direction, Refresh::WhenNone);
    if (!list.reachable) return MMSYSERR_NODRIVER;
    if (id == WAVE_MAPPER) {
      // Named as the default, with the device it follows, so it never reads like that device.
      if (!list.defaultListed) return MMSYSERR_BADDEVICEID;  // the caller shows its own mapper name
      const detail::DeviceEntry& d = list.defaultDevice;
      *caps = WAVECAPS{};
      caps->szPname = "Default (" + d.description + ")";
      caps->monitorOf = d.monitorOf;
      caps->follows = d.name;
      return MMSYSERR_NOERROR;
    }
    *caps = WAVECAPS{};
    if (isOwnDeviceId(direction, list, id)) {
      const detail::OwnDeviceNames names = detail::ownDeviceNames();
      caps->szPname = names.sourceDescription;
      caps->serverName = names.sink;
      caps->ownDevice = true;
      return MMSYSERR_NOERROR;
    }
    if (id < 0 || static_cast<size_t>(id) >= list.devices.size()) return MMSYSERR_BADDEVICEID;
    const detail::DeviceEntry& device = list.devices[static_cast<size_t>(id)];
    caps->szPname = device.description;
    caps->serverName = device.name;
    caps->monitorOf = device.monitorOf;
    return MMSYSERR_NOERROR;
  }

  MMRESULT open(Direction direction, void** handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                uintptr_t, uint32_t flags) override {
    if (handle) *handle = nullptr;
    if (MMRESULT bad = detail::checkOpenArgs(handle, target, flags); bad != MMSYSERR_NOERROR) return bad;
    if (MMRESULT bad = detail::checkFormat(format); bad != MMSYSERR_NOERROR) return bad;
    if (id < WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    std::string deviceName;
    if (id != WAVE_MAPPER) {
      // The device listed under this id, by its server name: if it has gone, the stream
      // fails with "no such entity" rather than landing on whatever stands there now.
      const Listing list = listing(direction, Refresh::WhenNone);
      if (!list.reachable) return MMSYSERR_NODRIVER;
      if (isOwnDeviceId(direction, list, id)) {
        if (MMRESULT r = makeOwnDevice(format->nSamplesPerSec); r != MMSYSERR_NOERROR) return r;
        deviceName = detail::ownDeviceNames().sink;
      } else {
        if (static_cast<size_t>(id) >= list.devices.size()) return MMSYSERR_BADDEVICEID;
        deviceName = list.devices[static_cast<size_t>(id)].name;
      }
    }
    void* h;
    {
      std::lock_guard lock(mutex_);
      h = reinterpret_cast<void*>(kFirstHandle + 16 * nextHandle_++);
    }
    auto device = std::make_shared<PulseDevice>(direction, target, h, (flags & WAVE_LOW_DELAY) != 0);
    const MMRESULT result = device->connect(id == WAVE_MAPPER ? nullptr : deviceName.c_str(), *format);
    if (result != MMSYSERR_NOERROR) return result;  // the device's destructor joins its worker
    {
      std::lock_guard lock(mutex_);
      devices_[reinterpret_cast<uintptr_t>(h)] = std::move(device);
    }
    *handle = h;
    return MMSYSERR_NOERROR;
  }

  void announceOpen(void* handle) override {
    if (auto device = find(handle)) {
      device->target()->postWaveNotice(device->capture() ? MM_WIM_OPEN : MM_WOM_OPEN, handle, nullptr,
                                       MMSYSERR_NOERROR);
    }
  }

  MMRESULT prepareHeader(Direction direction, void* handle, WAVEHDR* header, uint32_t size) override {
    auto device = find(handle, direction);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (MMRESULT bad = detail::checkHeader(header, size, device->frameBytes()); bad != MMSYSERR_NOERROR) return bad;
    return device->prepare(header);
  }

  MMRESULT queueBuffer(Direction direction, void* handle, WAVEHDR* header, uint32_t size) override {
    auto device = find(handle, direction);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (MMRESULT bad = detail::checkHeader(header, size, device->frameBytes()); bad != MMSYSERR_NOERROR) return bad;
    return device->enqueue(header);
  }

  MMRESULT start(void* handle) override {
    auto device = find(handle, Direction::Capture);
    return device ? device->start() : MMSYSERR_INVALHANDLE;
  }

  MMRESULT reset(Direction direction, void* handle) override {
    auto device = find(handle, direction);
    return device ? device->reset() : MMSYSERR_INVALHANDLE;
  }

  // Hands back what is still queued (the classic interface would refuse with
  // WAVERR_STILLPLAYING and leave the device holding the caller's buffers), joins the
  // worker, then posts the close notice.
  MMRESULT close(Direction direction, void* handle) override {
    std::shared_ptr<PulseDevice> device;
    {
      std::lock_guard lock(mutex_);
      auto it = devices_.find(reinterpret_cast<uintptr_t>(handle));
      if (it == devices_.end() || it->second->direction() != direction) return MMSYSERR_INVALHANDLE;
      device = std::move(it->second);
      devices_.erase(it);
    }
    if (!device->close()) return MMSYSERR_INVALHANDLE;
    device->target()->postWaveNotice(device->capture() ? MM_WIM_CLOSE : MM_WOM_CLOSE, device->handle(), nullptr,
                                     MMSYSERR_NOERROR);
    return MMSYSERR_NOERROR;
  }

  uint32_t deviceRate(Direction direction, void* handle) override {
    auto device = find(handle, direction);
    return device ? device->deviceRate() : 0;
  }

  std::string removeOwnDevices() override {
    std::lock_guard lock(ownDeviceMutex_);
    if (!ownDeviceMade_) return {};
    ownDeviceMade_ = false;
    if (detail::removeOwnDevice() != detail::Removal::Recorded) return {};
    return detail::ownDeviceNames().sourceDescription;
  }

 private:
  static bool ownDeviceListed(Direction direction, const Listing& list) {
    return direction == Direction::Playback && list.reachable;
  }
  static bool isOwnDeviceId(Direction direction, const Listing& list, int32_t id) {
    return ownDeviceListed(direction, list) && id >= 0 && static_cast<size_t>(id) == list.devices.size();
  }

  // Made (or taken over) at the rate of the stream that plays into it; it then stays until
  // removeOwnDevices, so an SDR program recording it keeps its input between two starts.
  MMRESULT makeOwnDevice(uint32_t rate) {
    std::lock_guard lock(ownDeviceMutex_);
    const MMRESULT result = detail::ensureOwnDevice(rate);
    if (result == MMSYSERR_NOERROR) ownDeviceMade_ = true;
    return result;
  }

  struct CachedListing {
    Clock::time_point taken{};
    std::string server;
    std::optional<Listing> listing;
  };

  // WhenOld: a count asks the server again unless the kept list is under a second old (so
  // filling a device box costs one connection). WhenNone: caps and open keep to the list
  // their ids came from, whatever its age, and ask only when there is none of this server
  // or it was not reachable.
  enum class Refresh { WhenOld, WhenNone };

  Listing listing(Direction direction, Refresh refresh) {
    const char* env = std::getenv("PULSE_SERVER");
    const std::string server = env ? env : "";
    {
      std::lock_guard lock(mutex_);
      const CachedListing& cached = direction == Direction::Capture ? inListing_ : outListing_;
      const bool kept = cached.listing && cached.server == server;
      const bool young = Clock::now() - cached.taken < kListingLifetime;
      if (kept && (refresh == Refresh::WhenOld ? young : cached.listing->reachable)) return *cached.listing;
    }
    Listing fresh = queryServer(direction);
    std::lock_guard lock(mutex_);
    CachedListing& cached = direction == Direction::Capture ? inListing_ : outListing_;
    cached = CachedListing{Clock::now(), server, fresh};
    return fresh;
  }

  // The device behind a handle, kept alive for the length of the call; null if the handle
  // is not one of ours, is closed, or is of the other direction.
  std::shared_ptr<PulseDevice> find(const void* handle, std::optional<Direction> direction = std::nullopt) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == devices_.end() || (direction && it->second->direction() != *direction)) return nullptr;
    return it->second;
  }

  std::mutex mutex_;
  std::map<uintptr_t, std::shared_ptr<PulseDevice>> devices_;
  uintptr_t nextHandle_ = 0;
  CachedListing inListing_;
  CachedListing outListing_;
  // Held across the server calls that make or remove the own device, never with mutex_.
  std::mutex ownDeviceMutex_;
  bool ownDeviceMade_ = false;
};

}  // namespace

std::unique_ptr<Backend> makePulseBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace wave
