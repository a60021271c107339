#include "dsp/sample_fifo.hpp"

#include <algorithm>
#include <cstring>

namespace dsp {

void SampleFifo::setCapacity(std::size_t frames) {
  ring_.assign(frames * kChannels, 0);
  capacity_ = frames;
  head_ = 0;
  size_ = 0;
  underruns_ = overflows_ = droppedFrames_ = silentFrames_ = 0;
}

void SampleFifo::push(const Sample* interleaved, std::size_t frames) {
  if (frames == 0) return;
  if (frames > capacity_ - size_) {
    ++overflows_;
    if (frames >= capacity_) {
      // Only the newest capacity() frames of this push survive.
      droppedFrames_ += size_ + (frames - capacity_);
      interleaved += (frames - capacity_) * kChannels;
      frames = capacity_;
      head_ = 0;
      size_ = 0;
    } else {
      const std::size_t excess = frames - (capacity_ - size_);
      droppedFrames_ += excess;
      head_ = (head_ + excess) % capacity_;
      size_ -= excess;
    }
    if (frames == 0) return;
  }
  const std::size_t tail = (head_ + size_) % capacity_;
  const std::size_t first = std::min(frames, capacity_ - tail);
  std::memcpy(&ring_[tail * kChannels], interleaved, first * kChannels * sizeof(Sample));
  if (first < frames)
    std::memcpy(ring_.data(), interleaved + first * kChannels, (frames - first) * kChannels * sizeof(Sample));
  size_ += frames;
}

void SampleFifo::copyOut(std::size_t from, Sample* out, std::size_t frames) const {
  const std::size_t first = std::min(frames, capacity_ - from);
  std::memcpy(out, &ring_[from * kChannels], first * kChannels * sizeof(Sample));
  if (first < frames) std::memcpy(out + first * kChannels, ring_.data(), (frames - first) * kChannels * sizeof(Sample));
}

std::size_t SampleFifo::pop(Sample* out, std::size_t frames) {
  const std::size_t real = std::min(frames, size_);
  if (real > 0) copyOut(head_, out, real);
  discard(real);
  if (real < frames) {
    ++underruns_;
    silentFrames_ += frames - real;
    std::fill(out + real * kChannels, out + frames * kChannels, Sample{0});
  }
  return real;
}

void SampleFifo::discard(std::size_t frames) {
  frames = std::min(frames, size_);
  if (frames == 0) return;
  head_ = (head_ + frames) % capacity_;
  size_ -= frames;
}

void SampleFifo::clear() {
  head_ = 0;
  size_ = 0;
}

}  // namespace dsp
