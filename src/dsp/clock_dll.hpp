#pragma once
#include <cstdint>

namespace dsp {

// Estimates the true rate of a device's clock from the frames it moves and the monotonic
// time at which each buffer moved, with a second-order delay-locked loop: the buffer times
// jitter by the server's fragments and the scheduler, the loop's bandwidth filters that
// out. It starts wide (to lock within seconds) and narrows to `settledHz` as it runs.
class ClockDll {
 public:
  struct Tuning {
    double startHz = 1.0;        // bandwidth right after the first buffer
    double settledHz = 0.02;     // bandwidth it narrows to (about 1/(2 pi f) = 8 s to react)
    double narrowSeconds = 0.5;  // bandwidth = startHz * narrowSeconds / elapsed, within the two
  };

  ClockDll() = default;
  explicit ClockDll(const Tuning& tuning) : tuning_(tuning) {}

  // Forgets everything; the rate is taken to be `nominalRate` frames per second until
  // measured.
  void reset(double nominalRate);

  // `frames` moved, the last of them at `time` (seconds). A time that jumps by more than a
  // second from the prediction (a stall, a suspended device) restarts the loop from there.
  void update(std::uint64_t frames, double time);

  double rate() const { return 1.0 / secondsPerFrame_; }  // frames per second
  double nominalRate() const { return nominal_; }
  double runSeconds() const { return elapsed_; }  // time since the loop (re)started
  std::uint64_t restarts() const { return restarts_; }

 private:
  Tuning tuning_;
  double nominal_ = 1.0;
  double secondsPerFrame_ = 1.0;
  double predicted_ = 0.0;  // filtered time of the last buffer's end
  double start_ = 0.0;
  double elapsed_ = 0.0;
  bool running_ = false;
  std::uint64_t restarts_ = 0;
};

// Ratio of two clocks, as the drift compensator wants it: output frames the capture side
// delivers per output frame that playback takes, expressed as a deviation from 1 (1e-6 =
// 1 ppm), 0 until both loops have run `warmSeconds`.
struct ClockPair {
  ClockDll capture;   // counts input samples
  ClockDll playback;  // counts output frames
  double warmSeconds = 4.0;
  bool valid() const { return capture.runSeconds() >= warmSeconds && playback.runSeconds() >= warmSeconds; }
  double deviation() const {
    if (!valid()) return 0.0;
    return (capture.rate() / capture.nominalRate()) / (playback.rate() / playback.nominalRate()) - 1.0;
  }
};

}  // namespace dsp
