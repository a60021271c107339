// One spectrum update as the window runs it per captured block: window, 16384-point FFT,
// 8192-row colour column, triangle resampling to the view height, scroll and new column,
// on the main window's 207 x 451 view. The counter block_percent is the update's time (this
// thread's CPU time, which neighbours on a shared machine disturb little) as a percentage of
// one block at 192000 Hz (32768 / 192000 s), the shortest block the program sees.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "bench_clock.hpp"
#include "display/spectrum_display.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"

namespace {

void BM_SpectrumColumnUpdate(benchmark::State& state) {
  const bool logScale = state.range(0) != 0;
  dsp::InitFFT();
  dsp::StreamConfig stream;
  stream.Configure(192000);
  // A tone over noise, so the colours cover several bands.
  std::mt19937 engine(1);
  std::normal_distribution<double> noise(0.0, 300.0);
  for (size_t n = 0; n < stream.WorkBuffer.size(); ++n) {
    const double v = 12000.0 * std::sin(0.37 * static_cast<double>(n)) + noise(engine);
    stream.WorkBuffer[n] = static_cast<dsp::Sample>(std::lrint(v));
  }
  display::SpectrumDisplay display;
  display.create(QSize(207, 451));
  display.RenderSpectrumColumn(stream, logScale);  // the first update converts the columns

  const double start = bench::threadCpuSeconds();
  for (auto _ : state) {
    display.RenderSpectrumColumn(stream, logScale);
    benchmark::DoNotOptimize(display.SpectrumView.constBits());
  }
  const double perUpdate = (bench::threadCpuSeconds() - start) / static_cast<double>(state.iterations());
  const double blockSeconds = 32768.0 / 192000.0;
  state.counters["block_percent"] = 100.0 * perUpdate / blockSeconds;
}
BENCHMARK(BM_SpectrumColumnUpdate)->Arg(0)->Arg(1)->ArgName("log")->Unit(benchmark::kMicrosecond);

}  // namespace
