#include "dsp/drift_controller.hpp"

#include <algorithm>
#include <cmath>

namespace dsp {

DriftController::DriftController(const DriftTuning& tuning)
    : tuning_(tuning),
      // The level moves as d(level)/dt = drift - deviation; with a PI on the level error the
      // loop is s^2 + Kp s + Ki, so these gains give the chosen frequency and damping.
      proportionalGain_(2.0 * tuning.damping * tuning.naturalFrequency),
      integralGain_(tuning.naturalFrequency * tuning.naturalFrequency) {}

void DriftController::reset(double targetLevel) {
  target_ = targetLevel;
  integral_ = 0.0;
  deviation_ = 0.0;
  smoothed_ = targetLevel;
  lock();
}

void DriftController::restartLevel() {
  smoothed_ = target_;
  lockedLevel_ = target_;
  stateSeconds_ = 0.0;
  quietSeconds_ = 0.0;
}

void DriftController::lock() {
  state_ = State::Locked;
  integral_ = 0.0;
  deviation_ = 0.0;
  lockedLevel_ = smoothed_;
  stateSeconds_ = 0.0;
  quietSeconds_ = 0.0;
}

void DriftController::update(double averageLevel, double seconds) {
  if (!(seconds > 0.0)) return;
  smoothed_ += (averageLevel - smoothed_) * (1.0 - std::exp(-seconds / tuning_.smoothingSeconds));
  stateSeconds_ += seconds;
  const double limit = tuning_.maxDeviation;

  if (state_ == State::Locked) {
    const double moved = smoothed_ - lockedLevel_;
    if (std::abs(moved) <= tuning_.unlockBand) return;
    // The level has walked away at the clocks' difference; its slope since locking (the
    // low-pass delays a ramp by smoothingSeconds) starts the drift estimate.
    const double span = std::max(stateSeconds_ - tuning_.smoothingSeconds, tuning_.smoothingSeconds);
    integral_ = std::clamp(moved / span, -limit, limit);
    state_ = State::Tracking;
    stateSeconds_ = 0.0;
    quietSeconds_ = 0.0;
  }
  if (state_ != State::Tracking) return;

  const double error = smoothed_ - target_;
  integral_ = std::clamp(integral_ + integralGain_ * error * seconds, -limit, limit);
  const double wanted = std::clamp(proportionalGain_ * error + integral_, -limit, limit);
  const double slew = tuning_.maxSlewPerSecond * seconds;
  deviation_ += std::clamp(wanted - deviation_, -slew, slew);

  const bool quiet = std::abs(error) < tuning_.lockBand && std::abs(deviation_) < tuning_.lockDeviation &&
                     std::abs(integral_) < tuning_.lockDeviation;
  quietSeconds_ = quiet ? quietSeconds_ + seconds : 0.0;
  if (quietSeconds_ >= tuning_.lockHoldSeconds) {
    state_ = State::Gliding;
    deviation_ = 0.0;
    stateSeconds_ = 0.0;
  }
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
