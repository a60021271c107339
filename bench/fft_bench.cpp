// ComplexFFT beside FFTW (single precision, in place, planned outside the timed loop) for the
// program's three transforms. Yardsticks: Debian's FFTW with FFTW_MEASURE and FFTW_PATIENT
// plans, and the same two for FFTW built by scripts/fftw-reference when this build has it.
// Patient plans are kept as wisdom in the build folder, so only the first run searches.
// Each yardstick leaves its time per call, and ours reports ratio = ours / yardstick of the
// same run. The *_offset16 lines time a buffer 16 bytes past a 64-byte boundary against the
// aligned one, batch by batch in alternation: offset_ratio = offset / aligned.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.hpp"
#include "dsp/fft.hpp"
#include "dsp/fft_dispatch.hpp"
#include "fftw_yardstick.hpp"

namespace {

struct Transform {
  const char* name;
  int32_t count;
  bool direction;
};

const Transform kTransforms[] = {
    {"forward16384", 16384, dsp::kForward},
    {"forward32768", 32768, dsp::kForward},
    {"inverse16384_scaled", 16384, dsp::kInverse},
};

// Seconds per call of each yardstick, by transform and yardstick label.
std::map<std::string, std::map<std::string, double>> gYardstickSeconds;

std::vector<float> randomSignal(int32_t n) {
  std::mt19937 engine(42);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(2 * static_cast<size_t>(n));
  for (float& v : x) v = uniform(engine);
  return x;
}

void restore(float* data, const std::vector<float>& input) {
  std::memcpy(data, input.data(), sizeof(float) * input.size());
}

// Times `transform` in batches of four calls on this thread's CPU clock. Repeated unscaled
// transforms grow the data by about sqrt(n) per call, so the input is restored before each
// batch, outside the timed part. Returns seconds per call of this batch.
constexpr int kCallsPerBatch = 4;
template <class Call>
double timeBatch(Call&& call) {
  const double start = bench::threadCpuSeconds();
  for (int i = 0; i < kCallsPerBatch; ++i) {
    call();
    benchmark::ClobberMemory();
  }
  return (bench::threadCpuSeconds() - start) / kCallsPerBatch;
}

template <class Call, class Restore>
double timePerCall(benchmark::State& state, Call&& call, Restore&& restoreInput) {
  double total = 0;
  int64_t batches = 0;
  for (auto _ : state) {
    restoreInput();
    const double seconds = timeBatch(call);
    state.SetIterationTime(seconds);
    total += seconds;
    ++batches;
  }
  return batches > 0 ? total / static_cast<double>(batches) : 0.0;
}

// Our forward exponent is positive.
void runFftw(benchmark::State& state, const Transform& t, bench::FftwYardstick& fftw, bench::Planning planning,
             const std::string& label) {
  const std::vector<float> input = randomSignal(t.count);
  float* data = fftw.allocate(input.size());
  void* plan = fftw.plan(data, t.count, t.direction == dsp::kForward, planning);
  const double perCall = timePerCall(
      state, [&] { fftw.execute(plan); }, [&] { restore(data, input); });
  gYardstickSeconds[t.name][label] = perCall;
  state.counters["us"] = perCall * 1e6;
  fftw.destroy(plan);
  fftw.release(data);
}

// 64-byte aligned room for one transform, plus 16 bytes so an offset copy fits.
struct OurBuffer {
  explicit OurBuffer(size_t floats) : base(static_cast<float*>(std::aligned_alloc(64, sizeof(float) * floats + 64))) {}
  ~OurBuffer() { std::free(base); }
  OurBuffer(const OurBuffer&) = delete;
  OurBuffer& operator=(const OurBuffer&) = delete;
  float* aligned() const { return base; }
  float* offset16() const { return base + 4; }  // 16-byte aligned, never 32-byte aligned
  float* base;
};

bool selectPath(benchmark::State& state, dsp::FftPath path) {
  dsp::InitFFT();
  if (dsp::SelectFftPath(path)) return true;
  state.SkipWithError("code path not available on this CPU");
  return false;
}

void runOurs(benchmark::State& state, const Transform& t, dsp::FftPath path) {
  if (!selectPath(state, path)) return;
  const std::vector<float> input = randomSignal(t.count);
  const OurBuffer buffer(input.size());
  float* data = buffer.aligned();
  const double perCall = timePerCall(
      state, [&] { dsp::ComplexFFT(data, t.count, t.direction, dsp::kScaled, dsp::kNaturalOrder, nullptr); },
      [&] { restore(data, input); });
  dsp::SelectFftPath(dsp::BestFftPath());
  state.counters["us"] = perCall * 1e6;
  for (const auto& [label, seconds] : gYardstickSeconds[t.name]) state.counters["vs_" + label] = perCall / seconds;
}

void runOursOffset(benchmark::State& state, const Transform& t, dsp::FftPath path) {
  if (!selectPath(state, path)) return;
  const std::vector<float> input = randomSignal(t.count);
  const OurBuffer alignedBuffer(input.size()), offsetBuffer(input.size());
  float* aligned = alignedBuffer.aligned();
  float* offset = offsetBuffer.offset16();
  double alignedTotal = 0, offsetTotal = 0;
  for (auto _ : state) {
    restore(aligned, input);
    alignedTotal +=
        timeBatch([&] { dsp::ComplexFFT(aligned, t.count, t.direction, dsp::kScaled, dsp::kNaturalOrder, nullptr); });
    restore(offset, input);
    const double seconds =
        timeBatch([&] { dsp::ComplexFFT(offset, t.count, t.direction, dsp::kScaled, dsp::kNaturalOrder, nullptr); });
    state.SetIterationTime(seconds);
    offsetTotal += seconds;
  }
  dsp::SelectFftPath(dsp::BestFftPath());
  const double batches = static_cast<double>(state.iterations());
  if (batches == 0 || alignedTotal <= 0) return;
  state.counters["us"] = offsetTotal / batches * 1e6;
  state.counters["aligned_us"] = alignedTotal / batches * 1e6;
  state.counters["offset_ratio"] = offsetTotal / alignedTotal;
}

// Per transform: the yardsticks, then ours on the path the program uses ("ours"), then ours
// on every other path this CPU can run, each aligned and then 16 bytes off.
int registerAll() {
  struct Yardstick {
    bench::FftwYardstick* fftw;
    bench::Planning planning;
    std::string label;
  };
  std::vector<Yardstick> yardsticks = {{&bench::debianFftw(), bench::Planning::Measure, "fftw_measure"},
                                       {&bench::debianFftw(), bench::Planning::Patient, "fftw_patient"}};
  if (bench::FftwYardstick* reference = bench::referenceFftw()) {
    yardsticks.push_back({reference, bench::Planning::Measure, "fftw_ref_measure"});
    yardsticks.push_back({reference, bench::Planning::Patient, "fftw_ref_patient"});
  }
  const dsp::FftPath best = dsp::BestFftPath();
  std::vector<dsp::FftPath> paths = {best};
  for (dsp::FftPath path : {dsp::FftPath::Sse2, dsp::FftPath::Portable})
    if (path != best && dsp::FftPathAvailable(path)) paths.push_back(path);

  for (const Transform& t : kTransforms) {
    const std::string prefix = std::string("FFT/") + t.name + "/";
    for (const Yardstick& y : yardsticks)
      benchmark::RegisterBenchmark((prefix + y.label).c_str(), [&t, y](benchmark::State& s) {
        runFftw(s, t, *y.fftw, y.planning, y.label);
      })->UseManualTime();
    for (dsp::FftPath path : paths) {
      const std::string name =
          prefix + (path == best ? std::string("ours") : std::string("ours_") + dsp::FftPathName(path));
      benchmark::RegisterBenchmark(name.c_str(), [&t, path](benchmark::State& s) {
        runOurs(s, t, path);
      })->UseManualTime();
      benchmark::RegisterBenchmark((name + "_offset16").c_str(), [&t, path](benchmark::State& s) {
        runOursOffset(s, t, path);
      })->UseManualTime();
    }
  }
  return 0;
}

const int kRegistered = registerAll();

}  // namespace
