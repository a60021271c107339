#include "dsp/drift_compensator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace dsp {

namespace {
constexpr std::size_t kChannels = SampleFifo::kChannels;

void silence(Sample* out, std::size_t frames) { std::fill(out, out + frames * kChannels, Sample{0}); }

// The level's running means span a few seconds: the two devices' rhythms slide past each
// other far slower (one buffer in a minute at 200 ppm), and single late buffers weigh little.
constexpr double kEdgeSeconds = 2.0;
// A gap (a stall, a refill) weighs as one ordinary step, not as the whole history.
constexpr double kLongestEdgeStep = 0.05;
// After a break the level is judged over windows this long (at least eight buffers), and
// at most this many of them.
constexpr double kShortestRecoveryWindow = 0.25;
constexpr int kRecoveryWindows = 4;
// A step of the level must stand this many windows (a second) to be a break: a playback
// worker that comes late and then catches up makes one or two.
constexpr int kStepWindows = 4;
// The reserve a loaded machine earns: when capture comes late enough to run the queue dry,
// the silence played until it is back is kept as delay (its backlog is not let go), so the
// same stall again passes unheard; up to a bound, and a stall longer than that (a suspended
// source) teaches nothing. A stalled playback needs no deeper queue. After some minutes
// without a break the reserve is given back at a pace the level's trim follows within a few
// ppm (a quarter second takes about a day), never by a jump.
constexpr double kMostReserveSeconds = 0.250;
constexpr double kReserveHoldSeconds = 300.0;
constexpr double kReserveReturnPerSecond = 2e-6;
}  // namespace

DriftCompensator::DriftCompensator(const DriftTuning& tuning) : controller_(tuning), tuning_(tuning) {}

void DriftCompensator::RunningMean::add(double level, double now) {
  const double step = std::clamp(now - time, 0.0, kLongestEdgeStep);
  value += (level - value) * (1.0 - std::exp(-step / kEdgeSeconds));
  time = now;
}

void DriftCompensator::resetEdges(double now) {
  pullEdge_.reset(targetFrames_ + static_cast<double>(setup_.maxPullFrames) / 2.0, now);
  meanLevel_.reset(targetFrames_, now);
  retrim_ = false;
  watch_ = {};
}

double DriftCompensator::requestLevel() const {
  return targetFrames_ + std::clamp(pullEdge_.value - meanLevel_.value, 0.0, targetFrames_);
}

void DriftCompensator::request(double now) {
  if (retrim_) {
    retrim_ = false;
    const double excess = level() - requestLevel();
    if (excess >= 1.0) fifo_.discard(static_cast<std::size_t>(excess));
  }
  pullEdge_.add(level(), now);
}

void DriftCompensator::playbackSkipped(double now) {
  if (starting_ || refilling_) return;  // silence is what plays anyway
  breakBegins(BreakKind::Underrun, now);
  // Playback may still stand still: the next pull's level holds that time (the queue filling
  // while nothing was taken, about to be taken in a burst), so the windows start after it.
  beginRecovery(true);
}

bool DriftCompensator::breakBegins(BreakKind kind, double now) {
  padded_ = false;
  lateFrames_ = 0.0;
  if (!breaks_.note(kind, now)) return false;
  lastBreakTime_ = now;
  return true;
}

void DriftCompensator::setTarget(double measured) {
  const double before = targetFrames_;
  measuredTarget_ = measured;
  targetFrames_ = measured + reserveFrames_;
  const double sawtooth = static_cast<double>(setup_.maxPushFrames + setup_.maxPullFrames);
  limitFrames_ = std::min(fifo_.capacity(), 2 * static_cast<std::size_t>(std::ceil(targetFrames_ + sawtooth)));
  controller_.moveTarget((targetFrames_ - before) / rate_);
}

double DriftCompensator::growReserve(double frames) {
  const double before = reserveFrames_;
  reserveFrames_ = std::min(reserveFrames_ + std::max(frames, 0.0), std::max(before, kMostReserveSeconds * rate_));
  setTarget(measuredTarget_);
  return reserveFrames_ - before;
}

double DriftCompensator::keepBacklog(double surplus) {
  const double kept = growReserve(std::min(surplus, lateFrames_));
  lateFrames_ -= kept;
  return kept;
}

void DriftCompensator::shrinkReserve(double seconds, double now) {
  if (reserveFrames_ <= 0.0 || now - lastBreakTime_ < kReserveHoldSeconds ||
      controller_.state() == DriftController::State::Locked)
    return;
  reserveFrames_ = std::max(0.0, reserveFrames_ - kReserveReturnPerSecond * seconds * rate_);
  setTarget(measuredTarget_);
}

void DriftCompensator::beginRecovery(bool fromNextPull) {
  recovering_ = true;
  firstLookAfterRefill_ = false;
  watch_ = {};
  recoveryArea_ = recoverySeconds_ = 0.0;
  recoveryWindows_ = 0;
  skipPull_ = fromNextPull;
}

// A stalled device hands over its backlog after the queue has refilled (a capture buffer
// late by 60 ms arrives with the five behind it), or a playback device plays silence of its
// own while its buffers wait: either puts the level that much above target for good, and
// the trim would pull the ratio off the clocks for minutes to drain it. What the first
// windows after the break show beyond the trim's dead band is let go at once instead: a
// second, smaller jump, part of the break within its aftermath and a break of its own after.
void DriftCompensator::checkRecovery(double area, double seconds, std::size_t frames, double now) {
  if (skipPull_) {
    skipPull_ = false;
    return;
  }
  recoveryArea_ += area;
  recoverySeconds_ += seconds;
  if (recoverySeconds_ < recoveryWindow_) return;
  double surplus = recoveryArea_ / recoverySeconds_ - targetFrames_;
  recoveryArea_ = recoverySeconds_ = 0.0;
  // Late capture's backlog: as much of it as capture came late is kept as reserve, and the
  // level is watched on while it may still be coming in.
  const double kept = keepBacklog(surplus);
  surplus -= kept;
  // The first look after a refill: a surplus within a capture buffer is the refill's aim
  // falling on the wrong side of a buffer's arrival (the two rhythms in step, the requests
  // finding it now before, now after). It stays as delay rather than a second jump.
  const double band = tuning_.trimDeadBand * rate_;
  if (std::exchange(firstLookAfterRefill_, false) && surplus > band &&
      surplus <= static_cast<double>(setup_.maxPushFrames) + band)
    surplus -= growReserve(surplus);
  const double most = level() - static_cast<double>(frames);  // this pull still finds its frames
  if (surplus > band && most >= 1.0) {
    fifo_.discard(static_cast<std::size_t>(std::min(surplus, most)));
    breaks_.note(BreakKind::Overflow, now);
    controller_.restartLevel();
  } else if (-surplus > band && reserveFrames_ >= -surplus) {
    // Short by no more than the reserve holds: the margin is still there, the delay that
    // much shorter; the reserve gives it up rather than a second jump.
    reserveFrames_ += surplus;
    setTarget(measuredTarget_);
    controller_.restartLevel();
  } else if (-surplus > band && !padded_) {
    // Short instead: the playback device took more than it missed (its server filling its
    // own buffer again), and every request would wait for capture with no margin left, the
    // controller's reference settling there. Refilled once per break, the margin is back.
    padded_ = true;
    breaks_.note(BreakKind::Underrun, now);
    resampler_.reset();
    refilling_ = true;
    recovering_ = false;
    return;
  } else if (kept == 0.0) {
    recovering_ = false;
  }
  if (++recoveryWindows_ >= kRecoveryWindows) recovering_ = false;
}

// A sound server that mixes a cycle or more without this stream (a stall of the whole
// machine) plays silence and says nothing: the frames playback skipped stand in the queue for
// good, a step of its level above the target between breaks, where clock drift only moves it
// by fractions of a millisecond per window and a dip (late capture) comes back to it. Once
// the step has stood a second it is counted as the underrun it was and kept as reserve: no
// second jump, no ratio steered to drain it, and the stall's late captures pass unheard.
// What the reserve's bound leaves is let go.
void DriftCompensator::watchForStep(double area, double seconds, std::size_t frames, double now) {
  watch_.area += area;
  watch_.seconds += seconds;
  if (watch_.seconds < recoveryWindow_) return;
  const double mean = watch_.area / watch_.seconds - targetFrames_;
  watch_.area = watch_.seconds = 0.0;
  if (!watch_.haveBase) {
    watch_.base = mean;
    watch_.haveBase = true;
    return;
  }
  // The level rests anywhere in the trim's dead band: a step is judged from where it rested.
  const double band = tuning_.trimDeadBand * rate_;
  const double off = mean - watch_.base;
  if (off > band) {
    // The first window may hold only part of the step.
    watch_.step = watch_.windows == 0 ? std::numeric_limits<double>::infinity() : std::min(watch_.step, off);
    if (++watch_.windows < kStepWindows) return;
    watch_.windows = 0;
    breakBegins(BreakKind::Underrun, now);
    const double rest = watch_.step - growReserve(watch_.step);
    const double most = level() - static_cast<double>(frames);
    if (rest >= 1.0 && most >= 1.0) fifo_.discard(static_cast<std::size_t>(std::min(rest, most)));
    controller_.restartLevel();
    return;
  }
  watch_.windows = 0;  // a late burst that passed
  // A dip (capture late, its backlog on the way) comes back; one that stays is the new rest.
  if (off < -band && ++watch_.low < 2 * kStepWindows) return;
  watch_.low = 0;
  watch_.base += (mean - watch_.base) / 4.0;
}

void DriftCompensator::configure(const DriftSetup& setup) {
  if (setup.outputRate <= 0 || setup.maxPushFrames == 0 || setup.maxPullFrames == 0 || setup.marginSeconds < 0.0)
    throw std::invalid_argument("DriftCompensator: empty stream set-up");
  setup_ = setup;
  rate_ = setup.outputRate;
  breaks_.clear();
  const double push = static_cast<double>(setup.maxPushFrames);
  const double pull = static_cast<double>(setup.maxPullFrames);
  // Between the sawtooths of pushes and pulls the level dips (push + pull) / 2 below its
  // average at worst; the margin covers buffers handled late and the loop's own error.
  baseTarget_ = (push + pull) / 2.0 + setup.marginSeconds * rate_;
  // While starting, as much is kept as a long device buffer's swing may need.
  startLimit_ = static_cast<std::size_t>(std::ceil(baseTarget_ + push + pull + setup.longestBurstSeconds * rate_));
  fifo_.setCapacity(2 * startLimit_);
  // Long enough that the other side's part-buffers at the ends of the start's averaging
  // weigh little. When the longer buffer is a whole number of the shorter ones, the window
  // (whole buffers of the longer side) holds whole sawtooths of both, and eight suffice.
  pushRhythm_ = push > pull;
  const std::size_t longer = std::max(setup.maxPushFrames, setup.maxPullFrames);
  const bool whole = longer % std::min(setup.maxPushFrames, setup.maxPullFrames) == 0;
  startWindow_ = std::max(whole ? 0.0 : 1.0, 8.0 * static_cast<double>(longer) / rate_);
  recoveryWindow_ = std::max(kShortestRecoveryWindow, 8.0 * static_cast<double>(longer) / rate_);
  reserveFrames_ = 0.0;
  const double maxRatio = 1.0 + std::max(tuning_.maxDeviation, tuning_.glideDeviation);
  resampler_.setMaxBlock(setup.maxPullFrames, maxRatio);
  scratch_.assign(kChannels * static_cast<size_t>(std::ceil(3.0 + pull * maxRatio)), 0);
  reset();
}

void DriftCompensator::reset() {
  setTarget(baseTarget_);
  refilling_ = false;
  dry_ = false;
  lateFrames_ = 0.0;
  rephase_ = false;
  recovering_ = false;
  padded_ = false;
  owed_ = 0;
  fifo_.clear();
  resampler_.reset();
  breaks_.close();
  controller_.reset(targetFrames_ / rate_,
                    static_cast<double>(std::max(setup_.maxPushFrames, setup_.maxPullFrames)) / rate_);
  ratio_ = 1.0;
  anyPull_ = false;
  startAgain();
}

void DriftCompensator::restartPlayback(double now) {
  if (starting_) {
    reset();
    breaks_.note(BreakKind::Restart, now);
    return;
  }
  breakBegins(BreakKind::Restart, now);
  dry_ = false;
  fifo_.clear();
  resampler_.reset();
  owed_ = 0;
  refilling_ = true;
  rephase_ = true;
}

// A playback device started afresh asks at another phase of the capture's rhythm, so where
// its requests find the queue has yet to be learnt: from the time since the last push, the
// level at a request stands above the average by half a pull plus what is left of the
// pushes' sawtooth.
double DriftCompensator::rephasedRequestLevel(double now) const {
  const double pushSeconds = static_cast<double>(setup_.maxPushFrames) / rate_;
  const double phase = std::clamp((now - lastPushTime_) / pushSeconds, 0.0, 1.0);
  return targetFrames_ + static_cast<double>(setup_.maxPullFrames) / 2.0 +
         static_cast<double>(setup_.maxPushFrames) * (0.5 - phase);
}

void DriftCompensator::startAgain() {
  starting_ = true;
  playbackPaced_ = false;
  windowOpen_ = false;
  averageReady_ = false;
  virtualLevel_ = static_cast<double>(fifo_.size());
}

void DriftCompensator::integrateLevel(double level, double now) {
  if (now > lastEventTime_) {
    levelArea_ += level * (now - lastEventTime_);
    lastEventTime_ = now;
  }
}

void DriftCompensator::push(const Sample* interleaved, std::size_t frames, double now) {
  if (frames > 0) lastPushTime_ = now;
  if (starting_) {
    if (windowOpen_) integrateLevel(virtualLevel_, now);
    if (frames > 0 && pushRhythm_) rhythmEvent(now);
    // Nothing has been played from the queue yet: frames beyond what the start needs are let
    // go from the old end, which only moves the point of the input the stream starts at.
    if (frames > startLimit_) {
      interleaved += (frames - startLimit_) * kChannels;
      frames = startLimit_;
    }
    if (fifo_.size() + frames > startLimit_) fifo_.discard(fifo_.size() + frames - startLimit_);
    fifo_.push(interleaved, frames);
    virtualLevel_ += static_cast<double>(frames);
    if (windowOpen_ && !averageReady_) virtualHigh_ = std::max(virtualHigh_, virtualLevel_);
    return;
  }
  if (refilling_) {
    // Silence plays until the queue is back at its target: a playback device that stays
    // stalled meanwhile is part of the break counted, and what it misses would never be heard.
    fifo_.push(interleaved, frames);
    if (fifo_.size() > limitFrames_) fifo_.discard(fifo_.size() - static_cast<std::size_t>(std::ceil(targetFrames_)));
    return;
  }
  integrateLevel(level(), now);
  const bool over = fifo_.size() + frames > limitFrames_;  // the limit lies within the capacity
  fifo_.push(interleaved, frames);
  if (over) {
    breakBegins(BreakKind::Overflow, now);
    // Playback has stalled far beyond the margin: keep the newest frames, as many as the next
    // request should find (more pushes before it only add: it trims again).
    const auto target = static_cast<std::size_t>(requestLevel());
    if (fifo_.size() > target) fifo_.discard(fifo_.size() - target);
    retrim_ = true;
    controller_.restartLevel();
    levelArea_ = 0.0;
    levelSince_ = now;
    // The next pull's level still holds the time playback stood still (no pulls, the level at
    // the top of its sawtooth): the windows start after it.
    beginRecovery(true);
  }
}

void DriftCompensator::hold(std::size_t frames, double now) {
  if (starting_ || refilling_) return;
  integrateLevel(level(), now);
  request(now);
  owed_ += frames;
}

bool DriftCompensator::canPull(std::size_t frames) const {
  if (starting_ || refilling_) return true;
  // The ratio moves by a few ppm per second at most: the last one, with room for that.
  constexpr double kRatioHeadroom = 10e-6;
  return fifo_.size() >= resampler_.inputFramesFor(frames, ratio_ + kRatioHeadroom);
}

void DriftCompensator::pull(Sample* interleaved, std::size_t frames, double now) {
  const bool paced = anyPull_ && now - lastPullTime_ >= 0.5 * static_cast<double>(frames) / rate_;
  anyPull_ = true;
  lastPullTime_ = now;
  if (starting_ || refilling_) {
    owed_ -= std::min(owed_, frames);
    if (starting_) {
      start(interleaved, frames, now, paced);
    } else {
      refill(interleaved, frames, now);
    }
    if (!starting_ && !refilling_) breaks_.playing(now);
    return;
  }
  integrateLevel(level(), now);
  if (owed_ == 0) request(now);  // a held request was noted when it came
  owed_ -= std::min(owed_, frames);
  if (now > levelSince_) {
    meanLevel_.add(levelArea_ / (now - levelSince_), now);
    if (recovering_) {
      checkRecovery(levelArea_, now - levelSince_, frames, now);
    } else if (tuning_.countLevelSteps) {
      watchForStep(levelArea_, now - levelSince_, frames, now);
    }
    controller_.update(levelArea_ / (now - levelSince_) / rate_, now - levelSince_);
    shrinkReserve(now - levelSince_, now);
    levelArea_ = 0.0;
    levelSince_ = now;
  }
  if (refilling_) {
    refill(interleaved, frames, now);
  } else {
    resample(interleaved, frames, now);
  }
  if (!refilling_) breaks_.playing(now);
}

// Until the stream starts, each pull plays silence and takes its frames only from a virtual
// level, to which pushes add as to the queue. The average of that level over the start
// window is where the queue's average would sit had playback been taking frames all along,
// so the amount of silence ahead of the first frame can put the average on target, whatever
// the phase between the two buffer rhythms and the jitter of single buffers. The window
// opens and closes at buffers of the side with the longer ones (in step with its sawtooth,
// which then averages out exactly), once playback keeps its pace and capture delivers.
void DriftCompensator::rhythmEvent(double now) {
  if (!windowOpen_) {
    if (!playbackPaced_ || fifo_.size() == 0) return;
    windowOpen_ = true;
    windowBegin_ = now;
    virtualLow_ = virtualHigh_ = virtualLevel_;
    levelArea_ = 0.0;
    lastEventTime_ = now;
  } else if (!averageReady_ && now - windowBegin_ >= startWindow_) {
    startAverage_ = levelArea_ / (now - windowBegin_);
    averageReady_ = true;
    // A swing wider than the two buffers' sawtooth is a device's own long buffer: the level
    // dips by half of it below the average.
    const double sawtooth = static_cast<double>(setup_.maxPushFrames + setup_.maxPullFrames);
    const double swing = std::min(virtualHigh_ - virtualLow_, setup_.longestBurstSeconds * rate_ + sawtooth);
    setTarget(baseTarget_ + std::max(0.0, (swing - sawtooth) / 2.0));
    controller_.setBufferSeconds(swing / 2.0 / rate_);
    recoveryWindow_ = std::max(recoveryWindow_, 4.0 * swing / rate_);
  }
}

void DriftCompensator::start(Sample* out, std::size_t frames, double now, bool paced) {
  // A pull in a burst (a device queueing its first buffers at once) does not show the pace
  // of playback.
  playbackPaced_ = playbackPaced_ || paced;
  if (windowOpen_) integrateLevel(virtualLevel_, now);
  if (windowOpen_ && !averageReady_) virtualHigh_ = std::max(virtualHigh_, virtualLevel_);
  if (!pushRhythm_) rhythmEvent(now);
  if (averageReady_) {
    // From here on (queue - virtual level) stays as it is now, plus the silence played.
    double lead = targetFrames_ - startAverage_ - (static_cast<double>(fifo_.size()) - virtualLevel_);
    if (lead < static_cast<double>(frames) && static_cast<double>(fifo_.size()) + lead >= static_cast<double>(frames)) {
      if (lead < 0.0) {
        fifo_.discard(static_cast<std::size_t>(std::lround(-lead)));
        lead = 0.0;
      }
      const auto leadFrames = static_cast<std::size_t>(std::lround(lead));
      silence(out, leadFrames);
      resampler_.reset();
      controller_.restartLevel();
      resetEdges(now);
      starting_ = false;
      levelArea_ = 0.0;
      levelSince_ = now;
      lastEventTime_ = now;
      resample(out + leadFrames * kChannels, frames - leadFrames, now);
      return;
    }
  }
  virtualLevel_ -= static_cast<double>(frames);
  if (windowOpen_ && !averageReady_) virtualLow_ = std::min(virtualLow_, virtualLevel_);
  silence(out, frames);
}

// The stream goes on where the queue holds what a request should find: a part-buffer of
// silence makes up what it lacks, and what it holds beyond that (a capture buffer arrives
// whole) is let go from its old end, so the average comes back exactly on target.
void DriftCompensator::refill(Sample* out, std::size_t frames, double now) {
  const double wanted = rephase_ ? rephasedRequestLevel(now) : requestLevel();
  double lacking = wanted - level();
  if (lacking >= static_cast<double>(frames)) {
    silence(out, frames);
    if (dry_) paddedFrames_ += static_cast<double>(frames);
    return;
  }
  if (dry_) {
    // Capture is back after running the queue dry: what its backlog brings up to the
    // silence played meanwhile stays, as reserve (see kMostReserveSeconds).
    dry_ = false;
    const double padded = paddedFrames_ + std::max(lacking, 0.0);
    lateFrames_ = padded <= kMostReserveSeconds * rate_ ? padded : 0.0;
    lacking += keepBacklog(-lacking);
  }
  if (lacking < 0.0) {
    fifo_.discard(std::min(fifo_.size(), static_cast<std::size_t>(std::lround(-lacking))));
    lacking = 0.0;
  }
  const auto lead = static_cast<std::size_t>(std::lround(lacking));
  silence(out, lead);
  refilling_ = false;
  if (rephase_) {
    rephase_ = false;
    resetEdges(now);
    pullEdge_.reset(wanted, now);
  }
  controller_.restartLevel();
  levelArea_ = 0.0;
  levelSince_ = now;
  lastEventTime_ = now;
  beginRecovery();
  firstLookAfterRefill_ = true;
  resample(out + lead * kChannels, frames - lead, now);
}

void DriftCompensator::resample(Sample* out, std::size_t frames, double now) {
  std::size_t done = 0;
  while (done < frames) {
    const std::size_t block = std::min(frames - done, setup_.maxPullFrames);
    const DriftController::Step step = controller_.next(block, resampler_.phase());
    const std::size_t needed = resampler_.inputFramesFor(block, step.ratio);
    const std::size_t real = fifo_.pop(scratch_.data(), needed);
    resampler_.process(scratch_.data(), out + done * kChannels, block, step.ratio);
    if (step.landsOnSample) resampler_.snapToSample();
    ratio_ = step.ratio;
    done += block;
    if (real < needed) {
      // Ran dry: the rest is silence until the queue is full again.
      if (breakBegins(BreakKind::Underrun, now)) {
        dry_ = true;
        // The block's own missing end, and the silent history the reset resampler plays
        // before its first new frame.
        paddedFrames_ = static_cast<double>(needed - real + AdaptiveResampler::kHalfTaps);
      }
      silence(out + done * kChannels, frames - done);
      if (dry_) paddedFrames_ += static_cast<double>(frames - done);
      resampler_.reset();
      refilling_ = true;
      return;
    }
  }
}

}  // namespace dsp
