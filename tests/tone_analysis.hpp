// What the end-to-end tests measure of a recorded tone, shared so every suite judges the
// output the same way.
#pragma once
#include <QByteArray>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace tone {

inline constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Power of the complex signal at `hz` over frames [first, first + n), Hann-weighted.
inline double powerAt(const std::vector<std::complex<double>>& x, size_t first, size_t n, double hz, double rate) {
  std::complex<double> acc = 0;
  const double w = -kTwoPi * hz / rate;
  for (size_t k = 0; k < n; ++k) {
    const double hann = 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(k) / static_cast<double>(n));
    acc += hann * x[first + k] * std::polar(1.0, w * static_cast<double>(k));
  }
  return std::norm(acc);
}

// Recorded stereo s16le frames as complex samples: left I, right Q.
inline std::vector<std::complex<double>> toIQ(const QByteArray& raw) {
  std::vector<std::complex<double>> iq(static_cast<size_t>(raw.size()) / 4);
  for (size_t m = 0; m < iq.size(); ++m) {
    int16_t lr[2];
    std::memcpy(lr, raw.constData() + 4 * m, 4);
    iq[m] = {static_cast<double>(lr[0]), static_cast<double>(lr[1])};
  }
  return iq;
}

// Tone quality of one stretch of a complex signal around `hz` (cycles per frame * rate):
// demodulated, its phase fitted by a parabola (a resampling ratio that moves by a few ppm
// bends it smoothly); the amplitude, the SNR of the fit (dB), and the slope of the phase in Hz.
struct ToneFit {
  double amplitude = 0, snrDb = 0, offsetHz = 0;
};
// A real tone is fitted on means of `block` samples (1 ms cancels its image exactly).
inline ToneFit fitTone(const std::vector<std::complex<double>>& x, double hz, double rate, size_t block = 1) {
  const size_t n = x.size() / block;
  std::vector<std::complex<double>> z(n);
  std::vector<double> phase(n);
  double amplitude = 0;
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = k * block; j < (k + 1) * block; ++j)
      z[k] += x[j] * std::polar(1.0, -kTwoPi * hz * static_cast<double>(j) / rate) / static_cast<double>(block);
    if (block > 1) z[k] *= 2.0;  // one of the real tone's two halves
    amplitude += std::abs(z[k]) / static_cast<double>(n);
    phase[k] = std::arg(z[k]);
    if (k > 0) phase[k] = phase[k - 1] + std::remainder(phase[k] - phase[k - 1], kTwoPi);
  }
  // Least squares of the phase against 1, x, x^2 (x from -1 to 1).
  double m[3][4] = {};
  auto xOf = [&](size_t k) { return 2.0 * static_cast<double>(k) / static_cast<double>(n - 1) - 1.0; };
  for (size_t k = 0; k < n; ++k) {
    const double b[3] = {1.0, xOf(k), xOf(k) * xOf(k)};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
      m[r][3] += b[r] * phase[k];
    }
  }
  for (int p = 0; p < 3; ++p)
    for (int r = 0; r < 3; ++r)
      if (r != p) {
        const double f = m[r][p] / m[p][p];
        for (int c = 0; c < 4; ++c) m[r][c] -= f * m[p][c];
      }
  double residual = 0;
  for (size_t k = 0; k < n; ++k) {
    const double fitted = m[0][3] / m[0][0] + m[1][3] / m[1][1] * xOf(k) + m[2][3] / m[2][2] * xOf(k) * xOf(k);
    residual += std::norm(z[k] - std::polar(amplitude, fitted)) / static_cast<double>(n);
  }
  ToneFit fit;
  fit.amplitude = amplitude;
  fit.snrDb = 10.0 * std::log10(amplitude * amplitude / std::max(residual, 1e-12));
  fit.offsetHz = m[1][3] / m[1][1] * 2.0 / static_cast<double>(n - 1) * (rate / static_cast<double>(block)) / kTwoPi;
  return fit;
}

}  // namespace tone
