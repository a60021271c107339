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
// leaves every hop frames, about half the filter's length, instead of waiting for a
// transform many filter lengths long. The hop is the smallest power of two that covers the
// filter in two partitions, so each block costs two transforms and two spectrum products
// (more partitions only below 8000 Hz).
constexpr int32_t kMinHop = 16;
// Below 8000 Hz the filter is long in time; more partitions keep a block within this much output.
constexpr double kMaxBlockSeconds = 0.040;

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

// Per partition p (taps p hop ... p hop + hop - 1, transform length n = 2 hop), (Even +- Odd)
// / 2 / n as interleaved floats, one spectrum after the other: the inverse transform then
// needs no scaling.
void combineSpectra(const std::vector<double>& even, const std::vector<double>& odd, size_t hop,
                    size_t partitions, AlignedVector<float>& sum, AlignedVector<float>& diff) {
  const size_t n = 2 * hop;
  sum.assign(2 * n * partitions, 0.0f);
  diff.assign(2 * n * partitions, 0.0f);
  const double scale = 0.5 / static_cast<double>(n);
  for (size_t p = 0; p < partitions; ++p) {
    const size_t from = p * hop;
    const size_t count = std::min(hop, even.size() - from);
    const std::vector<cd> e = tapSpectrum(even.data() + from, count, n);
    const std::vector<cd> o = tapSpectrum(odd.data() + from, count, n);
    float* sp = sum.data() + 2 * n * p;
    float* dp = diff.data() + 2 * n * p;
    for (size_t k = 0; k < n; ++k) {
      const cd s = (e[k] + o[k]) * scale;
      const cd d = (e[k] - o[k]) * scale;
      sp[2 * k] = static_cast<float>(s.real());
      sp[2 * k + 1] = static_cast<float>(s.imag());
      dp[2 * k] = static_cast<float>(d.real());
      dp[2 * k + 1] = static_cast<float>(d.imag());
    }
  }
}

// Y[k] (+)= X[k] S[k] + conj(X[n-k]) D[k] for every k: the real part of the inverse is
// then e convolved with Even, the imaginary part o convolved with Odd.
template <bool kAccumulate>
void applyFilter(float* __restrict y, const float* __restrict x, const float* __restrict s,
                 const float* __restrict d, int32_t n) {
  auto one = [](float ar, float ai, float br, float bi, const float* sk, const float* dk, float* yk) {
    // a S + conj(b) D
    const float re = ar * sk[0] - ai * sk[1] + br * dk[0] + bi * dk[1];
    const float im = ar * sk[1] + ai * sk[0] + br * dk[1] - bi * dk[0];
    if constexpr (kAccumulate) {
      yk[0] += re;
      yk[1] += im;
    } else {
      yk[0] = re;
      yk[1] = im;
    }
  };
  const int32_t h = n / 2;
  for (int32_t k : {0, h}) {
    const float ar = x[2 * k], ai = x[2 * k + 1];
    one(ar, ai, ar, ai, s + 2 * k, d + 2 * k, y + 2 * k);
  }
  for (int32_t k = 1; k < h; ++k) {
    const int32_t m = n - k;
    const float ar = x[2 * k], ai = x[2 * k + 1];
    const float br = x[2 * m], bi = x[2 * m + 1];
    one(ar, ai, br, bi, s + 2 * k, d + 2 * k, y + 2 * k);
    one(br, bi, ar, ai, s + 2 * m, d + 2 * m, y + 2 * m);
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
  spectra_.assign(2 * static_cast<size_t>(fftLength_) * static_cast<size_t>(partitions_), 0.0f);
  const auto h = static_cast<size_t>(hop), parts = static_cast<size_t>(partitions_);
  combineSpectra(filter.Even, filter.Odd, h, parts, sum_, diff_);
  combineSpectra(filter.EdgeEven, filter.EdgeOdd, h, parts, edgeSum_, edgeDiff_);
  Reset();
}

void StreamConverter::Reset() {
  std::fill(input_.begin(), input_.end(), 0.0f);
  std::fill(spectra_.begin(), spectra_.end(), 0.0f);  // the spectra of silence
  filled_ = history_;  // the history before the first input is silence
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
  // it on finds every partition's input in place.
  newest_ = newest_ + 1 == partitions_ ? 0 : newest_ + 1;
  float* newest = spectra_.data() + spectrumFloats * static_cast<size_t>(newest_);
  std::memcpy(newest, input_.data() + 2 * static_cast<size_t>(history_ - blockFrames_), sizeof(float) * spectrumFloats);
  ComplexFFT(newest, n, kForward, kUnscaled, kNaturalOrder, nullptr);
  const bool convert = switches_.IQ;
  if (convert) {
    // Partition p of the filter meets the input spectrum of p blocks ago.
    const float* sum = switches_.EdgeFilter ? edgeSum_.data() : sum_.data();
    const float* diff = switches_.EdgeFilter ? edgeDiff_.data() : diff_.data();
    float* w = work_.data();
    applyFilter<false>(w, newest, sum, diff, n);
    int32_t slot = newest_;
    for (int32_t p = 1; p < partitions_; ++p) {
      slot = slot == 0 ? partitions_ - 1 : slot - 1;
      const size_t at = spectrumFloats * static_cast<size_t>(p);
      applyFilter<true>(w, spectra_.data() + spectrumFloats * static_cast<size_t>(slot), sum + at, diff + at, n);
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
