// The live engine on the scripted back end, with no window and no event loop at all (as if
// the window's thread were blocked for the whole run), and the clock estimate it steers by.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "dsp/clock_estimator.hpp"
#include "dsp/stream_converter.hpp"
#include "live/live_engine.hpp"
#include "wave/scripted_backend.hpp"

namespace {

using Sample = dsp::Sample;
constexpr int kRate = 48000;
constexpr int kOutputRate = kRate / 2;

// Lateness of a buffer's timestamp as a busy machine gives it: the server's 20 ms fragments
// (every other buffer waits for the next) and scheduling delay.
class Lateness {
 public:
  explicit Lateness(unsigned seed) : rng_(seed) {}
  double next() {
    const double fragment = (count_++ % 2 == 0) ? 0.0107 : 0.0;
    return fragment + jitter_(rng_);
  }

 private:
  std::mt19937 rng_;
  std::exponential_distribution<double> jitter_{1.0 / 0.0005};
  unsigned count_ = 0;
};

// The estimate of a device clock fast or slow by `ppm`, from late buffers.
TEST(ClockEstimator, FindsTheRateFromLateBuffersWithinTwoPpmAfterAMinute) {
  for (const double ppm : {0.0, +200.0, -200.0, +1000.0}) {
    SCOPED_TRACE(ppm);
    dsp::ClockEstimator clock;
    clock.reset(kRate);
    Lateness late(7);
    const double period = 512.0 / (kRate * (1.0 + ppm * 1e-6));
    for (double t = 100.0; t < 160.0; t += period) clock.update(512, t + late.next());
    EXPECT_NEAR((clock.rate() / kRate - 1.0) * 1e6, ppm, 2.0);
    EXPECT_LT(clock.relativeError(), 2e-6);
  }
}

// A count that jumps against the clock (a flushed playback stream, a server that renders
// further ahead), told or not, in either direction, costs the estimate nothing.
TEST(ClockEstimator, KeepsTheRateAcrossAJumpOfTheCount) {
  for (const bool told : {true, false})
    for (const double jumpSeconds : {+0.030, -0.030}) {
      SCOPED_TRACE(testing::Message() << (told ? "told " : "seen ") << jumpSeconds);
      dsp::ClockEstimator clock;
      clock.reset(kRate);
      Lateness late(11);
      const double ppm = 200.0;
      const double period = 512.0 / (kRate * (1.0 + ppm * 1e-6));
      double shift = 0.0;  // a count ahead by n frames is the same line n / rate earlier
      for (double t = 100.0; t < 160.0; t += period) {
        if (shift == 0.0 && t >= 130.0) {
          shift = -jumpSeconds;
          if (told) clock.discontinuity();
        }
        clock.update(512, t + shift + late.next());
      }
      EXPECT_NEAR((clock.rate() / kRate - 1.0) * 1e6, ppm, 2.0);
      EXPECT_LT(clock.relativeError(), 2e-6);
    }
}

// What the window would do, minus the window: open both devices with the engine as their
// target, deliver buffers on a simulated clock, wait for the engine between them.
class LiveEngineTest : public ::testing::Test, public wave::NoticeTarget {
 protected:
  void SetUp() override {
    audio.setDevices(wave::Direction::Capture, {"In"});
    audio.setDevices(wave::Direction::Playback, {"Out"});
    wave::setBackend(&audio);
    engine.configure(kRate, kOutputRate, 32768);
    engine.setSwitches({true, false, false});
    engine.setClock([this] { return stamp.load(); });
  }
  void TearDown() override {
    if (playback) wave::waveOutClose(playback);
    if (capture) wave::waveInClose(capture);
    ASSERT_TRUE(engine.waitIdle(5000));
    wave::setBackend(nullptr);
  }
  void postWaveNotice(uint32_t, void*, wave::WAVEHDR*, wave::MMRESULT) override { ++forwarded; }

  void start() {
    wave::WAVEFORMATEX in{1, 1, kRate, 2 * kRate, 2, 16, 0};
    wave::WAVEFORMATEX out{1, 2, kOutputRate, 4 * kOutputRate, 4, 16, 0};
    ASSERT_EQ(wave::waveInOpen(&capture, 0, &in, &engine, 0, wave::CALLBACK_WINDOW), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(wave::waveOutOpen(&playback, 0, &out, &engine, 0, wave::CALLBACK_WINDOW), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(engine.startCapture(capture), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(engine.startPlayback(playback), wave::MMSYSERR_NOERROR);
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Capture));
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Playback));
  }

  // Runs `seconds` of both devices, the playback clock `ppm` fast; timestamps late by
  // `late` when given. Playback that `stalls` delivers nothing; capture that does not
  // `deliver` neither (played buffers then wait for the engine to give them up).
  void run(double seconds, double ppm = 0.0, Lateness* late = nullptr, bool stalls = false, bool delivers = true) {
    const double capturePeriod = static_cast<double>(engine.captureSamples()) / kRate;
    const double playbackPeriod = static_cast<double>(engine.playbackFrames()) / kOutputRate / (1.0 + ppm * 1e-6);
    const double end = now + seconds;
    while (now < end) {
      const bool captureNext = nextCapture <= nextPlayback;
      now = captureNext ? nextCapture : nextPlayback;
      stamp = now + (late ? late->next() : 0.0);
      if (captureNext) {
        nextCapture += capturePeriod;
        if (!delivers) continue;
        const size_t at = taken % (input.size() - engine.captureSamples());
        ASSERT_NE(audio.deliverData(input.data() + at, static_cast<uint32_t>(engine.captureSamples() * sizeof(Sample))),
                  nullptr);
        taken += engine.captureSamples();
      } else {
        nextPlayback += playbackPeriod;
        if (!stalls) {
          for (int wait = 0; !delivers && wait < 200 && audio.queued(wave::Direction::Playback).empty(); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          const std::vector<wave::WAVEHDR*> queued = audio.queued(wave::Direction::Playback);
          if (!queued.empty()) {
            const auto* data = reinterpret_cast<const Sample*>(queued[0]->lpData);
            played.insert(played.end(), data, data + queued[0]->dwBufferLength / sizeof(Sample));
            ASSERT_NE(audio.deliverDone(), nullptr);
          }
        }
      }
      ASSERT_TRUE(engine.waitIdle(5000));
      worstDeviation = std::max(worstDeviation, std::abs(engine.ratio() - 1.0));
    }
  }

  wave::ScriptedBackend audio;
  live::LiveEngine engine{this};
  wave::HWAVEIN capture = nullptr;
  wave::HWAVEOUT playback = nullptr;
  std::atomic<double> stamp{100.0};
  std::atomic<int> forwarded{0};
  double now = 100.0, nextCapture = 100.0, nextPlayback = 100.002;
  size_t taken = 0;
  std::vector<Sample> input = [] {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> sample(-12000, 12000);
    std::vector<Sample> v(3 * kRate);
    for (Sample& s : v) s = static_cast<Sample>(sample(rng));
    return v;
  }();
  std::vector<Sample> played;
  double worstDeviation = 0.0;
};

// One clock, nothing but the engine's thread between the devices: after the start the
// output is the offline stream conversion of the input, bit for bit, and the ratio stays 1.
TEST_F(LiveEngineTest, OneClockPlaysTheOfflineStreamConversionBitForBit) {
  start();
  input.resize(static_cast<size_t>(8.5 * kRate));  // no wrap-around: the input is one stream
  run(8.0);
  EXPECT_EQ(engine.breaks(), 0u);
  EXPECT_EQ(worstDeviation, 0.0);
  EXPECT_EQ(forwarded.load(), 2) << "the open notices went on to the window";

  dsp::StreamConverter offline;
  offline.Configure(kRate, {true, false, false});
  offline.SetDelayCompensation(false);
  std::vector<Sample> expected(2 * offline.MaxOutputFrames(taken));
  expected.resize(2 * offline.Process(input.data(), taken, expected.data()));
  size_t first = 0;
  while (first + 1 < played.size() && played[first] == 0 && played[first + 1] == 0) first += 2;
  ASSERT_GT(played.size() - first, size_t{5 * 2 * kOutputRate});
  auto at = std::search(expected.begin(), expected.end(), played.begin() + static_cast<std::ptrdiff_t>(first),
                        played.begin() + static_cast<std::ptrdiff_t>(first + 256));
  ASSERT_NE(at, expected.end());
  const size_t compared = std::min<size_t>(played.size() - first, static_cast<size_t>(expected.end() - at));
  EXPECT_TRUE(std::equal(played.begin() + static_cast<std::ptrdiff_t>(first),
                         played.begin() + static_cast<std::ptrdiff_t>(first + compared), at));
}

// Played buffers stop coming back while capture goes on: within a second the engine resets
// playback (the device hands its buffers back, they are refilled and written) and counts it.
TEST_F(LiveEngineTest, PlaybackThatStopsMovingIsRestartedWithinASecond) {
  audio.setAutoHandBack(true);
  start();
  run(3.0);
  ASSERT_EQ(engine.breaks(), 0u);
  const size_t writes = audio.countCalls("waveOutWrite");
  run(live::LiveEngine::kStallSeconds - 0.05, 0.0, nullptr, true);
  EXPECT_EQ(audio.countCalls("waveOutReset"), 0u);
  run(0.2, 0.0, nullptr, true);
  EXPECT_EQ(audio.countCalls("waveOutReset"), 1u);
  EXPECT_EQ(audio.countCalls("waveOutWrite"), writes + live::LiveEngine::kPlaybackBuffers);
  run(2.0);
  EXPECT_EQ(engine.breaks(), 1u) << "once: the overflows and the restart are one stall";
  EXPECT_EQ(engine.state(), live::EngineState::Running);
}

// The thread that made the engine and starts and stops the devices (the window's) posts
// notices too: buffers a device completes while they are queued, and those a reset hands
// back. It keeps its ordinary priority, or the threads it starts later inherit real-time
// priority and can starve the machine.
TEST_F(LiveEngineTest, ThreadThatStartsAndStopsTheDevicesKeepsItsPriority) {
  audio.setAutoHandBack(true);
  start();
  run(1.0);
  if (!engine.realTime()) GTEST_SKIP() << "no real-time priority here";
  engine.stopping(wave::Direction::Playback);
  ASSERT_EQ(wave::waveOutReset(playback), wave::MMSYSERR_NOERROR);
  ASSERT_TRUE(engine.waitIdle(5000));
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
  EXPECT_EQ(policy, SCHED_OTHER);
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

// The device tells that the server lost what it held (its sink was suspended under it):
// the engine restarts playback at once and counts it.
TEST_F(LiveEngineTest, InterruptedPlaybackIsRestartedAndCounted) {
  audio.setAutoHandBack(true);
  start();
  run(2.0);
  ASSERT_EQ(engine.breaks(), 0u);
  engine.postWaveNotice(wave::MM_WOM_INTERRUPTED, playback, nullptr, wave::MMSYSERR_NOERROR);
  ASSERT_TRUE(engine.waitIdle(5000));
  EXPECT_EQ(audio.countCalls("waveOutReset"), 1u);
  EXPECT_EQ(engine.restarts(), 1u);
  EXPECT_EQ(forwarded.load(), 2) << "only the open notices reach the window";
}

// The server played silence for want of our buffers: counted as an underrun once the stream
// plays (while it starts, silence is what it plays anyway); playback is not restarted.
TEST_F(LiveEngineTest, ServerSilenceForWantOfBuffersIsCounted) {
  audio.setAutoHandBack(true);
  start();
  engine.postWaveNotice(wave::MM_WOM_STARVED, playback, nullptr, wave::MMSYSERR_NOERROR);
  ASSERT_TRUE(engine.waitIdle(5000));
  run(2.0);
  ASSERT_EQ(engine.breaks(), 0u) << "silence while starting";
  engine.postWaveNotice(wave::MM_WOM_STARVED, playback, nullptr, wave::MMSYSERR_NOERROR);
  run(0.1);
  EXPECT_EQ(engine.underruns(), 1u);
  EXPECT_EQ(engine.restarts(), 0u);
  EXPECT_EQ(audio.countCalls("waveOutReset"), 0u);
}

// One break a listener hears counts once, in the kind of what set it off: the server's
// silence and the queue running dry behind it, an output stall's trims and restarts. A
// second stall a second later is a break of its own.
TEST_F(LiveEngineTest, EachBreakCountsOnce) {
  enum class Step { Silence, CaptureStops, PlaybackStalls, Plays };
  struct Case {
    const char* name;
    std::vector<std::pair<Step, double>> steps;  // what happens, for how many seconds
    uint64_t underruns, overflows, restarts;
  };
  const std::vector<Case> cases = {
      {"server silence, then the queue runs dry", {{Step::Silence, 0.0}, {Step::CaptureStops, 0.15}}, 1, 0, 0},
      {"two output stalls a second apart",
       {{Step::PlaybackStalls, 0.3}, {Step::Plays, 1.0}, {Step::PlaybackStalls, 0.3}},
       0,
       2,
       0},
      {"an output stalled for 2 s, restarted twice", {{Step::PlaybackStalls, 2.0}}, 0, 1, 0},
  };
  audio.setAutoHandBack(true);
  start();
  run(3.0);
  ASSERT_EQ(engine.breaks(), 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t underruns = engine.underruns(), overflows = engine.overflows(), restarts = engine.restarts();
    for (const auto& [step, seconds] : c.steps) {
      if (step == Step::Silence) engine.postWaveNotice(wave::MM_WOM_STARVED, playback, nullptr, wave::MMSYSERR_NOERROR);
      run(seconds, 0.0, nullptr, step == Step::PlaybackStalls, step != Step::CaptureStops);
    }
    run(2.0);  // the stream is back, and what a break sets off has passed
    EXPECT_EQ(engine.underruns() - underruns, c.underruns);
    EXPECT_EQ(engine.overflows() - overflows, c.overflows);
    EXPECT_EQ(engine.restarts() - restarts, c.restarts);
    EXPECT_EQ(engine.state(), live::EngineState::Running);
  }
}

// A playback device with a long buffer of its own (430 ms, taken at once): the queue's
// target grows by that swing, the stream plays, and nothing runs dry once it has started.
TEST_F(LiveEngineTest, DeviceWithALongBufferPlays) {
  start();
  const int buffers = static_cast<int>(0.43 * kOutputRate / static_cast<double>(engine.playbackFrames()));
  const double burst = buffers * static_cast<double>(engine.playbackFrames()) / kOutputRate;
  uint64_t startUnderruns = 0;
  for (double begin = now, end = now + 10.0; now < end;) {
    if (now - begin < 3.0) startUnderruns = engine.underruns();
    now += burst;
    for (; nextCapture <= now; nextCapture += static_cast<double>(engine.captureSamples()) / kRate) {
      stamp = nextCapture;
      ASSERT_NE(audio.deliverData(input.data(), static_cast<uint32_t>(engine.captureSamples() * sizeof(Sample))),
                nullptr);
      ASSERT_TRUE(engine.waitIdle(5000));
    }
    stamp = now;
    for (int i = 0; i < buffers; ++i) {
      const auto* data = reinterpret_cast<const Sample*>(audio.queued(wave::Direction::Playback).at(0)->lpData);
      played.insert(played.end(), data, data + 2 * engine.playbackFrames());
      ASSERT_NE(audio.deliverDone(), nullptr);
      ASSERT_TRUE(engine.waitIdle(5000));
      // What a played buffer waits for comes only with the next capture: the engine writes
      // it after its longest wait.
      for (int wait = 0; wait < 200 && audio.queued(wave::Direction::Playback).empty(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_GE(engine.targetSeconds(), burst / 2);
  const auto last = std::vector<Sample>(played.end() - 2 * kOutputRate, played.end());
  EXPECT_GT(*std::max_element(last.begin(), last.end()), 1000) << "the last second carries the stream";
  EXPECT_EQ(engine.underruns(), startUnderruns) << "none after the first 3 s";
}

}  // namespace
