// The drift compensator's work per buffer in live stream mode at the highest rate: one
// converted capture buffer pushed and one playback buffer pulled at 96000 Hz (192000 Hz
// input), 2048 frames (21 ms) each way. Resampling: the capture clock runs 200 ppm fast, so
// every frame goes through the interpolator; pass-through: the clocks agree and the ratio
// is locked at exactly 1. realtime_percent is the processor time spent as a share of the
// buffer's duration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

#include "dsp/drift_compensator.hpp"

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
  state.counters["realtime_percent"] =
      100.0 * seconds / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1)) /
      kBufferSeconds;
  state.SetLabel(resampling ? "resampling (200 ppm)" : "pass-through (locked)");
}

}  // namespace

BENCHMARK(BM_DriftBuffer)->Arg(200)->Arg(0)->Unit(benchmark::kMicrosecond);
