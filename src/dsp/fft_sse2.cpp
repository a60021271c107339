// SSE2 code path (every x86-64 CPU): two complex values per register, no FMA.
#include "dsp/fft_internal.hpp"

#if TOVREL_FFT_VECTOR_KERNELS
#include <emmintrin.h>

namespace dsp::fft_detail {
namespace {

struct Sse2 {
  using Reg = __m128;
  static constexpr int32_t kLanes = 2;
  struct Twiddle {
    __m128 re;  // cos in both parts of every lane
    __m128 im;  // sin in both parts of every lane
  };

  static Reg load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm_storeu_ps(p, v); }
  static bool onRegisterBoundary(const float* p) { return reinterpret_cast<std::uintptr_t>(p) % sizeof(Reg) == 0; }
  static Reg splat(float f) { return _mm_set1_ps(f); }
  static Reg swapParts(Reg v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
  static Reg negateReal(Reg v) { return _mm_xor_ps(v, _mm_setr_ps(-0.f, 0.f, -0.f, 0.f)); }
  static Reg negateImag(Reg v) { return _mm_xor_ps(v, _mm_setr_ps(0.f, -0.f, 0.f, -0.f)); }
  static Reg timesI(Reg v) { return negateReal(swapParts(v)); }
  static Reg timesMinusI(Reg v) { return negateImag(swapParts(v)); }
  // x w = x cos + (-im sin, re sin); x conj(w) = x cos + (im sin, -re sin).
  static Reg mul(Reg x, const Twiddle& w) { return x * w.re + negateReal(swapParts(x) * w.im); }
  static Reg mulConj(Reg x, const Twiddle& w) { return x * w.re + negateImag(swapParts(x) * w.im); }
  static Twiddle broadcastTwiddle(const float* pair) { return {_mm_set1_ps(pair[0]), _mm_set1_ps(pair[1])}; }
  // Two consecutive (cos, sin) pairs, one per lane.
  static Twiddle laneTwiddles(const float* pairs) {
    const __m128 w = _mm_loadu_ps(pairs);
    return {_mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0)), _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1))};
  }
  // Writes lane l of y_t to complex position 4l + t.
  static void storeTransposed(float* out, Reg y0, Reg y1, Reg y2, Reg y3) {
    const __m128d p0 = _mm_castps_pd(y0), p1 = _mm_castps_pd(y1), p2 = _mm_castps_pd(y2), p3 = _mm_castps_pd(y3);
    _mm_storeu_pd(reinterpret_cast<double*>(out), _mm_unpacklo_pd(p0, p1));
    _mm_storeu_pd(reinterpret_cast<double*>(out + 4), _mm_unpacklo_pd(p2, p3));
    _mm_storeu_pd(reinterpret_cast<double*>(out + 8), _mm_unpackhi_pd(p0, p1));
    _mm_storeu_pd(reinterpret_cast<double*>(out + 12), _mm_unpackhi_pd(p2, p3));
  }
};

}  // namespace
}  // namespace dsp::fft_detail

#include "dsp/fft_autosort.hpp"

namespace dsp::fft_detail {
const NaturalKernels kSse2Kernels = {&autosortForward<Sse2>, &autosortInverse<Sse2>, 4};
}  // namespace dsp::fft_detail
#endif
