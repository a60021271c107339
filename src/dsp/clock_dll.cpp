#include "dsp/clock_dll.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dsp {

void ClockDll::reset(double nominalRate) {
  nominal_ = nominalRate > 0.0 ? nominalRate : 1.0;
  secondsPerFrame_ = 1.0 / nominal_;
  running_ = false;
  elapsed_ = 0.0;
}

void ClockDll::update(std::uint64_t frames, double time) {
  if (frames == 0) return;
  const auto n = static_cast<double>(frames);
  if (!running_) {
    running_ = true;
    predicted_ = time;
    start_ = time;
    elapsed_ = 0.0;
    return;
  }
  const double error = time - (predicted_ + n * secondsPerFrame_);
  if (std::abs(error) > 1.0) {
    // Not jitter: the device stopped or the clock jumped. The rate learnt stays.
    ++restarts_;
    predicted_ = time;
    start_ = time;
    elapsed_ = 0.0;
    return;
  }
  elapsed_ = time - start_;
  const double bandwidth = std::clamp(tuning_.startHz * tuning_.narrowSeconds / std::max(elapsed_, 1e-9),
                                      tuning_.settledHz, tuning_.startHz);
  // Loop gains per buffer for a critically damped second-order loop of that bandwidth.
  const double omega = std::min(2.0 * std::numbers::pi * bandwidth * n * secondsPerFrame_, 0.5);
  predicted_ += n * secondsPerFrame_ + std::numbers::sqrt2 * omega * error;
  secondsPerFrame_ += omega * omega * error / n;
}

}  // namespace dsp
