// FFT engine: results against double-precision references built here, the split order against
// its recursive definition, the scratch-area rules, and no heap use per call, on every code
// path this machine can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <latch>
#include <map>
#include <new>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "dsp/aligned_vector.hpp"
#include "dsp/fft.hpp"
#include "dsp/fft_autosort.hpp"
#include "dsp/fft_dispatch.hpp"
#include "dsp/fft_internal.hpp"

// Counting replacements of the global allocation functions: the engine must not reach the
// heap from ComplexFFT.
namespace {
std::atomic<long> gHeapAllocations{0};
void* countedAllocation(std::size_t size, std::size_t alignment) {
  gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  return p;
}
// Out of line, so the compiler does not pair an inlined free() with its built-in new.
[[gnu::noinline]] void countedRelease(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = countedAllocation(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = countedAllocation(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t al) {
  if (void* p = countedAllocation(size, static_cast<std::size_t>(al))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t al) {
  if (void* p = countedAllocation(size, static_cast<std::size_t>(al))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size, 0); }
void operator delete(void* p) noexcept { countedRelease(p); }
void operator delete[](void* p) noexcept { countedRelease(p); }
void operator delete(void* p, std::size_t) noexcept { countedRelease(p); }
void operator delete[](void* p, std::size_t) noexcept { countedRelease(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedRelease(p); }
void operator delete[](void* p, std::align_val_t) noexcept { countedRelease(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { countedRelease(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { countedRelease(p); }

namespace {

using dsp::ComplexFFT;
using dsp::FftPath;
using Spectrum = std::vector<std::complex<double>>;
using Buffer = std::vector<float>;

constexpr double kPi = 3.141592653589793238462643383279502884;

std::vector<int32_t> allSizes() {
  std::vector<int32_t> sizes;
  for (int32_t n = 2; n <= 65536; n *= 2) sizes.push_back(n);
  return sizes;
}

int32_t log2Of(int32_t n) {
  int32_t m = 0;
  while ((1 << m) < n) ++m;
  return m;
}

// Position of frequency k in split order, straight from its recursive definition.
int32_t splitPosition(int32_t n, int32_t k) {
  if (n <= 2) return k;
  if (k % 2 == 0) return splitPosition(n / 2, k / 2);
  const int32_t m = k / 4;
  if (k % 4 == 1) return n / 2 + splitPosition(n / 4, m);
  return 3 * n / 4 + splitPosition(n / 4, (m + 1) % (n / 4));
}

// Max error of a float transform of n complex values in -1 ... 1: 1e-4 at 16384 and 2e-4 at
// 65536, scaled in between and below by the growth of rounding error, sqrt(n log2 n).
double forwardTolerance(int32_t n) {
  if (n == 65536) return 2e-4;
  const double growth = std::sqrt(double(n) * log2Of(n) / (16384.0 * 14.0));
  return std::max(2e-6, 1e-4 * growth);
}

Buffer randomSignal(int32_t n, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  Buffer x(2 * static_cast<size_t>(n));
  for (float& v : x) v = uniform(engine);
  return x;
}

Spectrum toComplex(const Buffer& x) {
  Spectrum c(x.size() / 2);
  for (size_t j = 0; j < c.size(); ++j) c[j] = {x[2 * j], x[2 * j + 1]};
  return c;
}

// Sum of x[j] e^{sign 2 pi i jk/n} for one k, in double.
std::complex<double> dftAt(const Spectrum& x, int32_t k, int sign) {
  const int64_t n = static_cast<int64_t>(x.size());
  std::complex<double> sum = 0;
  for (int64_t j = 0; j < n; ++j) {
    const double angle = sign * 2.0 * kPi * double((j * k) % n) / double(n);
    sum += x[j] * std::complex<double>(std::cos(angle), std::sin(angle));
  }
  return sum;
}

// Recursive radix-2 decimation in time in double: an independent reference for large sizes.
void referenceFft(std::complex<double>* x, int32_t n, int sign, std::complex<double>* temp) {
  if (n == 1) return;
  const int32_t half = n / 2;
  for (int32_t j = 0; j < half; ++j) {
    temp[j] = x[2 * j];
    temp[j + half] = x[2 * j + 1];
  }
  std::copy(temp, temp + n, x);
  referenceFft(x, half, sign, temp);
  referenceFft(x + half, half, sign, temp);
  for (int32_t k = 0; k < half; ++k) {
    const double angle = sign * 2.0 * kPi * double(k) / double(n);
    const std::complex<double> odd = x[k + half] * std::complex<double>(std::cos(angle), std::sin(angle));
    const std::complex<double> even = x[k];
    x[k] = even + odd;
    x[k + half] = even - odd;
  }
}

Spectrum reference(const Buffer& input, int sign) {
  Spectrum x = toComplex(input);
  const int32_t n = static_cast<int32_t>(x.size());
  if (n <= 512) {
    Spectrum out(x.size());
    for (int32_t k = 0; k < n; ++k) out[k] = dftAt(x, k, sign);
    return out;
  }
  Spectrum temp(x.size());
  referenceFft(x.data(), n, sign, temp.data());
  return x;
}

// Reference spectra are costly for the large sizes; each (size, direction) is built once.
const Spectrum& cachedReference(int32_t n, int sign) {
  static std::map<std::pair<int32_t, int>, Spectrum> cache;
  auto key = std::make_pair(n, sign);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, reference(randomSignal(n, 1000u + unsigned(n)), sign)).first;
  return it->second;
}

// Largest deviation of result entry `position(k)` from expected[k] * factor.
template <class Position>
double maxError(const Buffer& result, const Spectrum& expected, double factor, Position position) {
  double worst = 0;
  for (size_t k = 0; k < expected.size(); ++k) {
    const size_t p = position(static_cast<int32_t>(k));
    worst = std::max(worst, std::abs(result[2 * p] - expected[k].real() * factor));
    worst = std::max(worst, std::abs(result[2 * p + 1] - expected[k].imag() * factor));
  }
  return worst;
}

std::vector<FftPath> availablePaths() {
  std::vector<FftPath> paths;
  for (FftPath p : {FftPath::Portable, FftPath::Sse2, FftPath::Avx2, FftPath::Neon})
    if (dsp::FftPathAvailable(p)) paths.push_back(p);
  return paths;
}

class FftPathTest : public ::testing::TestWithParam<FftPath> {
 protected:
  void SetUp() override {
    dsp::InitFFT();
    ASSERT_TRUE(dsp::SelectFftPath(GetParam()));
  }
  void TearDown() override { dsp::SelectFftPath(dsp::BestFftPath()); }
};

TEST(FftReference, RecursiveReferenceAgreesWithDirectSums) {
  const Buffer input = randomSignal(4096, 7);
  const Spectrum x = toComplex(input);
  const Spectrum fast = reference(input, +1);
  for (int32_t k : {0, 1, 5, 1000, 2048, 4095}) EXPECT_LT(std::abs(fast[k] - dftAt(x, k, +1)), 1e-9) << k;
}

TEST_P(FftPathTest, ForwardMatchesReferenceInNaturalAndSplitOrder) {
  for (int32_t n : allSizes()) {
    const Buffer input = randomSignal(n, 1000u + unsigned(n));
    const Spectrum& expected = cachedReference(n, +1);
    Buffer natural = input;
    ComplexFFT(natural.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
    EXPECT_LE(maxError(natural, expected, 1.0, [](int32_t k) { return k; }), forwardTolerance(n)) << n;
    Buffer split = input;
    ComplexFFT(split.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder, nullptr);
    EXPECT_LE(maxError(split, expected, 1.0, [n](int32_t k) { return splitPosition(n, k); }), forwardTolerance(n)) << n;
  }
}

// The hardest inputs within -1 ... 1 for the stated bounds: every part at +1 or -1, which
// makes the spectrum as large as such inputs allow on average.
TEST_P(FftPathTest, FullScaleSignsStayWithinTheStatedBounds) {
  for (int32_t n : {16384, 65536}) {
    Buffer input = randomSignal(n, 77);
    for (float& v : input) v = v < 0 ? -1.0f : 1.0f;
    const Spectrum expected = reference(input, +1);
    Buffer x = input;
    ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
    EXPECT_LE(maxError(x, expected, 1.0, [](int32_t k) { return k; }), n == 16384 ? 1e-4 : 2e-4) << n;
  }
}

TEST_P(FftPathTest, InverseMatchesReferenceScaledAndUnscaled) {
  for (int32_t n : allSizes()) {
    const Buffer input = randomSignal(n, 1000u + unsigned(n));
    const Spectrum& expected = cachedReference(n, -1);
    Buffer natural = input;
    ComplexFFT(natural.data(), n, dsp::kInverse, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
    EXPECT_LE(maxError(natural, expected, 1.0, [](int32_t k) { return k; }), forwardTolerance(n)) << n;
    Buffer scaled = input;
    ComplexFFT(scaled.data(), n, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
    EXPECT_LE(maxError(scaled, expected, 1.0 / n, [](int32_t k) { return k; }), forwardTolerance(n) / n) << n;

    // Split order on the input side: place frequency k at its split position first.
    Buffer split(input.size());
    for (int32_t k = 0; k < n; ++k) {
      split[2 * splitPosition(n, k)] = input[2 * k];
      split[2 * splitPosition(n, k) + 1] = input[2 * k + 1];
    }
    ComplexFFT(split.data(), n, dsp::kInverse, dsp::kScaled, dsp::kSplitOrder, nullptr);
    EXPECT_LE(maxError(split, expected, 1.0 / n, [](int32_t k) { return k; }), forwardTolerance(n) / n) << n;
  }
}

TEST_P(FftPathTest, TwoAndFourPointExamples) {
  Buffer two = {0.25f, -1.0f, 0.5f, 2.0f};
  ComplexFFT(two.data(), 2, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(two, (Buffer{0.75f, 1.0f, -0.25f, -3.0f}));
  ComplexFFT(two.data(), 2, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(two, (Buffer{0.25f, -1.0f, 0.5f, 2.0f}));
  Buffer inverseTwo = {0.75f, 1.0f, -0.25f, -3.0f};
  ComplexFFT(inverseTwo.data(), 2, dsp::kInverse, dsp::kUnscaled, dsp::kSplitOrder, nullptr);
  EXPECT_EQ(inverseTwo, (Buffer{0.5f, -2.0f, 1.0f, 4.0f}));

  Buffer four = {0, 0, 1, 0, 0, 0, 0, 0};
  ComplexFFT(four.data(), 4, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(four, (Buffer{1, 0, 0, 1, -1, 0, 0, -1}));  // (1, i, -1, -i): positive exponent
}

TEST_P(FftPathTest, ConstantInputGivesOnlyDirectCurrent) {
  for (int32_t n : allSizes()) {
    Buffer x(2 * static_cast<size_t>(n));
    for (int32_t j = 0; j < n; ++j) {
      x[2 * j] = 0.75f;
      x[2 * j + 1] = -0.5f;
    }
    ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
    EXPECT_FLOAT_EQ(x[0], 0.75f * n) << n;
    EXPECT_FLOAT_EQ(x[1], -0.5f * n) << n;
    double elsewhere = 0;
    for (size_t i = 2; i < x.size(); ++i) elsewhere = std::max(elsewhere, double(std::abs(x[i])));
    EXPECT_LE(elsewhere, forwardTolerance(n)) << n;
  }
}

TEST_P(FftPathTest, ForwardIgnoresScale) {
  for (int32_t n : allSizes()) {
    for (bool reorder : {dsp::kNaturalOrder, dsp::kSplitOrder}) {
      Buffer plain = randomSignal(n, 3);
      Buffer scaled = plain;
      ComplexFFT(plain.data(), n, dsp::kForward, dsp::kUnscaled, reorder, nullptr);
      ComplexFFT(scaled.data(), n, dsp::kForward, dsp::kScaled, reorder, nullptr);
      EXPECT_EQ(plain, scaled) << n;
    }
  }
}

TEST_P(FftPathTest, ForwardThenScaledInverseRestoresInput) {
  for (int32_t n : allSizes()) {
    for (bool reorder : {dsp::kNaturalOrder, dsp::kSplitOrder}) {
      const Buffer input = randomSignal(n, 11);
      Buffer x = input;
      ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, reorder, nullptr);
      ComplexFFT(x.data(), n, dsp::kInverse, dsp::kScaled, reorder, nullptr);
      double worst = 0;
      for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, double(std::abs(x[i] - input[i])));
      EXPECT_LE(worst, 1e-5) << n << (reorder ? " natural" : " split");
    }
  }
}

TEST_P(FftPathTest, NoHeapAllocationInAnyCall) {
  std::vector<Buffer> buffers;
  for (int32_t n : allSizes()) buffers.push_back(randomSignal(n, 5));
  Buffer callerScratch(2 * 65536);
  const long before = gHeapAllocations.load();
  for (Buffer& x : buffers) {
    const int32_t n = static_cast<int32_t>(x.size() / 2);
    for (bool inverse : {dsp::kForward, dsp::kInverse})
      for (bool reorder : {dsp::kSplitOrder, dsp::kNaturalOrder})
        ComplexFFT(x.data(), n, inverse, dsp::kScaled, reorder, nullptr);
    ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, callerScratch.data());
  }
  const long after = gHeapAllocations.load();
  EXPECT_EQ(after, before);
  dsp::DoneFFT();  // drop the caller's area before it goes out of scope
  dsp::InitFFT();
}

// Installs a long-lived caller area as the current scratch area, so that a test's own areas
// can go out of scope without rebuilding the engine's tables.
void parkScratch() {
  static Buffer parking(2 * 65536, 0.0f);
  Buffer two = {1, 0, 0, 0};
  ComplexFFT(two.data(), 2, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, parking.data());
}

// Every call shape whose result must not depend on where the buffers lie.
struct CallShape {
  bool inverse;
  bool scale;
  bool reorder;
};
constexpr CallShape kCallShapes[] = {{dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder},
                                     {dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder},
                                     {dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder},
                                     {dsp::kInverse, dsp::kUnscaled, dsp::kNaturalOrder},
                                     {dsp::kInverse, dsp::kScaled, dsp::kSplitOrder}};

// The vector passes load and store whole registers; buffers that start 4 or 8 bytes past a
// cache line (any float pointer is legal) must give the same bits as aligned ones.
TEST_P(FftPathTest, UnalignedDataAndScratchGiveTheSameBits) {
  for (int32_t n : allSizes()) {
    const Buffer input = randomSignal(n, 21u + unsigned(n));
    const size_t floats = 2 * static_cast<size_t>(n);
    for (const CallShape& call : kCallShapes) {
      dsp::AlignedVector<float> alignedData(floats), alignedScratch(floats);
      std::copy(input.begin(), input.end(), alignedData.begin());
      ComplexFFT(alignedData.data(), n, call.inverse, call.scale, call.reorder, alignedScratch.data());
      // (data, scratch) shifts in floats: each buffer off by 4 and by 8 bytes at least once.
      for (const auto& [dataShift, scratchShift] : {std::pair<size_t, size_t>{0, 1}, {1, 2}, {2, 1}}) {
        dsp::AlignedVector<float> data(floats + 2), scratch(floats + 2);
        std::copy(input.begin(), input.end(), data.begin() + dataShift);
        ComplexFFT(data.data() + dataShift, n, call.inverse, call.scale, call.reorder, scratch.data() + scratchShift);
        ASSERT_TRUE(std::equal(alignedData.begin(), alignedData.end(), data.begin() + dataShift))
            << n << " data +" << 4 * dataShift << " bytes, scratch +" << 4 * scratchShift << " bytes, inverse "
            << call.inverse << " reorder " << call.reorder;
      }
    }
  }
  parkScratch();  // the caller areas above go out of scope
}

// A caller who hands the data itself (or an area overlapping it) as scratch still gets the
// transform; the result equals a call with the engine's own area.
TEST_P(FftPathTest, ScratchOverlappingTheDataGivesTheSameBits) {
  for (int32_t n : allSizes()) {
    const Buffer input = randomSignal(n, 31u + unsigned(n));
    for (const CallShape& call : kCallShapes) {
      if (!call.reorder) continue;
      Buffer expected = input;
      ComplexFFT(expected.data(), n, call.inverse, call.scale, dsp::kNaturalOrder, nullptr);
      for (int32_t scratchOffset : {0, n, -n}) {
        // The data sits in the middle of a larger area so that the scratch may start before it.
        Buffer area(4 * static_cast<size_t>(n), 5.0f);
        float* data = area.data() + n;
        std::copy(input.begin(), input.end(), data);
        ComplexFFT(data, n, call.inverse, call.scale, dsp::kNaturalOrder, data + scratchOffset);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), data))
            << n << " scratch at data " << scratchOffset << " floats, inverse " << call.inverse;
        // The area stays current, so a later call on the same data must not be disturbed either.
        std::copy(input.begin(), input.end(), data);
        ComplexFFT(data, n, call.inverse, call.scale, dsp::kNaturalOrder, nullptr);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), data)) << n << " later call";
        parkScratch();
      }
    }
  }
}

// A caller's area is adopted only with Reorder and only its first 8N bytes are touched;
// with Reorder false the area is ignored, and an unsupported count adopts nothing.
TEST_P(FftPathTest, CallerScratchRulesOnThisPath) {
  for (int32_t n : allSizes()) {
    parkScratch();
    const size_t floats = 2 * static_cast<size_t>(n);
    constexpr size_t kGuard = 64;
    Buffer ignored(floats + kGuard, 7.0f);
    Buffer x = randomSignal(n, 41);
    ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder, ignored.data());
    ComplexFFT(x.data(), n, dsp::kInverse, dsp::kScaled, dsp::kSplitOrder, ignored.data());
    ComplexFFT(x.data(), 3 * n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, ignored.data());
    ComplexFFT(x.data(), n, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
    EXPECT_EQ(ignored, Buffer(floats + kGuard, 7.0f)) << n;

    Buffer adopted(floats + kGuard, 7.0f);
    Buffer expected = x;
    ComplexFFT(expected.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
    ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, adopted.data());
    EXPECT_EQ(x, expected) << n;
    EXPECT_TRUE(std::all_of(adopted.begin() + floats, adopted.end(), [](float v) { return v == 7.0f; }))
        << n << ": wrote past 8N bytes of the caller's area";
    EXPECT_EQ(ignored, Buffer(floats + kGuard, 7.0f)) << n;
  }
  parkScratch();
}

// The spectrogram and the stream converter transform on two threads at once: each must get
// exactly what it gets alone. Different sizes and directions, and one buffer off a register
// boundary (the spare area), so any shared work area garbles at least one side.
TEST_P(FftPathTest, TwoThreadsAtOnceGetTheirSingleThreadResults) {
  struct Job {
    int32_t n;
    bool inverse;
    size_t shift;  // floats past an aligned start
  };
  constexpr Job kJobs[] = {{65536, dsp::kForward, 0}, {4096, dsp::kInverse, 2}};
  constexpr int kRounds = 40;
  std::vector<Buffer> inputs, expected;
  for (const Job& job : kJobs) {
    inputs.push_back(randomSignal(job.n, 61u + unsigned(job.n)));
    expected.push_back(inputs.back());
    ComplexFFT(expected.back().data(), job.n, job.inverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
  }
  std::latch start(2);
  int mismatches[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const Job& job = kJobs[t];
      dsp::AlignedVector<float> data(inputs[t].size() + job.shift);
      float* x = data.data() + job.shift;
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        std::copy(inputs[t].begin(), inputs[t].end(), x);
        ComplexFFT(x, job.n, job.inverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
        if (!std::equal(expected[t].begin(), expected[t].end(), x)) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 2; ++t) EXPECT_EQ(mismatches[t], 0) << "size " << kJobs[t].n << ", of " << kRounds << " rounds";
}

INSTANTIATE_TEST_SUITE_P(EveryPath, FftPathTest, ::testing::ValuesIn(availablePaths()),
                         [](const ::testing::TestParamInfo<FftPath>& info) {
                           return std::string(dsp::FftPathName(info.param));
                         });

namespace {

// The autosort scheme one complex value at a time, every product and sum rounded on its own:
// what a vector path without fused multiply-add must give, lane for lane.
struct OneValue {
  struct Reg {
    float re, im;
    friend Reg operator+(Reg a, Reg b) { return {a.re + b.re, a.im + b.im}; }
    friend Reg operator-(Reg a, Reg b) { return {a.re - b.re, a.im - b.im}; }
    friend Reg operator*(Reg a, Reg b) { return {a.re * b.re, a.im * b.im}; }
  };
  static constexpr int32_t kLanes = 1;
  struct Twiddle {
    Reg re, im;
  };
  static Reg load(const float* p) { return {p[0], p[1]}; }
  static void store(float* p, Reg v) { p[0] = v.re, p[1] = v.im; }
  static bool onRegisterBoundary(const float*) { return true; }
  static Reg splat(float f) { return {f, f}; }
  static Reg timesI(Reg v) { return {-v.im, v.re}; }
  static Reg timesMinusI(Reg v) { return {v.im, -v.re}; }
  static Reg mul(Reg x, const Twiddle& w) { return x * w.re + Reg{-(x.im * w.im.re), x.re * w.im.im}; }
  static Reg mulConj(Reg x, const Twiddle& w) { return x * w.re + Reg{x.im * w.im.re, -(x.re * w.im.im)}; }
  static Twiddle broadcastTwiddle(const float* pair) { return {splat(pair[0]), splat(pair[1])}; }
  static Twiddle laneTwiddles(const float* pair) { return broadcastTwiddle(pair); }
  static void storeTransposed(float* out, Reg y0, Reg y1, Reg y2, Reg y3) {
    store(out, y0), store(out + 2, y1), store(out + 4, y2), store(out + 6, y3);
  }
};

}  // namespace

// SSE2 (x86-64) and NEON (arm64) round alike, so the converter's samples are the same bits on
// both machines: each must give the scheme's bits taken one value at a time.
TEST(FftVectorPaths, PathsWithoutFmaGiveTheSchemeBitForBit) {
  dsp::InitFFT();
  int paths = 0;
  for (FftPath path : {FftPath::Sse2, FftPath::Neon}) {
    if (!dsp::SelectFftPath(path)) continue;
    ++paths;
    for (int32_t log2n = 4; log2n <= 16; ++log2n) {
      const int32_t n = int32_t{1} << log2n;
      const Buffer input = randomSignal(n, 500u + unsigned(n));
      dsp::AlignedVector<float> work(2 * size_t(n)), spare(2 * size_t(n));
      for (const bool inverse : {false, true}) {
        Buffer expected = input, x = input;
        if (inverse)
          dsp::fft_detail::autosortInverse<OneValue>(expected.data(), log2n, 1.0f / float(n), work.data(), spare.data());
        else
          dsp::fft_detail::autosortForward<OneValue>(expected.data(), log2n, work.data(), spare.data());
        ComplexFFT(x.data(), n, inverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
        EXPECT_EQ(x, expected) << dsp::FftPathName(path) << " n " << n << (inverse ? " inverse" : " forward");
      }
    }
  }
  dsp::SelectFftPath(dsp::BestFftPath());
  if (paths == 0) GTEST_SKIP() << "no vector path without FMA on this CPU";
}

TEST(FftTables, OrderTableIsTheSplitOrderPermutation) {
  dsp::InitFFT();
  for (int32_t n : allSizes()) {
    const uint16_t* order = dsp::fft_detail::orderTable(log2Of(n));
    std::vector<bool> seen(n, false);
    for (int32_t k = 0; k < n; ++k) {
      ASSERT_EQ(order[k], splitPosition(n, k)) << n << " " << k;
      seen[order[k]] = true;
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; })) << n;
  }
}

TEST(FftTables, EightPointSplitOrderHoldsTheListedFrequencies) {
  dsp::InitFFT();
  // A unit impulse at time 1 has X[k] = w^k, so the phase at each position names its frequency.
  Buffer x(16, 0.0f);
  x[2] = 1.0f;
  ComplexFFT(x.data(), 8, dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder, nullptr);
  const int32_t expectedFrequency[8] = {0, 4, 2, 6, 1, 5, 7, 3};
  for (int32_t p = 0; p < 8; ++p) {
    const double angle = 2 * kPi * expectedFrequency[p] / 8;
    EXPECT_NEAR(x[2 * p], std::cos(angle), 1e-6) << p;
    EXPECT_NEAR(x[2 * p + 1], std::sin(angle), 1e-6) << p;
  }
}

TEST(FftTables, TwiddlesAreRoundedExactValues) {
  dsp::InitFFT();
  for (int32_t m = 5; m <= 16; ++m) {
    const int32_t n = 1 << m;
    const int32_t count = n <= 512 ? n / 4 - 1 : n / 8 - 1;
    const dsp::fft_detail::TwiddlePair* table = dsp::fft_detail::splitTwiddles(m);
    for (int32_t k = 1; k <= count; ++k) {
      const long double angle = 2.0L * 3.141592653589793238462643383279502884L * k / n;
      ASSERT_EQ(table[k - 1].cos, static_cast<float>(cosl(angle))) << n << " " << k;
      ASSERT_EQ(table[k - 1].sin, static_cast<float>(sinl(angle))) << n << " " << k;
    }
  }
}

TEST(FftCalls, UnsupportedCountsChangeNothing) {
  dsp::DoneFFT();  // start from the engine's own scratch area
  dsp::InitFFT();
  Buffer engineProbe(2 * 1024, 0.0f);
  for (int32_t count : {0, 1, 3, 12, 131072, -4, -65536}) {
    for (bool inverse : {dsp::kForward, dsp::kInverse}) {
      for (bool reorder : {dsp::kSplitOrder, dsp::kNaturalOrder}) {
        Buffer data = randomSignal(64, 9);
        const Buffer original = data;
        Buffer scratch(2 * 64, 7.0f);
        ComplexFFT(data.data(), count, inverse, dsp::kScaled, reorder, scratch.data());
        EXPECT_EQ(data, original) << count;
        EXPECT_EQ(scratch, Buffer(2 * 64, 7.0f)) << count;
      }
    }
  }
  // None of those scratch areas was adopted: a later call still uses the engine's own area.
  Buffer guard(2 * 1024, 7.0f);
  ComplexFFT(engineProbe.data(), 12, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, guard.data());
  Buffer x = randomSignal(1024, 2);
  ComplexFFT(x.data(), 1024, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(guard, Buffer(2 * 1024, 7.0f));
}

TEST(FftCalls, CallerScratchIsAdoptedOnlyWithReorder) {
  dsp::DoneFFT();
  dsp::InitFFT();
  constexpr int32_t n = 1024;
  Buffer ignored(2 * n, 7.0f);
  Buffer x = randomSignal(n, 4);
  ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder, ignored.data());
  ComplexFFT(x.data(), n, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(ignored, Buffer(2 * n, 7.0f)) << "a scratch area passed without Reorder must be ignored";

  Buffer adopted(2 * n, 7.0f);
  ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, adopted.data());
  EXPECT_NE(adopted, Buffer(2 * n, 7.0f));
  std::fill(adopted.begin(), adopted.end(), 7.0f);
  ComplexFFT(x.data(), n, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder,
             nullptr);  // a later call without a scratch area
  EXPECT_NE(adopted, Buffer(2 * n, 7.0f)) << "the caller's area must stay the current scratch area";

  // Init while ready keeps the installed area; DoneFFT drops it and releases only its own.
  dsp::InitFFT();
  std::fill(adopted.begin(), adopted.end(), 7.0f);
  ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_NE(adopted, Buffer(2 * n, 7.0f));
  dsp::DoneFFT();
  dsp::InitFFT();
  std::fill(adopted.begin(), adopted.end(), 7.0f);
  ComplexFFT(x.data(), n, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(adopted, Buffer(2 * n, 7.0f));
}

TEST(FftCalls, CallAfterDoneFftPreparesTheEngineAgain) {
  dsp::DoneFFT();
  Buffer x = {0, 0, 1, 0, 0, 0, 0, 0};
  ComplexFFT(x.data(), 4, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);
  EXPECT_EQ(x, (Buffer{1, 0, 0, 1, -1, 0, 0, -1}));
  dsp::InitFFT();
}

// Threads that prepare the engine at the same moment (explicitly or through a first call)
// must build it once: one scratch area (a second would leak) and complete tables for all.
TEST(FftLifecycle, ConcurrentPreparationBuildsTheEngineOnce) {
  constexpr int kThreads = 4;
  constexpr int32_t n = 4096;
  const Buffer input = randomSignal(n, 51);
  const Spectrum reference4096 = reference(input, +1);
  for (int round = 0; round < 3; ++round) {
    dsp::DoneFFT();
    std::latch start(kThreads);
    std::vector<Buffer> results(kThreads, input);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        if (t % 2 == 0) dsp::InitFFT();
        // Split order needs no scratch area, so these calls may run side by side.
        ComplexFFT(results[t].data(), n, dsp::kForward, dsp::kUnscaled, dsp::kSplitOrder, nullptr);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
      EXPECT_LE(maxError(results[t], reference4096, 1.0, [](int32_t k) { return splitPosition(n, k); }),
                forwardTolerance(n))
          << "round " << round << " thread " << t;
  }
  dsp::DoneFFT();
  dsp::InitFFT();
}

}  // namespace
