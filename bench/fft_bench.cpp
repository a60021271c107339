// ComplexFFT beside FFTW (single precision, in place, FFTW_MEASURE planned outside the timed
// loop) for the program's three transforms. Each FFTW benchmark runs just before ours and
// leaves its time per call, so ours reports the ratio of the same run: ratio = ours / FFTW.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstring>
#include <ctime>
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

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Times `transform` in batches of four calls on this thread's CPU clock, which other
// processes on a shared machine disturb far less than the wall clock. Repeated unscaled
// transforms grow the data by about sqrt(n) per call, so the input is restored before each
// batch, outside the timed part. Returns seconds per call.
constexpr int kCallsPerBatch = 4;
template <class Transform, class Restore>
double timePerCall(benchmark::State& state, Transform&& transform, Restore&& restore) {
  double total = 0;
  int64_t batches = 0;
  for (auto _ : state) {
    restore();
    const double start = threadSeconds();
    for (int i = 0; i < kCallsPerBatch; ++i) {
      transform();
      benchmark::ClobberMemory();
    }
    const double seconds = (threadSeconds() - start) / kCallsPerBatch;
    state.SetIterationTime(seconds);
    total += seconds;
    ++batches;
  }
  return batches > 0 ? total / static_cast<double>(batches) : 0.0;
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
  // Aligned like FFTW's buffer, so both sides start alike; ours also accepts any alignment.
  const std::vector<float> input = randomSignal(t.count);
  float* data = static_cast<float*>(fftwf_malloc(sizeof(float) * input.size()));
  const double perCall = timePerCall(
      state, [&] { dsp::ComplexFFT(data, t.count, t.inverse, dsp::kScaled, dsp::kNaturalOrder, nullptr); },
      [&] { std::memcpy(data, input.data(), sizeof(float) * input.size()); });
  fftwf_free(data);
  dsp::SelectFftPath(dsp::BestFftPath());
  state.counters["us"] = perCall * 1e6;
  const auto fftw = gFftwSecondsPerCall.find(t.name);
  if (fftw != gFftwSecondsPerCall.end()) {
    state.counters["fftw_us"] = fftw->second * 1e6;
    state.counters["ratio"] = perCall / fftw->second;
  }
}

// Per transform: FFTW, then ours on the path the program uses ("ours"), then ours on every
// other path this CPU can run.
int registerAll() {
  for (const Transform& t : kTransforms) {
    const std::string prefix = std::string("FFT/") + t.name + "/";
    benchmark::RegisterBenchmark((prefix + "fftw").c_str(), [&t](benchmark::State& s) { runFftw(s, t); })
        ->UseManualTime();
    const dsp::FftPath best = dsp::BestFftPath();
    benchmark::RegisterBenchmark((prefix + "ours").c_str(), [&t, best](benchmark::State& s) { runOurs(s, t, best); })
        ->UseManualTime();
    for (dsp::FftPath path : {dsp::FftPath::Sse2, dsp::FftPath::Portable}) {
      if (path == best || !dsp::FftPathAvailable(path)) continue;
      benchmark::RegisterBenchmark((prefix + "ours_" + dsp::FftPathName(path)).c_str(),
                                   [&t, path](benchmark::State& s) { runOurs(s, t, path); })
          ->UseManualTime();
    }
  }
  return 0;
}

const int kRegistered = registerAll();

}  // namespace
