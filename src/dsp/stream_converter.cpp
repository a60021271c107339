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

constexpr int32_t kMinTransform = 256;
constexpr int32_t kMaxTransform = 65536;
// The transform is about eight filter lengths long: most of each block is new output,
// and the transform still fits the caches well.
constexpr int32_t kTransformPerTaps = 8;

using cd = std::complex<double>;

// Spectrum of real taps in double precision with the engine's sign convention,
// X[k] = sum x[j] e^{+2 pi i jk/n}, so it multiplies the engine's own spectra.
std::vector<cd> tapSpectrum(const std::vector<double>& taps, size_t n) {
  std::vector<cd> a(n);
  for (size_t j = 0; j < taps.size(); ++j) a[j] = taps[j];
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

// (Even +- Odd) / 2 / n as interleaved floats: the inverse transform then needs no scaling.
void combineSpectra(const std::vector<double>& even, const std::vector<double>& odd, size_t n,
                    AlignedVector<float>& sum, AlignedVector<float>& diff) {
  const std::vector<cd> e = tapSpectrum(even, n);
  const std::vector<cd> o = tapSpectrum(odd, n);
  sum.assign(2 * n, 0.0f);
  diff.assign(2 * n, 0.0f);
  const double scale = 0.5 / static_cast<double>(n);
  for (size_t k = 0; k < n; ++k) {
    const cd s = (e[k] + o[k]) * scale;
    const cd d = (e[k] - o[k]) * scale;
    sum[2 * k] = static_cast<float>(s.real());
    sum[2 * k + 1] = static_cast<float>(s.imag());
    diff[2 * k] = static_cast<float>(d.real());
    diff[2 * k + 1] = static_cast<float>(d.imag());
  }
}

// Y[k] = X[k] S[k] + conj(X[n-k]) D[k] for every k, in place: the real part of the inverse
// is then e convolved with Even, the imaginary part o convolved with Odd.
void applyFilter(float* __restrict x, const float* __restrict s, const float* __restrict d, int32_t n) {
  auto one = [](float ar, float ai, float br, float bi, const float* sk, const float* dk, float* y) {
    // a S + conj(b) D
    y[0] = ar * sk[0] - ai * sk[1] + br * dk[0] + bi * dk[1];
    y[1] = ar * sk[1] + ai * sk[0] + br * dk[1] - bi * dk[0];
  };
  const int32_t h = n / 2;
  for (int32_t k : {0, h}) {
    const float ar = x[2 * k], ai = x[2 * k + 1];
    one(ar, ai, ar, ai, s + 2 * k, d + 2 * k, x + 2 * k);
  }
  for (int32_t k = 1; k < h; ++k) {
    const int32_t m = n - k;
    const float ar = x[2 * k], ai = x[2 * k + 1];
    const float br = x[2 * m], bi = x[2 * m + 1];
    one(ar, ai, br, bi, s + 2 * k, d + 2 * k, x + 2 * k);
    one(br, bi, ar, ai, s + 2 * m, d + 2 * m, x + 2 * m);
  }
}

// Nearest integer (ties to even), saturated to 16 bits.
inline Sample toSample(float v) {
  return static_cast<Sample>(std::lrint(std::clamp(v, -32768.0f, 32767.0f)));
}

}  // namespace

void StreamConverter::Configure(int32_t rate, const ConverterSwitches& switches) {
  const StreamFilter filter = DesignStreamFilter(rate);
  rate_ = rate;
  delay_ = filter.DelayFrames;
  taps_ = filter.Taps;
  transition_ = filter.Transition;
  edgeRamp_ = filter.EdgeRamp;
  int32_t n = kMinTransform;
  while (n < kMaxTransform && n < kTransformPerTaps * taps_) n *= 2;
  fftLength_ = n;
  blockFrames_ = n - (taps_ - 1);
  switches_ = switches;
  compensate_ = true;

  const size_t entries = 2 * static_cast<size_t>(n);
  input_.assign(entries, 0.0f);
  work_.assign(entries, 0.0f);
  combineSpectra(filter.Even, filter.Odd, static_cast<size_t>(n), sum_, diff_);
  combineSpectra(filter.EdgeEven, filter.EdgeOdd, static_cast<size_t>(n), edgeSum_, edgeDiff_);
  Reset();
}

void StreamConverter::Reset() {
  std::fill(input_.begin(), input_.end(), 0.0f);
  filled_ = taps_ > 0 ? taps_ - 1 : 0;  // the history before the first input is silence
  framesIn_ = 0;
  framesOut_ = 0;
  havePending_ = false;
  pending_ = 0;
}

// Appends frames to the input block, mixed down by Fs/4: frame m enters as (-1)^m (x[2m], x[2m+1]).
void StreamConverter::takeFrames(const Sample* in, int32_t frames) {
  float* __restrict dst = input_.data() + 2 * static_cast<size_t>(filled_);
  float sign = (framesIn_ & 1) ? -1.0f : 1.0f;
  for (int32_t r = 0; r < frames; ++r) {
    dst[2 * r] = sign * static_cast<float>(in[2 * r]);
    dst[2 * r + 1] = sign * static_cast<float>(in[2 * r + 1]);
    sign = -sign;
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
    if (filled_ == fftLength_) written += runBlock(out, INT64_MAX);
  }
  while (count - used >= 2) {
    const size_t pairs = (count - used) / 2;
    const int32_t frames = static_cast<int32_t>(std::min<size_t>(pairs, static_cast<size_t>(fftLength_ - filled_)));
    takeFrames(in + used, frames);
    used += 2 * static_cast<size_t>(frames);
    if (filled_ == fftLength_) written += runBlock(out + 2 * written, INT64_MAX);
  }
  if (used < count) {
    pending_ = in[used];
    havePending_ = true;
  }
  return written;
}

size_t StreamConverter::runBlock(Sample* out, int64_t end) {
  const int32_t n = fftLength_;
  const int32_t history = taps_ - 1;
  const bool convert = switches_.IQ;
  if (convert) {
    float* w = work_.data();
    std::memcpy(w, input_.data(), sizeof(float) * 2 * static_cast<size_t>(n));
    ComplexFFT(w, n, kForward, kUnscaled, kNaturalOrder, nullptr);
    if (switches_.EdgeFilter)
      applyFilter(w, edgeSum_.data(), edgeDiff_.data(), n);
    else
      applyFilter(w, sum_.data(), diff_.data(), n);
    ComplexFFT(w, n, kInverse, kUnscaled, kNaturalOrder, nullptr);
  }

  // Output frame j stands for input frame j - D; its mixing sign (-1)^(j-D) is what the
  // pass-through takes off again and what the inversion multiplies by (negated).
  const int64_t first = framesOut_;
  const int64_t skip = compensate_ ? std::clamp<int64_t>(delay_ - first, 0, blockFrames_) : 0;
  const float* filtered = work_.data() + 2 * static_cast<size_t>(history);
  const float* raw = input_.data() + 2 * static_cast<size_t>(history - delay_);
  const int32_t stop = static_cast<int32_t>(std::clamp<int64_t>(end - first, skip, blockFrames_));
  Sample* dst = out;
  for (int32_t r = static_cast<int32_t>(skip); r < stop; ++r) {
    const float mixing = ((first + r - delay_) & 1) ? -1.0f : 1.0f;
    const float gain = switches_.InvertSpectrum ? -mixing : 1.0f;
    float left, right;
    if (convert) {
      left = filtered[2 * r + 1];
      right = filtered[2 * r];
    } else {
      left = mixing * raw[2 * r];
      right = mixing * raw[2 * r + 1];
    }
    dst[0] = toSample(gain * left);
    dst[1] = toSample(gain * right);
    dst += 2;
  }
  framesOut_ += blockFrames_;

  // The last Taps - 1 frames are the next block's history.
  std::memmove(input_.data(), input_.data() + 2 * static_cast<size_t>(blockFrames_),
               sizeof(float) * 2 * static_cast<size_t>(history));
  filled_ = history;
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
    const int32_t room = fftLength_ - filled_;
    std::fill(input_.begin() + 2 * filled_, input_.end(), 0.0f);
    filled_ = fftLength_;
    framesIn_ += room;
    // Frames past the end belong to the padding, not to the stream.
    written += runBlock(out + 2 * written, end);
  }
  Reset();
  return written;
}

}  // namespace dsp
