#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace dsp {

// What set a break of the played stream off: the queue ran dry (or the sound server played
// silence for want of buffers), ran over, or playback was started again.
enum class BreakKind : std::size_t { Underrun, Overflow, Restart };

// Counts each break a listener hears once, in the kind of its first event. What that break
// sets off is part of it: the queue running dry behind the server's silence, the trims and
// restarts of an output that stands still, a late device's backlog; the frames dropped or
// padded meanwhile belong to it. A break lasts while the stream is not playing its own
// frames, and kAftermathSeconds after it first does again; an event after that is a break
// of its own, so a stream that keeps breaking counts again each time it played that long.
class BreakTally {
 public:
  // The aftermath of a break: the server's silence and the queue's underrun behind it come
  // within the 40 ms a played buffer waits plus the server's ~25-40 ms written ahead, a
  // late device's backlog within milliseconds of the refill. This leaves room for a loaded
  // machine, and two stalls a second apart still count two.
  static constexpr double kAftermathSeconds = 0.25;

  // Zeroes the counts.
  void clear();
  // The stream starts afresh (a device stopped, started or failed): the next event is a
  // break of its own.
  void close() { open_ = false; }
  // An event at `now` (seconds, the clock of the calls): counted unless part of a break.
  // True when it counted (a break of its own).
  bool note(BreakKind kind, double now);
  // The stream played its own frames at `now`.
  void playing(double now);

  std::uint64_t count(BreakKind kind) const { return counts_[static_cast<std::size_t>(kind)]; }

 private:
  std::array<std::uint64_t, 3> counts_{};
  bool open_ = false;  // the last break, or its aftermath, goes on
  bool back_ = false;  // the stream has played since the last break began
  double backAt_ = 0.0;
};

}  // namespace dsp
