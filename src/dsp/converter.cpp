#include "dsp/converter.hpp"

#include <algorithm>
#include <cassert>
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
void rotateIntoBaseband(float* __restrict baseband, const float* __restrict spectrum, int32_t half, int32_t quarter) {
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

// A windowed segment to half-rate baseband: its spectrum, band edges tapered, the band moved
// down by a quarter of the segment and transformed back at half the length.
void segmentToBaseband(float* segment, float* baseband, const StreamConfig& stream, bool edgeFilter) {
  forward(segment, stream.SegmentLength);
  if (edgeFilter) taperBandEdges(segment, stream.EdgeTaper.data(), stream.HalfSegment);
  rotateIntoBaseband(baseband, segment, stream.HalfSegment, stream.QuarterSegment);
  inverse(baseband, stream.HalfSegment);
}

// First pass, segments at -N and -H. Nothing carries over from the previous block: the
// signal before it counts as silence. The segment at -N lies wholly before the block and
// transforms to exact zeros, and no sample of this pass falls inside the block, so only the
// tail of the segment at -H matters: it becomes the overlap memory.
void primeOverlapFromSilence(StreamConfig& stream, bool edgeFilter) {
  const int32_t H = stream.HalfSegment;
  float* segment = stream.SegmentSpectrumB.data();
  float* baseband = stream.BasebandB.data();
  std::fill(stream.OverlapLeft.begin(), stream.OverlapLeft.begin() + H, 0.0f);
  std::fill(stream.OverlapRight.begin(), stream.OverlapRight.begin() + H, 0.0f);
  clearComplex(segment, H);
  windowSegment(segment + 2 * static_cast<size_t>(H), stream.WorkBuffer.data(), stream.SegmentWindow.data() + H, H);
  segmentToBaseband(segment, baseband, stream, edgeFilter);
  keepTail(stream.OverlapLeft.data(), stream.OverlapRight.data(),
           baseband + 2 * static_cast<size_t>(stream.QuarterSegment), stream.QuarterSegment);
}

// Second pass, segments at 0 and H, into BasebandA and BasebandB. Both are cut from the
// block before the overlap-add overwrites it.
void transformBlockSegments(StreamConfig& stream, bool edgeFilter) {
  const int32_t N = stream.SegmentLength;
  const int32_t H = stream.HalfSegment;
  const Sample* x = stream.WorkBuffer.data();
  const float* window = stream.SegmentWindow.data();
  float* segmentA = stream.SegmentSpectrumA.data();
  float* segmentB = stream.SegmentSpectrumB.data();
  windowSegment(segmentA, x, window, N);
  windowSegment(segmentB, x + H, window, H);
  clearComplex(segmentB + 2 * static_cast<size_t>(H), H);
  segmentToBaseband(segmentA, stream.BasebandA.data(), stream, edgeFilter);
  segmentToBaseband(segmentB, stream.BasebandB.data(), stream, edgeFilter);
}

// Overlap-add into stereo frames over the block: imaginary part left (I), real part right
// (Q). The first quarter adds the overlap memory, the second the head of BasebandB, whose
// tail becomes the overlap memory.
void overlapAddIntoFrames(StreamConfig& stream) {
  const int32_t H = stream.HalfSegment;
  const int32_t Q = stream.QuarterSegment;
  Sample* __restrict x = stream.WorkBuffer.data();
  const float* __restrict basebandA = stream.BasebandA.data();
  const float* __restrict basebandB = stream.BasebandB.data();
  float* __restrict overlapLeft = stream.OverlapLeft.data();
  float* __restrict overlapRight = stream.OverlapRight.data();
  for (int32_t base = 0; base < Q; base += kRun) {
    const float* a = basebandA + 2 * base;
    Sample* out = x + 2 * base;
    for (int32_t k = 0; k < kRun; ++k) {
      out[2 * k] = saturate(a[2 * k + 1], overlapLeft[base + k]);
      out[2 * k + 1] = saturate(a[2 * k], overlapRight[base + k]);
    }
  }
  keepTail(overlapLeft, overlapRight, basebandB + 2 * static_cast<size_t>(Q), Q);
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

}  // namespace

PeakLevel MeasureInputLevel(const Sample* block, int32_t count) {
  int32_t lanes[kRun];
  lanePeaks(block, count, lanes);
  int32_t peak = 0;
  for (int32_t k = 0; k < kRun; ++k) peak = std::max(peak, lanes[k]);
  return levelOf(peak);
}

// The stream's sizes are validated where it is configured. An unconfigured one is the
// caller's fault: loud in debug builds, and in release builds the block is left as it is
// rather than read or written out of bounds.
void ConvertToIQ(StreamConfig& stream, bool edgeFilter) {
  assert(stream.IsConfigured());
  if (!stream.IsConfigured()) return;
  primeOverlapFromSilence(stream, edgeFilter);
  transformBlockSegments(stream, edgeFilter);
  overlapAddIntoFrames(stream);
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
