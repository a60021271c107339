#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "dsp/aligned_vector.hpp"
#include "dsp/wave_format.hpp"

namespace dsp {

using Sample = int16_t;

constexpr int kBufferCount = 4;                  // buffers each way between the devices and the window
constexpr int32_t kFixedComplexEntries = 65537;  // entries of each fixed complex work array
constexpr int kEdgeTaperLength = 90;

// Everything the audio path needs for one input rate: sizes, window tables, the
// converter's work arrays, the device buffers and the two wave formats. The fixed
// complex arrays are allocated once by the constructor; Configure() only re-sizes the
// growable arrays to the same lengths every time, so nothing is reallocated after the
// first configuration and buffer addresses stay put while a device holds them.
class StreamConfig {
 public:
  // Rate of the configuration a new object starts with (a zeroed WorkBuffer included).
  static constexpr int32_t kDefaultRate = 48000;

  StreamConfig();

  // Sizes, tables, buffers (zeroed overlap memory) and both formats for `rate` Hz.
  // Does not clear WorkBuffer or touch any control: the window's ResetControls does that.
  void Configure(int32_t rate);

  // True when the sizes agree with each other (SpectrumLength a power of two, 64 ... 32768;
  // a block and a segment of twice that; half and quarter segments) and every array is long
  // enough for them. Configure() always leaves it true; the block functions assert it.
  bool IsConfigured() const;

  int32_t SpectrumLength = 0;
  int32_t BlockSamples = 0;
  int32_t SegmentLength = 0;
  int32_t HalfSegment = 0;
  int32_t QuarterSegment = 0;

  WAVEFORMATEX CaptureFormat{};
  WAVEFORMATEX PlaybackFormat{};

  std::array<std::vector<Sample>, kBufferCount> CaptureBuffers;
  std::array<std::vector<Sample>, kBufferCount> PlaybackBuffers;
  std::vector<Sample> WorkBuffer;

  AlignedVector<float> SegmentWindow;   // periodic Hann over SegmentLength
  AlignedVector<float> BlackmanWindow;  // periodic Blackman over SpectrumLength
  AlignedVector<float> OverlapLeft;     // HalfSegment entries
  AlignedVector<float> OverlapRight;
  std::array<float, kEdgeTaperLength> EdgeTaper{};

  // Fixed complex work arrays, kFixedComplexEntries (re, im) pairs each, never re-sized.
  AlignedVector<float> SpectrumBuffer;
  AlignedVector<float> SegmentSpectrumA;
  AlignedVector<float> BasebandA;
  AlignedVector<float> BasebandB;
  AlignedVector<float> SegmentSpectrumB;
};

}  // namespace dsp
