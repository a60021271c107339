#pragma once
#include <cstddef>
#include <cstdint>

#include "dsp/aligned_vector.hpp"
#include "dsp/converter.hpp"
#include "dsp/stream_config.hpp"

namespace dsp {

// The real-to-I/Q conversion as one continuous stream, without block edges: the band
// 0 ... Fs/2 shifted down by Fs/4 into I + jQ at Fs/2 (left I, right Q), the image
// removed by a long linear-phase filter run as fast convolution on the FFT engine
// (overlap-save, the filter cut into Partitions() pieces of BlockFrames() taps, each
// transform 2 BlockFrames() long). The switches mean what they mean for ConvertBlock;
// frame m of the output has the same frequency, phase and sign as frame m of a converted
// block (away from the block's ends), only later by DelayFrames().
//
// Input comes in chunks of any size; the output is the same, bit for bit, whatever the
// chunking. Output frames leave in whole blocks of BlockFrames() frames, so a call returns
// either nothing or one or more blocks. BlockFrames() is a power of two of at most 12 ms of
// output (the filter spans about 38 ms from 8000 Hz up, so it runs in several partitions),
// and at most half the filter's taps. Frame j of
// the output stands for input samples 2(j - D) and 2(j - D) + 1, D = DelayFrames(); before
// the first input the stream is silence. Samples are rounded to the nearest integer and
// saturate to 16 bits. Configure allocates; nothing else does. The FFT engine must be
// initialised (InitFFT).
class StreamConverter {
 public:
  // Filter, transform size and buffers for `rate` Hz; the stream starts empty.
  void Configure(int32_t rate, const ConverterSwitches& switches = {});
  // Takes effect with the next block the converter completes.
  void SetSwitches(const ConverterSwitches& switches) { switches_ = switches; }
  // Forgets all input: the stream starts again from silence (no allocation).
  void Reset();

  // Takes `count` samples and writes the completed frames (left, right) to `out`, which
  // must hold MaxOutputFrames(count) frames; returns the number of frames written.
  size_t Process(const Sample* in, size_t count, Sample* out);
  size_t MaxOutputFrames(size_t count) const { return count / 2 + static_cast<size_t>(blockFrames_) + 1; }

  // With delay compensation on (the default after Configure), the first D frames (the
  // filter's lead-in) are not written, so output frame k stands for input samples 2k and
  // 2k + 1. Finish() then ends the stream: it writes the remaining frames, so that the
  // whole output has exactly floor(n / 2) frames for n input samples, and resets.
  void SetDelayCompensation(bool on) { compensate_ = on; }
  size_t Finish(Sample* out);
  size_t MaxFinishFrames() const { return static_cast<size_t>(delay_) + static_cast<size_t>(blockFrames_); }

  int32_t Rate() const { return rate_; }
  int32_t DelayFrames() const { return delay_; }        // algorithmic delay at the output rate
  int32_t BlockFrames() const { return blockFrames_; }  // output granularity
  // The longest an input frame waits for its output frame, counted from the call that
  // completes the input frame to the call that returns its output frame: the filter's
  // delay plus all but one frame of a block (the first frame of a block leaves with its
  // last). Add the caller's own buffering for the end-to-end figure.
  int32_t LatencyFrames() const { return delay_ + blockFrames_ - 1; }
  int32_t TransformLength() const { return fftLength_; }  // 2 BlockFrames()
  int32_t Partitions() const { return partitions_; }
  int32_t FilterTaps() const { return taps_; }  // per channel, at the output rate
  double TransitionHz() const { return transition_; }
  double EdgeRampHz() const { return edgeRamp_; }

  // Sum and Diff of every partition, each as (re, re) and (-im, im) per bin.
  struct FilterSpectra {
    AlignedVector<float> SumRe, SumIm, DiffRe, DiffIm;
  };

 private:
  void takeFrames(const Sample* in, int32_t frames);
  int32_t blockEnd() const { return history_ + blockFrames_; }
  size_t runBlock(Sample* out, int64_t end);  // writes frames below `end` only

  int32_t rate_ = 0;
  int32_t delay_ = 0;
  int32_t taps_ = 0;
  int32_t fftLength_ = 0;
  int32_t blockFrames_ = 0;
  int32_t partitions_ = 0;
  int32_t history_ = 0;
  double transition_ = 0;
  double edgeRamp_ = 0;
  ConverterSwitches switches_;
  bool compensate_ = true;

  // Time-domain input, e + j o per frame: max(BlockFrames, DelayFrames) frames of history,
  // then the new block; each transform takes the last 2 BlockFrames() frames.
  AlignedVector<float> input_;
  AlignedVector<float> work_;
  // The last Partitions() input spectra, each followed by its mirror; the newest in slot newest_.
  AlignedVector<float> spectra_;
  int32_t newest_ = 0;
  // Per partition, the spectra of the two tap sets combined for one transform of e + j o
  // (scaled by 1/N): Y[k] = X[k] Sum[k] + conj(X[-k]) Diff[k], Sum = (Even + Odd)/2,
  // Diff = (Even - Odd)/2, summed over the partitions, each with its own X.
  FilterSpectra plain_, edge_;

  int32_t filled_ = 0;     // frames in input_, history included
  int64_t framesIn_ = 0;   // whole frames taken since the start
  int64_t framesOut_ = 0;  // frames produced (lead-in included)
  bool havePending_ = false;
  Sample pending_ = 0;  // the even sample of a frame whose odd sample has not come yet
};

}  // namespace dsp
