// One whole converted block (input meter, conversion, spectrum inversion, output meters)
// beside a reference pipeline that makes the same linear passes but calls FFTW (single
// precision, in place, FFTW_MEASURE plans made outside the timed loop) for its transforms.
// The reference runs first and leaves its CPU time per block, so ours reports
// ratio_vs_fftw = ours / reference of the same run.
//   fftw_same_work:    the transforms ours makes (the first pass's all-zero segment skipped)
//   fftw_all_segments: every segment transformed, four forward and four inverse per block
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "bench_clock.hpp"
#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"

namespace {

using dsp::Sample;

constexpr bool kEdgeFilter = false;
constexpr bool kInvert = true;

std::vector<Sample> testBlock(int32_t count) {
  std::mt19937 engine(7);
  std::uniform_int_distribution<int> noise(-3000, 3000);
  std::vector<Sample> x(static_cast<size_t>(count));
  for (int32_t n = 0; n < count; ++n)
    x[static_cast<size_t>(n)] = static_cast<Sample>(std::lround(15000 * std::cos(0.7 * n)) + noise(engine));
  return x;
}

inline int32_t magnitude(Sample s) { return s < 0 ? -static_cast<int32_t>(s) : static_cast<int32_t>(s); }

inline Sample saturate(float a, float b) {
  const double v = std::clamp(static_cast<double>(a) + static_cast<double>(b), -32768.0, 32767.0);
  return static_cast<Sample>(static_cast<int32_t>(v));
}

// The converter's block with FFTW transforms: the same windowing, band rotation,
// scaling, overlap-add, saturation, inversion and peak passes, written out again here.
class FftwBlock {
 public:
  FftwBlock(const dsp::StreamConfig& stream, bool allSegments)
      : n_(stream.SegmentLength), h_(stream.HalfSegment), q_(stream.QuarterSegment), allSegments_(allSegments),
        window_(stream.SegmentWindow.data()), taper_(stream.EdgeTaper.data()), overlapLeft_(static_cast<size_t>(h_)),
        overlapRight_(static_cast<size_t>(h_)) {
    for (auto** array : {&segmentA_, &segmentB_}) *array = fftwf_alloc_complex(static_cast<size_t>(n_));
    for (auto** array : {&basebandA_, &basebandB_}) *array = fftwf_alloc_complex(static_cast<size_t>(h_));
    // FFTW_BACKWARD has the positive exponent of our forward transform.
    forward_ = fftwf_plan_dft_1d(n_, segmentA_, segmentA_, FFTW_BACKWARD, FFTW_MEASURE);
    inverse_ = fftwf_plan_dft_1d(h_, basebandA_, basebandA_, FFTW_FORWARD, FFTW_MEASURE);
  }
  ~FftwBlock() {
    fftwf_destroy_plan(forward_);
    fftwf_destroy_plan(inverse_);
    for (fftwf_complex* array : {segmentA_, segmentB_, basebandA_, basebandB_}) fftwf_free(array);
  }
  FftwBlock(const FftwBlock&) = delete;
  FftwBlock& operator=(const FftwBlock&) = delete;

  int32_t run(Sample* x) {
    int32_t inPeak = 0;
    for (int32_t i = 0; i < n_; ++i) inPeak = std::max(inPeak, magnitude(x[i]));
    std::fill(overlapLeft_.begin(), overlapLeft_.end(), 0.0f);
    std::fill(overlapRight_.begin(), overlapRight_.end(), 0.0f);

    // First pass: segment at -N (all zero) only when asked, segment at -H always.
    if (allSegments_) {
      clear(a(), n_);
      transformForward(a());
      filterAndRotate(a(), floats(basebandA_));
      transformInverse(basebandA_);
    }
    clear(b(), h_);
    window(b() + 2 * h_, x, window_ + h_, h_);
    transformForward(b());
    filterAndRotate(b(), floats(basebandB_));
    transformInverse(basebandB_);
    const float* bb = floats(basebandB_);
    for (int32_t m = 0; m < q_; ++m) {
      overlapLeft_[static_cast<size_t>(m)] = bb[2 * (m + q_) + 1];
      overlapRight_[static_cast<size_t>(m)] = bb[2 * (m + q_)];
    }

    window(a(), x, window_, n_);
    window(b(), x + h_, window_, h_);
    clear(b() + 2 * h_, h_);
    transformForward(a());
    transformForward(b());
    filterAndRotate(a(), floats(basebandA_));
    filterAndRotate(b(), floats(basebandB_));
    transformInverse(basebandA_);
    transformInverse(basebandB_);
    const float* ba = floats(basebandA_);
    for (int32_t m = 0; m < q_; ++m) {
      x[2 * m] = saturate(ba[2 * m + 1], overlapLeft_[static_cast<size_t>(m)]);
      x[2 * m + 1] = saturate(ba[2 * m], overlapRight_[static_cast<size_t>(m)]);
      overlapLeft_[static_cast<size_t>(m)] = bb[2 * (m + q_) + 1];
      overlapRight_[static_cast<size_t>(m)] = bb[2 * (m + q_)];
    }
    for (int32_t m = q_; m < h_; ++m) {
      x[2 * m] = saturate(ba[2 * m + 1], bb[2 * (m - q_) + 1]);
      x[2 * m + 1] = saturate(ba[2 * m], bb[2 * (m - q_)]);
    }

    if (kInvert)
      for (int32_t i = 0; i < n_; ++i)
        if ((i & 2) == 0) x[i] = static_cast<Sample>(-static_cast<int32_t>(x[i]));
    int32_t left = 0, right = 0;
    for (int32_t i = 0; i + 1 < n_; i += 2) {
      left = std::max(left, magnitude(x[i]));
      right = std::max(right, magnitude(x[i + 1]));
    }
    return inPeak + left + right;
  }

 private:
  float* a() { return reinterpret_cast<float*>(segmentA_); }
  float* b() { return reinterpret_cast<float*>(segmentB_); }
  static float* floats(fftwf_complex* c) { return reinterpret_cast<float*>(c); }
  static void clear(float* s, int32_t count) { std::memset(s, 0, sizeof(float) * 2 * static_cast<size_t>(count)); }
  static void window(float* __restrict s, const Sample* __restrict x, const float* __restrict w, int32_t count) {
    for (int32_t f = 0; f < count; ++f) {
      s[2 * f] = static_cast<float>(x[f]) * w[f];
      s[2 * f + 1] = 0.0f;
    }
  }
  void transformForward(float* s) {
    fftwf_execute_dft(forward_, reinterpret_cast<fftwf_complex*>(s), reinterpret_cast<fftwf_complex*>(s));
  }
  // FFTW does not scale; our inverse scales by 1/H on the way in, so does this.
  void transformInverse(fftwf_complex* c) {
    float* s = floats(c);
    const float scale = 1.0f / static_cast<float>(h_);
    for (int32_t i = 0; i < 2 * h_; ++i) s[i] *= scale;
    fftwf_execute_dft(inverse_, c, c);
  }
  void filterAndRotate(float* spectrum, float* baseband) {
    if (kEdgeFilter) {
      for (int32_t i = 0; i <= 45; ++i) {
        spectrum[2 * (h_ - 45 + i)] *= taper_[45 - i];
        spectrum[2 * (h_ - 45 + i) + 1] *= taper_[45 - i];
      }
      for (int32_t i = 0; i < 45; ++i) {
        spectrum[2 * i] *= taper_[i];
        spectrum[2 * i + 1] *= taper_[i];
      }
    }
    std::memcpy(baseband, spectrum + 2 * q_, sizeof(float) * 2 * static_cast<size_t>(q_));
    std::memcpy(baseband + 2 * q_, spectrum, sizeof(float) * 2 * static_cast<size_t>(h_ - q_));
  }

  int32_t n_, h_, q_;
  bool allSegments_;
  const float* window_;
  const float* taper_;
  std::vector<float> overlapLeft_, overlapRight_;
  fftwf_complex *segmentA_ = nullptr, *segmentB_ = nullptr, *basebandA_ = nullptr, *basebandB_ = nullptr;
  fftwf_plan forward_ = nullptr, inverse_ = nullptr;
};

double gReferenceSecondsPerBlock = 0;

// CPU seconds per block of the calls to `block`, without restoring the input: on a
// shared machine the thread's CPU time is steadier than the wall clock.
template <class Block>
double timePerBlock(benchmark::State& state, const std::vector<Sample>& input, Sample* work, Block&& block) {
  double total = 0;
  int64_t blocks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work, input.data(), sizeof(Sample) * input.size());
    state.ResumeTiming();
    const double start = bench::threadCpuSeconds();
    block();
    benchmark::ClobberMemory();
    total += bench::threadCpuSeconds() - start;
    ++blocks;
  }
  return blocks > 0 ? total / static_cast<double>(blocks) : 0.0;
}

void BM_ConverterBlock_FftwReference(benchmark::State& state, bool allSegments) {
  dsp::InitFFT();
  dsp::StreamConfig stream;
  const auto input = testBlock(stream.BlockSamples);
  FftwBlock reference(stream, allSegments);

  // Both pipelines must compute the same block, or the comparison means nothing.
  std::vector<Sample> theirs = input;
  reference.run(theirs.data());
  std::copy(input.begin(), input.end(), stream.WorkBuffer.begin());
  dsp::ConvertBlock(stream, dsp::ConverterSwitches{true, kEdgeFilter, kInvert});
  for (size_t i = 0; i < theirs.size(); ++i) {
    if (std::abs(theirs[i] - stream.WorkBuffer[i]) > 2) {
      state.SkipWithError("the FFTW reference disagrees with the converter");
      return;
    }
  }

  std::vector<Sample> work(input.size());
  int32_t sink = 0;
  gReferenceSecondsPerBlock = timePerBlock(state, input, work.data(), [&] { sink += reference.run(work.data()); });
  benchmark::DoNotOptimize(sink);
  state.counters["cpu_us_per_block"] = 1e6 * gReferenceSecondsPerBlock;
}

void BM_ConverterBlock_Ours(benchmark::State& state, const char* /*comparedWith*/) {
  dsp::InitFFT();
  dsp::StreamConfig stream;
  const auto input = testBlock(stream.BlockSamples);
  const dsp::ConverterSwitches switches{true, kEdgeFilter, kInvert};
  int32_t sink = 0;
  const double ours = timePerBlock(state, input, stream.WorkBuffer.data(), [&] {
    const auto levels = dsp::ConvertBlock(stream, switches);
    sink += levels.Input.Position + levels.Output.Left.Position + levels.Output.Right.Position;
  });
  benchmark::DoNotOptimize(sink);
  state.counters["cpu_us_per_block"] = 1e6 * ours;
  if (gReferenceSecondsPerBlock > 0) state.counters["ratio_vs_fftw"] = ours / gReferenceSecondsPerBlock;
}

// Each reference runs just before ours, so every "ours" line carries the ratio to the line above.
BENCHMARK_CAPTURE(BM_ConverterBlock_FftwReference, fftw_same_work, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ConverterBlock_Ours, vs_fftw_same_work, "")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ConverterBlock_FftwReference, fftw_all_segments, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ConverterBlock_Ours, vs_fftw_all_segments, "")->Unit(benchmark::kMicrosecond);

}  // namespace
