#include "headless/block_path.hpp"

#include <algorithm>
#include <cstring>

namespace headless {

namespace {

void prepare(wave::WAVEHDR& header, dsp::Sample* buffer, std::size_t samples) {
  header = wave::WAVEHDR{};
  header.lpData = reinterpret_cast<char*>(buffer);
  header.dwBufferLength = static_cast<uint32_t>(samples * sizeof(dsp::Sample));
}

}  // namespace

wave::MMRESULT BlockPath::startCapture(wave::HWAVEIN handle) {
  capture_ = handle;
  std::fill(stream_.WorkBuffer.begin(), stream_.WorkBuffer.end(), dsp::Sample{0});
  wave::MMRESULT first = wave::MMSYSERR_NOERROR;
  for (int i = 0; i < dsp::kBufferCount; ++i) {
    wave::WAVEHDR& header = captureHeaders_[i];
    prepare(header, stream_.CaptureBuffers[i].data(), static_cast<std::size_t>(stream_.BlockSamples));
    wave::MMRESULT r = wave::waveInPrepareHeader(handle, &header, wave::kWaveHdrSize);
    if (r == wave::MMSYSERR_NOERROR) r = wave::waveInAddBuffer(handle, &header, wave::kWaveHdrSize);
    if (first == wave::MMSYSERR_NOERROR) first = r;
  }
  const wave::MMRESULT r = wave::waveInStart(handle);
  return first != wave::MMSYSERR_NOERROR ? first : r;
}

wave::MMRESULT BlockPath::startPlayback(wave::HWAVEOUT handle) {
  playback_ = handle;
  wave::MMRESULT first = wave::MMSYSERR_NOERROR;
  for (int i = 0; i < dsp::kBufferCount; ++i) {
    auto& buffer = stream_.PlaybackBuffers[i];
    std::fill(buffer.begin(), buffer.end(), dsp::Sample{0});
    prepare(playbackHeaders_[i], buffer.data(), buffer.size());
    wave::MMRESULT r = wave::waveOutPrepareHeader(handle, &playbackHeaders_[i], wave::kWaveHdrSize);
    if (r == wave::MMSYSERR_NOERROR) r = wave::waveOutWrite(handle, &playbackHeaders_[i], wave::kWaveHdrSize);
    if (first == wave::MMSYSERR_NOERROR) first = r;
  }
  return first;
}

// As the window does it: a full capture buffer becomes the latest converted block, and
// every played buffer goes out again holding the latest block.
void BlockPath::handle(uint32_t message, void* device, wave::WAVEHDR* header) {
  if (header == nullptr) return;
  if (message == wave::MM_WIM_DATA && device == capture_ && capture_ != nullptr) {
    const std::size_t bytes =
        std::min<std::size_t>(header->dwBytesRecorded, stream_.WorkBuffer.size() * sizeof(dsp::Sample));
    std::memcpy(stream_.WorkBuffer.data(), header->lpData, bytes);
    levels_ = dsp::ConvertBlock(stream_, switches_);
    ++blocks_;
    (void)wave::waveInAddBuffer(capture_, header, wave::kWaveHdrSize);
  } else if (message == wave::MM_WOM_DONE && device == playback_ && playback_ != nullptr) {
    std::memcpy(header->lpData, stream_.WorkBuffer.data(),
                std::min<std::size_t>(header->dwBufferLength, stream_.WorkBuffer.size() * sizeof(dsp::Sample)));
    (void)wave::waveOutWrite(playback_, header, wave::kWaveHdrSize);
  }
}

}  // namespace headless
