#include "dsp/adaptive_resampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace dsp {

namespace {

// Kaiser window shape: 0.1102 * (A - 8.7) for a stop band of A = 100 dB.
constexpr double kKaiserBeta = 10.0;

double besselI0(double x) {
  // Power series; converges fast for the window's arguments (x <= beta).
  double sum = 1.0, term = 1.0;
  const double quarterSquare = x * x / 4.0;
  for (int k = 1; k < 64 && term > sum * 1e-17; ++k) {
    term *= quarterSquare / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

// The continuous kernel: ideal band limit (sinc, zero at every whole sample but the centre)
// under a Kaiser window that ends at +-kHalfTaps.
double kernel(double t) {
  constexpr double half = AdaptiveResampler::kHalfTaps;
  const double ratio = t / half;
  if (ratio <= -1.0 || ratio >= 1.0) return 0.0;
  const double window = besselI0(kKaiserBeta * std::sqrt(1.0 - ratio * ratio)) / besselI0(kKaiserBeta);
  const double x = std::numbers::pi * t;
  return (t == 0.0 ? 1.0 : std::sin(x) / x) * window;
}

// Four floats handled as one (SSE on x86-64, NEON on ARM), loaded from any address.
constexpr int kLanes = 4;
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));
inline Lanes load(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float sum(Lanes v) { return (v[0] + v[1]) + (v[2] + v[3]); }

inline Sample toSample(float v) {
  return static_cast<Sample>(std::lrint(std::clamp(v, -32768.0f, 32767.0f)));
}

}  // namespace

AdaptiveResampler::AdaptiveResampler() {
  // Row p holds the taps for a read position p / kPhases past the centre frame; tap j
  // weighs the frame j - (kHalfTaps - 1) places from the centre.
  std::vector<double> rows(static_cast<size_t>((kPhases + 1) * kTaps));
  for (int p = 0; p <= kPhases; ++p) {
    double* row = &rows[static_cast<size_t>(p * kTaps)];
    const double phase = static_cast<double>(p) / kPhases;
    double sum = 0.0;
    for (int j = 0; j < kTaps; ++j) {
      const int offset = j - (kHalfTaps - 1);
      // At whole-sample positions the taps are exactly 0 and 1, not sin(k*pi) rounding noise.
      if (p == 0 || p == kPhases)
        row[j] = (offset == (p == 0 ? 0 : 1)) ? 1.0 : 0.0;
      else
        row[j] = kernel(phase - offset);
      sum += row[j];
    }
    // Unit gain at DC for every phase, so the level does not ripple as the phase moves.
    for (int j = 0; j < kTaps; ++j) row[j] /= sum;
  }
  rows_.resize(static_cast<size_t>(kPhases * kTaps));
  steps_.resize(static_cast<size_t>(kPhases * kTaps));
  for (size_t i = 0; i < rows_.size(); ++i) {
    rows_[i] = static_cast<float>(rows[i]);
    steps_[i] = static_cast<float>(rows[i + kTaps] - rows[i]);
  }
  reset();
}

void AdaptiveResampler::setMaxBlock(std::size_t maxOutputFrames, double maxRatio) {
  maxOutputFrames_ = maxOutputFrames;
  maxRatio_ = maxRatio;
  // A call reads at most 3 + (outputFrames - 1) * ratio new frames (see inputFramesFor).
  const auto maxInput = static_cast<size_t>(std::ceil(3.0 + static_cast<double>(maxOutputFrames) * maxRatio));
  left_.assign(kTaps + maxInput, 0.0f);
  right_.assign(kTaps + maxInput, 0.0f);
  reset();
}

void AdaptiveResampler::reset() {
  std::fill(left_.begin(), left_.end(), 0.0f);
  std::fill(right_.begin(), right_.end(), 0.0f);
  // The first new frame enters as the newest tap and reaches the centre kHalfTaps frames on.
  position_ = 1 - kHalfTaps;
  phase_ = 0.0;
}

std::size_t AdaptiveResampler::inputFramesFor(std::size_t outputFrames, double ratio) const {
  if (outputFrames == 0) return 0;
  // The last output frame's window ends kHalfTaps frames past its centre.
  const double last = std::floor(phase_ + static_cast<double>(outputFrames - 1) * ratio);
  const auto needed = position_ + static_cast<std::int64_t>(last) + kHalfTaps;
  return needed > 0 ? static_cast<std::size_t>(needed) : 0;
}

void AdaptiveResampler::filterAt(double phase, const float* left, const float* right, float& outLeft,
                                 float& outRight) const {
  const double scaled = phase * kPhases;
  const int row = std::min(static_cast<int>(scaled), kPhases - 1);
  const auto fraction = static_cast<float>(scaled - row);
  const float* base = &rows_[static_cast<size_t>(row * kTaps)];
  const float* step = &steps_[static_cast<size_t>(row * kTaps)];
  // The taps between two tabulated phases, applied to both channels as they are made; two
  // accumulators per channel keep the additions from waiting on each other.
  Lanes left0{}, left1{}, right0{}, right1{};
  for (int j = 0; j < kTaps; j += 2 * kLanes) {
    const Lanes taps0 = load(base + j) + fraction * load(step + j);
    const Lanes taps1 = load(base + j + kLanes) + fraction * load(step + j + kLanes);
    left0 += load(left + j) * taps0;
    left1 += load(left + j + kLanes) * taps1;
    right0 += load(right + j) * taps0;
    right1 += load(right + j + kLanes) * taps1;
  }
  outLeft = sum(left0 + left1);
  outRight = sum(right0 + right1);
}

void AdaptiveResampler::process(const Sample* input, Sample* output, std::size_t outputFrames, double ratio) {
  if (outputFrames > maxOutputFrames_ || !(ratio > 0.0 && ratio <= maxRatio_))
    throw std::invalid_argument("AdaptiveResampler: block or ratio beyond setMaxBlock()");
  if (outputFrames == 0) return;
  const std::size_t fresh = inputFramesFor(outputFrames, ratio);
  for (std::size_t i = 0; i < fresh; ++i) {
    left_[kTaps + i] = input[2 * i];
    right_[kTaps + i] = input[2 * i + 1];
  }

  // Work index of the frame the read position counts from (the newest history frame).
  const std::int64_t origin = kTaps - 1 + position_;
  for (std::size_t k = 0; k < outputFrames; ++k) {
    const double read = phase_ + static_cast<double>(k) * ratio;
    const double whole = std::floor(read);
    const double fraction = read - whole;
    const auto centre = static_cast<size_t>(origin + static_cast<std::int64_t>(whole));
    if (fraction == 0.0) {
      // On a sample the kernel is a unit impulse: the centre frame itself, exactly.
      output[2 * k] = toSample(left_[centre]);
      output[2 * k + 1] = toSample(right_[centre]);
      continue;
    }
    const float* l = &left_[centre - (kHalfTaps - 1)];
    const float* r = &right_[centre - (kHalfTaps - 1)];
    float yL, yR;
    filterAt(fraction, l, r, yL, yR);
    output[2 * k] = toSample(yL);
    output[2 * k + 1] = toSample(yR);
  }

  const double end = phase_ + static_cast<double>(outputFrames) * ratio;
  const double advance = std::floor(end);
  phase_ = end - advance;
  position_ += static_cast<std::int64_t>(advance) - static_cast<std::int64_t>(fresh);
  // Keep the newest kTaps frames as the next call's history.
  std::memmove(left_.data(), left_.data() + fresh, kTaps * sizeof(float));
  std::memmove(right_.data(), right_.data() + fresh, kTaps * sizeof(float));
}

void AdaptiveResampler::snapToSample() {
  if (phase_ >= 0.5) ++position_;
  phase_ = 0.0;
}

}  // namespace dsp
