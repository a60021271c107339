// The drift compensator's work per buffer in live stream mode at the highest rate: one
// converted capture buffer pushed and one playback buffer pulled at 96000 Hz (192000 Hz
// input), 2048 frames (21 ms) each way. Resampling: the capture clock runs 200 ppm fast, so
// every frame goes through the interpolator; pass-through: the clocks agree and the ratio
// is locked at exactly 1. realtime_percent is the processor time spent as a share of the
// buffer's duration. BM_StreamModeBuffer adds the rest of stream mode's work per capture
// buffer at 192000 Hz: the input meter, the stream converter, the output meters, the push
// and the two playback pulls the buffer's output fills.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/drift_compensator.hpp"
#include "dsp/stream_converter.hpp"
#include "live/live_engine.hpp"

namespace {

constexpr int kRate = 96000;
constexpr size_t kFrames = 2048;
constexpr double kBufferSeconds = static_cast<double>(kFrames) / kRate;

// Two clocks, one push and one pull per step, a quarter of a buffer apart.
class TwoClocks {
 public:
  explicit TwoClocks(double driftPpm) : drift_(driftPpm * 1e-6), in_(2 * kFrames), out_(2 * kFrames) {
    for (size_t n = 0; n < kFrames; ++n) {
      in_[2 * n] = static_cast<dsp::Sample>(std::lround(16000 * std::cos(0.37 * n)));
      in_[2 * n + 1] = static_cast<dsp::Sample>(std::lround(16000 * std::sin(0.37 * n)));
    }
    compensator_.configure({kRate, kFrames, kFrames});
  }
  void step() {
    compensator_.push(in_.data(), kFrames, static_cast<double>(steps_) * kBufferSeconds / (1.0 + drift_));
    compensator_.pull(out_.data(), kFrames, (static_cast<double>(steps_) + 0.25) * kBufferSeconds);
    ++steps_;
  }
  const dsp::DriftCompensator& compensator() const { return compensator_; }

 private:
  double drift_;
  dsp::DriftCompensator compensator_;
  std::vector<dsp::Sample> in_, out_;
  long steps_ = 0;
};

void BM_DriftBuffer(benchmark::State& state) {
  const double driftPpm = static_cast<double>(state.range(0));
  TwoClocks clocks(driftPpm);
  // A simulated minute: the stream has started and the loop has taken up the drift.
  for (int i = 0; i < static_cast<int>(60.0 / kBufferSeconds); ++i) clocks.step();
  const bool resampling = clocks.compensator().state() == dsp::DriftController::State::Tracking;
  if (resampling != (driftPpm != 0.0)) state.SkipWithError("the compensator is not in the state measured");

  // Processor time, so that other work on the machine does not count.
  const std::clock_t start = std::clock();
  for (auto _ : state) clocks.step();
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  state.counters["realtime_percent"] = 100.0 * seconds /
                                       static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1)) /
                                       kBufferSeconds;
  state.SetLabel(resampling ? "resampling (200 ppm)" : "pass-through (locked)");
}

// Stream mode's window sizes its buffers from the converter's block: captures of two
// blocks' input (one block of output), playback buffers of one block's output.
void BM_StreamModeBuffer(benchmark::State& state) {
  constexpr int kInputRate = 2 * kRate;
  const double driftPpm = static_cast<double>(state.range(0));
  dsp::StreamConverter converter;
  converter.Configure(kInputRate);
  converter.SetDelayCompensation(false);
  const auto block = static_cast<size_t>(converter.BlockFrames());
  const size_t captureSamples = 2 * block;
  const size_t playbackFrames = block;
  const double captureSeconds = static_cast<double>(captureSamples) / kInputRate;
  dsp::DriftCompensator compensator;
  compensator.configure({.outputRate = kRate, .maxPushFrames = block, .maxPullFrames = playbackFrames});
  std::vector<dsp::Sample> capture(captureSamples), converted(2 * converter.MaxOutputFrames(captureSamples)),
      played(2 * playbackFrames);
  for (size_t n = 0; n < captureSamples; ++n)
    capture[n] = static_cast<dsp::Sample>(std::lround(16000 * std::sin(0.37 * static_cast<double>(n))));
  long steps = 0;
  const auto step = [&] {
    const double now = static_cast<double>(steps) * captureSeconds;
    benchmark::DoNotOptimize(dsp::MeasureInputLevel(capture.data(), static_cast<int32_t>(captureSamples)));
    const size_t frames = converter.Process(capture.data(), captureSamples, converted.data());
    benchmark::DoNotOptimize(dsp::InvertAndMeasureOutput(converted.data(), static_cast<int32_t>(2 * frames), false));
    for (size_t first = 0; first < frames; first += block)
      compensator.push(converted.data() + 2 * first, std::min(block, frames - first), now / (1.0 + driftPpm * 1e-6));
    compensator.pull(played.data(), playbackFrames, now + 0.5 * captureSeconds);
    benchmark::DoNotOptimize(played.data());
    ++steps;
  };
  for (int i = 0; i < static_cast<int>(60.0 / captureSeconds); ++i) step();
  const bool resampling = compensator.state() == dsp::DriftController::State::Tracking;
  if (resampling != (driftPpm != 0.0)) state.SkipWithError("the compensator is not in the state measured");

  const std::clock_t start = std::clock();
  for (auto _ : state) step();
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  state.counters["realtime_percent"] = 100.0 * seconds /
                                       static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1)) /
                                       captureSeconds;
  state.SetLabel(resampling ? "resampling (200 ppm)" : "pass-through (locked)");
}

// The live engine's whole work per capture buffer at 192000 Hz, as its thread does it: the
// meters, the spectrum's input, the stream converter, both clock estimates, the queue's push
// and the playback pull the buffer's output fills (no device, no hand-off).
void BM_LiveEngineBuffer(benchmark::State& state) {
  constexpr int kInputRate = 2 * kRate;
  const double driftPpm = static_cast<double>(state.range(0));
  struct Quiet : wave::NoticeTarget {
    void postWaveNotice(uint32_t, void*, wave::WAVEHDR*, wave::MMRESULT) override {}
  } window;
  live::LiveEngine engine(&window);
  engine.configure(kInputRate, kRate, 32768);
  const size_t samples = engine.captureSamples();
  const double captureSeconds = static_cast<double>(samples) / kInputRate;
  std::vector<dsp::Sample> capture(samples);
  for (size_t n = 0; n < samples; ++n)
    capture[n] = static_cast<dsp::Sample>(std::lround(16000 * std::sin(0.37 * static_cast<double>(n))));
  long steps = 0;
  const auto step = [&] {
    const double now = static_cast<double>(steps++) * captureSeconds;
    engine.processForBenchmark(capture.data(), now / (1.0 + driftPpm * 1e-6), now + 0.5 * captureSeconds);
  };
  for (int i = 0; i < static_cast<int>(60.0 / captureSeconds); ++i) step();
  const bool resampling = engine.ratio() != 1.0;
  if (resampling != (driftPpm != 0.0)) state.SkipWithError("the engine is not in the state measured");

  const std::clock_t start = std::clock();
  for (auto _ : state) step();
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  state.counters["realtime_percent"] = 100.0 * seconds /
                                       static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1)) /
                                       captureSeconds;
  state.SetLabel(resampling ? "resampling (200 ppm)" : "pass-through (locked)");
}

}  // namespace

BENCHMARK(BM_LiveEngineBuffer)->Arg(200)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriftBuffer)->Arg(200)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamModeBuffer)->Arg(200)->Arg(0)->Unit(benchmark::kMicrosecond);
