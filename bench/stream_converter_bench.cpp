// Stream mode beside block mode in the same run, in input samples per second on one core.
// Block mode converts every 32768 samples on their own (ConvertBlock); stream mode takes the
// same samples in 32768-sample chunks through StreamConverter at several rates (its filter,
// and so its cost, depends on the rate). Block mode runs first and leaves its rate, so every
// stream line carries ratio_vs_block = stream samples/s / block samples/s (above 1: faster),
// beside the stream's transform length, delay, output block and worst-case latency.
#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"
#include "dsp/stream_converter.hpp"

namespace {

using dsp::Sample;

constexpr size_t kChunk = 32768;
double gBlockSamplesPerSecond = 0;

std::vector<Sample> signal(size_t count) {
  std::mt19937 engine(7);
  std::uniform_int_distribution<int> noise(-3000, 3000);
  std::vector<Sample> x(count);
  for (size_t n = 0; n < count; ++n) x[n] = static_cast<Sample>(std::lround(15000 * std::cos(0.7 * double(n))) + noise(engine));
  return x;
}

dsp::ConverterSwitches switches(bool edge) { return dsp::ConverterSwitches{true, edge, true}; }

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Input samples per CPU second over the timed loop, also reported as MS_per_s.
template <class Step>
double samplesPerSecond(benchmark::State& state, Step step) {
  const double start = threadSeconds();
  for (auto _ : state) step();
  const double seconds = threadSeconds() - start;
  const double rate = seconds > 0 ? static_cast<double>(state.iterations()) * kChunk / seconds : 0.0;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kChunk));
  state.counters["MS_per_s"] = rate / 1e6;
  return rate;
}

void BM_BlockMode(benchmark::State& state) {
  dsp::InitFFT();
  dsp::StreamConfig stream;
  stream.Configure(48000);
  const auto input = signal(kChunk);
  const double rate = samplesPerSecond(state, [&] {
    std::copy(input.begin(), input.end(), stream.WorkBuffer.begin());
    benchmark::DoNotOptimize(dsp::ConvertBlock(stream, switches(state.range(0) != 0)));
  });
  if (state.range(0) == 0) gBlockSamplesPerSecond = rate;
}

void BM_StreamMode(benchmark::State& state) {
  dsp::InitFFT();
  dsp::StreamConverter converter;
  converter.Configure(static_cast<int32_t>(state.range(0)), switches(state.range(1) != 0));
  const auto input = signal(kChunk);
  std::vector<Sample> out(2 * converter.MaxOutputFrames(kChunk));
  size_t frames = 0;
  const double rate = samplesPerSecond(state, [&] { frames += converter.Process(input.data(), kChunk, out.data()); });
  benchmark::DoNotOptimize(frames);
  if (gBlockSamplesPerSecond > 0) state.counters["ratio_vs_block"] = rate / gBlockSamplesPerSecond;
  state.counters["fft"] = converter.TransformLength();
  state.counters["taps"] = converter.FilterTaps();
  state.counters["delay_ms"] = 2000.0 * converter.DelayFrames() / static_cast<double>(state.range(0));
  state.counters["block_ms"] = 2000.0 * converter.BlockFrames() / static_cast<double>(state.range(0));
  state.counters["latency_ms"] = 2000.0 * converter.LatencyFrames() / static_cast<double>(state.range(0));
}

}  // namespace

BENCHMARK(BM_BlockMode)->ArgName("edge")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamMode)
    ->ArgNames({"rate", "edge"})
    ->Args({48000, 0})
    ->Args({48000, 1})
    ->Args({4000, 0})
    ->Args({8000, 0})
    ->Args({11025, 0})
    ->Args({96000, 0})
    ->Args({192000, 0})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMicrosecond);
