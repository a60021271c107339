#pragma once
// Argument checks shared by the back ends, so the scripted one refuses exactly what the
// sound server's one refuses.
#include "wave/wave.hpp"

namespace wave::detail {

// Highest rate a device is opened at; the sound server accepts nothing above it either.
constexpr uint32_t kMaxSampleRate = 384000;

// 16-bit PCM, mono or stereo, 1 .. kMaxSampleRate frames per second.
MMRESULT checkFormat(const WAVEFORMATEX* format);

// Open arguments other than the device id and format: an out-parameter, a target and a
// window callback.
MMRESULT checkOpenArgs(const void* handleOut, const NoticeTarget* target, uint32_t flags);

// Header record of the right size with a buffer to fill or play, a whole number of
// frames long (`frameBytes` per frame): a buffer ending inside a frame would split that
// frame across two buffers and shift every later sample's bytes or channels.
MMRESULT checkHeader(const WAVEHDR* header, uint32_t size, uint32_t frameBytes);

}  // namespace wave::detail
