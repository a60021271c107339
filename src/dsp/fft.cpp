// FFT engine: tables, scratch area, code-path choice and the call flow of ComplexFFT.
// The kernels live beside it: fft_split.cpp (portable split-radix) and fft_sse2.cpp /
// fft_avx2.cpp (vector autosort kernels for natural order).
#include "dsp/fft.hpp"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "dsp/fft_dispatch.hpp"
#include "dsp/fft_internal.hpp"

namespace dsp {
namespace fft_detail {
namespace {

constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;

// Split-radix twiddles: sizes 8 and 16 (kernel constants), quarter circles for 32 ... 512,
// eighth circles for 1024 ... 65536.
constexpr int32_t splitTwiddleCount(int32_t log2n) {
  const int32_t n = int32_t{1} << log2n;
  return log2n < 3 ? 0 : (n <= 512 ? n / 4 - 1 : n / 8 - 1);
}
constexpr int32_t totalSplitTwiddles() {
  int32_t total = 0;
  for (int32_t m = kMinLog2; m <= kMaxLog2; ++m) total += splitTwiddleCount(m);
  return total;
}

// One radix-4 autosort stage of sub-length n needs 3 * n/4 twiddles of two floats.
constexpr int32_t kMinStageLog2 = 4;
constexpr int32_t stageTwiddleFloats(int32_t log2n) { return 6 * ((int32_t{1} << log2n) / 4); }
constexpr int32_t totalStageTwiddleFloats() {
  int32_t total = 0;
  for (int32_t m = kMinStageLog2; m <= kMaxLog2; ++m) total += stageTwiddleFloats(m);
  return total;
}

// The tables never change after InitFFT; static storage keeps them out of the heap.
// The order table of size n starts at entry n - 2 (the sizes below it take 2 + 4 + ... + n/2).
uint16_t gOrderStore[2 * kMaxCount - 2];
TwiddlePair gSplitTwiddleStore[totalSplitTwiddles()];
const TwiddlePair* gSplitTwiddles[kMaxLog2 + 1];
alignas(64) float gStageTwiddleStore[totalStageTwiddleFloats()];
const float* gStageTwiddles[kMaxLog2 + 1];

// Set last by InitFFT (release) and read first by every call (acquire), so a thread that
// sees the engine ready also sees its tables. The mutex makes concurrent InitFFT/DoneFFT
// calls build the tables exactly once.
std::atomic<bool> gReady{false};
std::mutex gLifecycleMutex;
// Bumped by DoneFFT: every thread then drops a caller's area it had installed and goes back
// to its own, as if the engine had just been prepared.
std::atomic<uint32_t> gEpoch{1};

// Each thread that reorders gets its own work areas (2 * kMaxCount floats each, allocated at
// its first such call or at its InitFFT), so transforms on two threads never share scratch.
// Plain pointers keep the per-call access a single thread-pointer load; the owner below,
// touched only when the areas are made, frees them when the thread ends.
struct ThreadAreas {
  float* own = nullptr;      // the engine's area for this thread
  float* spare = nullptr;    // a second one, for data off a register boundary
  float* current = nullptr;  // the area the reorder step uses (own, or a caller's)
  uint32_t epoch = 0;
};
constinit thread_local ThreadAreas tAreas;

void releaseAreas(ThreadAreas& a) {
  std::free(a.own);
  std::free(a.spare);
  a.own = a.spare = a.current = nullptr;
}

struct ThreadAreaOwner {
  ThreadAreaOwner() = default;
  ThreadAreaOwner(const ThreadAreaOwner&) = delete;
  ThreadAreaOwner& operator=(const ThreadAreaOwner&) = delete;
  ~ThreadAreaOwner() { releaseAreas(tAreas); }
};
thread_local ThreadAreaOwner tAreaOwner;

void allocateAreas(ThreadAreas& a) {
  const size_t bytes = sizeof(float) * 2 * static_cast<size_t>(kMaxCount);
  a.own = static_cast<float*>(std::aligned_alloc(64, bytes));
  a.spare = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (a.own == nullptr || a.spare == nullptr) {
    releaseAreas(a);
    throw std::bad_alloc();
  }
  // Touch every page now, so a real-time caller never faults one in mid-transform.
  std::memset(a.own, 0, bytes);
  std::memset(a.spare, 0, bytes);
  if (a.current == nullptr) a.current = a.own;
  [[maybe_unused]] const ThreadAreaOwner* owner = &tAreaOwner;  // registers the release at thread exit
}

// This thread's areas, made on first use; a DoneFFT since the last call drops a caller's area.
ThreadAreas& threadAreas() {
  ThreadAreas& a = tAreas;
  const uint32_t epoch = gEpoch.load(std::memory_order_relaxed);
  if (a.epoch != epoch) [[unlikely]] {
    a.current = a.own;
    a.epoch = epoch;
  }
  if (a.own == nullptr) [[unlikely]]
    allocateAreas(a);
  return a;
}

FftPath gPath = FftPath::Portable;
const NaturalKernels* gKernels = nullptr;  // null: split-radix plus order table

// Toggle/offset construction: each doubling interleaves two copies of the previous table
// and moves a run of s entries to the odd frequencies.
void buildOrderTables() {
  gOrderStore[0] = 0;
  gOrderStore[1] = 1;
  int32_t toggle = 1;
  int32_t offset = 1;
  for (int32_t s = 2; s < kMaxCount; s *= 2) {
    const uint16_t* previous = gOrderStore + (s - 2);
    uint16_t* next = gOrderStore + (2 * s - 2);
    toggle = 1 - toggle;
    offset = 2 * offset - toggle;
    for (int32_t i = 0; i < s; ++i) {
      next[i] = static_cast<uint16_t>(2 * previous[i]);
      next[i + s] = static_cast<uint16_t>(2 * previous[i]);
    }
    for (int32_t i = offset; i < offset + s; ++i) next[i] = static_cast<uint16_t>(next[i] + 1);
  }
}

// (cos, sin) of k * 2 pi/n: the step rounded to double, the angle and both functions in
// extended precision, each result rounded to float.
TwiddlePair twiddle(int64_t k, int32_t n) {
  const double step = static_cast<double>(kTwoPi / static_cast<long double>(n));
  const long double angle = static_cast<long double>(k) * static_cast<long double>(step);
  return {static_cast<float>(cosl(angle)), static_cast<float>(sinl(angle))};
}

void buildSplitTwiddles() {
  TwiddlePair* next = gSplitTwiddleStore;
  for (int32_t m = kMinLog2; m <= kMaxLog2; ++m) {
    gSplitTwiddles[m] = next;
    const int32_t n = int32_t{1} << m;
    if (n == 8) {
      *next++ = {kSqrtHalf, kSqrtHalf};
    } else if (n == 16) {
      *next++ = {kCosPi8, kSinPi8};
      *next++ = {kSqrtHalf, kSqrtHalf};
      *next++ = {kSinPi8, kCosPi8};
    } else {
      for (int32_t k = 1; k <= splitTwiddleCount(m); ++k) *next++ = twiddle(k, n);
    }
  }
}

void buildStageTwiddles() {
  float* next = gStageTwiddleStore;
  for (int32_t m = kMinStageLog2; m <= kMaxLog2; ++m) {
    gStageTwiddles[m] = next;
    const int32_t n = int32_t{1} << m;
    for (int32_t block = 0; block < n / 4; block += 4) {
      for (int32_t power = 1; power <= 3; ++power) {
        for (int32_t lane = 0; lane < 4; ++lane) {
          const TwiddlePair w = twiddle(int64_t{power} * (block + lane), n);
          *next++ = w.cos;
          *next++ = w.sin;
        }
      }
    }
  }
}

// log2 of a supported count, or -1.
int32_t supportedLog2(int32_t count) {
  if (count < 2 || count > kMaxCount || !std::has_single_bit(static_cast<uint32_t>(count))) return -1;
  return std::countr_zero(static_cast<uint32_t>(count));
}

const NaturalKernels* kernelsOf(FftPath path) {
#if TOVREL_FFT_VECTOR_KERNELS
  if (path == FftPath::Sse2) return &kSse2Kernels;
  if (path == FftPath::Avx2) return &kAvx2Kernels;
#endif
#if TOVREL_FFT_NEON_KERNELS
  if (path == FftPath::Neon) return &kNeonKernels;
#endif
  (void)path;
  return nullptr;
}

// Moves whole (re, im) pairs bit for bit; memcpy keeps the float values untouched (no NaN quieting).
void gatherToNatural(float* data, float* work, const uint16_t* order, int32_t n) {
  std::memcpy(work, data, sizeof(float) * 2 * static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) std::memcpy(data + 2 * k, work + 2 * order[k], 2 * sizeof(float));
}

void scatterToSplit(float* data, float* work, const uint16_t* order, int32_t n) {
  std::memcpy(work, data, sizeof(float) * 2 * static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) std::memcpy(data + 2 * order[k], work + 2 * k, 2 * sizeof(float));
}

// True when the 8n-byte areas at a and b share any byte.
bool areasOverlap(const float* a, const float* b, int32_t n) {
  const auto first = reinterpret_cast<std::uintptr_t>(a);
  const auto second = reinterpret_cast<std::uintptr_t>(b);
  const std::uintptr_t bytes = sizeof(float) * 2 * static_cast<std::uintptr_t>(n);
  return first < second + bytes && second < first + bytes;
}

void scaleAll(float* data, int32_t n, float factor) {
  for (int32_t i = 0; i < 2 * n; ++i) data[i] *= factor;
}

}  // namespace

const TwiddlePair* splitTwiddles(int32_t log2n) { return gSplitTwiddles[log2n]; }
const uint16_t* orderTable(int32_t log2n) { return gOrderStore + ((int32_t{1} << log2n) - 2); }
const float* stageTwiddles(int32_t log2n) { return gStageTwiddles[log2n]; }

}  // namespace fft_detail

using namespace fft_detail;

bool FftPathAvailable(FftPath path) {
#if TOVREL_FFT_VECTOR_KERNELS
  __builtin_cpu_init();  // may run from static initialisers, before libgcc has probed the CPU
#endif
  switch (path) {
    case FftPath::Portable: return true;
#if TOVREL_FFT_VECTOR_KERNELS
    case FftPath::Sse2: return __builtin_cpu_supports("sse2");
    case FftPath::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
#if TOVREL_FFT_NEON_KERNELS
    case FftPath::Neon: return true;  // Advanced SIMD is part of every 64-bit ARM CPU
#endif
    default: return false;
  }
}

FftPath BestFftPath() {
  if (FftPathAvailable(FftPath::Avx2)) return FftPath::Avx2;
  if (FftPathAvailable(FftPath::Sse2)) return FftPath::Sse2;
  if (FftPathAvailable(FftPath::Neon)) return FftPath::Neon;
  return FftPath::Portable;
}

bool SelectFftPath(FftPath path) {
  if (!FftPathAvailable(path)) return false;
  gPath = path;
  gKernels = kernelsOf(path);
  return true;
}

FftPath CurrentFftPath() { return gPath; }

const char* FftPathName(FftPath path) {
  switch (path) {
    case FftPath::Portable: return "portable";
    case FftPath::Sse2: return "sse2";
    case FftPath::Avx2: return "avx2";
    case FftPath::Neon: return "neon";
  }
  return "?";
}

// Builds every table once and gives the calling thread its work areas. A second call while
// ready changes nothing else, so it neither leaks an area nor drops a scratch pointer a
// caller has installed.
void InitFFT() {
  {
    const std::lock_guard<std::mutex> lock(gLifecycleMutex);
    if (!gReady.load(std::memory_order_relaxed)) {
      buildOrderTables();
      buildSplitTwiddles();
      buildStageTwiddles();
      SelectFftPath(BestFftPath());
      gReady.store(true, std::memory_order_release);
    }
  }
  threadAreas();
}

// Releases the calling thread's own areas (other threads keep theirs until they end); a
// caller's area stays the caller's. Afterwards every thread is back in its initial state,
// so no later call can reach a freed or dropped area.
void DoneFFT() {
  const std::lock_guard<std::mutex> lock(gLifecycleMutex);
  releaseAreas(tAreas);
  gEpoch.fetch_add(1, std::memory_order_relaxed);
  gReady.store(false, std::memory_order_release);
}

void ComplexFFT(float* Data, int32_t Count, bool Inverse, bool Scale, bool Reorder, float* Scratch) {
  const int32_t log2n = supportedLog2(Count);
  if (log2n < 0) return;
  // A call before InitFFT (or after DoneFFT) prepares the engine first instead of reading
  // unbuilt tables; only that first call allocates.
  if (!gReady.load(std::memory_order_acquire)) InitFFT();

  if (!Reorder) {
    if (Inverse) {
      if (Scale) scaleAll(Data, Count, 1.0f / static_cast<float>(Count));
      splitInverse(Data, Count);
    } else {
      splitForward(Data, Count);
    }
    return;
  }

  ThreadAreas& areas = threadAreas();
  if (Scratch != nullptr) areas.current = Scratch;
  // A scratch area that overlaps the data cannot hold a copy of it (a caller passing the
  // data itself as scratch): this call works in the thread's own area instead, which gives
  // the same result. The caller's pointer still stays current for this thread's later calls.
  float* work = areasOverlap(areas.current, Data, Count) ? areas.own : areas.current;
  const float scale = (Inverse && Scale) ? 1.0f / static_cast<float>(Count) : 1.0f;
  if (gKernels != nullptr && log2n >= gKernels->minLog2) {
    if (Inverse)
      gKernels->inverse(Data, log2n, scale, work, areas.spare);
    else
      gKernels->forward(Data, log2n, work, areas.spare);
    return;
  }
  if (Inverse) {
    if (Scale) scaleAll(Data, Count, scale);
    scatterToSplit(Data, work, orderTable(log2n), Count);
    splitInverse(Data, Count);
  } else {
    splitForward(Data, Count);
    gatherToNatural(Data, work, orderTable(log2n), Count);
  }
}

}  // namespace dsp
