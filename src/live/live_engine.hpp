#pragma once
// The live stream engine: short capture buffers converted as one continuous stream, queued
// in the drift compensator, short playback buffers filled from it. It is the notice target
// of both devices in stream mode and does all of that on a thread of its own (real-time
// priority where the system allows it), woken by the devices' workers through a lock-free
// ring; it never waits on the window's thread. Open, close and failure notices go on to the
// window at once. The window reads levels, counters and the spectrum's input through
// atomics and a single-producer ring, and sends switches and commands the same way.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "dsp/clock_estimator.hpp"
#include "dsp/converter.hpp"
#include "dsp/drift_compensator.hpp"
#include "dsp/stream_converter.hpp"
#include "live/notice_ring.hpp"
#include "wave/wave.hpp"

namespace live {

enum class EngineState { Idle, Starting, Running, Recovering };

// The meters of the latest buffers: LED positions (0..100) and clip marks.
struct Levels {
  int input = 0;
  bool inputClipped = false;
  int left = 0;
  int right = 0;
  bool leftClipped = false;
  bool rightClipped = false;
};

class LiveEngine final : public wave::NoticeTarget {
 public:
  static constexpr int kPlaybackBuffers = 3;  // playback buffers queued at once
  // Capture buffers queued at once: a busy server hands over a backlog of up to this many at
  // once, and the device drops what finds no buffer (a break nobody would see).
  static constexpr int kCaptureBuffers = 48;
  // A played buffer waits at most this long for the capture buffer that fills it; the
  // sound server still holds about as much.
  static constexpr double kLongestWaitSeconds = 0.040;
  // Output that has not moved (no played buffer back) or carried only silence while capture
  // delivers for this long restarts playback.
  static constexpr double kStallSeconds = 0.75;

  // `window` gets the open, close and failure notices, as it would in block mode.
  explicit LiveEngine(wave::NoticeTarget* window);
  ~LiveEngine() override;
  LiveEngine(const LiveEngine&) = delete;
  LiveEngine& operator=(const LiveEngine&) = delete;

  // Window thread, both devices stopped: sizes everything for one input rate (allocates)
  // and zeroes the counters. `spectrumSamples` input samples make one spectrum column.
  void configure(int32_t inputRate, int32_t outputRate, std::size_t spectrumSamples);
  bool configured() const { return configured_.load(std::memory_order_acquire); }
  std::size_t captureSamples() const { return captureSamples_; }
  std::size_t playbackFrames() const { return playbackFrames_; }

  // Window thread, after a device opened with this engine as its target: queues the
  // engine's buffers (capture also starts). Returns the first call's error, if any.
  wave::MMRESULT startCapture(wave::HWAVEIN handle);
  wave::MMRESULT startPlayback(wave::HWAVEOUT handle);
  // Window thread, before it resets or closes a device: buffers that come back stay out.
  void stopping(wave::Direction direction);
  // Empties the queue and starts the stream afresh (a device started, stopped or failed);
  // counters stay.
  void restartStream();

  void setSwitches(const dsp::ConverterSwitches& switches);
  // Copies the oldest complete spectrum block (spectrumSamples input samples) to `into`;
  // false when none is waiting. Window thread.
  bool takeSpectrumBlock(dsp::Sample* into);
  Levels levels() const;

  // Read-outs, from any thread.
  double ratio() const { return ratio_.load(std::memory_order_relaxed); }
  double clockRatio() const { return clockRatio_.load(std::memory_order_relaxed); }
  std::uint64_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
  std::uint64_t overflows() const { return overflows_.load(std::memory_order_relaxed); }
  // Playback restarted by the engine, and both devices opened again after the server or a
  // device was lost (each such outage is one break).
  std::uint64_t restarts() const {
    return restarts_.load(std::memory_order_relaxed) + reopens_.load(std::memory_order_relaxed);
  }
  // Window (or service) thread: the devices were opened again after an outage.
  void countReopen() { reopens_.fetch_add(1, std::memory_order_relaxed); }
  // Every break a listener could hear, once (with what it set off), in the kind of its
  // first event; silence the server played for want of buffers counts as an underrun.
  std::uint64_t breaks() const { return underruns() + overflows() + restarts(); }
  EngineState state() const { return state_.load(std::memory_order_relaxed); }
  double queueSeconds() const { return queueSeconds_.load(std::memory_order_relaxed); }
  double targetSeconds() const { return targetSeconds_.load(std::memory_order_relaxed); }
  std::uint64_t capturedFrames() const { return captured_.load(std::memory_order_relaxed); }
  std::uint64_t playedFrames() const { return played_.load(std::memory_order_relaxed); }
  bool realTime() const { return realTime_.load(std::memory_order_relaxed); }
  // Device workers that took real-time priority from the engine.
  int realTimeWorkers() const { return realTimeWorkers_.load(std::memory_order_relaxed); }

  // The devices' workers (and the window's thread, for open and close).
  void postWaveNotice(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error) override;

  // Tests: the time source of the buffer timestamps (seconds; default the monotonic clock),
  // set while no device runs; and a wait until every notice posted so far has been handled.
  void setClock(std::function<double()> clock);
  bool waitIdle(int milliseconds);

  // The whole work of one capture buffer (taken at `captureTime`) and the playback buffer it
  // fills (played at `playbackTime`), as the engine's thread does it, for the benchmark:
  // `input` holds captureSamples() samples. No device is involved.
  void processForBenchmark(const dsp::Sample* input, double captureTime, double playbackTime);

 private:
  struct Notice {
    uint32_t message = 0;
    void* device = nullptr;
    wave::WAVEHDR* header = nullptr;
    double time = 0.0;
  };

  void run();
  void handle(const Notice& notice);
  void takeCapture(const Notice& notice);
  void takePlayed(const Notice& notice);
  void writePlayback(wave::WAVEHDR* header, double now);
  void releaseWaiting(bool all, double now);
  void watch(double now);
  void restartPlayback(double now);
  void publish();
  void resetStream();
  double now() const;

  wave::NoticeTarget* const window_;
  const std::thread::id owner_;  // the thread that made the engine (the window's)
  std::function<double()> clock_;
  double steadyNow() const;

  // Owned by the engine's thread while it runs; configure() changes them under work_.
  std::mutex work_;
  dsp::StreamConverter converter_;
  dsp::DriftCompensator drift_{dsp::DriftTuning::followingClocks()};
  dsp::ClockPair clocks_;
  std::size_t captureSamples_ = 0;
  std::size_t playbackFrames_ = 0;
  int32_t outputRate_ = 0;
  std::array<std::vector<dsp::Sample>, kCaptureBuffers> captureBuffers_;
  std::array<wave::WAVEHDR, kCaptureBuffers> captureHeaders_{};
  std::array<std::vector<dsp::Sample>, kPlaybackBuffers> playbackBuffers_;
  std::array<wave::WAVEHDR, kPlaybackBuffers> playbackHeaders_{};
  std::vector<dsp::Sample> converted_;
  std::array<wave::WAVEHDR*, kPlaybackBuffers> waiting_{};
  std::size_t waitingCount_ = 0;
  double waitingSince_ = 0.0;  // steady seconds
  double lastCapture_ = -1e9;  // engine clock
  double lastPlayed_ = -1e9;
  double lastAudible_ = -1e9;  // last pull that carried the stream
  double playbackSince_ = 0.0;
  bool playbackRestarted_ = false;

  // The spectrum's input: blocks of spectrumSamples, two slots, one producer (engine) and
  // one consumer (window).
  std::size_t spectrumSamples_ = 0;
  std::array<std::vector<dsp::Sample>, 2> spectrum_;
  std::size_t spectrumFill_ = 0;
  std::atomic<uint64_t> spectrumWritten_{0};
  std::atomic<uint64_t> spectrumRead_{0};

  std::atomic<bool> configured_{false};
  std::atomic<void*> captureDevice_{nullptr};
  std::atomic<void*> playbackDevice_{nullptr};
  std::atomic<bool> captureStopping_{true};
  std::atomic<bool> playbackStopping_{true};
  std::atomic<uint64_t> restartRequests_{0};
  std::atomic<uint64_t> restartsDone_{0};
  std::atomic<uint32_t> switches_{0};

  std::atomic<int> inputLevel_{0};
  std::atomic<int> leftLevel_{0};
  std::atomic<int> rightLevel_{0};
  std::atomic<uint32_t> clips_{0};
  std::atomic<double> ratio_{1.0};
  std::atomic<double> clockRatio_{1.0};
  std::atomic<uint64_t> underruns_{0};
  std::atomic<uint64_t> overflows_{0};
  std::atomic<uint64_t> restarts_{0};
  std::atomic<uint64_t> reopens_{0};
  std::atomic<EngineState> state_{EngineState::Idle};
  std::atomic<double> queueSeconds_{0.0};
  std::atomic<double> targetSeconds_{0.0};
  std::atomic<uint64_t> captured_{0};
  std::atomic<uint64_t> played_{0};
  std::atomic<bool> realTime_{false};
  std::atomic<int> realTimeWorkers_{0};

  NoticeRing<Notice, 1024> ring_;
  std::atomic<uint64_t> posted_{0};
  std::atomic<uint64_t> handled_{0};
  // Bumped by every post; the engine's thread sleeps on it (a futex) while nothing is new.
  std::atomic<uint32_t> wakeups_{0};
  void wake();
  void sleepUnlessWoken(uint32_t seen);
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace live
