#include "dsp/clock_estimator.hpp"

#include <algorithm>
#include <cmath>

namespace dsp {

void ClockEstimator::reset(double nominalRate) {
  nominal_ = nominalRate > 0.0 ? nominalRate : 1.0;
  rate_ = nominal_;
  relativeError_ = 1.0;
  running_ = false;
}

void ClockEstimator::startAt(double time) {
  running_ = true;
  anchorTime_ = lastTime_ = time;
  frames_ = 0.0;
  binEnd_ = tuning_.binSeconds;
  binEmpty_ = true;
  lastTakenY_ = 0.0;
  n_ = sx_ = sy_ = sxx_ = sxy_ = 0.0;
  closedN_ = closedSxx_ = closedSxy_ = 0.0;
  pending_ = 0;
  jumpTold_ = false;
  ignoreUntil_ = 0.0;
  residualSquares_ = 0.0;
  slope_ = 1.0 / rate_;  // what was learnt stays the guess
  intercept_ = 0.0;
  relativeError_ = 1.0;
}

void ClockEstimator::discontinuity() {
  if (running_) jumpTold_ = true;
}

void ClockEstimator::update(std::uint64_t frames, double time) {
  if (frames == 0) return;
  if (!running_) {
    startAt(time);  // the first buffer's end anchors the count
    return;
  }
  if (jumpTold_) {
    // The bin so far mixes both sides of the jump: it starts afresh after the refill.
    jumpTold_ = false;
    ignoreUntil_ = time - anchorTime_ + tuning_.jumpSettleSeconds;
    binEmpty_ = true;
    binEnd_ = ignoreUntil_;
    pending_ = 0;
    if (n_ > 0.0) newSegment();
  }
  frames_ += static_cast<double>(frames);
  lastTime_ = time;
  const double x = frames_;
  const double y = time - anchorTime_;
  if (y < ignoreUntil_) return;
  const double offset = y - x / nominal_;
  if (binEmpty_ || offset < binOffset_) {
    binEmpty_ = false;
    binOffset_ = offset;
    binX_ = x;
    binY_ = y;
  }
  if (y < binEnd_) return;
  binEnd_ = y + tuning_.binSeconds;
  binEmpty_ = true;
  take(binX_, binY_);
}

void ClockEstimator::take(double x, double y) {
  if (y < tuning_.settleSeconds) return;
  if (closedN_ + n_ >= 3.0 && n_ >= 1.0) {
    const double residual = y - (intercept_ + slope_ * x);
    // Until the line has a few seconds behind it, its own error may be what puts points off
    // it: an early point, or a few late ones in a row, start it again from there.
    const bool settled = closedN_ + n_ >= tuning_.trustedPoints;
    if (std::abs(residual) > tuning_.gateSeconds) {
      if (y - lastTakenY_ > tuning_.restartSeconds) {
        ++restarts_;  // stopped for long, or the line was wrong: start over from here
        startAt(anchorTime_ + y);
        return;
      }
      if (!settled && residual < 0.0) {
        clearLine();
        add(x, y);
        return;
      }
      if (pending_ > 0 && (residual > 0.0) != (pendingResidual_[0] > 0.0)) pending_ = 0;
      if (pending_ < kMaxPending) {
        pendingX_[pending_] = x;
        pendingY_[pending_] = y;
        pendingResidual_[pending_] = residual;
        ++pending_;
      }
      const auto [low, high] = std::minmax_element(pendingResidual_, pendingResidual_ + pending_);
      if (pending_ >= tuning_.stepPoints && (!settled || *high - *low <= tuning_.gateSeconds)) {
        // A jump: the held points begin the new segment (or, early on, the new line).
        if (settled) {
          newSegment();
        } else {
          clearLine();
        }
        const int held = pending_;
        pending_ = 0;
        for (int i = 0; i < held; ++i) add(pendingX_[i], pendingY_[i]);
      }
      return;
    }
    // A good point: held early points were the line's fault, held late ones were late.
    for (int i = 0; i < pending_; ++i)
      if (pendingResidual_[i] < 0.0) add(pendingX_[i], pendingY_[i]);
    pending_ = 0;
    residualSquares_ += (residual * residual - residualSquares_) / std::min(closedN_ + n_, 100.0);
  }
  add(x, y);
}

void ClockEstimator::clearLine() {
  n_ = sx_ = sy_ = sxx_ = sxy_ = 0.0;
  closedN_ = closedSxx_ = closedSxy_ = 0.0;
  pending_ = 0;
}

void ClockEstimator::newSegment() {
  if (n_ > 0.0) {
    closedN_ += n_;
    closedSxx_ += sxx_ - sx_ * sx_ / n_;
    closedSxy_ += sxy_ - sx_ * sy_ / n_;
  }
  n_ = sx_ = sy_ = sxx_ = sxy_ = 0.0;
}

void ClockEstimator::add(double x, double y) {
  lastTakenY_ = y;
  n_ += 1.0;
  sx_ += x;
  sy_ += y;
  sxx_ += x * x;
  sxy_ += x * y;
  fit();
}

void ClockEstimator::fit() {
  const double spread = closedSxx_ + (sxx_ - sx_ * sx_ / n_);  // n times the variance of x, per segment
  if (closedN_ + n_ < 2.0 || spread <= 0.0) {
    if (n_ >= 1.0) intercept_ = (sy_ - slope_ * sx_) / n_;
    return;
  }
  const double slope = (closedSxy_ + (sxy_ - sx_ * sy_ / n_)) / spread;
  if (slope <= 0.0) return;
  slope_ = slope;
  intercept_ = (sy_ - slope_ * sx_) / n_;
  rate_ = 1.0 / slope_;
  // At least 50 us of scatter: a run of perfect timestamps still says how far it can be trusted.
  if (closedN_ + n_ >= 4.0) relativeError_ = std::sqrt(std::max(residualSquares_, 2.5e-9) / spread) / slope_;
}

}  // namespace dsp
