#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/adaptive_resampler.hpp"
#include "dsp/break_tally.hpp"
#include "dsp/drift_controller.hpp"
#include "dsp/sample_fifo.hpp"
#include "dsp/stream_config.hpp"

namespace dsp {

// Sizes of a stream, in frames of the played (stereo) stream.
struct DriftSetup {
  int outputRate = 0;                 // frames per second of the played stream
  std::size_t maxPushFrames = 0;      // largest block the converter hands over at once
  std::size_t maxPullFrames = 0;      // largest playback buffer
  double marginSeconds = 0.010;       // headroom beyond the buffers' own sizes: at least the
                                      // latest a buffer is handled, plus ~2 ms for the loop
  double longestBurstSeconds = 0.75;  // a device with a long buffer of its own takes (or
                                      // gives) up to this much at once; the queue has room for it
};

// The queue between a live converter and playback when the two devices run on clocks of
// their own: converted frames are pushed as each capture buffer arrives, playback pulls a
// buffer at a time through an adaptive resampler whose ratio (input frames per output
// frame, within 1 +- 1000 ppm) holds the queue's average level at its target.
//
// The level is measured as a time average (the queue's frame count integrated between
// calls, with the caller's timestamps), which is free of the sawtooth of the two buffer
// sizes. While the clocks agree the ratio is exactly 1 and the output is the input delayed
// by a fixed number of frames, bit for bit.
//
// Start: for eight of the longest buffers (at least a second unless the longer buffer is a
// whole number of the shorter ones) after both sides run, pulls play
// silence (not counted) while the level that playback would see is measured, and how far
// it swings (a device with a long buffer takes many buffers at once: the target grows by
// that swing); then the stream starts with as much silence as puts the average level on
// target. A pull that runs the queue dry plays what there is, then silence, counts an
// underrun, and plays silence only until the queue is back at its target (a buffer or two,
// not a new measurement); a push that overflows the queue drops the oldest frames
// (counted) and trims it back to target. Both judge the queue where playback asks for a
// buffer, the top of its sawtooth, so they aim at the target plus how far that edge has
// lately stood above the average: the average, which the controller holds, lands on target
// again. For up to a second after either, a surplus the level still shows (a late backlog)
// is dropped at once, heard as a jump; a shortfall (playback took more than it missed) is
// refilled with silence once. Each break counts once, in the kind of what set it
// off, with what it sets off until the stream has played again for a moment (BreakTally); a
// surplus dropped later than that counts as an overflow of its own. Between breaks, a step
// of the level above where it rested that stands a second (a server that played silence of
// its own and never said so) counts as an underrun and is kept as reserve.
//
// Everything runs on one thread (the live engine's); configure() allocates, nothing else does.
class DriftCompensator {
 public:
  explicit DriftCompensator(const DriftTuning& tuning = {});

  // Sizes the queue and the resampler for `setup`, empties everything, zeroes the counters.
  void configure(const DriftSetup& setup);

  // Empties the queue and starts again (a device stopped or failed); counters stay.
  void reset();
  // Empties the queue for a playback device that starts afresh at `now` (counted as a
  // restart): once the stream has started, playback refills to the target it already
  // measured (silence for a buffer or two, not a new measurement); before that, as reset().
  void restartPlayback(double now);

  // Queues `frames` interleaved converted frames. `now` is a monotonic time in seconds.
  void push(const Sample* interleaved, std::size_t frames, double now);

  // Fills `frames` interleaved frames for playback. `now` as for push().
  void pull(Sample* interleaved, std::size_t frames, double now);

  // Whether a pull of `frames` now would find enough queued (while starting a pull plays
  // silence, so it always can).
  bool canPull(std::size_t frames) const;
  // Playback asked for `frames` at `now`, but the caller holds the buffer back until a push
  // lets pull() fill it. The level counts the frames as taken from now on: the device's
  // request, not the release, marks its pace, so a hold never shows as a higher level.
  void hold(std::size_t frames, double now);
  // The playback device played silence of its own for want of buffers at `now`: counted as
  // an underrun once the stream plays (not while it starts or refills), and the stream now
  // lags by that much, which the level shows as a surplus.
  void playbackSkipped(double now);
  // Breaks, each counted once in the kind of what set it off (the server's silence counts as
  // an underrun).
  std::uint64_t underruns() const { return breaks_.count(BreakKind::Underrun); }
  std::uint64_t overflows() const { return breaks_.count(BreakKind::Overflow); }
  std::uint64_t restarts() const { return breaks_.count(BreakKind::Restart); }
  double ratio() const { return ratio_; }  // used by the last pull
  // The clocks' measured difference (ClockPair::deviation), for the controller.
  void setClockDeviation(double deviation, bool valid) { controller_.setClockDeviation(deviation, valid); }
  // True from an underrun until the queue is back at its target.
  bool refilling() const { return refilling_; }
  double targetLevelSeconds() const { return targetFrames_ / rate_; }
  // What the target holds beyond the measured one, for the breaks a loaded machine caused.
  double reserveSeconds() const { return reserveFrames_ / rate_; }
  double levelSeconds() const { return controller_.smoothedLevel(); }
  std::size_t queuedFrames() const { return fifo_.size(); }
  std::size_t capacityFrames() const { return fifo_.capacity(); }
  bool starting() const { return starting_; }
  DriftController::State state() const { return controller_.state(); }

 private:
  void startAgain();
  // A pull after an underrun: silence until the queue holds its target again.
  void refill(Sample* out, std::size_t frames, double now);
  // Adds `level` held since the last event to the running integral.
  void integrateLevel(double level, double now);
  // The level the controller holds: what is queued less what held buffers will take.
  double level() const { return static_cast<double>(fifo_.size()) - static_cast<double>(owed_); }
  // A buffer of the side that sets the start window's rhythm, while starting.
  void rhythmEvent(double now);
  // A pull while starting: silence, or the start of the stream when the time has come.
  void start(Sample* out, std::size_t frames, double now, bool paced);
  void resample(Sample* out, std::size_t frames, double now);
  // A mean over the last few seconds of a level (frames) taken at irregular times.
  struct RunningMean {
    double value = 0.0;
    double time = 0.0;
    void reset(double level, double now) { value = level, time = now; }
    void add(double level, double now);
  };
  // Starts the running means afresh: requests half a playback buffer above the average.
  void resetEdges(double now);
  // The stream breaks at `now` (counted unless part of a break that goes on): a shortfall
  // after it may be refilled again. True when it counts as a break of its own.
  bool breakBegins(BreakKind kind, double now);
  // The target grows by `frames` within the reserve's bound; returns by how much it did.
  double growReserve(double frames);
  // Of a late capture's backlog up to `surplus`, keeps what it came late as reserve; returns it.
  double keepBacklog(double surplus);
  // Long after the last break, the reserve is given back slowly while the ratio resamples.
  void shrinkReserve(double seconds, double now);
  // Sets the target to the measured one plus the reserve, and the overflow limit with it.
  void setTarget(double measured);
  // After an underrun or overflow: the level is watched for a backlog.
  void beginRecovery(bool fromNextPull = false);
  // One pull's level `area` (frame-seconds over `seconds`) at `now` while recovering; lets a
  // surplus go, or starts a refill for a shortfall.
  void checkRecovery(double area, double seconds, std::size_t frames, double now);
  // The same between breaks: a step up of the level that stays is a break nobody reported.
  void watchForStep(double area, double seconds, std::size_t frames, double now);
  // The level playback's requests find when the average is on target.
  double requestLevel() const;
  double rephasedRequestLevel(double now) const;
  // A playback request (pulled at once or held) finds the queue at level().
  void request(double now);

  SampleFifo fifo_;
  AdaptiveResampler resampler_;
  DriftController controller_;
  DriftTuning tuning_;
  std::vector<Sample> scratch_;
  DriftSetup setup_;
  double rate_ = 1.0;
  double targetFrames_ = 0.0;
  std::size_t startLimit_ = 0;  // frames kept while starting; older ones are let go uncounted
  double startWindow_ = 1.0;    // seconds the level is averaged before the stream starts

  bool anyPull_ = false;
  double lastPullTime_ = 0.0;
  bool pushRhythm_ = false;  // the start window follows pushes (longer than pulls)
  bool starting_ = true;
  bool playbackPaced_ = false;  // a pull since starting came a buffer's time after the last
  bool windowOpen_ = false;
  double windowBegin_ = 0.0;
  bool averageReady_ = false;
  double startAverage_ = 0.0;  // virtual level averaged over the start window
  double virtualLevel_ = 0.0;  // while starting: frames pushed less frames pulled as silence
  double lastEventTime_ = 0.0;
  double levelArea_ = 0.0;   // frame-seconds since the last controller update (or window start)
  double levelSince_ = 0.0;  // time of the last controller update
  std::size_t owed_ = 0;     // frames of held buffers, not yet pulled
  double ratio_ = 1.0;
  double baseTarget_ = 0.0;  // target without a long device buffer's swing
  double virtualLow_ = 0.0;  // the virtual level's extremes over the start window
  double virtualHigh_ = 0.0;
  bool refilling_ = false;
  std::size_t limitFrames_ = 0;  // more than this queued is an overflow (the queue has room
                                 // for a long device buffer's target, not always needed)
  BreakTally breaks_;
  RunningMean pullEdge_;     // the level when playback asks for a buffer
  RunningMean meanLevel_;    // the level averaged between pulls
  bool recovering_ = false;  // since the last break: a surplus is let go, not trimmed
  bool skipPull_ = false;    // the next pull's level is not the stream's
  bool padded_ = false;      // a shortfall since the last break was refilled already
  bool firstLookAfterRefill_ = false;  // the next recovery window is the first after a refill
  double recoveryWindow_ = 1.0;
  double recoveryArea_ = 0.0;
  double recoverySeconds_ = 0.0;
  int recoveryWindows_ = 0;
  // Between breaks, the level's window means less the target: where it rests, and a step
  // above that (the smallest of its whole windows).
  struct StepWatch {
    double area = 0.0, seconds = 0.0;
    bool haveBase = false;
    double base = 0.0;
    double step = 0.0;
    int windows = 0;  // windows the step has stood
    int low = 0;      // windows in a dip
  } watch_;
  bool retrim_ = false;       // an overflow was trimmed at a push: trim again at the next request
  bool rephase_ = false;      // playback started afresh: its requests' phase is new
  double lastPushTime_ = 0.0;  // when capture last pushed: where in its rhythm a request falls
  double measuredTarget_ = 0.0;  // the target the start measured, without the reserve
  double reserveFrames_ = 0.0;   // kept across restarts; configure() gives it back
  double lastBreakTime_ = 0.0;
  bool dry_ = false;             // the queue ran dry: refilling, silence counted in paddedFrames_
  double paddedFrames_ = 0.0;
  double lateFrames_ = 0.0;      // of that silence, what a backlog may still bring to keep
};

}  // namespace dsp
