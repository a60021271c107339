// Gapless stream converter: tones across the band at several rates (gain, image, output
// frequency), agreement with the block conversion for every switch, a double-precision
// direct convolution with the designed taps (noise, overload), chunking, the delay, the
// output granularity and latency, a long steady tone, the edge filter's ends, odd rates,
// and no allocation after set-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"
#include "dsp/stream_converter.hpp"
#include "dsp/stream_filter.hpp"

namespace {

using dsp::ConverterSwitches;
using dsp::Sample;
using cd = std::complex<double>;

constexpr double kPi = std::numbers::pi;
constexpr int kListRates[] = {192000, 96000, 48000, 44100, 32000, 24000, 22050, 16000,
                              12000,  11025, 8000,  7000,  6000,  5000,  4000};

class FftEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { dsp::InitFFT(); }
  void TearDown() override { dsp::DoneFFT(); }
};
[[maybe_unused]] const auto* const kFftEnvironment = ::testing::AddGlobalTestEnvironment(new FftEnvironment);

// The whole input through the converter in chunks of `chunk` samples (0: random sizes),
// delay compensated and finished: floor(n/2) frames.
std::vector<Sample> streamConvert(int rate, const std::vector<Sample>& x, ConverterSwitches switches = {},
                                  size_t chunk = 32768) {
  dsp::StreamConverter converter;
  converter.Configure(rate, switches);
  std::vector<Sample> out(x.size() + 2 * converter.MaxFinishFrames() + 2 * converter.MaxOutputFrames(0));
  std::mt19937 rng(5);
  std::uniform_int_distribution<size_t> randomChunk(1, 5000);
  size_t frames = 0;
  for (size_t at = 0; at < x.size();) {
    const size_t n = std::min(x.size() - at, chunk ? chunk : randomChunk(rng));
    frames += converter.Process(x.data() + at, n, out.data() + 2 * frames);
    at += n;
  }
  frames += converter.Finish(out.data() + 2 * frames);
  EXPECT_EQ(frames, x.size() / 2);
  out.resize(2 * frames);
  return out;
}

// Rounded with a random offset, so that the rounding errors of a periodic tone do not pile
// up at the harmonics the measurements look at.
std::vector<Sample> tone(int rate, double hz, double amplitude, double phase, size_t count) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> dither(-0.5, 0.5);
  std::vector<Sample> x(count);
  for (size_t n = 0; n < count; ++n)
    x[n] = Sample(std::lround(amplitude * std::cos(2 * kPi * hz * double(n) / rate + phase) + dither(rng)));
  return x;
}

std::vector<Sample> noise(int amplitude, size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  std::vector<Sample> x(count);
  for (auto& s : x) s = Sample(dist(rng));
  return x;
}

cd frame(const std::vector<Sample>& out, size_t m) { return {double(out[2 * m]), double(out[2 * m + 1])}; }

// Σ z[m] e^{-2πi f m / (Fs/2)} / count over frames [first, first + count), in double.
cd dft(const std::vector<Sample>& out, int rate, double hz, size_t first, size_t count) {
  cd sum = 0;
  const double step = -2 * kPi * hz / (rate / 2.0);
  for (size_t m = first; m < first + count; ++m) sum += frame(out, m) * std::polar(1.0, step * double(m));
  return sum / double(count);
}

double dB(double ratio) { return 20 * std::log10(ratio); }

// ---- tones across the band ----------------------------------------------------------

// Input tone u lands at u - Fs/4 and its image at Fs/4 - u. The analysis spans 2·Fs frames,
// so both sit on the 0.25 Hz grid of the transform and nothing leaks between them.
struct ToneCase {
  int rate;
  double fromEdge;  // Hz from the band's lower end; negative counts from Fs/2
};

class StreamTone : public ::testing::TestWithParam<ToneCase> {};

TEST_P(StreamTone, FlatAndImageRejectedAtTheRightFrequency) {
  const auto [rate, fromEdge] = GetParam();
  dsp::StreamConverter probe;
  probe.Configure(rate);
  const double transition = probe.TransitionHz();
  const double u = fromEdge == 0 ? transition : fromEdge > 0 ? fromEdge : rate / 2.0 + fromEdge;
  const double hz = std::round(u * 4) / 4;
  const size_t count = size_t(2 * rate), first = size_t(probe.DelayFrames()) + 16;
  const double amplitude = 16384;
  const auto out = streamConvert(rate, tone(rate, hz, amplitude, 0.3, 2 * (first + count) + 4096));
  const double signal = std::abs(dft(out, rate, hz - rate / 4.0, first, count));
  const double image = std::abs(dft(out, rate, rate / 4.0 - hz, first, count));
  EXPECT_NEAR(dB(signal / amplitude), 0.0, 0.01) << hz << " Hz at " << rate;
  EXPECT_LT(dB(image / signal), -110.0) << hz << " Hz at " << rate;
}

INSTANTIATE_TEST_SUITE_P(BandEndsAndInside, StreamTone,
                         ::testing::Values(ToneCase{48000, 0}, ToneCase{48000, -100}, ToneCase{48000, 1000},
                                           ToneCase{48000, 7000.25}, ToneCase{48000, 17000}, ToneCase{48000, 23000},
                                           ToneCase{192000, 0}, ToneCase{192000, -100}, ToneCase{192000, 30000},
                                           ToneCase{44100, 0}, ToneCase{44100, -100}, ToneCase{11025, 0},
                                           ToneCase{11025, -100}, ToneCase{8000, 0}, ToneCase{8000, -100},
                                           ToneCase{4000, 0}, ToneCase{4000, -50}, ToneCase{4000, 700}));

// ---- the block conversion's meaning -------------------------------------------------

// In the middle of a block both modes give the same frames: same frequency, phase and sign
// of I and Q, for every switch. The block truncates and the stream rounds, hence ±2; with
// the conversion off both pass the samples on exactly.
struct SwitchCase {
  ConverterSwitches switches;
  int tolerance;
};

class StreamMatchesBlock : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(StreamMatchesBlock, InTheMiddleOfABlock) {
  const auto [switches, tolerance] = GetParam();
  constexpr int kBlock = 32768;
  dsp::StreamConfig stream;
  stream.Configure(48000);
  for (double hz : {5000.0, 13000.0, 20011.0}) {
    const auto x = tone(48000, hz, 10000, 1.1, 3 * kBlock);
    const auto streamed = streamConvert(48000, x, switches, 1000);
    for (int b = 0; b < 3; ++b) {
      std::copy(x.begin() + b * kBlock, x.begin() + (b + 1) * kBlock, stream.WorkBuffer.begin());
      dsp::ConvertBlock(stream, switches);
      const int from = switches.IQ ? kBlock / 8 : 0, to = switches.IQ ? kBlock - kBlock / 8 : kBlock;
      int worst = 0;
      for (int i = from; i < to; ++i)
        worst = std::max(worst, std::abs(stream.WorkBuffer[i] - streamed[b * kBlock + i]));
      EXPECT_LE(worst, tolerance) << hz << " Hz, block " << b;
    }
  }
}

ConverterSwitches switches(bool iq, bool edge, bool invert) {
  ConverterSwitches s;
  s.IQ = iq;
  s.EdgeFilter = edge;
  s.InvertSpectrum = invert;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    EverySwitch, StreamMatchesBlock,
    ::testing::Values(SwitchCase{switches(true, false, false), 2}, SwitchCase{switches(true, false, true), 2},
                      SwitchCase{switches(true, true, false), 2}, SwitchCase{switches(true, true, true), 2},
                      SwitchCase{switches(false, false, false), 0}, SwitchCase{switches(false, true, true), 0}));

// ---- the filter itself --------------------------------------------------------------

// Direct convolution in double with the designed taps: Q[m] = Σ Even[i] e[m-i],
// I[m] = Σ Odd[i] o[m-i], e[m] = (-1)^m x[2m], o[m] = (-1)^m x[2m+1]; rounded, saturated,
// delay compensated.
std::vector<Sample> directConvolution(int rate, const std::vector<Sample>& x, bool edge) {
  const dsp::StreamFilter f = dsp::DesignStreamFilter(rate);
  const auto& even = edge ? f.EdgeEven : f.Even;
  const auto& odd = edge ? f.EdgeOdd : f.Odd;
  const long frames = long(x.size() / 2);
  auto e = [&](long m) { return m < 0 || m >= frames ? 0.0 : (m % 2 ? -1.0 : 1.0) * x[size_t(2 * m)]; };
  auto o = [&](long m) { return m < 0 || m >= frames ? 0.0 : (m % 2 ? -1.0 : 1.0) * x[size_t(2 * m + 1)]; };
  auto toSample = [](double v) { return Sample(std::nearbyint(std::clamp(v, -32768.0, 32767.0))); };
  std::vector<Sample> out(size_t(2 * frames));
  for (long k = 0; k < frames; ++k) {
    const long m = k + f.DelayFrames;
    double i = 0, q = 0;
    for (long t = 0; t < f.Taps; ++t) {
      q += even[size_t(t)] * e(m - t);
      i += odd[size_t(t)] * o(m - t);
    }
    out[size_t(2 * k)] = toSample(i);
    out[size_t(2 * k + 1)] = toSample(q);
  }
  return out;
}

struct SignalCase {
  const char* name;
  std::vector<Sample> (*make)();
  bool edge;
};

std::vector<Sample> loudNoise() { return noise(32767, 40000, 11); }
// A full-scale square wave of period 16 overshoots to nearly twice full scale.
std::vector<Sample> squareWave() {
  std::vector<Sample> x(40000);
  for (size_t n = 0; n < x.size(); ++n) x[n] = (n / 8) % 2 ? -32768 : 32767;
  return x;
}

class StreamFilterCase : public ::testing::TestWithParam<SignalCase> {};

TEST_P(StreamFilterCase, EqualsDirectConvolutionRoundedAndSaturated) {
  const auto& c = GetParam();
  const auto x = c.make();
  ConverterSwitches s;
  s.EdgeFilter = c.edge;
  const auto streamed = streamConvert(8000, x, s, 0);
  const auto direct = directConvolution(8000, x, c.edge);
  ASSERT_EQ(streamed.size(), direct.size());
  int worst = 0, saturated = 0;
  for (size_t i = 0; i < direct.size(); ++i) {
    worst = std::max(worst, std::abs(streamed[i] - direct[i]));
    saturated += direct[i] == 32767 || direct[i] == -32768;
  }
  EXPECT_LE(worst, 1) << c.name;
  if (std::string(c.name) == "square") {
    EXPECT_GT(saturated, 1000);
  }
}

INSTANTIATE_TEST_SUITE_P(NoiseAndOverload, StreamFilterCase,
                         ::testing::Values(SignalCase{"noise", loudNoise, false}, SignalCase{"noise", loudNoise, true},
                                           SignalCase{"square", squareWave, false}),
                         [](const auto& info) {
                           return std::string(info.param.name) + (info.param.edge ? "Edge" : "");
                         });

// ---- stream properties --------------------------------------------------------------

TEST(StreamConverter, SameOutputWhateverTheChunking) {
  for (int rate : {48000, 11025}) {
    auto x = noise(20000, 120001, 3);
    const auto whole = streamConvert(rate, x, switches(true, true, true), x.size());
    for (size_t chunk : {size_t(1), size_t(1000), size_t(32768), size_t(0)})
      EXPECT_EQ(streamConvert(rate, x, switches(true, true, true), chunk), whole) << rate << " Hz, chunk " << chunk;
  }
}

// An impulse at input sample 2k comes out in Q at frame k, itself times (-1)^k (the even
// taps are one centre tap), with I antisymmetric about it; uncompensated it is DelayFrames() later.
TEST(StreamConverter, FixedDelayWithinFortyMilliseconds) {
  for (int rate : kListRates) {
    dsp::StreamConverter converter;
    converter.Configure(rate);
    const int delay = converter.DelayFrames();
    EXPECT_LE(2.0 * delay / rate, 0.040) << rate;
    std::vector<Sample> x(size_t(4 * delay + 64), 0);
    const size_t k = size_t(delay) + 7;
    x[2 * k] = 20000;
    const auto out = streamConvert(rate, x);
    for (size_t m = 0; m < out.size() / 2; ++m)
      ASSERT_EQ(out[2 * m + 1], m != k ? 0 : k % 2 ? -20000 : 20000) << rate << " Hz, frame " << m;
    EXPECT_EQ(out[2 * (k - 1)], -out[2 * (k + 2)]) << rate;  // I is antisymmetric about 2k

    converter.SetDelayCompensation(false);
    std::vector<Sample> raw(2 * (converter.MaxOutputFrames(x.size()) + converter.MaxFinishFrames()));
    size_t frames = converter.Process(x.data(), x.size(), raw.data());
    frames += converter.Finish(raw.data() + 2 * frames);
    EXPECT_EQ(frames, x.size() / 2 + size_t(delay));
    EXPECT_EQ(raw[2 * (k + size_t(delay)) + 1], out[2 * k + 1]) << rate;
  }
}

// Fed one frame per call, the longest an input frame waits for its output frame is
// LatencyFrames(), and a block is at most 12 ms of output at every listed rate, so that
// the live path can stay well within its end-to-end budget.
TEST(StreamConverter, BlocksShortEnoughForLiveUse) {
  for (int rate : kListRates) {
    dsp::StreamConverter converter;
    converter.Configure(rate);
    converter.SetDelayCompensation(false);
    EXPECT_LE(2.0 * converter.BlockFrames() / rate, 0.012) << rate;
    const int64_t delay = converter.DelayFrames();
    const Sample pair[2] = {1000, -1000};
    std::vector<Sample> out(2 * converter.MaxOutputFrames(2));
    int64_t produced = 0, longest = 0;
    for (int64_t taken = 0; taken < delay + 3 * converter.BlockFrames(); ++taken) {
      const size_t frames = converter.Process(pair, 2, out.data());
      for (size_t f = 0; f < frames; ++f, ++produced)
        if (produced >= delay) longest = std::max(longest, taken - (produced - delay));
    }
    EXPECT_EQ(longest, converter.LatencyFrames()) << rate;
  }
}

// 60 s of a -6 dBFS tone at 48000 Hz against its exact I/Q (I = -A sin θ, Q = A cos θ,
// θ = 2π(u - Fs/4)t + φ): SNR over the whole run, and no frame far off anywhere.
TEST(StreamConverter, SixtySecondToneHasNoTransient) {
  constexpr int kRate = 48000;
  constexpr double kHz = 3141.5, kAmplitude = 16384, kPhase = 0.7;
  const size_t count = size_t(60 * kRate);
  const auto out = streamConvert(kRate, tone(kRate, kHz, kAmplitude, kPhase, count), {}, 32768);
  dsp::StreamConverter probe;
  probe.Configure(kRate);
  const size_t settle = size_t(probe.DelayFrames()) + 2;
  double signal = 0, error = 0, worst = 0;
  for (size_t m = settle; m + settle < out.size() / 2; ++m) {
    const double theta = 2 * kPi * (kHz - kRate / 4.0) * (2.0 * double(m) / kRate) + kPhase;
    const cd expected = std::polar(kAmplitude, theta + kPi / 2);
    const double e = std::norm(frame(out, m) - expected);
    signal += std::norm(expected);
    error += e;
    worst = std::max(worst, std::sqrt(e));
  }
  EXPECT_GE(10 * std::log10(signal / error), 86.0);
  EXPECT_LT(worst, 2.5);
}

// With the edge filter, DC and Fs/2 are removed, a tone half a ramp from either end is
// halved, and two ramps in the band is untouched and image-free again.
TEST(StreamConverter, EdgeFilterTapersBothEnds) {
  for (int rate : {4000, 48000, 192000}) {
    dsp::StreamConverter probe;
    probe.Configure(rate);
    const double ramp = probe.EdgeRampHz();
    const size_t count = size_t(2 * rate), first = size_t(probe.DelayFrames()) + 16, n = 2 * (first + count) + 4096;
    const auto edge = switches(true, true, false);

    std::vector<Sample> dcAndNyquist(n);
    for (size_t i = 0; i < n; ++i) dcAndNyquist[i] = Sample(8000 + (i % 2 ? -8000 : 8000));
    const auto quiet = streamConvert(rate, dcAndNyquist, edge);
    int loudest = 0;
    for (size_t i = 2 * first; i < 2 * (first + count); ++i) loudest = std::max(loudest, std::abs(int(quiet[i])));
    EXPECT_LE(loudest, 1) << rate;

    for (double hz : {std::round(ramp * 2) / 4, rate / 2.0 - std::round(ramp * 2) / 4}) {
      const auto out = streamConvert(rate, tone(rate, hz, 16384, 0, n), edge);
      EXPECT_NEAR(std::abs(dft(out, rate, hz - rate / 4.0, first, count)) / 16384, 0.5, 0.05) << hz << " at " << rate;
    }
    for (double hz : {std::round(ramp * 8) / 4, rate / 2.0 - std::round(ramp * 8) / 4}) {
      const auto out = streamConvert(rate, tone(rate, hz, 16384, 0, n), edge);
      const double signal = std::abs(dft(out, rate, hz - rate / 4.0, first, count));
      EXPECT_NEAR(dB(signal / 16384), 0.0, 0.01) << hz << " at " << rate;
      EXPECT_LT(dB(std::abs(dft(out, rate, rate / 4.0 - hz, first, count)) / signal), -110.0) << hz << " at " << rate;
    }
  }
}

TEST(StreamConverter, AnyRateTheToolAcceptsWorks) {
  for (int rate : {2, 3, 1000, 999999, 1000000}) {
    const auto x = noise(30000, 5001, 9);
    const auto out = streamConvert(rate, x, {}, 777);
    EXPECT_EQ(out.size(), 5000u) << rate;
  }
}

TEST(StreamConverter, AllocatesNothingAfterSetUp) {
  dsp::StreamConverter converter;
  converter.Configure(48000, switches(true, true, true));
  const auto x = noise(20000, 100000, 4);
  std::vector<Sample> out(2 * (converter.MaxOutputFrames(x.size()) + converter.MaxFinishFrames()));
  for (const ConverterSwitches& s :
       {switches(true, false, false), switches(true, true, true), switches(false, false, true)}) {
    allocation_counter::Start();
    converter.SetSwitches(s);
    size_t frames = converter.Process(x.data(), 33333, out.data());
    frames += converter.Process(x.data() + 33333, x.size() - 33333, out.data() + 2 * frames);
    frames += converter.Finish(out.data() + 2 * frames);
    EXPECT_EQ(allocation_counter::Stop(), 0);
    EXPECT_EQ(frames, x.size() / 2);
  }
}

}  // namespace
