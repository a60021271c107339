#include "dsp/stream_filter.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dsp {

namespace {

constexpr double kPi = std::numbers::pi;
// Transition at each band end: 100 Hz from 8000 Hz up, 1.25 % of the rate below.
constexpr double kTransitionHz = 100.0;
constexpr double kLowRateLimit = 8000.0;
// The edge filter ramps over at least the 45 bins of a 32768-point block transform, and
// never over less than the transition, so that its ramp stays smooth in this filter's length.
constexpr double kBlockEdgeBins = 45.0;
constexpr double kBlockLength = 32768.0;
// Each tap set must leave room for a useful block in the largest transform.
constexpr int32_t kMaxHalfLength = 2 * 16000;

// Zeroth-order modified Bessel function of the first kind, by its power series (converges
// for every argument the Kaiser window needs).
double besselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 500; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// Ideal response of the edge-filtered prototype at offset k (rate 1): gain 2 inside
// |f| < 1/4 - ramp, raised-cosine ramps down to 0 at |f| = 1/4.
double raisedCosineTap(int32_t k, double ramp) {
  const double centre = 0.25 - ramp / 2.0;
  const double x = 2.0 * ramp * k;
  double shape;
  if (std::abs(std::abs(x) - 1.0) < 1e-9)
    shape = kPi / 4.0;  // limit of cos(pi x / 2) / (1 - x^2) at |x| = 1
  else
    shape = std::cos(kPi * x / 2.0) / (1.0 - x * x);
  return 2.0 * 2.0 * centre * sinc(2.0 * centre * k) * shape;
}

}  // namespace

StreamFilter DesignStreamFilter(int32_t rate) {
  const double fs = std::max(1.0, static_cast<double>(rate));
  StreamFilter f;
  f.Transition = fs >= kLowRateLimit ? kTransitionHz : fs * (kTransitionHz / kLowRateLimit);

  // Kaiser's estimates for a window design: the full transition (2 x Transition, in units
  // of the rate) and the stop-band attenuation fix the length and the window's shape.
  const double attenuation = kStreamStopbandDb;
  const double beta = 0.1102 * (attenuation - 8.7);
  double width = 2.0 * f.Transition / fs;
  int32_t K = static_cast<int32_t>(std::ceil((attenuation - 7.95) / (2.0 * 14.36 * width)));
  if (K > kMaxHalfLength) {
    // Rates above about 1.6 MHz: the transition widens so that the filter still fits.
    K = kMaxHalfLength;
    width = (attenuation - 7.95) / (2.0 * 14.36 * K);
    f.Transition = width * fs / 2.0;
  }
  f.HalfLength = K;
  f.EdgeRamp = std::max(kBlockEdgeBins * fs / kBlockLength, 2.0 * f.Transition);
  const double ramp = std::min(f.EdgeRamp / fs, 0.25);

  // Prototypes at offsets -K ... K.
  const size_t length = 2 * static_cast<size_t>(K) + 1;
  std::vector<double> window(length), plain(length), edge(length);
  const double norm = besselI0(beta);
  for (int32_t k = -K; k <= K; ++k) {
    const double r = static_cast<double>(k) / K;
    const size_t i = static_cast<size_t>(k + K);
    window[i] = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / norm;
    // Half-band with gain 2: 1 at the centre, 0 at the other even offsets, 2/(pi k) with
    // alternating sign at the odd ones, so Q is the delayed input itself.
    const double half = k == 0 ? 1.0 : (k % 2 == 0 ? 0.0 : 2.0 * std::sin(kPi * k / 2.0) / (kPi * k));
    plain[i] = half * window[i];
    edge[i] = raisedCosineTap(k, ramp) * window[i];
  }
  // The windowed ramp leaves a trace of the band at its two ends; a multiple of the window
  // itself, modulated to +-Fs/4, takes it out so that DC and Fs/2 are removed exactly.
  const int32_t evenEnd = K - K % 2;
  double leak = 0.0, energy = 0.0;
  for (int32_t k = -evenEnd; k <= evenEnd; k += 2) {
    const size_t i = static_cast<size_t>(k + K);
    const double c = (k / 2) % 2 == 0 ? 1.0 : -1.0;  // cos(pi k / 2)
    leak += edge[i] * c;
    energy += window[i];
  }
  for (int32_t k = -evenEnd; k <= evenEnd; k += 2) {
    const size_t i = static_cast<size_t>(k + K);
    const double c = (k / 2) % 2 == 0 ? 1.0 : -1.0;
    edge[i] -= leak / energy * window[i] * c;
  }

  // Causal tap sets: even offset k feeds Even[D + k/2], odd offset k feeds Odd[D + (k+1)/2]
  // (the odd samples of a frame come one input sample after its even sample).
  f.DelayFrames = (K + 1) / 2;
  f.Taps = f.DelayFrames + (K + 1) / 2 + 1;
  const size_t taps = static_cast<size_t>(f.Taps);
  f.Even.assign(taps, 0.0);
  f.Odd.assign(taps, 0.0);
  f.EdgeEven.assign(taps, 0.0);
  f.EdgeOdd.assign(taps, 0.0);
  for (int32_t k = -K; k <= K; ++k) {
    const size_t i = static_cast<size_t>(k + K);
    const bool even = k % 2 == 0;
    const int32_t at = f.DelayFrames + (even ? k / 2 : (k + 1) / 2);
    (even ? f.Even : f.Odd)[static_cast<size_t>(at)] = plain[i];
    (even ? f.EdgeEven : f.EdgeOdd)[static_cast<size_t>(at)] = edge[i];
  }
  return f;
}

}  // namespace dsp
