// Portable conjugate-pair split-radix transforms: decimation in frequency forward (output in
// split order), decimation in time inverse (input in split order). Each butterfly works in
// double and rounds every value it writes back to float, so each pass leaves single precision.
#include <bit>

#include "dsp/fft_internal.hpp"

namespace dsp::fft_detail {
namespace {

// Calls visit(k, cos, sin) with w^k = e^{+2 pi i k/n} for k = 0 ... n/4 - 1, reading the
// quarter-circle table directly or, for n >= 1024, the eighth circle forwards and then
// backwards with cos and sin exchanged.
template <class Visit>
void forEachQuarterTwiddle(int32_t n, int32_t log2n, Visit&& visit) {
  const int32_t quarter = n / 4;
  visit(0, 1.0, 0.0);
  if (quarter == 1) return;
  const TwiddlePair* table = splitTwiddles(log2n);
  if (n <= 512) {
    for (int32_t k = 1; k < quarter; ++k) visit(k, table[k - 1].cos, table[k - 1].sin);
    return;
  }
  const int32_t eighth = n / 8;
  for (int32_t k = 1; k < eighth; ++k) visit(k, table[k - 1].cos, table[k - 1].sin);
  visit(eighth, kSqrtHalf, kSqrtHalf);
  for (int32_t k = eighth + 1; k < quarter; ++k) {
    const TwiddlePair& mirrored = table[quarter - k - 1];
    visit(k, mirrored.sin, mirrored.cos);
  }
}

// n is a power of two.
int32_t log2Of(int32_t n) { return std::countr_zero(static_cast<uint32_t>(n)); }

// x[k], x[k + n/4] <- a + c, b + d;
// x[k + n/2] <- ((a - c) + i(b - d)) w^k;  x[k + 3n/4] <- ((a - c) - i(b - d)) w^-k.
void forwardPass(float* x, int32_t n) {
  const int32_t quarter = n / 4;
  forEachQuarterTwiddle(n, log2Of(n), [x, quarter](int32_t k, double wr, double wi) {
    float* a = x + 2 * k;
    float* b = a + 2 * quarter;
    float* c = b + 2 * quarter;
    float* d = c + 2 * quarter;
    const double ar = a[0], ai = a[1], br = b[0], bi = b[1];
    const double cr = c[0], ci = c[1], dr = d[0], di = d[1];
    const double sr = ar - cr, si = ai - ci;  // a - c
    const double tr = br - dr, ti = bi - di;  // b - d
    const double ur = sr - ti, ui = si + tr;  // (a - c) + i(b - d)
    const double vr = sr + ti, vi = si - tr;  // (a - c) - i(b - d)
    a[0] = static_cast<float>(ar + cr);
    a[1] = static_cast<float>(ai + ci);
    b[0] = static_cast<float>(br + dr);
    b[1] = static_cast<float>(bi + di);
    c[0] = static_cast<float>(ur * wr - ui * wi);
    c[1] = static_cast<float>(ur * wi + ui * wr);
    d[0] = static_cast<float>(vr * wr + vi * wi);
    d[1] = static_cast<float>(vi * wr - vr * wi);
  });
}

// The transpose of forwardPass: c = x[k + n/2] w^-k, d = x[k + 3n/4] w^k;
// x[k], x[k + n/2] <- a + (c + d), a - (c + d); x[k + n/4], x[k + 3n/4] <- b -+ i(c - d).
void inversePass(float* x, int32_t n) {
  const int32_t quarter = n / 4;
  forEachQuarterTwiddle(n, log2Of(n), [x, quarter](int32_t k, double wr, double wi) {
    float* a = x + 2 * k;
    float* b = a + 2 * quarter;
    float* c = b + 2 * quarter;
    float* d = c + 2 * quarter;
    const double ar = a[0], ai = a[1], br = b[0], bi = b[1];
    const double cr = c[0] * wr + c[1] * wi, ci = c[1] * wr - c[0] * wi;
    const double dr = d[0] * wr - d[1] * wi, di = d[1] * wr + d[0] * wi;
    const double sr = cr + dr, si = ci + di;  // c + d
    const double er = cr - dr, ei = ci - di;  // c - d
    a[0] = static_cast<float>(ar + sr);
    a[1] = static_cast<float>(ai + si);
    c[0] = static_cast<float>(ar - sr);
    c[1] = static_cast<float>(ai - si);
    b[0] = static_cast<float>(br + ei);
    b[1] = static_cast<float>(bi - er);
    d[0] = static_cast<float>(br - ei);
    d[1] = static_cast<float>(bi + er);
  });
}

// (a, b) -> (a + b, a - b); the bottom of the recursion in both directions.
void butterfly2(float* x) {
  const float ar = x[0], ai = x[1], br = x[2], bi = x[3];
  x[0] = ar + br;
  x[1] = ai + bi;
  x[2] = ar - br;
  x[3] = ai - bi;
}

}  // namespace

void splitForward(float* x, int32_t n) {
  if (n < 2) return;
  if (n == 2) {
    butterfly2(x);
    return;
  }
  forwardPass(x, n);
  splitForward(x, n / 2);
  splitForward(x + n, n / 4);
  splitForward(x + n + n / 2, n / 4);
}

void splitInverse(float* x, int32_t n) {
  if (n < 2) return;
  if (n == 2) {
    butterfly2(x);
    return;
  }
  splitInverse(x, n / 2);
  splitInverse(x + n, n / 4);
  splitInverse(x + n + n / 2, n / 4);
  inversePass(x, n);
}

}  // namespace dsp::fft_detail
