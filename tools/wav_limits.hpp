// Size limits of the WAV container for tovrel-convert's 16-bit stereo output.
#pragma once

#include <cstdint>

namespace convert {

// A WAV file states its sizes in 32 bits: the RIFF size (everything after the first 8 bytes)
// must not wrap. The header of a 16-bit PCM WAV is 44 bytes; the margin leaves room for the
// chunks a writer may add before the samples.
constexpr std::uint64_t kWavHeaderMargin = 4096;
constexpr std::uint64_t kStereo16FrameBytes = 4;
constexpr std::int64_t kWavMaxStereo16Frames =
    static_cast<std::int64_t>((UINT32_MAX - kWavHeaderMargin) / kStereo16FrameBytes);

// True when an output of this many 16-bit stereo frames fits a plain WAV file; a larger one
// is written as RF64, whose sizes are 64-bit.
constexpr bool fitsInWav(std::int64_t frames) { return frames >= 0 && frames <= kWavMaxStereo16Frames; }

}  // namespace convert
