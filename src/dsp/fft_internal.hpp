#pragma once
// Pieces of the FFT engine shared between its source files; not part of the public interface.
#include <cstdint>

namespace dsp::fft_detail {

constexpr int32_t kMinLog2 = 1;
constexpr int32_t kMaxLog2 = 16;
constexpr int32_t kMaxCount = 1 << kMaxLog2;

// The kernel constants, each the exact value rounded to the nearest float.
constexpr float kSqrtHalf = 0.70710677f;
constexpr float kCosPi8 = 0.9238795f;
constexpr float kSinPi8 = 0.38268343f;

struct TwiddlePair {
  float cos;
  float sin;
};

// Quarter-circle table (sizes 8 ... 512) or eighth-circle table (1024 ... 65536) of w = e^{+2 pi i/n}:
// entry k - 1 holds w^k. Sizes 8 and 16 use small tables made from the kernel constants.
const TwiddlePair* splitTwiddles(int32_t log2n);

// Position of frequency k in split order, for each size.
const uint16_t* orderTable(int32_t log2n);

// Twiddles of one radix-4 autosort stage of sub-length n (log2n >= 4): for every block of four
// consecutive p, the four w^p, then the four w^2p, then the four w^3p, as (cos, sin) pairs.
// Stages read them front to back, so a pass walks its table once.
const float* stageTwiddles(int32_t log2n);

// Conjugate-pair split-radix transforms in place; forward leaves split order, inverse reads it.
void splitForward(float* x, int32_t n);
void splitInverse(float* x, int32_t n);

// Natural-order transforms of one code path. `work` and `spare` are separate scratch areas
// of 2n floats on 64-byte boundaries; spare is used only when data is off a register boundary.
struct NaturalKernels {
  void (*forward)(float* data, int32_t log2n, float* work, float* spare);
  void (*inverse)(float* data, int32_t log2n, float scale, float* work, float* spare);  // scale 1 or 1/n
  int32_t minLog2;  // smaller sizes go through split order and the order table
};

// The vector paths: SSE2 and AVX2 on x86-64, NEON on 64-bit ARM; elsewhere the portable
// path serves every call.
#if defined(__x86_64__)
#define TOVREL_FFT_VECTOR_KERNELS 1
#else
#define TOVREL_FFT_VECTOR_KERNELS 0
#endif
#if defined(__aarch64__)
#define TOVREL_FFT_NEON_KERNELS 1
#else
#define TOVREL_FFT_NEON_KERNELS 0
#endif

#if TOVREL_FFT_VECTOR_KERNELS
extern const NaturalKernels kSse2Kernels;
extern const NaturalKernels kAvx2Kernels;
#endif
#if TOVREL_FFT_NEON_KERNELS
extern const NaturalKernels kNeonKernels;
#endif

}  // namespace dsp::fft_detail
