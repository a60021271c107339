#pragma once
#include <cmath>
#include <cstdint>

namespace dsp {

// Estimates the true rate of a device's clock from the frames it moves and the monotonic
// time at which each buffer moved. A buffer is never early, only late (the server's
// fragments, the scheduler, a busy server that hands over a backlog at once), so each
// second's earliest buffer stands for the device's clock in that second, and the rate is
// the slope of a least-squares line through those points. A second whose earliest buffer
// still lies more than gateSeconds above the line (the whole second was late) is left out;
// the line's standard error says how far to trust the rate.
class ClockEstimator {
 public:
  struct Tuning {
    double binSeconds = 1.0;       // one point per this long
    double settleSeconds = 8.0;    // after a (re)start the servers' buffers still fill, which
                                   // moves buffers by milliseconds without any drift: not taken
    double gateSeconds = 0.002;    // a point this far above the line is late: left out
    double restartSeconds = 10.0;  // no point taken for this long (a device stopped): start over
  };

  ClockEstimator() = default;
  explicit ClockEstimator(const Tuning& tuning) : tuning_(tuning) {}

  // Forgets everything; the rate is `nominalRate` frames per second until measured.
  void reset(double nominalRate);
  // `frames` moved, the last of them at `time` (seconds).
  void update(std::uint64_t frames, double time);

  double rate() const { return rate_; }
  double nominalRate() const { return nominal_; }
  // Standard error of rate() as a fraction of it (1 until there are four points).
  double relativeError() const { return relativeError_; }
  double runSeconds() const { return lastTime_ - anchorTime_; }
  std::uint64_t restarts() const { return restarts_; }
  int points() const { return static_cast<int>(n_); }

 private:
  void startAt(double time);
  void take(double x, double y);

  Tuning tuning_;
  double nominal_ = 1.0;
  double rate_ = 1.0;
  double relativeError_ = 1.0;
  bool running_ = false;
  double anchorTime_ = 0.0;
  double lastTime_ = 0.0;
  double frames_ = 0.0;  // since the anchor
  double binEnd_ = 0.0;
  bool binEmpty_ = true;
  double binOffset_ = 0.0, binX_ = 0.0, binY_ = 0.0;  // the bin's earliest buffer
  double lastTakenY_ = 0.0;                           // seconds since the anchor of the last point taken
  // Sums over the points: x frames since the anchor, y seconds since the anchor.
  double n_ = 0.0, sx_ = 0.0, sy_ = 0.0, sxx_ = 0.0, sxy_ = 0.0;
  double slope_ = 0.0, intercept_ = 0.0;  // seconds per frame, seconds
  double residualSquares_ = 0.0;          // running mean square of the points' residuals
  std::uint64_t restarts_ = 0;
};

// The two devices' clocks as the drift compensator wants them: the deviation of the
// capture side's output frames per playback frame from 1 (1e-6 = 1 ppm), trusted once both
// estimates are within errorLimit.
struct ClockPair {
  ClockEstimator capture;   // counts input samples
  ClockEstimator playback;  // counts output frames
  double errorLimit = 2e-6;
  int minPoints = 8;
  double plausible = 2000e-6;  // no pair of sound devices is further apart: a wrong line
  bool enough() const {
    return capture.points() >= minPoints && playback.points() >= minPoints && std::abs(deviation()) < plausible;
  }
  bool valid() const {
    return enough() && capture.relativeError() <= errorLimit && playback.relativeError() <= errorLimit;
  }
  double deviation() const {
    return (capture.rate() / capture.nominalRate()) / (playback.rate() / playback.nominalRate()) - 1.0;
  }
};

}  // namespace dsp
