// Stream configuration: sizes, the wave formats of both devices, the three window
// tables against double-precision formulas, and the stability of every buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "dsp/stream_config.hpp"

namespace {

using dsp::StreamConfig;
using dsp::WAVEFORMATEX;

constexpr double kPi = std::numbers::pi;

void expectPcm(const WAVEFORMATEX& f, uint16_t channels, uint32_t rate, uint32_t bytesPerSec, uint16_t blockAlign) {
  EXPECT_EQ(f.wFormatTag, dsp::WAVE_FORMAT_PCM);
  EXPECT_EQ(f.nChannels, channels);
  EXPECT_EQ(f.nSamplesPerSec, rate);
  EXPECT_EQ(f.nAvgBytesPerSec, bytesPerSec);
  EXPECT_EQ(f.nBlockAlign, blockAlign);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.cbSize, 0);
}

TEST(StreamConfigFormats, CaptureMonoAtRatePlaybackStereoAtIntegerHalf) {
  StreamConfig stream;
  stream.Configure(11025);
  expectPcm(stream.CaptureFormat, 1, 11025, 22050, 2);
  expectPcm(stream.PlaybackFormat, 2, 5512, 22048, 4);  // 11025 / 2 truncates

  stream.Configure(44100);
  expectPcm(stream.CaptureFormat, 1, 44100, 88200, 2);
  expectPcm(stream.PlaybackFormat, 2, 22050, 88200, 4);

  stream.Configure(192000);
  expectPcm(stream.CaptureFormat, 1, 192000, 384000, 2);
  expectPcm(stream.PlaybackFormat, 2, 96000, 384000, 4);

  stream.Configure(4000);
  expectPcm(stream.CaptureFormat, 1, 4000, 8000, 2);
  expectPcm(stream.PlaybackFormat, 2, 2000, 8000, 4);
}

TEST(StreamConfigSizes, SameBlockSizesAndBufferLengthsAtEveryRate) {
  StreamConfig stream;
  for (int32_t rate : {4000, 8000, 48000, 96000, 192000}) {
    SCOPED_TRACE(rate);
    stream.Configure(rate);
    EXPECT_EQ(stream.SpectrumLength, 16384);
    EXPECT_EQ(stream.BlockSamples, 32768);
    EXPECT_EQ(stream.SegmentLength, 32768);
    EXPECT_EQ(stream.HalfSegment, 16384);
    EXPECT_EQ(stream.QuarterSegment, 8192);
    for (int i = 0; i < dsp::kBufferCount; ++i) {
      EXPECT_EQ(stream.CaptureBuffers[i].size(), 32768u);
      EXPECT_EQ(stream.PlaybackBuffers[i].size(), 32768u);
    }
    EXPECT_EQ(stream.WorkBuffer.size(), 32768u);
    EXPECT_EQ(stream.SegmentWindow.size(), 32768u);
    EXPECT_EQ(stream.BlackmanWindow.size(), 16384u);
    EXPECT_EQ(stream.OverlapLeft.size(), 16384u);
    EXPECT_EQ(stream.OverlapRight.size(), 16384u);
    for (const auto* fixed : {&stream.SpectrumBuffer, &stream.SegmentSpectrumA, &stream.BasebandA, &stream.BasebandB,
                              &stream.SegmentSpectrumB})
      EXPECT_EQ(fixed->size(), 2u * 65537u);
  }
}

TEST(StreamConfigTables, StatedValuesAndSymmetry) {
  StreamConfig stream;
  stream.Configure(48000);
  const auto& w = stream.SegmentWindow;
  const auto& t = stream.EdgeTaper;
  const auto& b = stream.BlackmanWindow;

  EXPECT_EQ(w[0], 0.0f);
  EXPECT_EQ(w[16384], 1.0f);
  EXPECT_EQ(t[0], 0.0f);
  EXPECT_EQ(t[45], 1.0f);
  EXPECT_EQ(b[8192], 1.0f);
  EXPECT_FLOAT_EQ(b[4096], 0.34f);
  EXPECT_LT(std::fabs(b[0]), 1e-16f);

  for (int k = 1; k < 45; ++k) EXPECT_FLOAT_EQ(t[45 - k], t[45 + k]) << k;
  for (int j = 1; j < 16384; ++j) ASSERT_NEAR(w[j], w[32768 - j], 1e-7f) << j;
  for (int k = 1; k < 8192; ++k) ASSERT_NEAR(b[k], b[16384 - k], 1e-7f) << k;
}

TEST(StreamConfigTables, MatchDoublePrecisionWindows) {
  StreamConfig stream;
  stream.Configure(48000);
  // Within a float rounding of the textbook forms of the same windows.
  for (int j = 0; j < 32768; ++j) {
    const double hann = 0.5 - 0.5 * std::cos(2 * kPi * j / 32768.0);
    ASSERT_NEAR(stream.SegmentWindow[j], hann, 6e-8) << j;
    ASSERT_GE(stream.SegmentWindow[j], 0.0f);
  }
  for (int j = 0; j < 90; ++j) {
    const double hann = 0.5 - 0.5 * std::cos(2 * kPi * j / 90.0);
    EXPECT_NEAR(stream.EdgeTaper[j], hann, 6e-8) << j;
  }
  for (int k = 0; k < 16384; ++k) {
    const double blackman = 0.42 - 0.5 * std::cos(2 * kPi * k / 16384.0) + 0.08 * std::cos(4 * kPi * k / 16384.0);
    ASSERT_NEAR(stream.BlackmanWindow[k], blackman, 6e-8) << k;
  }
}

// The raised-cosine tables exactly as defined: the offset j/L - 0.5 formed in extended
// precision and rounded to double, the cosine in extended precision, one rounding to float.
// The Blackman window from its three terms in extended precision, one rounding to float.
TEST(StreamConfigTables, EveryEntryIsItsFormulaRoundedOnceToFloat) {
  StreamConfig stream;
  stream.Configure(22050);
  const long double twoPi = 2.0L * std::numbers::pi_v<long double>;
  auto raised = [&](int j, int length) {
    const double offset = static_cast<double>(static_cast<long double>(j) / length - 0.5L);
    return static_cast<float>(std::fabs(0.5L * std::cos(twoPi * offset) + 0.5L));
  };
  for (int j = 0; j < 90; ++j) EXPECT_EQ(stream.EdgeTaper[j], raised(j, 90)) << j;
  for (int j = 0; j < 32768; ++j) ASSERT_EQ(stream.SegmentWindow[j], raised(j, 32768)) << j;
  for (int k = 0; k < 16384; ++k) {
    const long double phase = twoPi * k / 16384;
    ASSERT_EQ(stream.BlackmanWindow[k],
              static_cast<float>((0.42L - 0.5L * std::cos(phase)) + 0.08L * std::cos(2 * phase)))
        << k;
  }
}

TEST(StreamConfigTables, HalfOverlappingHannSegmentsSumToOne) {
  StreamConfig stream;
  for (int j = 0; j < stream.HalfSegment; ++j)
    ASSERT_NEAR(stream.SegmentWindow[j] + stream.SegmentWindow[j + stream.HalfSegment], 1.0f, 1.2e-7f) << j;
}

TEST(StreamConfigLifecycle, EveryConfigurationLeavesIdenticalTables) {
  StreamConfig first;
  first.Configure(48000);
  StreamConfig second;
  second.Configure(4000);
  second.Configure(192000);
  second.Configure(48000);
  EXPECT_EQ(first.SegmentWindow, second.SegmentWindow);
  EXPECT_EQ(first.BlackmanWindow, second.BlackmanWindow);
  EXPECT_EQ(first.EdgeTaper, second.EdgeTaper);
  EXPECT_EQ(first.OverlapLeft, second.OverlapLeft);
  EXPECT_EQ(first.OverlapRight, second.OverlapRight);
  expectPcm(second.CaptureFormat, 1, 48000, 96000, 2);
  expectPcm(second.PlaybackFormat, 2, 24000, 96000, 4);
}

TEST(StreamConfigLifecycle, BufferAddressesStayPutAcrossReconfiguration) {
  StreamConfig stream;
  stream.Configure(48000);
  std::vector<const void*> before;
  auto collect = [&] {
    std::vector<const void*> p;
    for (int i = 0; i < dsp::kBufferCount; ++i) {
      p.push_back(stream.CaptureBuffers[i].data());
      p.push_back(stream.PlaybackBuffers[i].data());
    }
    for (const auto* v : {&stream.SegmentWindow, &stream.BlackmanWindow, &stream.OverlapLeft, &stream.OverlapRight,
                          &stream.SpectrumBuffer, &stream.SegmentSpectrumA, &stream.BasebandA, &stream.BasebandB,
                          &stream.SegmentSpectrumB})
      p.push_back(v->data());
    p.push_back(stream.WorkBuffer.data());
    return p;
  };
  before = collect();
  for (int32_t rate : {4000, 11025, 192000, 48000}) {
    stream.Configure(rate);
    EXPECT_EQ(collect(), before) << rate;
  }
}

TEST(StreamConfigLifecycle, FreshConfigIsSilentAndOverlapIsClearedButWorkBufferKept) {
  StreamConfig stream;
  ASSERT_EQ(stream.WorkBuffer.size(), 32768u);
  for (dsp::Sample s : stream.WorkBuffer) ASSERT_EQ(s, 0);
  for (float v : stream.OverlapLeft) ASSERT_EQ(v, 0.0f);

  stream.OverlapLeft[5] = 3.0f;
  stream.OverlapRight[16383] = -7.0f;
  stream.WorkBuffer[100] = 1234;
  stream.Configure(96000);
  for (float v : stream.OverlapLeft) ASSERT_EQ(v, 0.0f);
  for (float v : stream.OverlapRight) ASSERT_EQ(v, 0.0f);
  // Clearing WorkBuffer belongs to the window's ResetControls, not to the configuration.
  EXPECT_EQ(stream.WorkBuffer[100], 1234);
}

// Every way the sizes can disagree is caught, so the block functions can rely on the check.
TEST(StreamConfigLifecycle, IsConfiguredOnlyWhileSizesAndArraysAgree) {
  StreamConfig configured;
  EXPECT_TRUE(configured.IsConfigured());
  const std::pair<const char*, void (*)(StreamConfig&)> kBreaks[] = {
      {"spectrum not a power of two", [](StreamConfig& s) { s.SpectrumLength = 12000; }},
      {"spectrum too long", [](StreamConfig& s) { s.SpectrumLength = 65536; }},
      {"block not twice the spectrum", [](StreamConfig& s) { s.BlockSamples = 16384; }},
      {"segment not the block", [](StreamConfig& s) { s.SegmentLength = 16384; }},
      {"half segment", [](StreamConfig& s) { s.HalfSegment = 8192; }},
      {"quarter segment", [](StreamConfig& s) { s.QuarterSegment = 0; }},
      {"work buffer short", [](StreamConfig& s) { s.WorkBuffer.resize(100); }},
      {"overlap short", [](StreamConfig& s) { s.OverlapRight.resize(100); }},
      {"window short", [](StreamConfig& s) { s.SegmentWindow.clear(); }},
      {"Blackman window short", [](StreamConfig& s) { s.BlackmanWindow.resize(8); }},
  };
  for (const auto& [what, breakIt] : kBreaks) {
    StreamConfig stream;
    breakIt(stream);
    EXPECT_FALSE(stream.IsConfigured()) << what;
    stream.Configure(48000);
    EXPECT_TRUE(stream.IsConfigured()) << what;
  }
}

}  // namespace
