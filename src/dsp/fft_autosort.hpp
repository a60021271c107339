#pragma once
// Natural-order transforms for the vector code paths: a radix-4 autosort (Stockham) scheme
// that ping-pongs between the data and the scratch area, so no reorder step is needed.
//
// Stage with sub-length n and stride s = N/n (w = e^{+-2 pi i/n}): for p < n/4, q < s,
//   a, b, c, d = x[q + s p + r N/4], r = 0 ... 3;
//   y[q + s(4p + t)] = w^{pt} * sum_r (+-i)^{rt} x_r,  t = 0 ... 3.
// The first stage (s = 1) runs across p and transposes its results on the way out; the
// others run across q. The last stage (n = 4, or n = 8 for odd powers of two) has no
// twiddles and may run in place, so it always writes into the caller's data.
//
// Included by exactly one source file per instruction set; V supplies the vector operations.
// Everything here has internal linkage so the per-instruction-set copies never mix.
#include <cstdint>

#include "dsp/fft_internal.hpp"

namespace dsp::fft_detail {
namespace {

template <class V>
using Reg = typename V::Reg;

// Each pass stays a function of its own: inlined into one large caller, the compiler
// allocated registers far worse (a forward transform ran about a third slower).

// The stride between the four inputs of a butterfly is N/4 complex values in every stage.
template <class V, bool Inverse>
inline void radix4(Reg<V> a, Reg<V> b, Reg<V> c, Reg<V> d, Reg<V>& y0, Reg<V>& y1, Reg<V>& y2, Reg<V>& y3) {
  const Reg<V> sumAC = a + c, diffAC = a - c, sumBD = b + d, diffBD = b - d;
  const Reg<V> rotated = Inverse ? V::timesMinusI(diffBD) : V::timesI(diffBD);
  y0 = sumAC + sumBD;
  y2 = sumAC - sumBD;
  y1 = diffAC + rotated;
  y3 = diffAC - rotated;
}

template <class V, bool Inverse>
inline Reg<V> twiddled(Reg<V> x, const typename V::Twiddle& w) {
  return Inverse ? V::mulConj(x, w) : V::mul(x, w);
}

// First stage, s = 1: lanes hold consecutive p; output y[4p + t] needs a transpose.
template <class V, bool Inverse, bool Scaled>
[[gnu::noinline]] void firstStage(const float* in, float* out, int32_t n, const float* twiddles, float scale) {
  const int32_t quarter = n / 4;
  const Reg<V> factor = V::splat(scale);
  for (int32_t p = 0; p < quarter; p += V::kLanes) {
    const float* x = in + 2 * p;
    Reg<V> a = V::load(x), b = V::load(x + 2 * quarter), c = V::load(x + 4 * quarter), d = V::load(x + 6 * quarter);
    if (Scaled) {
      a = a * factor;
      b = b * factor;
      c = c * factor;
      d = d * factor;
    }
    Reg<V> y0, y1, y2, y3;
    radix4<V, Inverse>(a, b, c, d, y0, y1, y2, y3);
    const float* w = twiddles + 24 * (p / 4) + 2 * (p % 4);
    y1 = twiddled<V, Inverse>(y1, V::laneTwiddles(w));
    y2 = twiddled<V, Inverse>(y2, V::laneTwiddles(w + 8));
    y3 = twiddled<V, Inverse>(y3, V::laneTwiddles(w + 16));
    V::storeTransposed(out + 8 * p, y0, y1, y2, y3);
  }
}

// Middle stage, s >= 4: one twiddle triple per p, lanes hold consecutive q.
template <class V, bool Inverse>
[[gnu::noinline]] void middleStage(const float* in, float* out, int32_t count, int32_t n, const float* twiddles) {
  const int32_t stride = count / n;
  const int32_t quarterCount = count / 4;
  for (int32_t p = 0; p < n / 4; ++p) {
    const float* w = twiddles + 24 * (p / 4) + 2 * (p % 4);
    const typename V::Twiddle w1 = V::broadcastTwiddle(w), w2 = V::broadcastTwiddle(w + 8),
                              w3 = V::broadcastTwiddle(w + 16);
    const float* src = in + 2 * stride * p;
    float* dst = out + 8 * stride * p;
    for (int32_t q = 0; q < stride; q += V::kLanes) {
      const float* x = src + 2 * q;
      Reg<V> y0, y1, y2, y3;
      radix4<V, Inverse>(V::load(x), V::load(x + 2 * quarterCount), V::load(x + 4 * quarterCount),
                         V::load(x + 6 * quarterCount), y0, y1, y2, y3);
      float* y = dst + 2 * q;
      V::store(y, y0);
      V::store(y + 2 * stride, twiddled<V, Inverse>(y1, w1));
      V::store(y + 4 * stride, twiddled<V, Inverse>(y2, w2));
      V::store(y + 6 * stride, twiddled<V, Inverse>(y3, w3));
    }
  }
}

// Last stage for even powers of two: n = 4, s = N/4, no twiddles.
template <class V, bool Inverse>
[[gnu::noinline]] void lastRadix4Stage(const float* in, float* out, int32_t count) {
  const int32_t stride = count / 4;
  for (int32_t q = 0; q < stride; q += V::kLanes) {
    const float* x = in + 2 * q;
    Reg<V> y0, y1, y2, y3;
    radix4<V, Inverse>(V::load(x), V::load(x + 2 * stride), V::load(x + 4 * stride), V::load(x + 6 * stride), y0, y1,
                       y2, y3);
    float* y = out + 2 * q;
    V::store(y, y0);
    V::store(y + 2 * stride, y1);
    V::store(y + 4 * stride, y2);
    V::store(y + 6 * stride, y3);
  }
}

// Last stage for odd powers of two: n = 8, s = N/8. A radix-2 split with the eighth roots
// w^r on the differences, then a 4-point transform of the sums (even outputs) and of the
// rotated differences (odd outputs).
template <class V, bool Inverse>
[[gnu::noinline]] void lastRadix8Stage(const float* in, float* out, int32_t count) {
  const int32_t stride = count / 8;
  const Reg<V> sqrtHalf = V::splat(kSqrtHalf);
  for (int32_t q = 0; q < stride; q += V::kLanes) {
    const float* x = in + 2 * q;
    Reg<V> a[8];
    for (int32_t r = 0; r < 8; ++r) a[r] = V::load(x + 2 * stride * r);
    const Reg<V> u0 = a[0] + a[4], u1 = a[1] + a[5], u2 = a[2] + a[6], u3 = a[3] + a[7];
    const Reg<V> d1 = a[1] - a[5], d3 = a[3] - a[7];
    const Reg<V> v0 = a[0] - a[4];
    // w = (1 +- i)/sqrt 2, w^2 = +-i, w^3 = +-i w.
    const Reg<V> v1 = (Inverse ? d1 + V::timesMinusI(d1) : d1 + V::timesI(d1)) * sqrtHalf;
    const Reg<V> v2 = Inverse ? V::timesMinusI(a[2] - a[6]) : V::timesI(a[2] - a[6]);
    const Reg<V> w3d3 = (Inverse ? d3 + V::timesMinusI(d3) : d3 + V::timesI(d3)) * sqrtHalf;
    const Reg<V> v3 = Inverse ? V::timesMinusI(w3d3) : V::timesI(w3d3);
    Reg<V> e0, e1, e2, e3, o0, o1, o2, o3;
    radix4<V, Inverse>(u0, u1, u2, u3, e0, e1, e2, e3);
    radix4<V, Inverse>(v0, v1, v2, v3, o0, o1, o2, o3);
    float* y = out + 2 * q;
    V::store(y, e0);
    V::store(y + 2 * stride, o0);
    V::store(y + 4 * stride, e1);
    V::store(y + 6 * stride, o1);
    V::store(y + 8 * stride, e2);
    V::store(y + 10 * stride, o2);
    V::store(y + 12 * stride, e3);
    V::store(y + 14 * stride, o3);
  }
}

// Data off a register boundary splits every other load and store of a pass that touches it
// across two cache lines. Up to this size the three areas fit a core's cache, so the passes
// between the first and the last then alternate between work and spare and leave data alone;
// above it the third area would cost more in cache misses than the split accesses do.
constexpr int32_t kMaxSpareLog2 = 14;

// Runs every stage. The last stage can run in place, so it always writes data; the passes
// before it alternate between data (or spare, see above) and work. Needs log2n >= 4.
template <class V, bool Inverse, bool Scaled>
void autosortTransform(float* data, int32_t log2n, float* work, float* spare, float scale) {
  const int32_t count = int32_t{1} << log2n;
  const int32_t lastLog2 = (log2n % 2 == 0) ? 2 : 3;
  float* const other = (V::onRegisterBoundary(data) || log2n > kMaxSpareLog2) ? data : spare;
  firstStage<V, Inverse, Scaled>(data, work, count, stageTwiddles(log2n), scale);
  float* dst = work;
  for (int32_t m = log2n - 2; m > lastLog2; m -= 2) {
    float* next = (dst == work) ? other : work;
    middleStage<V, Inverse>(dst, next, count, int32_t{1} << m, stageTwiddles(m));
    dst = next;
  }
  if (lastLog2 == 2)
    lastRadix4Stage<V, Inverse>(dst, data, count);
  else
    lastRadix8Stage<V, Inverse>(dst, data, count);
}

template <class V>
void autosortForward(float* data, int32_t log2n, float* work, float* spare) {
  autosortTransform<V, false, false>(data, log2n, work, spare, 1.0f);
}

template <class V>
void autosortInverse(float* data, int32_t log2n, float scale, float* work, float* spare) {
  if (scale == 1.0f)
    autosortTransform<V, true, false>(data, log2n, work, spare, scale);
  else
    autosortTransform<V, true, true>(data, log2n, work, spare, scale);
}

}  // namespace
}  // namespace dsp::fft_detail
