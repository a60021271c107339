#pragma once
#include <cstdint>

#include "dsp/stream_config.hpp"

namespace dsp {

// A peak above this is shown as full scale and lights the clip mark.
constexpr int32_t ClipLevel = 32765;

struct PeakLevel {
  int32_t Position = 0;  // 0 ... 32767, what the meter shows
  bool Clipped = false;  // peak above ClipLevel
};

struct OutputLevels {
  PeakLevel Left;
  PeakLevel Right;
};

// Input level of a mono block: every sample is examined (|-32768| counts as 32768).
PeakLevel MeasureInputLevel(const Sample* block, int32_t count);

// Converts stream.WorkBuffer in place from BlockSamples real mono samples into
// HalfSegment stereo frames (left I, right Q) at half the rate; saturates to 16 bits.
// With edgeFilter the ends of the band are tapered with EdgeTaper. Allocation-free.
void ConvertToIQ(StreamConfig& stream, bool edgeFilter);

// Optionally negates both samples of every even frame (output spectrum inversion),
// then measures the left (even index) and right (odd index) peaks.
OutputLevels InvertAndMeasureOutput(Sample* block, int32_t count, bool invertSpectrum);

struct ConverterSwitches {
  bool IQ = true;               // conversion on; off passes the mono samples on as stereo pairs
  bool EdgeFilter = false;      // taper the band edges
  bool InvertSpectrum = false;  // swap the two halves of the output band
};

struct BlockLevels {
  PeakLevel Input;
  OutputLevels Output;
};

// The whole signal path of one block without the window: input level, conversion
// (when switched on), inversion and output levels.
BlockLevels ConvertBlock(StreamConfig& stream, const ConverterSwitches& switches);

}  // namespace dsp
