#include "dsp/converter.hpp"

#include <algorithm>
#include <cstring>

#include "dsp/fft.hpp"

namespace dsp {

namespace {

constexpr int32_t kFullScale = 32767;
// The linear passes walk their arrays in fixed runs of this many entries: a loop of known
// length that the compiler turns into vector code at its cheapest setting. Every size of
// the converter is a multiple of it.
constexpr int32_t kRun = 16;
// Bins tapered at each end of the band; EdgeTaper[kTaperBins] is the flat top.
constexpr int32_t kTaperBins = kEdgeTaperLength / 2;

// |s| as a 32-bit integer, so -32768 counts as 32768.
inline int32_t magnitude(Sample s) { return s < 0 ? -static_cast<int32_t>(s) : static_cast<int32_t>(s); }

PeakLevel levelOf(int32_t peak) {
  PeakLevel level;
  level.Clipped = peak > ClipLevel;
  level.Position = level.Clipped ? kFullScale : peak;
  return level;
}

// Output samples saturate: a wrapped sample would flip sign into a loud click and hide
// the overload from the meters. The sum is formed in double and truncated toward zero.
inline Sample saturate(float a, float b) {
  const double v = std::clamp(static_cast<double>(a) + static_cast<double>(b), -32768.0, 32767.0);
  return static_cast<Sample>(static_cast<int32_t>(v));
}

// Complex segment from real samples: (x[f] * W[f], 0) for f = 0 ... count-1 (count a
// multiple of kRun).
void windowSegment(float* __restrict segment, const Sample* __restrict x, const float* __restrict window,
                   int32_t count) {
  for (int32_t base = 0; base < count; base += kRun) {
    for (int32_t k = 0; k < kRun; ++k) {
      segment[2 * (base + k)] = static_cast<float>(x[base + k]) * window[base + k];
      segment[2 * (base + k) + 1] = 0.0f;
    }
  }
}

// Peak |x[i]| per lane, lane = i mod kRun: even lanes see the even indices (left
// channel of stereo frames), odd lanes the odd ones (right).
void lanePeaks(const Sample* __restrict x, int32_t count, int32_t (&lanes)[kRun]) {
  for (int32_t k = 0; k < kRun; ++k) lanes[k] = 0;
  int32_t i = 0;
  for (; i + kRun <= count; i += kRun)
    for (int32_t k = 0; k < kRun; ++k) lanes[k] = std::max(lanes[k], magnitude(x[i + k]));
  for (; i < count; ++i) lanes[i % kRun] = std::max(lanes[i % kRun], magnitude(x[i]));
}

// Sign of each sample of a run under spectrum inversion: both samples of even frames flip.
constexpr int32_t kInversionSign[kRun] = {-1, -1, 1, 1, -1, -1, 1, 1, -1, -1, 1, 1, -1, -1, 1, 1};

void clearComplex(float* segment, int32_t count) {
  std::memset(segment, 0, sizeof(float) * 2 * static_cast<size_t>(count));
}

// Ramps the bins next to 0 Hz and next to half the input rate; DC and the top bin go to 0.
void taperBandEdges(float* __restrict spectrum, const float* __restrict taper, int32_t half) {
  for (int32_t i = 0; i <= kTaperBins; ++i) {
    const float t = taper[kTaperBins - i];
    spectrum[2 * (half - kTaperBins + i)] *= t;
    spectrum[2 * (half - kTaperBins + i) + 1] *= t;
  }
  for (int32_t i = 0; i < kTaperBins; ++i) {
    spectrum[2 * i] *= taper[i];
    spectrum[2 * i + 1] *= taper[i];
  }
}

// Keeps bins 0 ... half-1 (the band 0 ... Fs/2) rotated by `quarter` places, so that
// the middle of the band lands on 0 Hz of the half-rate output.
void rotateIntoBaseband(float* __restrict baseband, const float* __restrict spectrum, int32_t half,
                        int32_t quarter) {
  std::memcpy(baseband, spectrum + 2 * static_cast<size_t>(quarter), sizeof(float) * 2 * static_cast<size_t>(quarter));
  std::memcpy(baseband + 2 * static_cast<size_t>(quarter), spectrum,
              sizeof(float) * 2 * static_cast<size_t>(half - quarter));
}

// The second half of a segment's output waits in the overlap memory for the next segment.
void keepTail(float* __restrict overlapLeft, float* __restrict overlapRight, const float* __restrict tail,
              int32_t count) {
  for (int32_t base = 0; base < count; base += kRun) {
    for (int32_t k = 0; k < kRun; ++k) {
      overlapLeft[base + k] = tail[2 * (base + k) + 1];
      overlapRight[base + k] = tail[2 * (base + k)];
    }
  }
}

void forward(float* data, int32_t count) { ComplexFFT(data, count, kForward, kScaled, kNaturalOrder, nullptr); }
void inverse(float* data, int32_t count) { ComplexFFT(data, count, kInverse, kScaled, kNaturalOrder, nullptr); }

}  // namespace

PeakLevel MeasureInputLevel(const Sample* block, int32_t count) {
  int32_t lanes[kRun];
  lanePeaks(block, count, lanes);
  int32_t peak = 0;
  for (int32_t k = 0; k < kRun; ++k) peak = std::max(peak, lanes[k]);
  return levelOf(peak);
}

void ConvertToIQ(StreamConfig& stream, bool edgeFilter) {
  const int32_t N = stream.SegmentLength;
  const int32_t H = stream.HalfSegment;
  const int32_t Q = stream.QuarterSegment;
  // The block is exactly one segment long; anything else is not a configured stream.
  if (N <= 0 || N % (4 * kRun) != 0 || N != stream.BlockSamples || static_cast<int32_t>(stream.WorkBuffer.size()) < N ||
      static_cast<int32_t>(stream.SegmentWindow.size()) < N || static_cast<int32_t>(stream.OverlapLeft.size()) < H ||
      static_cast<int32_t>(stream.OverlapRight.size()) < H || N >= kFixedComplexEntries)
    return;

  Sample* __restrict x = stream.WorkBuffer.data();
  const float* __restrict window = stream.SegmentWindow.data();
  float* __restrict segmentA = stream.SegmentSpectrumA.data();
  float* __restrict segmentB = stream.SegmentSpectrumB.data();
  float* __restrict basebandA = stream.BasebandA.data();
  float* __restrict basebandB = stream.BasebandB.data();
  float* __restrict overlapLeft = stream.OverlapLeft.data();
  float* __restrict overlapRight = stream.OverlapRight.data();

  // Nothing carries over from the previous block: the signal before it counts as silence.
  std::fill(overlapLeft, overlapLeft + H, 0.0f);
  std::fill(overlapRight, overlapRight + H, 0.0f);

  // First pass, segments at -N and -H. The one at -N lies wholly before the block and
  // transforms to exact zeros, and no sample of this pass falls inside the block, so only
  // the tail of the segment at -H matters: it becomes the overlap memory.
  clearComplex(segmentB, H);
  windowSegment(segmentB + 2 * static_cast<size_t>(H), x, window + H, H);
  forward(segmentB, N);
  if (edgeFilter) taperBandEdges(segmentB, stream.EdgeTaper.data(), H);
  rotateIntoBaseband(basebandB, segmentB, H, Q);
  inverse(basebandB, H);
  keepTail(overlapLeft, overlapRight, basebandB + 2 * static_cast<size_t>(Q), Q);

  // Second pass, segments at 0 and H. Both are cut from the block before it is overwritten.
  windowSegment(segmentA, x, window, N);
  windowSegment(segmentB, x + H, window, H);
  clearComplex(segmentB + 2 * static_cast<size_t>(H), H);
  forward(segmentA, N);
  forward(segmentB, N);
  if (edgeFilter) {
    taperBandEdges(segmentA, stream.EdgeTaper.data(), H);
    taperBandEdges(segmentB, stream.EdgeTaper.data(), H);
  }
  rotateIntoBaseband(basebandA, segmentA, H, Q);
  rotateIntoBaseband(basebandB, segmentB, H, Q);
  inverse(basebandA, H);
  inverse(basebandB, H);

  // Overlap-add into stereo frames: imaginary part left (I), real part right (Q).
  const float* tailB = basebandB + 2 * static_cast<size_t>(Q);
  for (int32_t base = 0; base < Q; base += kRun) {
    const float* a = basebandA + 2 * base;
    Sample* out = x + 2 * base;
    for (int32_t k = 0; k < kRun; ++k) {
      out[2 * k] = saturate(a[2 * k + 1], overlapLeft[base + k]);
      out[2 * k + 1] = saturate(a[2 * k], overlapRight[base + k]);
    }
  }
  keepTail(overlapLeft, overlapRight, tailB, Q);
  for (int32_t base = Q; base < H; base += kRun) {
    const float* a = basebandA + 2 * base;
    const float* b = basebandB + 2 * (base - Q);
    Sample* out = x + 2 * base;
    for (int32_t k = 0; k < kRun; ++k) {
      out[2 * k] = saturate(a[2 * k + 1], b[2 * k + 1]);
      out[2 * k + 1] = saturate(a[2 * k], b[2 * k]);
    }
  }
}

OutputLevels InvertAndMeasureOutput(Sample* block, int32_t count, bool invertSpectrum) {
  if (invertSpectrum) {
    // Negating every even frame undoes the (-1)^m of the rotation, up to a sign: the two
    // halves of the output band trade places. -32768 stays -32768 (16-bit negation).
    int32_t i = 0;
    for (; i + kRun <= count; i += kRun)
      for (int32_t k = 0; k < kRun; ++k)
        block[i + k] = static_cast<Sample>(kInversionSign[k] * static_cast<int32_t>(block[i + k]));
    for (; i < count; ++i)
      if ((i & 2) == 0) block[i] = static_cast<Sample>(-static_cast<int32_t>(block[i]));
  }
  int32_t lanes[kRun];
  lanePeaks(block, count, lanes);
  int32_t peakLeft = 0;
  int32_t peakRight = 0;
  for (int32_t k = 0; k < kRun; k += 2) {
    peakLeft = std::max(peakLeft, lanes[k]);
    peakRight = std::max(peakRight, lanes[k + 1]);
  }

  OutputLevels levels;
  levels.Left = levelOf(peakLeft);
  levels.Right = levelOf(peakRight);
  return levels;
}

BlockLevels ConvertBlock(StreamConfig& stream, const ConverterSwitches& switches) {
  BlockLevels levels;
  levels.Input = MeasureInputLevel(stream.WorkBuffer.data(), stream.BlockSamples);
  if (switches.IQ) ConvertToIQ(stream, switches.EdgeFilter);
  levels.Output = InvertAndMeasureOutput(stream.WorkBuffer.data(), stream.BlockSamples, switches.InvertSpectrum);
  return levels;
}

}  // namespace dsp
