#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/stream_config.hpp"

namespace dsp {

// A first-in first-out queue of stereo 16-bit frames (left then right) between the
// converter, which pushes a converted capture buffer at a time, and playback, which pops a
// playback buffer at a time. Both sides run on the window's thread, so there is no locking.
// The ring is allocated once by setCapacity(); push and pop never allocate.
// A pop that finds too few frames delivers silence for the rest and counts an underrun;
// a push that does not fit drops the oldest frames and counts an overflow.
class SampleFifo {
 public:
  static constexpr std::size_t kChannels = 2;

  // Allocates room for `frames` frames and empties the queue; the counters start at zero.
  void setCapacity(std::size_t frames);

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return size_; }

  // Appends `frames` interleaved frames. Frames that do not fit push out the oldest ones
  // (when more arrive than the whole capacity, only the newest `capacity()` stay).
  void push(const Sample* interleaved, std::size_t frames);

  // Moves the `frames` oldest frames to `out`; frames missing are written as silence.
  // Returns how many frames were real.
  std::size_t pop(Sample* out, std::size_t frames);

  // Drops the `frames` oldest frames (at most all of them) without counting them.
  void discard(std::size_t frames);

  // Empties the queue (a device fault, a stop); the counters stay.
  void clear();

  std::uint64_t underruns() const { return underruns_; }
  std::uint64_t overflows() const { return overflows_; }
  std::uint64_t droppedFrames() const { return droppedFrames_; }
  std::uint64_t silentFrames() const { return silentFrames_; }

 private:
  // Copies `frames` frames starting at ring index `from` (wrapping) to `out`.
  void copyOut(std::size_t from, Sample* out, std::size_t frames) const;

  std::vector<Sample> ring_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;  // ring index of the oldest frame
  std::size_t size_ = 0;
  std::uint64_t underruns_ = 0;
  std::uint64_t overflows_ = 0;
  std::uint64_t droppedFrames_ = 0;
  std::uint64_t silentFrames_ = 0;
};

}  // namespace dsp
