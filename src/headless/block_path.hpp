#pragma once
// Block mode without a window: the same buffers and the same block converter as the
// window's block mode, driven from the headless service's thread instead of the window's.
#include <array>
#include <cstdint>

#include "dsp/converter.hpp"
#include "dsp/stream_config.hpp"
#include "wave/wave.hpp"

namespace headless {

class BlockPath {
 public:
  void configure(int32_t rate) { stream_.Configure(rate); }
  const dsp::StreamConfig& stream() const { return stream_; }
  void setSwitches(const dsp::ConverterSwitches& switches) { switches_ = switches; }

  // After the devices opened: queues every buffer (capture also starts, playback starts
  // with silence). Returns the first error.
  wave::MMRESULT startCapture(wave::HWAVEIN handle);
  wave::MMRESULT startPlayback(wave::HWAVEOUT handle);
  // Before a reset or close: buffers handed back stay out.
  void stopping() {
    capture_ = nullptr;
    playback_ = nullptr;
  }

  // A notice of either device; others' and stale ones are ignored.
  void handle(uint32_t message, void* device, wave::WAVEHDR* header);

  dsp::BlockLevels levels() const { return levels_; }
  uint64_t blocks() const { return blocks_; }

 private:
  dsp::StreamConfig stream_;
  dsp::ConverterSwitches switches_;
  std::array<wave::WAVEHDR, dsp::kBufferCount> captureHeaders_{};
  std::array<wave::WAVEHDR, dsp::kBufferCount> playbackHeaders_{};
  wave::HWAVEIN capture_ = nullptr;
  wave::HWAVEOUT playback_ = nullptr;
  dsp::BlockLevels levels_;
  uint64_t blocks_ = 0;
};

}  // namespace headless
