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
//
// A device's count can jump against its clock without any drift: a playback stream that
// is flushed (frames counted that never play), a server that starts rendering further
// ahead. Such a jump starts a new segment of the line: every segment keeps its own offset
// and all of them share the slope, so what was measured before the jump still counts. A
// jump is either told (discontinuity()) or seen: a few points in a row off the line by more
// than the gate, on one side and in line with each other.
class ClockEstimator {
 public:
  struct Tuning {
    double binSeconds = 1.0;         // one point per this long
    double settleSeconds = 8.0;      // after a (re)start the servers' buffers still fill, which
                                     // moves buffers by milliseconds without any drift: not taken
    double gateSeconds = 0.002;      // a point this far above the line is late: left out
    double restartSeconds = 10.0;    // no point taken for this long (a device stopped): start over
    int stepPoints = 3;              // points in a row off the line that make a jump ...
    double trustedPoints = 8.0;      // ... once the line has this many behind it
    double jumpSettleSeconds = 2.0;  // after a told jump the device's buffers refill this long
  };

  ClockEstimator() = default;
  explicit ClockEstimator(const Tuning& tuning) : tuning_(tuning) {}

  // Forgets everything; the rate is `nominalRate` frames per second until measured.
  void reset(double nominalRate);
  // `frames` moved, the last of them at `time` (seconds).
  void update(std::uint64_t frames, double time);
  // The count jumps here against the clock (the device was flushed or restarted): the next
  // points start a new segment, after the device has had time to refill.
  void discontinuity();

  double rate() const { return rate_; }
  double nominalRate() const { return nominal_; }
  // Standard error of rate() as a fraction of it (1 until there are four points).
  double relativeError() const { return relativeError_; }
  double runSeconds() const { return lastTime_ - anchorTime_; }
  std::uint64_t restarts() const { return restarts_; }
  int points() const { return static_cast<int>(closedN_ + n_); }

 private:
  void startAt(double time);
  void take(double x, double y);
  void add(double x, double y);
  void newSegment();
  void clearLine();
  void fit();

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
  // Sums over the current segment's points: x frames since the anchor, y seconds since the
  // anchor; and the centred sums of the segments before it.
  double n_ = 0.0, sx_ = 0.0, sy_ = 0.0, sxx_ = 0.0, sxy_ = 0.0;
  double closedN_ = 0.0, closedSxx_ = 0.0, closedSxy_ = 0.0;
  // Points off the line, held until they prove a jump or the next good point shows them
  // late (dropped) or early (taken: a buffer is never early, so the line was late there).
  static constexpr int kMaxPending = 8;
  double pendingX_[kMaxPending] = {}, pendingY_[kMaxPending] = {}, pendingResidual_[kMaxPending] = {};
  int pending_ = 0;
  bool jumpTold_ = false;
  double ignoreUntil_ = 0.0;  // y before which points are not taken (after a told jump)
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
  // Apart beyond doubt, before the estimates are as fine as valid() asks: far more than
  // their errors and than any pair of clocks that agree.
  bool clearlyApart(double beyond) const {
    return enough() &&
           std::abs(deviation()) > beyond + 3.0 * std::hypot(capture.relativeError(), playback.relativeError());
  }
  double deviation() const {
    return (capture.rate() / capture.nominalRate()) / (playback.rate() / playback.nominalRate()) - 1.0;
  }
};

}  // namespace dsp
