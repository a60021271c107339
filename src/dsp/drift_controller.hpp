#pragma once
#include <cstddef>

namespace dsp {

// Constants of the loop that holds the queue level at its target. Levels and times are in
// seconds, ratio deviations are fractions (1e-6 = 1 ppm).
struct DriftTuning {
  // The PI loop starts quick, to take up the drift after it unlocks or restarts, and slows
  // down over acquireSeconds to its settled frequency, where the measured level's jitter
  // moves the ratio least. The level's low-pass keeps pace: its time constant is
  // smoothingPerFrequency / (the loop's frequency), so it lags the loop by ~5 degrees.
  double settledFrequency = 0.01;  // rad/s (about 100 s to react)
  double acquireFrequency = 0.05;  // rad/s (about 20 s)
  double acquireSeconds = 60.0;
  double smoothingPerFrequency = 0.08;
  double damping = 1.0;               // critically damped: no overshoot of the level
  double watchSeconds = 2.0;          // time constant of the low-pass that watches the level while locked
  double buffersPerSmoothing = 16.0;  // either low-pass spans at least this many of the longest buffers
  double maxDeviation = 1000e-6;      // the ratio stays within 1 +- this
  double maxSlewPerSecond = 20e-6;    // how fast the ratio may move: a kink in it shows in the
                                      // tone as a phase error, ~20 dB less per tenfold slower
  double slewRampSeconds = 2.0;       // the ratio's rate of change reaches that limit over this
                                      // long, so it never starts or stops moving with a kink
  double slewSeconds = 3.0;           // the rate that closes the remaining gap in this long
  double unlockBand = 0.0015;         // level drift that ends bit-exact pass-through
  double settleSeconds = 8.0;         // after a (re)start the locked level follows the watched one
                                      // this long: a server's own buffers are still filling
  double lockBand = 0.0005;           // level error under which tracking may stop ...
  double lockDeviation = 2e-6;        // ... when the ratio is this close to 1 ...
  double lockHoldSeconds = 30.0;      // ... for this long
  double glideDeviation = 5e-6;       // ratio deviation used to bring the read position onto a sample
  // Once the level has left pass-through and the devices' clocks are measured (ClockPair),
  // the ratio follows that measurement and the level only trims it, beyond a dead band, so
  // the level's jitter never moves it. (The measurement alone never ends pass-through: in
  // the first tens of seconds the servers' buffers still settle, which it reads as drift.)
  double trimDeadBand = 0.003;   // level error (s) the trim leaves alone
  double trimFrequency = 0.002;  // rad/s of the level trim beyond the dead band (1 ms: 4 ppm)
  double trimLimit = 100e-6;     // the trim's largest share of the ratio
  // Measured clocks this far apart end pass-through at once, before the level has walked
  // out of its band (which at a few hundred ppm takes long enough to run the queue low).
  double clockUnlockDeviation = 20e-6;
  // How far the level alone may steer the ratio while the clocks are not measured. Where they
  // always are (the live engine), none: the level of a queue that a break has upset says
  // nothing of the clocks, and steering it back moved a tone by hundreds of ppm for a minute.
  double levelLimit = 1000e-6;
  // Whether a step of the level between breaks counts as a break nobody reported; where the
  // level steers the ratio, the step is drained that way instead.
  bool countLevelSteps = false;

  // The ratio follows the measured clocks and nothing else: the level trims a few ppm at
  // most and steers nothing before the clocks are known, the ratio moves by a few ppm per
  // second; what a break does to the level is dropped or padded instead (after a break).
  static DriftTuning followingClocks() {
    DriftTuning tuning;
    tuning.levelLimit = 0.0;
    tuning.countLevelSteps = true;
    tuning.trimLimit = 3e-6;
    tuning.maxSlewPerSecond = 10e-6;
    return tuning;
  }
};

// Steers the resampling ratio (input frames per output frame) so that the queue's level
// stays at its target while the two clocks differ, the ratio never moving faster than
// maxSlewPerSecond. Called once per playback buffer. It has three states:
//  - locked: ratio exactly 1, the resampler passes frames through unchanged. The clocks are
//    taken to agree until the level has moved by unlockBand from where it was locked.
//  - tracking: a PI loop on the smoothed level, its integral being the drift estimate,
//    clamped to +-maxDeviation and slew-limited.
//  - gliding: the clocks agree again (level on target, ratio within lockDeviation of 1 for
//    lockHoldSeconds); the ratio moves the read position onto the nearest whole sample at
//    glideDeviation, then the controller locks.
class DriftController {
 public:
  enum class State { Locked, Tracking, Gliding };

  explicit DriftController(const DriftTuning& tuning = {});

  // Starts locked with the level at `targetLevel`; forgets any drift estimate. The level
  // saws up and down by the longest buffer each `bufferSeconds`, which the low-passes
  // must smooth away.
  void reset(double targetLevel, double bufferSeconds);

  // The queue was refilled to its target after an underrun or trimmed after an overflow:
  // the level history is void, the drift estimate is kept.
  void restartLevel();

  // The queue's target moved by `seconds` (a reserve for a loaded machine grown or given
  // back). The level held so far moves with it; a level in pass-through is not steered, so
  // there only the target moves, for the next restart to take up.
  void moveTarget(double seconds);

  // One measurement: the queue level averaged over the last `seconds`.
  void update(double averageLevel, double seconds);

  // The clocks' measured difference (see ClockPair::deviation); `valid` false until both
  // loops have settled, and then the level alone steers, as before.
  // Once trusted, the last trusted measurement is kept while a new one is not.
  void setClockDeviation(double deviation, bool valid) {
    if (!valid) return;
    clock_ = deviation;
    clockValid_ = true;
  }

  // The longest buffer rhythm the level saws at (a device with a long buffer of its own).
  void setBufferSeconds(double bufferSeconds);

  struct Step {
    double ratio = 1.0;
    bool landsOnSample = false;  // this block ends on a whole sample: snap, and stay locked
  };
  // The ratio for the next block of `frames` output frames, read from `phase` (the
  // resampler's fractional read position).
  Step next(std::size_t frames, double phase);

  State state() const { return state_; }
  double deviation() const { return deviation_; }
  double driftEstimate() const { return integral_; }
  double smoothedLevel() const { return smoothed_.second; }
  double watchedLevel() const { return watched_.second; }
  double targetLevel() const { return target_; }

 private:
  void lock();
  // Moves the ratio's deviation towards `wanted`, smoothly (see slewRampSeconds).
  void slewTo(double wanted, double seconds);

  DriftTuning tuning_;
  State state_ = State::Locked;
  double target_ = 0.0;
  double minSmoothing_ = 0.0;  // seconds
  // Two first-order stages of half the time constant each: the level's sawtooth at the
  // rhythm of the buffers (large when capture arrives in long blocks) falls off twice as
  // steeply as through one stage, for about the same lag at the loop's frequency.
  struct LowPass {
    double first = 0.0;
    double second = 0.0;
    void reset(double value);
    void update(double value, double seconds, double timeConstant);
  };
  LowPass smoothed_;
  LowPass watched_;
  double integral_ = 0.0;
  double deviation_ = 0.0;
  double slewRate_ = 0.0;      // the deviation's rate of change, per second
  double lockedLevel_ = 0.0;   // watched level when the controller locked
  double stateSeconds_ = 0.0;  // time spent in the current state
  double levelSeconds_ = 0.0;  // time since the level history was last voided
  double quietSeconds_ = 0.0;  // time the lock conditions have held while tracking
  double clock_ = 0.0;
  bool clockValid_ = false;
  bool rereference_ = false;  // the clocks ended pass-through: re-reference once the ratio is there
};

}  // namespace dsp
