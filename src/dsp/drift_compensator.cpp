#include "dsp/drift_compensator.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dsp {

DriftCompensator::DriftCompensator(const DriftTuning& tuning) : controller_(tuning), tuning_(tuning) {}

void DriftCompensator::configure(const DriftSetup& setup) {
  if (setup.outputRate <= 0 || setup.maxPushFrames == 0 || setup.maxPullFrames == 0 || setup.marginSeconds < 0.0)
    throw std::invalid_argument("DriftCompensator: empty stream set-up");
  setup_ = setup;
  rate_ = setup.outputRate;
  const double push = static_cast<double>(setup.maxPushFrames);
  const double pull = static_cast<double>(setup.maxPullFrames);
  // Between the two sawtooths of pushes and pulls the level dips (push + pull) / 2 below its
  // average at worst; the margin covers buffers handled late and the loop's own error.
  targetFrames_ = (push + pull) / 2.0 + setup.marginSeconds * rate_;
  startLimit_ = static_cast<std::size_t>(std::ceil(targetFrames_ + push + pull));
  fifo_.setCapacity(2 * startLimit_);
  const double maxRatio = 1.0 + std::max(tuning_.maxDeviation, tuning_.glideDeviation);
  resampler_.setMaxBlock(setup.maxPullFrames, maxRatio);
  scratch_.assign(SampleFifo::kChannels * static_cast<size_t>(std::ceil(3.0 + pull * maxRatio)), 0);
  reset();
}

void DriftCompensator::reset() {
  fifo_.clear();
  resampler_.reset();
  controller_.reset(targetFrames_ / rate_);
  starting_ = true;
  anyPush_ = false;
  anyPull_ = false;
  lastPushFrames_ = 0;
  levelArea_ = 0.0;
  ratio_ = 1.0;
}

void DriftCompensator::integrateLevel(double now) {
  if (now > lastEventTime_) {
    levelArea_ += static_cast<double>(fifo_.size()) * (now - lastEventTime_);
    lastEventTime_ = now;
  }
}

void DriftCompensator::push(const Sample* interleaved, std::size_t frames, double now) {
  anyPush_ = true;
  lastPushTime_ = now;
  lastPushFrames_ = frames;
  if (starting_) {
    // Nothing has been played from the queue yet: frames beyond what the start needs are
    // let go from the old end, which only moves the start of the stream.
    if (frames > startLimit_) {
      interleaved += (frames - startLimit_) * SampleFifo::kChannels;
      frames = startLimit_;
    }
    if (fifo_.size() + frames > startLimit_) fifo_.discard(fifo_.size() + frames - startLimit_);
    fifo_.push(interleaved, frames);
    return;
  }
  integrateLevel(now);
  const std::uint64_t overflowsBefore = fifo_.overflows();
  fifo_.push(interleaved, frames);
  if (fifo_.overflows() != overflowsBefore) {
    // Playback has stalled far beyond the margin: keep the newest frames at the target level.
    const auto target = static_cast<std::size_t>(targetFrames_);
    if (fifo_.size() > target) fifo_.discard(fifo_.size() - target);
    controller_.restartLevel();
    levelArea_ = 0.0;
    levelSince_ = now;
  }
}

double DriftCompensator::startingSilence(std::size_t frames, double now) const {
  // Average level = queued frames, less where the last push stands in its own sawtooth
  // (half a push above its mean just after it, falling at the stream's rate), plus half of
  // the pull now starting (its frames leave at once but play for a whole buffer).
  const double halfPush = static_cast<double>(lastPushFrames_) / 2.0;
  const double pushSawtooth = std::clamp(halfPush - (now - lastPushTime_) * rate_, -halfPush, halfPush);
  return targetFrames_ + pushSawtooth + static_cast<double>(frames) / 2.0 - static_cast<double>(fifo_.size());
}

void DriftCompensator::pull(Sample* interleaved, std::size_t frames, double now) {
  const bool paced = anyPull_ && now - lastPullTime_ >= 0.5 * static_cast<double>(frames) / rate_;
  anyPull_ = true;
  lastPullTime_ = now;

  if (!starting_) {
    integrateLevel(now);
    if (now > levelSince_) {
      controller_.update(levelArea_ / (now - levelSince_) / rate_, now - levelSince_);
      levelArea_ = 0.0;
      levelSince_ = now;
    }
    resample(interleaved, frames);
    return;
  }

  // Starting: a pull in a burst (the device queueing its first buffers at once) does not
  // show the pace of playback, so only a paced pull may start the stream.
  double silence = paced && anyPush_ ? startingSilence(frames, now) : static_cast<double>(frames);
  if (silence >= static_cast<double>(frames)) {
    std::fill(interleaved, interleaved + frames * SampleFifo::kChannels, Sample{0});
    return;
  }
  if (silence < 0.0) {
    fifo_.discard(static_cast<std::size_t>(std::lround(-silence)));
    silence = 0.0;
  }
  const auto lead = static_cast<std::size_t>(std::lround(silence));
  std::fill(interleaved, interleaved + lead * SampleFifo::kChannels, Sample{0});
  resampler_.reset();
  controller_.restartLevel();
  starting_ = false;
  levelArea_ = 0.0;
  levelSince_ = now;
  lastEventTime_ = now;
  resample(interleaved + lead * SampleFifo::kChannels, frames - lead);
}

void DriftCompensator::resample(Sample* out, std::size_t frames) {
  std::size_t done = 0;
  while (done < frames) {
    const std::size_t block = std::min(frames - done, setup_.maxPullFrames);
    const DriftController::Step step = controller_.next(block, resampler_.phase());
    const std::size_t needed = resampler_.inputFramesFor(block, step.ratio);
    const std::size_t real = fifo_.pop(scratch_.data(), needed);
    resampler_.process(scratch_.data(), out + done * SampleFifo::kChannels, block, step.ratio);
    if (step.landsOnSample) resampler_.snapToSample();
    ratio_ = step.ratio;
    done += block;
    if (real < needed) {
      // Ran dry (counted by the queue): the rest is silence until the queue is refilled.
      std::fill(out + done * SampleFifo::kChannels, out + frames * SampleFifo::kChannels, Sample{0});
      starting_ = true;
      return;
    }
  }
}

}  // namespace dsp
