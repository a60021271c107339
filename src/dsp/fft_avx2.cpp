// AVX2/FMA code path: four complex values per register. Built with -mavx2 -mfma and reached
// only when the CPU reports both features.
#include "dsp/fft_internal.hpp"

#if TOVREL_FFT_VECTOR_KERNELS
#include <immintrin.h>

namespace dsp::fft_detail {
namespace {

struct Avx2 {
  using Reg = __m256;
  static constexpr int32_t kLanes = 4;
  struct Twiddle {
    __m256 re;  // cos in both parts of every lane
    __m256 im;  // sin in both parts of every lane
  };

  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
  static bool onRegisterBoundary(const float* p) { return reinterpret_cast<std::uintptr_t>(p) % sizeof(Reg) == 0; }
  static Reg splat(float f) { return _mm256_set1_ps(f); }
  static Reg swapParts(Reg v) { return _mm256_permute_ps(v, 0xB1); }
  // i (re, im) = (-im, re); -i (re, im) = (im, -re). Sign flips are exact.
  static Reg timesI(Reg v) {
    return _mm256_xor_ps(swapParts(v), _mm256_setr_ps(-0.f, 0.f, -0.f, 0.f, -0.f, 0.f, -0.f, 0.f));
  }
  static Reg timesMinusI(Reg v) {
    return _mm256_xor_ps(swapParts(v), _mm256_setr_ps(0.f, -0.f, 0.f, -0.f, 0.f, -0.f, 0.f, -0.f));
  }
  static Reg mul(Reg x, const Twiddle& w) { return _mm256_fmaddsub_ps(x, w.re, swapParts(x) * w.im); }
  static Reg mulConj(Reg x, const Twiddle& w) { return _mm256_fmsubadd_ps(x, w.re, swapParts(x) * w.im); }
  static Twiddle broadcastTwiddle(const float* pair) {
    return {_mm256_broadcast_ss(pair), _mm256_broadcast_ss(pair + 1)};
  }
  // Four consecutive (cos, sin) pairs, one per lane.
  static Twiddle laneTwiddles(const float* pairs) {
    const __m256 w = _mm256_loadu_ps(pairs);
    return {_mm256_moveldup_ps(w), _mm256_movehdup_ps(w)};
  }
  // Writes lane l of y_t to complex position 4l + t: a 4 x 4 transpose of 64-bit pairs.
  static void storeTransposed(float* out, Reg y0, Reg y1, Reg y2, Reg y3) {
    const __m256d t0 = _mm256_unpacklo_pd(_mm256_castps_pd(y0), _mm256_castps_pd(y1));
    const __m256d t1 = _mm256_unpackhi_pd(_mm256_castps_pd(y0), _mm256_castps_pd(y1));
    const __m256d t2 = _mm256_unpacklo_pd(_mm256_castps_pd(y2), _mm256_castps_pd(y3));
    const __m256d t3 = _mm256_unpackhi_pd(_mm256_castps_pd(y2), _mm256_castps_pd(y3));
    _mm256_storeu_pd(reinterpret_cast<double*>(out), _mm256_permute2f128_pd(t0, t2, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(out + 8), _mm256_permute2f128_pd(t1, t3, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(out + 16), _mm256_permute2f128_pd(t0, t2, 0x31));
    _mm256_storeu_pd(reinterpret_cast<double*>(out + 24), _mm256_permute2f128_pd(t1, t3, 0x31));
  }
};

}  // namespace
}  // namespace dsp::fft_detail

#include "dsp/fft_autosort.hpp"

namespace dsp::fft_detail {
const NaturalKernels kAvx2Kernels = {&autosortForward<Avx2>, &autosortInverse<Avx2>, 4};
}  // namespace dsp::fft_detail
#endif
