#include "dsp/drift_controller.hpp"

#include <algorithm>
#include <cmath>

namespace dsp {

void DriftController::LowPass::reset(double value) { first = second = value; }

void DriftController::LowPass::update(double value, double seconds, double timeConstant) {
  const double weight = 1.0 - std::exp(-seconds / (timeConstant / 2.0));
  first += (value - first) * weight;
  second += (first - second) * weight;
}

DriftController::DriftController(const DriftTuning& tuning) : tuning_(tuning) {}

void DriftController::reset(double targetLevel, double bufferSeconds) {
  target_ = targetLevel;
  minSmoothing_ = tuning_.buffersPerSmoothing * bufferSeconds;
  integral_ = 0.0;
  deviation_ = 0.0;
  slewRate_ = 0.0;
  clockValid_ = false;
  smoothed_.reset(targetLevel);
  watched_.reset(targetLevel);
  lock();
  restartLevel();
}

void DriftController::setBufferSeconds(double bufferSeconds) {
  minSmoothing_ = std::max(minSmoothing_, tuning_.buffersPerSmoothing * bufferSeconds);
}

void DriftController::restartLevel() {
  smoothed_.reset(target_);
  watched_.reset(target_);
  lockedLevel_ = target_;
  stateSeconds_ = 0.0;
  quietSeconds_ = 0.0;
  levelSeconds_ = 0.0;
}

void DriftController::moveTarget(double seconds) {
  target_ += seconds;
  if (state_ != State::Locked) lockedLevel_ += seconds;
}

void DriftController::lock() {
  state_ = State::Locked;
  rereference_ = false;
  integral_ = 0.0;
  deviation_ = 0.0;
  slewRate_ = 0.0;
  lockedLevel_ = watched_.second;
  stateSeconds_ = 0.0;
  quietSeconds_ = 0.0;
}

void DriftController::update(double averageLevel, double seconds) {
  if (!(seconds > 0.0)) return;
  const double frequency = tuning_.settledFrequency + (tuning_.acquireFrequency - tuning_.settledFrequency) *
                                                          std::exp(-stateSeconds_ / tuning_.acquireSeconds);
  const double smoothingSeconds = std::max(tuning_.smoothingPerFrequency / frequency, minSmoothing_);
  smoothed_.update(averageLevel, seconds, smoothingSeconds);
  watched_.update(averageLevel, seconds, std::max(tuning_.watchSeconds, minSmoothing_));
  stateSeconds_ += seconds;
  levelSeconds_ += seconds;
  const double limit = clockValid_ ? tuning_.maxDeviation : std::min(tuning_.maxDeviation, tuning_.levelLimit);

  if (state_ == State::Locked && levelSeconds_ < tuning_.settleSeconds) {
    // The servers' buffers between the two devices fill in the first seconds, which moves
    // the level by a few milliseconds without any drift: the reference moves with it.
    lockedLevel_ = watched_.second;
    stateSeconds_ = 0.0;
    return;
  }
  if (state_ == State::Locked) {
    if (!clockValid_ && tuning_.levelLimit <= 0.0) return;
    const double moved = watched_.second - lockedLevel_;
    const bool clocksApart = clockValid_ && std::abs(clock_) > tuning_.clockUnlockDeviation;
    if (std::abs(moved) <= tuning_.unlockBand && !clocksApart) return;
    // The level has walked away at the clocks' difference; its slope since locking starts
    // the drift estimate (the reference and the low-pass lag a ramp alike). Over a short
    // span the slope is mostly the level's noise, so it counts for less.
    const double span = std::max(stateSeconds_, 2.0 * std::max(tuning_.watchSeconds, minSmoothing_));
    integral_ = clocksApart ? clock_ : std::clamp(moved / span, -limit, limit);
    rereference_ = clocksApart;
    smoothed_ = watched_;  // the slower low-pass still lags the walk
    state_ = State::Tracking;
    stateSeconds_ = 0.0;
    quietSeconds_ = 0.0;
  }
  if (state_ != State::Tracking) return;

  if (clockValid_) {
    // The clocks say what the ratio is; the level, smoothed, only trims what the measurement
    // leaves over (its own small error), and only once it has left the dead band around
    // where it stood when the clocks parted.
    const double error = smoothed_.second - lockedLevel_;
    const double beyond =
        std::abs(error) > tuning_.trimDeadBand ? error - std::copysign(tuning_.trimDeadBand, error) : 0.0;
    // Proportional only: the measurement leaves no lasting error to integrate, and an
    // integral would keep its last value inside the dead band and walk the level out of
    // the band's other side.
    const double trim = std::clamp(2.0 * tuning_.trimFrequency * beyond, -tuning_.trimLimit, tuning_.trimLimit);
    integral_ = clock_;
    const double wanted = std::clamp(clock_ + trim, -limit, limit);
    slewTo(wanted, seconds);
    if (rereference_ && std::abs(wanted - deviation_) < tuning_.lockDeviation) {
      // The ratio has reached the clocks. What the level walked before they were known to
      // differ is not worth a trim as long as it stays within the dead band of where it
      // stood: the reference follows it that far.
      rereference_ = false;
      lockedLevel_ += std::clamp(watched_.second - lockedLevel_, -tuning_.trimDeadBand, tuning_.trimDeadBand);
    }
    const bool quiet = std::abs(error) < tuning_.lockBand && std::abs(clock_) < tuning_.lockDeviation &&
                       std::abs(deviation_) < 2.0 * tuning_.lockDeviation;
    quietSeconds_ = quiet ? quietSeconds_ + seconds : 0.0;
    if (quietSeconds_ >= tuning_.lockHoldSeconds) {
      state_ = State::Gliding;
      deviation_ = slewRate_ = 0.0;
      stateSeconds_ = 0.0;
    }
    return;
  }

  // The level moves as d(level)/dt = drift - deviation; with a PI on the level error the loop
  // is s^2 + Kp s + Ki, so these gains give the frequency and damping wanted.
  const double error = smoothed_.second - target_;
  const double proportionalGain = 2.0 * tuning_.damping * frequency;
  const double integralGain = frequency * frequency;
  integral_ = std::clamp(integral_ + integralGain * error * seconds, -limit, limit);
  const double wanted = std::clamp(proportionalGain * error + integral_, -limit, limit);
  slewTo(wanted, seconds);

  const bool quiet = std::abs(error) < tuning_.lockBand && std::abs(deviation_) < tuning_.lockDeviation &&
                     std::abs(integral_) < tuning_.lockDeviation;
  quietSeconds_ = quiet ? quietSeconds_ + seconds : 0.0;
  if (quietSeconds_ >= tuning_.lockHoldSeconds) {
    state_ = State::Gliding;
    deviation_ = slewRate_ = 0.0;
    stateSeconds_ = 0.0;
  }
}

// The rate of change follows what would close the gap in slewSeconds, within
// maxSlewPerSecond, and itself changes at most by that limit per slewRampSeconds: the
// ratio bends into and out of each move instead of breaking (a break is a phase step in
// the tone).
void DriftController::slewTo(double wanted, double seconds) {
  const double most = tuning_.maxSlewPerSecond;
  const double desired = std::clamp((wanted - deviation_) / tuning_.slewSeconds, -most, most);
  const double change = most / tuning_.slewRampSeconds * seconds;
  slewRate_ += std::clamp(desired - slewRate_, -change, change);
  deviation_ = std::clamp(deviation_ + slewRate_ * seconds, -tuning_.maxDeviation, tuning_.maxDeviation);
}

DriftController::Step DriftController::next(std::size_t frames, double phase) {
  Step step;
  if (state_ == State::Tracking) {
    step.ratio = 1.0 + deviation_;
  } else if (state_ == State::Gliding && frames > 0) {
    // Input frames to take beyond one per output frame to reach the nearest whole sample.
    const double distance = phase >= 0.5 ? 1.0 - phase : -phase;
    const double reach = tuning_.glideDeviation * static_cast<double>(frames);
    if (std::abs(distance) <= reach) {
      step.ratio = 1.0 + distance / static_cast<double>(frames);
      step.landsOnSample = true;
      lock();
    } else {
      step.ratio = 1.0 + std::copysign(tuning_.glideDeviation, distance);
    }
  }
  return step;
}

}  // namespace dsp
