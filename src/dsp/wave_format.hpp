#pragma once
#include <cstdint>

namespace dsp {

// The wave format record of PCM devices and of a wave file's format chunk.
struct WAVEFORMATEX {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

constexpr uint16_t WAVE_FORMAT_PCM = 1;

}  // namespace dsp
