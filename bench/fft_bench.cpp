// ComplexFFT beside FFTW (single precision, in place, FFTW_MEASURE planned outside the timed
// loop) for the program's three transforms. Each FFTW benchmark runs just before ours and
// leaves its time per call, so ours reports the ratio of the same run: ratio = ours / FFTW.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dsp/fft.hpp"
#include "dsp/fft_dispatch.hpp"

namespace {

struct Transform {
  const char* name;
  int32_t count;
  bool inverse;
};

const Transform kTransforms[] = {
    {"forward16384", 16384, false},
    {"forward32768", 32768, false},
    {"inverse16384_scaled", 16384, true},
};

std::map<std::string, double> gFftwSecondsPerCall;

std::vector<float> randomSignal(int32_t n) {
  std::mt19937 engine(42);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(2 * static_cast<size_t>(n));
  for (float& v : x) v = uniform(engine);
  return x;
}

// Times `transform` per call (manual time). Repeated unscaled transforms grow the data by
// about sqrt(n) per call, so the input is restored every few calls, outside the timed part.
template <class Transform, class Restore>
double timePerCall(benchmark::State& state, Transform&& transform, Restore&& restore) {
  double total = 0;
  int64_t calls = 0;
  for (auto _ : state) {
    if (calls % 4 == 0) restore();
    const auto start = std::chrono::steady_clock::now();
    transform();
    benchmark::ClobberMemory();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
    ++calls;
  }
  return calls > 0 ? total / static_cast<double>(calls) : 0.0;
}

// FFTW's FFTW_BACKWARD is our forward exponent (positive), FFTW_FORWARD our inverse one.
void runFftw(benchmark::State& state, const Transform& t) {
  const std::vector<float> input = randomSignal(t.count);
  auto* data = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * t.count));
  fftwf_plan plan = fftwf_plan_dft_1d(t.count, data, data, t.inverse ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_MEASURE);
  const double perCall = timePerCall(
      state, [&] { fftwf_execute(plan); },
      [&] { std::memcpy(data, input.data(), sizeof(float) * input.size()); });
  gFftwSecondsPerCall[t.name] = perCall;
  state.counters["us"] = perCall * 1e6;
  fftwf_destroy_plan(plan);
  fftwf_free(data);
}

void runOurs(benchmark::State& state, const Transform& t, dsp::FftPath path) {
  dsp::InitFFT();
  if (!dsp::SelectFftPath(path)) {
    state.SkipWithError("code path not available on this CPU");
    return;
  }
  const std::vector<float> input = randomSignal(t.count);
  std::vector<float> data = input;
  const double perCall = timePerCall(
      state, [&] { dsp::ComplexFFT(data.data(), t.count, t.inverse, true, true, nullptr); },
      [&] { data = input; });
  dsp::SelectFftPath(dsp::BestFftPath());
  state.counters["us"] = perCall * 1e6;
  const auto fftw = gFftwSecondsPerCall.find(t.name);
  if (fftw != gFftwSecondsPerCall.end()) {
    state.counters["fftw_us"] = fftw->second * 1e6;
    state.counters["ratio"] = perCall / fftw->second;
  }
}

int registerAll() {
  for (const Transform& t : kTransforms) {
    benchmark::RegisterBenchmark((std::string("FFT/fftw/") + t.name).c_str(),
                                 [&t](benchmark::State& s) { runFftw(s, t); })
        ->UseManualTime();
    for (dsp::FftPath path : {dsp::BestFftPath(), dsp::FftPath::Portable}) {
      benchmark::RegisterBenchmark((std::string("FFT/ours_") + dsp::FftPathName(path) + "/" + t.name).c_str(),
                                   [&t, path](benchmark::State& s) { runOurs(s, t, path); })
          ->UseManualTime();
      if (path == dsp::FftPath::Portable) break;
    }
  }
  return 0;
}

const int kRegistered = registerAll();

}  // namespace
