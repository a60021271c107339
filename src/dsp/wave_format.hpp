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

// A 16-bit PCM format; the derived fields are computed last, from the ones just set.
inline WAVEFORMATEX Pcm16Format(uint16_t channels, uint32_t samplesPerSec) {
  WAVEFORMATEX format;
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = samplesPerSec;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  format.nBlockAlign = static_cast<uint16_t>(format.nChannels * format.wBitsPerSample / 8);
  format.nAvgBytesPerSec = format.nChannels * format.nSamplesPerSec * format.wBitsPerSample / 8;
  return format;
}

}  // namespace dsp
