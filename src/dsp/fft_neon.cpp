// NEON code path (every 64-bit ARM CPU): two complex values per register, no FMA, so it
// rounds every product and sum exactly as the SSE2 path does and gives the same bits.
#include "dsp/fft_internal.hpp"

#if TOVREL_FFT_NEON_KERNELS
#include <arm_neon.h>

namespace dsp::fft_detail {
namespace {

struct Neon {
  using Reg = float32x4_t;
  static constexpr int32_t kLanes = 2;
  struct Twiddle {
    float32x4_t re;  // cos in both parts of every lane
    float32x4_t im;  // sin in both parts of every lane
  };

  static Reg load(const float* p) { return vld1q_f32(p); }
  static void store(float* p, Reg v) { vst1q_f32(p, v); }
  static bool onRegisterBoundary(const float* p) { return reinterpret_cast<std::uintptr_t>(p) % sizeof(Reg) == 0; }
  static Reg splat(float f) { return vdupq_n_f32(f); }
  static Reg swapParts(Reg v) { return vrev64q_f32(v); }
  // Sign flips by the sign bit alone: exact, as on the x86 paths.
  static Reg flipSigns(Reg v, uint32x4_t mask) {
    return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(v), mask));
  }
  static Reg negateReal(Reg v) { return flipSigns(v, uint32x4_t{0x80000000u, 0, 0x80000000u, 0}); }
  static Reg negateImag(Reg v) { return flipSigns(v, uint32x4_t{0, 0x80000000u, 0, 0x80000000u}); }
  static Reg timesI(Reg v) { return negateReal(swapParts(v)); }
  static Reg timesMinusI(Reg v) { return negateImag(swapParts(v)); }
  // x w = x cos + (-im sin, re sin); x conj(w) = x cos + (im sin, -re sin).
  static Reg mul(Reg x, const Twiddle& w) { return x * w.re + negateReal(swapParts(x) * w.im); }
  static Reg mulConj(Reg x, const Twiddle& w) { return x * w.re + negateImag(swapParts(x) * w.im); }
  static Twiddle broadcastTwiddle(const float* pair) { return {vld1q_dup_f32(pair), vld1q_dup_f32(pair + 1)}; }
  // Two consecutive (cos, sin) pairs, one per lane.
  static Twiddle laneTwiddles(const float* pairs) {
    const float32x4_t w = vld1q_f32(pairs);
    return {vtrn1q_f32(w, w), vtrn2q_f32(w, w)};
  }
  // Writes lane l of y_t to complex position 4l + t.
  static void storeTransposed(float* out, Reg y0, Reg y1, Reg y2, Reg y3) {
    vst1q_f32(out, vcombine_f32(vget_low_f32(y0), vget_low_f32(y1)));
    vst1q_f32(out + 4, vcombine_f32(vget_low_f32(y2), vget_low_f32(y3)));
    vst1q_f32(out + 8, vcombine_f32(vget_high_f32(y0), vget_high_f32(y1)));
    vst1q_f32(out + 12, vcombine_f32(vget_high_f32(y2), vget_high_f32(y3)));
  }
};

}  // namespace
}  // namespace dsp::fft_detail

#include "dsp/fft_autosort.hpp"

namespace dsp::fft_detail {
const NaturalKernels kNeonKernels = {&autosortForward<Neon>, &autosortInverse<Neon>, 4};
}  // namespace dsp::fft_detail
#endif
