#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/stream_config.hpp"

namespace dsp {

// Resamples stereo 16-bit frames at a ratio close to 1 (input frames consumed per output
// frame), which may change from one call to the next without a seam: the read position is
// carried across calls. Each output frame is a windowed-sinc interpolation over kTaps input
// frames; the kernel is tabulated at kPhases fractional positions (computed in double once,
// at construction) and interpolated linearly between neighbouring phases.
//
// At a whole-sample read position the kernel is a unit impulse, so with a ratio of exactly 1
// and the position on a sample the output is the input delayed by kHalfTaps frames, bit for
// bit (and copied without filtering).
class AdaptiveResampler {
 public:
  static constexpr int kHalfTaps = 32;
  static constexpr int kTaps = 2 * kHalfTaps;
  static constexpr int kPhases = 256;
  static_assert(kTaps % 8 == 0, "the filter loop takes taps eight at a time");

  AdaptiveResampler();

  // Allocates the work area for calls of up to `maxOutputFrames` output frames at ratios up
  // to `maxRatio`, and resets.
  void setMaxBlock(std::size_t maxOutputFrames, double maxRatio);

  // Silent history, read position on a sample. The first input frame after a reset comes out
  // kHalfTaps frames later; until then the output is the filter's silent history.
  void reset();

  // Input frames that process() consumes to make `outputFrames` frames at `ratio`.
  std::size_t inputFramesFor(std::size_t outputFrames, double ratio) const;

  // Makes `outputFrames` interleaved frames from exactly inputFramesFor(outputFrames, ratio)
  // interleaved input frames. outputFrames must not exceed the size given to setMaxBlock().
  void process(const Sample* input, Sample* output, std::size_t outputFrames, double ratio);

  // Fractional part of the read position, in [0, 1).
  double phase() const { return phase_; }

  // Moves the read position onto the nearest whole sample. For the end of a glide whose
  // ratio was chosen to land there, so the move is a rounding error, not an audible jump.
  void snapToSample();

 private:
  // Both channels' output for fractional position `phase`; `left` and `right` point at the
  // first of the kTaps frames under the kernel.
  void filterAt(double phase, const float* left, const float* right, float& outLeft, float& outRight) const;

  // Kernel rows for phases 0..kPhases (the last one is row 0 shifted by a sample), and the
  // difference of each row to the next, for the linear interpolation between rows.
  std::vector<float> rows_;
  std::vector<float> steps_;

  // Per channel: the last kTaps input frames, followed by this call's input frames.
  std::vector<float> left_;
  std::vector<float> right_;
  std::size_t maxOutputFrames_ = 0;
  double maxRatio_ = 0.0;

  // Read position: the next output frame is centred on input frame `position_ + phase_`,
  // counted from the newest frame of the history (0 = newest, -1 = the one before, ...).
  std::int64_t position_ = 0;
  double phase_ = 0.0;
};

}  // namespace dsp
