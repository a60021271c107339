#include "live/live_engine.hpp"

#include "dsp/fft.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace live {

namespace {

// Stereo frames a playback header holds.
std::size_t framesOf(const wave::WAVEHDR* header) { return header->dwBufferLength / (2 * sizeof(dsp::Sample)); }

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint32_t packSwitches(const dsp::ConverterSwitches& s) {
  return (s.IQ ? 1u : 0u) | (s.EdgeFilter ? 2u : 0u) | (s.InvertSpectrum ? 4u : 0u);
}

dsp::ConverterSwitches unpackSwitches(uint32_t bits) {
  return {.IQ = (bits & 1u) != 0, .EdgeFilter = (bits & 2u) != 0, .InvertSpectrum = (bits & 4u) != 0};
}

void prepare(wave::WAVEHDR& header, dsp::Sample* buffer, std::size_t samples) {
  header = wave::WAVEHDR{};
  header.lpData = reinterpret_cast<char*>(buffer);
  header.dwBufferLength = static_cast<uint32_t>(samples * sizeof(dsp::Sample));
}

// Real-time priority for the calling thread where the system grants it (below a sound
// server's own, which uses 5 and up); an ordinary thread otherwise.
bool makeRealTime() {
  sched_param param{};
  param.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), 4);
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// Clocks measured further apart than the controller's unlock (beyond their errors) steer
// before the estimate is fine: the queue would otherwise walk for tens of seconds first.
constexpr double kClearlyApart = dsp::DriftTuning{}.clockUnlockDeviation;

// The queue's headroom beyond the sawtooth of its buffers. Small: this thread and the
// devices' workers run at real-time priority, and a played buffer that finds the queue short
// waits for the next capture buffer while the server plays what it holds.
constexpr double kQueueMarginSeconds = 0.004;

// How long the engine's thread sleeps at most between looks at the clocks.
constexpr long kTickNanoseconds = 10'000'000;

}  // namespace

LiveEngine::LiveEngine(wave::NoticeTarget* window)
    : window_(window), owner_(std::this_thread::get_id()), clock_(monotonicSeconds) {
  switches_.store(packSwitches({}), std::memory_order_relaxed);
  thread_ = std::thread([this] { run(); });
}

LiveEngine::~LiveEngine() {
  quit_.store(true, std::memory_order_release);
  wake();
  thread_.join();
}

double LiveEngine::now() const { return clock_(); }

// Never blocks the poster: one atomic add and a futex wake (a system call that only
// wakes a sleeper).
void LiveEngine::wake() {
  wakeups_.fetch_add(1, std::memory_order_acq_rel);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wakeups_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps a tick at most, and not at all when a post came since `seen` was read.
void LiveEngine::sleepUnlessWoken(uint32_t seen) {
  timespec tick{.tv_sec = 0, .tv_nsec = kTickNanoseconds};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wakeups_), FUTEX_WAIT_PRIVATE, seen, &tick, nullptr, 0);
}
double LiveEngine::steadyNow() const { return monotonicSeconds(); }

void LiveEngine::setClock(std::function<double()> clock) {
  std::lock_guard lock(work_);
  clock_ = clock ? std::move(clock) : std::function<double()>(monotonicSeconds);
}

void LiveEngine::configure(int32_t inputRate, int32_t outputRate, std::size_t spectrumSamples) {
  std::lock_guard lock(work_);
  configured_.store(false, std::memory_order_release);
  converter_.Configure(inputRate);
  // Live output starts with the filter's lead-in, so every completed block is a whole block
  // and each capture buffer hands over exactly one.
  converter_.SetDelayCompensation(false);
  const auto block = static_cast<std::size_t>(converter_.BlockFrames());
  captureSamples_ = 2 * block;
  playbackFrames_ = block;
  outputRate_ = outputRate;
  drift_.configure({.outputRate = outputRate,
                    .maxPushFrames = block,
                    .maxPullFrames = playbackFrames_,
                    .marginSeconds = kQueueMarginSeconds});
  for (auto& buffer : captureBuffers_) buffer.assign(captureSamples_, 0);
  for (auto& buffer : playbackBuffers_) buffer.assign(2 * playbackFrames_, 0);
  converted_.assign(2 * converter_.MaxOutputFrames(captureSamples_), 0);
  spectrumSamples_ = spectrumSamples;
  for (auto& slot : spectrum_) slot.assign(spectrumSamples, 0);
  clocks_.capture.reset(inputRate);
  clocks_.playback.reset(outputRate);
  for (auto* counter : {&underruns_, &overflows_, &restarts_, &reopens_, &captured_, &played_}) counter->store(0);
  restartsDone_ = restartRequests_.load();
  resetStream();
  configured_.store(true, std::memory_order_release);
}

// Work lock held.
void LiveEngine::resetStream() {
  converter_.Reset();
  drift_.reset();
  spectrumFill_ = 0;
  lastAudible_ = lastPlayed_ = lastCapture_ = now();
  ratio_.store(1.0, std::memory_order_relaxed);
  state_.store(EngineState::Idle, std::memory_order_relaxed);
}

void LiveEngine::restartStream() {
  restartRequests_.fetch_add(1, std::memory_order_acq_rel);
  wake();
}

void LiveEngine::setSwitches(const dsp::ConverterSwitches& switches) {
  switches_.store(packSwitches(switches), std::memory_order_relaxed);
}

Levels LiveEngine::levels() const {
  const uint32_t clips = clips_.load(std::memory_order_relaxed);
  return {.input = inputLevel_.load(std::memory_order_relaxed),
          .inputClipped = (clips & 1u) != 0,
          .left = leftLevel_.load(std::memory_order_relaxed),
          .right = rightLevel_.load(std::memory_order_relaxed),
          .leftClipped = (clips & 2u) != 0,
          .rightClipped = (clips & 4u) != 0};
}

bool LiveEngine::takeSpectrumBlock(dsp::Sample* into) {
  const uint64_t read = spectrumRead_.load(std::memory_order_relaxed);
  if (read == spectrumWritten_.load(std::memory_order_acquire)) return false;
  const auto& slot = spectrum_[read % spectrum_.size()];
  std::copy(slot.begin(), slot.end(), into);
  spectrumRead_.store(read + 1, std::memory_order_release);
  return true;
}

wave::MMRESULT LiveEngine::startCapture(wave::HWAVEIN handle) {
  wave::MMRESULT first = wave::MMSYSERR_NOERROR;
  {
    std::lock_guard lock(work_);
    clocks_.capture.reset(clocks_.capture.nominalRate());  // perhaps another device: its own clock
  }
  captureDevice_.store(handle, std::memory_order_release);
  captureStopping_.store(false, std::memory_order_release);
  for (std::size_t i = 0; i < captureHeaders_.size(); ++i) {
    prepare(captureHeaders_[i], captureBuffers_[i].data(), captureSamples_);
    wave::MMRESULT r = wave::waveInPrepareHeader(handle, &captureHeaders_[i], wave::kWaveHdrSize);
    if (r == wave::MMSYSERR_NOERROR) r = wave::waveInAddBuffer(handle, &captureHeaders_[i], wave::kWaveHdrSize);
    if (first == wave::MMSYSERR_NOERROR) first = r;
  }
  const wave::MMRESULT r = wave::waveInStart(handle);
  return first != wave::MMSYSERR_NOERROR ? first : r;
}

wave::MMRESULT LiveEngine::startPlayback(wave::HWAVEOUT handle) {
  wave::MMRESULT first = wave::MMSYSERR_NOERROR;
  {
    // No played buffer of an earlier device may still wait to be written.
    std::lock_guard lock(work_);
    waitingCount_ = 0;
    playbackSince_ = lastPlayed_ = lastAudible_ = now();
    playbackRestarted_ = false;
    clocks_.playback.reset(clocks_.playback.nominalRate());  // perhaps another device: its own clock
  }
  playbackDevice_.store(handle, std::memory_order_release);
  playbackStopping_.store(false, std::memory_order_release);
  for (std::size_t i = 0; i < playbackHeaders_.size(); ++i) {
    std::fill(playbackBuffers_[i].begin(), playbackBuffers_[i].end(), dsp::Sample{0});
    prepare(playbackHeaders_[i], playbackBuffers_[i].data(), playbackBuffers_[i].size());
    wave::MMRESULT r = wave::waveOutPrepareHeader(handle, &playbackHeaders_[i], wave::kWaveHdrSize);
    if (r == wave::MMSYSERR_NOERROR) r = wave::waveOutWrite(handle, &playbackHeaders_[i], wave::kWaveHdrSize);
    if (first == wave::MMSYSERR_NOERROR) first = r;
  }
  return first;
}

void LiveEngine::stopping(wave::Direction direction) {
  if (direction == wave::Direction::Capture) {
    captureStopping_.store(true, std::memory_order_release);
  } else {
    playbackStopping_.store(true, std::memory_order_release);
  }
  restartStream();
}

void LiveEngine::postWaveNotice(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error) {
  // The device's worker moves the samples: on a busy machine it must not wait behind
  // ordinary threads either, so it gets the engine's priority where the system allows it
  // (once per thread). The window's thread posts too (a buffer the server takes at once
  // when it is queued) but stays ordinary: a real-time window would starve the desktop, and
  // every thread it starts would inherit the priority.
  thread_local bool promoted = false;
  if (!promoted && (message == wave::MM_WIM_DATA || message == wave::MM_WOM_DONE) &&
      std::this_thread::get_id() != thread_.get_id() && std::this_thread::get_id() != owner_) {
    promoted = true;
    realTimeWorkers_.fetch_add(makeRealTime() ? 1 : 0, std::memory_order_relaxed);
  }
  if (message != wave::MM_WIM_DATA && message != wave::MM_WOM_DONE && message != wave::MM_WOM_INTERRUPTED &&
      message != wave::MM_WOM_STARVED) {
    window_->postWaveNotice(message, device, header, error);
    return;
  }
  // The time the samples moved, taken here on the device's worker.
  const Notice notice{.message = message, .device = device, .header = header, .time = clock_()};
  posted_.fetch_add(1, std::memory_order_acq_rel);
  if (!ring_.push(notice)) handled_.fetch_add(1, std::memory_order_acq_rel);  // never with 1024 slots
  wake();
}

bool LiveEngine::waitIdle(int milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (handled_.load(std::memory_order_acquire) != posted_.load(std::memory_order_acquire) ||
         restartsDone_ != restartRequests_.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::lock_guard lock(work_);  // the last notice's work is done
  return true;
}

void LiveEngine::run() {
  realTime_.store(makeRealTime());
  // The converter's transforms get this thread's own work area now, not at the first buffer.
  dsp::InitFFT();
  while (!quit_.load(std::memory_order_acquire)) {
    const uint32_t seen = wakeups_.load(std::memory_order_acquire);
    if (handled_.load(std::memory_order_acquire) == posted_.load(std::memory_order_acquire) &&
        restartsDone_ == restartRequests_.load(std::memory_order_acquire))
      sleepUnlessWoken(seen);
    std::lock_guard lock(work_);
    if (!configured()) {
      Notice drop;
      while (ring_.pop(drop)) handled_.fetch_add(1, std::memory_order_acq_rel);
      restartsDone_ = restartRequests_.load();
      continue;
    }
    const uint64_t requests = restartRequests_.load(std::memory_order_acquire);
    if (requests != restartsDone_) {
      resetStream();
      releaseWaiting(true, now());
      restartsDone_ = requests;
    }
    Notice notice;
    while (ring_.pop(notice)) {
      handle(notice);
      handled_.fetch_add(1, std::memory_order_acq_rel);
    }
    watch(now());
    publish();
  }
}

void LiveEngine::handle(const Notice& notice) {
  if (notice.message == wave::MM_WOM_INTERRUPTED) {
    // The server lost what it held for the device: the queue refills as after a stall.
    if (notice.device == playbackDevice_.load(std::memory_order_acquire) &&
        !playbackStopping_.load(std::memory_order_acquire))
      restartPlayback(notice.time);
    return;
  }
  if (notice.message == wave::MM_WOM_STARVED) {
    // The server played silence for want of our buffers: a break unless the stream plays
    // silence anyway (starting, refilling).
    if (notice.device != playbackDevice_.load(std::memory_order_acquire)) return;
    drift_.playbackSkipped(notice.time);
    // The device played frames that were not ours, or paused: its count jumps against its clock.
    clocks_.playback.discontinuity();
    return;
  }
  if (notice.header == nullptr) return;
  if (notice.message == wave::MM_WIM_DATA) {
    takeCapture(notice);
  } else {
    takePlayed(notice);
  }
}

// One capture buffer: metered, gathered for the spectrum, converted, queued, and queued
// again for the device.
void LiveEngine::takeCapture(const Notice& notice) {
  wave::WAVEHDR* header = notice.header;
  if (notice.device != captureDevice_.load(std::memory_order_acquire) ||
      captureStopping_.load(std::memory_order_acquire))
    return;  // handed back by a reset: the window closes the device
  const auto* samples = reinterpret_cast<const dsp::Sample*>(header->lpData);
  const std::size_t count = header->dwBytesRecorded / sizeof(dsp::Sample);
  if (count > 0) {
    lastCapture_ = notice.time;
    clocks_.capture.update(count, notice.time);
    captured_.fetch_add(count, std::memory_order_relaxed);
    const dsp::PeakLevel input = dsp::MeasureInputLevel(samples, static_cast<int32_t>(count));
    inputLevel_.store(input.Position, std::memory_order_relaxed);
    uint32_t clips = clips_.load(std::memory_order_relaxed);
    clips = (clips & ~1u) | (input.Clipped ? 1u : 0u);

    for (std::size_t done = 0; done < count && spectrumSamples_ > 0;) {
      const uint64_t written = spectrumWritten_.load(std::memory_order_relaxed);
      auto& slot = spectrum_[written % spectrum_.size()];
      const std::size_t take = std::min(spectrumSamples_ - spectrumFill_, count - done);
      std::copy_n(samples + done, take, slot.begin() + static_cast<std::ptrdiff_t>(spectrumFill_));
      spectrumFill_ += take;
      done += take;
      if (spectrumFill_ == spectrumSamples_) {
        spectrumFill_ = 0;
        // A window that has not taken the older column yet loses this one, never the engine time.
        if (written - spectrumRead_.load(std::memory_order_acquire) < spectrum_.size())
          spectrumWritten_.store(written + 1, std::memory_order_release);
      }
    }

    converter_.SetSwitches(unpackSwitches(switches_.load(std::memory_order_relaxed)));
    const std::size_t frames = converter_.Process(samples, count, converted_.data());
    if (frames > 0) {
      const dsp::OutputLevels output =
          dsp::InvertAndMeasureOutput(converted_.data(), static_cast<int32_t>(2 * frames), false);
      leftLevel_.store(output.Left.Position, std::memory_order_relaxed);
      rightLevel_.store(output.Right.Position, std::memory_order_relaxed);
      clips = (clips & 1u) | (output.Left.Clipped ? 2u : 0u) | (output.Right.Clipped ? 4u : 0u);
      drift_.setClockDeviation(clocks_.deviation(), clocks_.valid() || clocks_.clearlyApart(kClearlyApart));
      const auto block = static_cast<std::size_t>(converter_.BlockFrames());
      for (std::size_t first = 0; first < frames; first += block)
        drift_.push(converted_.data() + 2 * first, std::min(block, frames - first), notice.time);
    }
    clips_.store(clips, std::memory_order_relaxed);
    releaseWaiting(false, now());
  }
  if (notice.device != nullptr && !captureStopping_.load(std::memory_order_acquire))
    (void)wave::waveInAddBuffer(static_cast<wave::HWAVEIN>(notice.device), header, wave::kWaveHdrSize);
}

// A played buffer is refilled from the queue. When capture is late, a buffer the queue
// cannot fill yet waits for the next capture buffer (at most kLongestWaitSeconds) instead
// of running the queue dry, while the sound server plays what it still holds.
void LiveEngine::takePlayed(const Notice& notice) {
  if (notice.device != playbackDevice_.load(std::memory_order_acquire) ||
      playbackStopping_.load(std::memory_order_acquire))
    return;
  wave::WAVEHDR* header = notice.header;
  const std::size_t frames = framesOf(header);
  lastPlayed_ = notice.time;
  clocks_.playback.update(frames, notice.time);
  const bool capturing =
      captureDevice_.load(std::memory_order_acquire) != nullptr && !captureStopping_.load(std::memory_order_acquire);
  if (capturing && frames <= playbackFrames_ && (waitingCount_ > 0 || !drift_.canPull(frames)) &&
      waitingCount_ < waiting_.size()) {
    if (waitingCount_ == 0) waitingSince_ = steadyNow();
    waiting_[waitingCount_++] = header;
    drift_.hold(frames, notice.time);
    return;
  }
  writePlayback(header, notice.time);
}

void LiveEngine::writePlayback(wave::WAVEHDR* header, double time) {
  const std::size_t frames = framesOf(header);
  auto* out = reinterpret_cast<dsp::Sample*>(header->lpData);
  const bool capturing = !captureStopping_.load(std::memory_order_acquire);
  if (frames <= playbackFrames_ && capturing) {
    drift_.pull(out, frames, time);
    if (!drift_.starting() && !drift_.refilling()) lastAudible_ = time;
  } else {
    std::fill_n(out, 2 * frames, dsp::Sample{0});  // never replay a stale buffer
  }
  played_.fetch_add(frames, std::memory_order_relaxed);
  void* device = playbackDevice_.load(std::memory_order_acquire);
  if (device != nullptr && !playbackStopping_.load(std::memory_order_acquire))
    (void)wave::waveOutWrite(static_cast<wave::HWAVEOUT>(device), header, wave::kWaveHdrSize);
}

// Writes the held-back buffers that the queue can fill now, oldest first; with `all`,
// every one (after the longest wait the queue gives what it has, and a queue that runs dry
// is counted).
void LiveEngine::releaseWaiting(bool all, double time) {
  while (waitingCount_ > 0) {
    wave::WAVEHDR* header = waiting_[0];
    if (!all && !drift_.canPull(framesOf(header))) break;
    std::copy(waiting_.begin() + 1, waiting_.begin() + static_cast<std::ptrdiff_t>(waitingCount_), waiting_.begin());
    --waitingCount_;
    writePlayback(header, time);
  }
}

// The engine's own look at the devices, every tick: played buffers that waited too long
// go out, and output that stopped moving or stays silent while capture delivers restarts
// playback.
void LiveEngine::watch(double time) {
  if (waitingCount_ > 0 && steadyNow() - waitingSince_ >= kLongestWaitSeconds) releaseWaiting(true, time);
  const bool capturing = captureDevice_.load(std::memory_order_acquire) != nullptr &&
                         !captureStopping_.load(std::memory_order_acquire) && time - lastCapture_ < kStallSeconds;
  const bool playing =
      playbackDevice_.load(std::memory_order_acquire) != nullptr && !playbackStopping_.load(std::memory_order_acquire);
  if (!capturing || !playing) return;
  const bool stopped = time - lastPlayed_ >= kStallSeconds;
  // The start measures the level for a second (more with long device buffers) before the
  // first frame; after that the stream stays silent only across a short refill.
  const bool silent =
      time - lastAudible_ >= kStallSeconds + (drift_.starting() ? 2.0 : 0.0) && time - playbackSince_ >= kStallSeconds;
  if (stopped || silent) restartPlayback(time);
}

// Playback starts again: the device forgets what it held and hands every buffer back (they
// come back as played buffers and are refilled), and the queue refills to the target it
// already knows; the converter goes on with the unbroken input.
void LiveEngine::restartPlayback(double time) {
  waitingCount_ = 0;
  drift_.restartPlayback(time);
  clocks_.playback.discontinuity();  // what the device held is flushed, never played
  lastPlayed_ = lastAudible_ = playbackSince_ = time;
  void* device = playbackDevice_.load(std::memory_order_acquire);
  if (device == nullptr) return;
  // Every queued buffer comes back as played (through the ring) and is refilled from there.
  (void)wave::waveOutReset(static_cast<wave::HWAVEOUT>(device));
}

void LiveEngine::publish() {
  ratio_.store(drift_.ratio(), std::memory_order_relaxed);
  clockRatio_.store(clocks_.enough() ? 1.0 + clocks_.deviation() : 1.0, std::memory_order_relaxed);
  underruns_.store(drift_.underruns(), std::memory_order_relaxed);
  overflows_.store(drift_.overflows(), std::memory_order_relaxed);
  restarts_.store(drift_.restarts(), std::memory_order_relaxed);
  queueSeconds_.store(static_cast<double>(drift_.queuedFrames()) / std::max(outputRate_, 1), std::memory_order_relaxed);
  targetSeconds_.store(drift_.targetLevelSeconds(), std::memory_order_relaxed);
  const bool any = captureDevice_.load() != nullptr || playbackDevice_.load() != nullptr;
  state_.store(!any                 ? EngineState::Idle
               : drift_.starting()  ? EngineState::Starting
               : drift_.refilling() ? EngineState::Recovering
                                    : EngineState::Running,
               std::memory_order_relaxed);
}

void LiveEngine::processForBenchmark(const dsp::Sample* input, double captureTime, double playbackTime) {
  std::lock_guard lock(work_);
  wave::WAVEHDR header{};
  header.lpData = reinterpret_cast<char*>(const_cast<dsp::Sample*>(input));
  header.dwBufferLength = header.dwBytesRecorded = static_cast<uint32_t>(captureSamples_ * sizeof(dsp::Sample));
  const bool wasStopping = captureStopping_.exchange(false);
  void* wasDevice = captureDevice_.exchange(nullptr);
  takeCapture({.message = wave::MM_WIM_DATA, .device = nullptr, .header = &header, .time = captureTime});
  clocks_.playback.update(playbackFrames_, playbackTime);
  drift_.pull(playbackBuffers_[0].data(), playbackFrames_, playbackTime);
  captureStopping_.store(wasStopping);
  captureDevice_.store(wasDevice);
  publish();
}

}  // namespace live
