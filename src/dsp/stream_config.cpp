#include "dsp/stream_config.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace dsp {

namespace {

constexpr long double kTwoPi = 2.0L * std::numbers::pi_v<long double>;

// Raised cosine 0 ... 1 ... 0 over `length` points, periodic. The offset j/L - 0.5 is
// rounded to double first so every configuration and every build gives the same table.
float raisedCosine(int32_t j, int32_t length) {
  const double offset = static_cast<double>(j) / static_cast<double>(length) - 0.5;
  const long double value = 0.5L * std::cos(kTwoPi * static_cast<long double>(offset)) + 0.5L;
  return static_cast<float>(std::fabs(value));
}

// Periodic Blackman window (divisor L, coefficients 0.42 / 0.5 / 0.08).
float blackman(int32_t k, int32_t length) {
  const long double phase = kTwoPi * static_cast<long double>(k) / static_cast<long double>(length);
  const long double value = (0.42L - 0.5L * std::cos(phase)) + 0.08L * std::cos(2.0L * phase);
  return static_cast<float>(value);
}

// Sizes a growable array; the capacity reached by the first configuration is enough for
// every later one, so the data never moves.
template <typename Vector>
void resizeInPlace(Vector& array, int32_t length) {
  array.resize(static_cast<size_t>(length));
}

}  // namespace

StreamConfig::StreamConfig()
    : SpectrumBuffer(2 * static_cast<size_t>(kFixedComplexEntries), 0.0f),
      SegmentSpectrumA(2 * static_cast<size_t>(kFixedComplexEntries), 0.0f),
      BasebandA(2 * static_cast<size_t>(kFixedComplexEntries), 0.0f),
      BasebandB(2 * static_cast<size_t>(kFixedComplexEntries), 0.0f),
      SegmentSpectrumB(2 * static_cast<size_t>(kFixedComplexEntries), 0.0f) {
  // A usable configuration from the start, with silence in WorkBuffer; the window
  // configures again for its stored rate before any device opens.
  Configure(kDefaultRate);
}

void StreamConfig::Configure(int32_t rate) {
  SpectrumLength = 16384;
  BlockSamples = 2 * SpectrumLength;
  SegmentLength = BlockSamples;
  HalfSegment = SegmentLength / 2;
  QuarterSegment = HalfSegment / 2;

  resizeInPlace(OverlapLeft, HalfSegment);
  resizeInPlace(OverlapRight, HalfSegment);
  std::fill(OverlapLeft.begin(), OverlapLeft.end(), 0.0f);
  std::fill(OverlapRight.begin(), OverlapRight.end(), 0.0f);

  for (int32_t j = 0; j < kEdgeTaperLength; ++j) EdgeTaper[static_cast<size_t>(j)] = raisedCosine(j, kEdgeTaperLength);

  resizeInPlace(SegmentWindow, SegmentLength);
  for (int32_t j = 0; j < SegmentLength; ++j) SegmentWindow[static_cast<size_t>(j)] = raisedCosine(j, SegmentLength);

  resizeInPlace(BlackmanWindow, SpectrumLength);
  for (int32_t k = 0; k < SpectrumLength; ++k) BlackmanWindow[static_cast<size_t>(k)] = blackman(k, SpectrumLength);

  for (int i = 0; i < kBufferCount; ++i) {
    resizeInPlace(CaptureBuffers[static_cast<size_t>(i)], 2 * SpectrumLength);
    resizeInPlace(PlaybackBuffers[static_cast<size_t>(i)], 2 * SpectrumLength);
  }
  // Kept as it is: clearing WorkBuffer belongs to the window's ResetControls.
  resizeInPlace(WorkBuffer, 2 * SpectrumLength);

  CaptureFormat = Pcm16Format(1, static_cast<uint32_t>(rate));
  PlaybackFormat = Pcm16Format(2, static_cast<uint32_t>(rate / 2));
}

bool StreamConfig::IsConfigured() const {
  const auto holds = [](const auto& array, int32_t length) { return array.size() >= static_cast<size_t>(length); };
  const bool sizesAgree = SpectrumLength >= 64 && SpectrumLength <= 32768 &&
                          std::has_single_bit(static_cast<uint32_t>(SpectrumLength)) &&
                          BlockSamples == 2 * SpectrumLength && SegmentLength == BlockSamples &&
                          HalfSegment == SegmentLength / 2 && QuarterSegment == HalfSegment / 2;
  if (!sizesAgree) return false;
  const bool fixedArraysHold = holds(SpectrumBuffer, 2 * SpectrumLength) &&
                               holds(SegmentSpectrumA, 2 * SegmentLength) &&
                               holds(SegmentSpectrumB, 2 * SegmentLength) && holds(BasebandA, 2 * HalfSegment) &&
                               holds(BasebandB, 2 * HalfSegment);
  return fixedArraysHold && holds(WorkBuffer, BlockSamples) && holds(SegmentWindow, SegmentLength) &&
         holds(BlackmanWindow, SpectrumLength) && holds(OverlapLeft, HalfSegment) && holds(OverlapRight, HalfSegment);
}

}  // namespace dsp
