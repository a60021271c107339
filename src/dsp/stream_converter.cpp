#include "dsp/stream_converter.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <vector>

#include "dsp/fft.hpp"
#include "dsp/stream_filter.hpp"

namespace dsp {

namespace {

// The filter runs as two or more partitions of `hop` taps each, every one convolved by a
// transform of 2 hop points whose spectra of earlier input blocks are kept: output then
// leaves every hop frames instead of waiting for a transform many filter lengths long. The
// hop is the largest power of two within half the filter and kMaxBlockSeconds, so each
// block costs two transforms and one spectrum product per partition.
constexpr int32_t kMinHop = 16;
// Output leaves a block at a time, so a block is waiting time for live use; more partitions
// keep it within this much output (a little more CPU for each block).
constexpr double kMaxBlockSeconds = 0.012;

using cd = std::complex<double>;

// Spectrum of real taps in double precision with the engine's sign convention,
// X[k] = sum x[j] e^{+2 pi i jk/n}, so it multiplies the engine's own spectra.
std::vector<cd> tapSpectrum(const double* taps, size_t count, size_t n) {
  std::vector<cd> a(n);
  for (size_t j = 0; j < count; ++j) a[j] = taps[j];
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double step = 2.0 * std::numbers::pi / static_cast<double>(len);
    for (size_t i = 0; i < n; i += len)
      for (size_t k = 0; k < len / 2; ++k) {
        const cd w = std::polar(1.0, step * static_cast<double>(k));
        const cd u = a[i + k];
        const cd v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
  }
  return a;
}

// Per partition p (taps p hop ... p hop + hop - 1, transform length n = 2 hop), the spectra
// Sum = (Even + Odd) / 2 / n and Diff = (Even - Odd) / 2 / n, one partition after the other
// (the 1/n spares the inverse transform its scaling). Each is kept as two arrays in the
// layout of an interleaved spectrum, (re, re) and (-im, im) per bin, so that the product
// with an interleaved spectrum takes no more than a swap of each bin's re and im.
void combineSpectra(const std::vector<double>& even, const std::vector<double>& odd, size_t hop, size_t partitions,
                    StreamConverter::FilterSpectra& out) {
  const size_t n = 2 * hop;
  for (AlignedVector<float>* v : {&out.SumRe, &out.SumIm, &out.DiffRe, &out.DiffIm})
    v->assign(2 * n * partitions, 0.0f);
  const double scale = 0.5 / static_cast<double>(n);
  for (size_t p = 0; p < partitions; ++p) {
    const size_t from = p * hop;
    const size_t count = std::min(hop, even.size() - from);
    const std::vector<cd> e = tapSpectrum(even.data() + from, count, n);
    const std::vector<cd> o = tapSpectrum(odd.data() + from, count, n);
    const size_t at = 2 * n * p;
    for (size_t k = 0; k < n; ++k) {
      const cd s = (e[k] + o[k]) * scale;
      const cd d = (e[k] - o[k]) * scale;
      const size_t j = at + 2 * k;
      out.SumRe[j] = out.SumRe[j + 1] = static_cast<float>(s.real());
      out.SumIm[j] = static_cast<float>(-s.imag());
      out.SumIm[j + 1] = static_cast<float>(s.imag());
      out.DiffRe[j] = out.DiffRe[j + 1] = static_cast<float>(d.real());
      out.DiffIm[j] = static_cast<float>(-d.imag());
      out.DiffIm[j + 1] = static_cast<float>(d.imag());
    }
  }
}

// R[k] = conj(X[n-k]) (R[0] = conj(X[0])): the mirrored spectrum, taken once per input
// block so that every partition's product below reads both spectra in the same order.
void mirrorSpectrum(const float* __restrict x, float* __restrict r, int32_t n) {
  r[0] = x[0];
  r[1] = -x[1];
  for (int32_t k = 1; k < n; ++k) {
    r[2 * k] = x[2 * (n - k)];
    r[2 * k + 1] = -x[2 * (n - k) + 1];
  }
}

// Y[k] (+)= X[k] S[k] + R[k] D[k] for every k, with partition `p` of `f`: the real part of
// the inverse is then e convolved with Even, the imaginary part o convolved with Odd. Two
// bins per step, in a shape the compiler turns into whole vector operations.
template <bool kAccumulate>
void applyFilter(float* __restrict y, const float* __restrict x, const float* __restrict r,
                 const StreamConverter::FilterSpectra& f, int32_t p, int32_t n) {
  const size_t at = 2 * static_cast<size_t>(n) * static_cast<size_t>(p);
  const float* __restrict sr = f.SumRe.data() + at;
  const float* __restrict si = f.SumIm.data() + at;
  const float* __restrict dr = f.DiffRe.data() + at;
  const float* __restrict di = f.DiffIm.data() + at;
  for (int32_t j = 0; j < 2 * n; j += 4) {
    for (int32_t q = 0; q < 4; q += 2) {
      const int32_t i = j + q;
      const float re = x[i] * sr[i] + x[i + 1] * si[i] + r[i] * dr[i] + r[i + 1] * di[i];
      const float im = x[i + 1] * sr[i + 1] + x[i] * si[i + 1] + r[i + 1] * dr[i + 1] + r[i] * di[i + 1];
      if constexpr (kAccumulate) {
        y[i] += re;
        y[i + 1] += im;
      } else {
        y[i] = re;
        y[i + 1] = im;
      }
    }
  }
}

// Nearest integer (ties to even), saturated to 16 bits. Adding and taking away 1.5 * 2^23
// leaves a float of this range rounded to an integer, in a form the compiler vectorises.
inline Sample toSample(float v) {
  constexpr float kRound = 12582912.0f;
  v = v < -32768.0f ? -32768.0f : v;
  v = v > 32767.0f ? 32767.0f : v;
  return static_cast<Sample>(static_cast<int32_t>((v + kRound) - kRound));
}

// Frames r = 0 ... count-1 of src scaled by a0 (even r) and a1 (odd r); with kSwap the
// imaginary part goes left and the real part right (I, Q), else they keep their places.
template <bool kSwap>
void writeFrames(const float* __restrict src, int32_t count, float a0, float a1, Sample* __restrict dst) {
  constexpr int l = kSwap ? 1 : 0;
  constexpr int r = kSwap ? 0 : 1;
  int32_t k = 0;
  for (; k + 2 <= count; k += 2) {
    dst[2 * k] = toSample(a0 * src[2 * k + l]);
    dst[2 * k + 1] = toSample(a0 * src[2 * k + r]);
    dst[2 * k + 2] = toSample(a1 * src[2 * k + 2 + l]);
    dst[2 * k + 3] = toSample(a1 * src[2 * k + 2 + r]);
  }
  if (k < count) {
    dst[2 * k] = toSample(a0 * src[2 * k + l]);
    dst[2 * k + 1] = toSample(a0 * src[2 * k + r]);
  }
}

}  // namespace

void StreamConverter::Configure(int32_t rate, const ConverterSwitches& switches) {
  const StreamFilter filter = DesignStreamFilter(rate);
  rate_ = rate;
  delay_ = filter.DelayFrames;
  taps_ = filter.Taps;
  transition_ = filter.Transition;
  edgeRamp_ = filter.EdgeRamp;
  int32_t hop = kMinHop;
  while (2 * hop < taps_) hop *= 2;
  const double maxHop = kMaxBlockSeconds * static_cast<double>(rate) / 2.0;
  while (hop > kMinHop && hop > maxHop) hop /= 2;
  blockFrames_ = hop;
  fftLength_ = 2 * hop;
  partitions_ = (taps_ + hop - 1) / hop;
  // The pass-through takes its frames D frames back, the transform hop frames back.
  history_ = std::max(hop, delay_);
  switches_ = switches;
  compensate_ = true;

  input_.assign(2 * static_cast<size_t>(history_ + hop), 0.0f);
  work_.assign(2 * static_cast<size_t>(fftLength_), 0.0f);
  spectra_.assign(4 * static_cast<size_t>(fftLength_) * static_cast<size_t>(partitions_), 0.0f);
  const auto h = static_cast<size_t>(hop), parts = static_cast<size_t>(partitions_);
  combineSpectra(filter.Even, filter.Odd, h, parts, plain_);
  combineSpectra(filter.EdgeEven, filter.EdgeOdd, h, parts, edge_);
  Reset();
}

void StreamConverter::Reset() {
  std::fill(input_.begin(), input_.end(), 0.0f);
  std::fill(spectra_.begin(), spectra_.end(), 0.0f);  // the spectra of silence
  filled_ = history_;                                 // the history before the first input is silence
  newest_ = 0;
  framesIn_ = 0;
  framesOut_ = 0;
  havePending_ = false;
  pending_ = 0;
}

// Appends frames to the input block, mixed down by Fs/4: frame m enters as (-1)^m (x[2m], x[2m+1]).
void StreamConverter::takeFrames(const Sample* in, int32_t frames) {
  float* __restrict dst = input_.data() + 2 * static_cast<size_t>(filled_);
  const float s0 = (framesIn_ & 1) ? -1.0f : 1.0f;
  int32_t r = 0;
  for (; r + 2 <= frames; r += 2) {
    dst[2 * r] = s0 * static_cast<float>(in[2 * r]);
    dst[2 * r + 1] = s0 * static_cast<float>(in[2 * r + 1]);
    dst[2 * r + 2] = -s0 * static_cast<float>(in[2 * r + 2]);
    dst[2 * r + 3] = -s0 * static_cast<float>(in[2 * r + 3]);
  }
  if (r < frames) {
    dst[2 * r] = s0 * static_cast<float>(in[2 * r]);
    dst[2 * r + 1] = s0 * static_cast<float>(in[2 * r + 1]);
  }
  filled_ += frames;
  framesIn_ += frames;
}

size_t StreamConverter::Process(const Sample* in, size_t count, Sample* out) {
  if (fftLength_ == 0) return 0;
  size_t written = 0;
  size_t used = 0;
  if (havePending_ && count > 0) {
    const Sample pair[2] = {pending_, in[0]};
    havePending_ = false;
    used = 1;
    takeFrames(pair, 1);
    if (filled_ == blockEnd()) written += runBlock(out, INT64_MAX);
  }
  while (count - used >= 2) {
    const size_t pairs = (count - used) / 2;
    const int32_t frames = static_cast<int32_t>(std::min<size_t>(pairs, static_cast<size_t>(blockEnd() - filled_)));
    takeFrames(in + used, frames);
    used += 2 * static_cast<size_t>(frames);
    if (filled_ == blockEnd()) written += runBlock(out + 2 * written, INT64_MAX);
  }
  if (used < count) {
    pending_ = in[used];
    havePending_ = true;
  }
  return written;
}

size_t StreamConverter::runBlock(Sample* out, int64_t end) {
  const int32_t n = fftLength_;
  const auto spectrumFloats = 2 * static_cast<size_t>(n);
  // The newest block's spectrum is taken even with the conversion off, so that switching
  // it on finds every partition's input in place. A slot holds X, then its mirror R.
  newest_ = newest_ + 1 == partitions_ ? 0 : newest_ + 1;
  float* newest = spectra_.data() + 2 * spectrumFloats * static_cast<size_t>(newest_);
  std::memcpy(newest, input_.data() + 2 * static_cast<size_t>(history_ - blockFrames_), sizeof(float) * spectrumFloats);
  ComplexFFT(newest, n, kForward, kUnscaled, kNaturalOrder, nullptr);
  mirrorSpectrum(newest, newest + spectrumFloats, n);
  const bool convert = switches_.IQ;
  if (convert) {
    // Partition p of the filter meets the input spectrum of p blocks ago.
    const FilterSpectra& filter = switches_.EdgeFilter ? edge_ : plain_;
    float* w = work_.data();
    applyFilter<false>(w, newest, newest + spectrumFloats, filter, 0, n);
    int32_t slot = newest_;
    for (int32_t p = 1; p < partitions_; ++p) {
      slot = slot == 0 ? partitions_ - 1 : slot - 1;
      const float* x = spectra_.data() + 2 * spectrumFloats * static_cast<size_t>(slot);
      applyFilter<true>(w, x, x + spectrumFloats, filter, p, n);
    }
    ComplexFFT(w, n, kInverse, kUnscaled, kNaturalOrder, nullptr);
  }

  // Output frame j stands for input frame j - D, mixed with (-1)^(j-D).
  const int64_t first = framesOut_;
  const int64_t skip = compensate_ ? std::clamp<int64_t>(delay_ - first, 0, blockFrames_) : 0;
  const float* filtered = work_.data() + 2 * static_cast<size_t>(blockFrames_);
  const float* raw = input_.data() + 2 * static_cast<size_t>(history_ - delay_);
  const int32_t stop = static_cast<int32_t>(std::clamp<int64_t>(end - first, skip, blockFrames_));
  // Per frame, the filtered output is scaled by 1 (or -(-1)^(j-D) inverted); the pass-through
  // takes the mixing off with (-1)^(j-D) (or -1 inverted).
  const float mixing = ((first + skip - delay_) & 1) ? -1.0f : 1.0f;
  const bool invert = switches_.InvertSpectrum;
  const int32_t from = static_cast<int32_t>(skip);
  if (convert) {
    const float a0 = invert ? -mixing : 1.0f;
    writeFrames<true>(filtered + 2 * from, stop - from, a0, invert ? -a0 : a0, out);
  } else {
    const float a0 = invert ? -1.0f : mixing;
    writeFrames<false>(raw + 2 * from, stop - from, a0, invert ? a0 : -a0, out);
  }
  framesOut_ += blockFrames_;

  // The last frames are the next block's history.
  std::memmove(input_.data(), input_.data() + 2 * static_cast<size_t>(blockFrames_),
               sizeof(float) * 2 * static_cast<size_t>(history_));
  filled_ = history_;
  return static_cast<size_t>(stop - skip);
}

size_t StreamConverter::Finish(Sample* out) {
  if (fftLength_ == 0) return 0;
  // Every frame that stands for received input, the filter's tail included; the lone
  // last sample of an odd count has no frame of its own.
  const int64_t end = framesIn_ + delay_;
  havePending_ = false;
  size_t written = 0;
  while (framesOut_ < end) {
    const int32_t room = blockEnd() - filled_;
    std::fill(input_.begin() + 2 * filled_, input_.end(), 0.0f);
    filled_ = blockEnd();
    framesIn_ += room;
    // Frames past the end belong to the padding, not to the stream.
    written += runBlock(out + 2 * written, end);
  }
  Reset();
  return written;
}

}  // namespace dsp
