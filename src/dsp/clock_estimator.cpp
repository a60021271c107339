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
  residualSquares_ = 0.0;
  slope_ = 1.0 / rate_;  // what was learnt stays the guess
  intercept_ = 0.0;
  relativeError_ = 1.0;
}

void ClockEstimator::update(std::uint64_t frames, double time) {
  if (frames == 0) return;
  if (!running_) {
    startAt(time);  // the first buffer's end anchors the count
    return;
  }
  frames_ += static_cast<double>(frames);
  lastTime_ = time;
  const double x = frames_;
  const double y = time - anchorTime_;
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
  if (n_ >= 3.0) {
    const double residual = y - (intercept_ + slope_ * x);
    if (residual > tuning_.gateSeconds && y - lastTakenY_ > tuning_.restartSeconds) {
      ++restarts_;  // stopped for long, or the line was wrong: start over from here
      startAt(anchorTime_ + y);
      return;
    }
    if (residual > tuning_.gateSeconds) return;  // the whole second was late
    residualSquares_ += (residual * residual - residualSquares_) / std::min(n_, 100.0);
  }
  lastTakenY_ = y;
  n_ += 1.0;
  sx_ += x;
  sy_ += y;
  sxx_ += x * x;
  sxy_ += x * y;
  const double spread = sxx_ - sx_ * sx_ / n_;  // n times the variance of x
  if (n_ < 2.0 || spread <= 0.0) return;
  slope_ = (sxy_ - sx_ * sy_ / n_) / spread;
  intercept_ = (sy_ - slope_ * sx_) / n_;
  if (slope_ <= 0.0) return;
  rate_ = 1.0 / slope_;
  // At least 50 us of scatter: a run of perfect timestamps still says how far it can be trusted.
  if (n_ >= 4.0) relativeError_ = std::sqrt(std::max(residualSquares_, 2.5e-9) / spread) / slope_;
}

}  // namespace dsp
