// Real-to-I/Q converter: a double-precision rendering of the same block conversion
// written here from its definition (every pass and segment, no shortcuts), frequency
// placement and phase of tones, the edge filter, saturation, meters and clip flags,
// spectrum inversion, independence of blocks and freedom from heap allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#include "allocation_counter.hpp"
#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"

namespace {

using dsp::ConverterSwitches;
using dsp::Sample;
using cd = std::complex<double>;

constexpr double kPi = std::numbers::pi;
constexpr int N = 32768;
constexpr int H = N / 2;
constexpr int Q = H / 2;
constexpr double kRate = 48000.0;
constexpr double kOutRate = kRate / 2;

class FftEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { dsp::InitFFT(); }
  void TearDown() override { dsp::DoneFFT(); }
};
[[maybe_unused]] const auto* const kFftEnvironment = ::testing::AddGlobalTestEnvironment(new FftEnvironment);

// ---- double-precision reference ----------------------------------------------------

// Radix-2 transform with the engine's conventions: forward e^{+2πi jk/n}, inverse
// e^{-2πi jk/n}, both unscaled here.
void referenceTransform(std::vector<cd>& a, bool inverse) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  std::vector<cd> twiddle(n / 2);
  const double sign = inverse ? -1.0 : 1.0;
  for (size_t k = 0; k < n / 2; ++k) twiddle[k] = std::polar(1.0, sign * 2 * kPi * double(k) / double(n));
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t step = n / len;
    for (size_t i = 0; i < n; i += len)
      for (size_t k = 0; k < len / 2; ++k) {
        const cd u = a[i + k];
        const cd v = a[i + k + len / 2] * twiddle[k * step];
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
  }
}

float hannTable(int j, int length) { return float(0.5 - 0.5 * std::cos(2 * kPi * j / length)); }

// The unclamped output sums of one block: two passes of two Hann-windowed segments
// each, half the band kept and rotated by a quarter segment, overlap-added.
std::vector<double> referenceSums(const std::vector<Sample>& x, bool edgeFilter) {
  auto input = [&](int n) { return n >= 0 && n < N ? double(x[n]) : 0.0; };
  std::vector<double> out(N, 0.0), overlapLeft(H, 0.0), overlapRight(H, 0.0);
  auto taper = [&](std::vector<cd>& s) {
    for (int k = 0; k < 45; ++k) s[k] *= double(hannTable(k, 90));
    for (int k = H - 45; k <= H; ++k) s[k] *= double(hannTable(H - k, 90));
  };
  for (int p = -N; p < N; p += N) {
    std::vector<cd> a(N), b(N);
    for (int f = 0; f < N; ++f) {
      a[f] = float(input(p + f) * double(hannTable(f, N)));
      b[f] = float(input(p + H + f) * double(hannTable(f, N)));
    }
    referenceTransform(a, false);
    referenceTransform(b, false);
    if (edgeFilter) {
      taper(a);
      taper(b);
    }
    std::vector<cd> ba(H), bb(H);
    for (int i = 0; i < H; ++i) {
      ba[i] = a[i < Q ? Q + i : i - Q];
      bb[i] = b[i < Q ? Q + i : i - Q];
    }
    referenceTransform(ba, true);
    referenceTransform(bb, true);
    for (int i = 0; i < H; ++i) {
      ba[i] /= H;
      bb[i] /= H;
    }
    for (int s = 0; s < N; ++s) {
      const int m = s / 2;
      double v;
      if (s % 2 == 0) {
        v = m < Q ? ba[m].imag() + overlapLeft[m] : ba[m].imag() + bb[m - Q].imag();
        if (m < Q) overlapLeft[m] = bb[m + Q].imag();
      } else {
        v = m < Q ? ba[m].real() + overlapRight[m] : ba[m].real() + bb[m - Q].real();
        if (m < Q) overlapRight[m] = bb[m + Q].real();
      }
      if (p + s >= 0) out[p + s] = v;
    }
  }
  return out;
}

// ---- helpers -----------------------------------------------------------------------

dsp::StreamConfig& sharedStream() {
  static dsp::StreamConfig stream;
  return stream;
}

struct Converted {
  std::vector<Sample> samples;
  dsp::BlockLevels levels;
};

Converted convert(const std::vector<Sample>& block, ConverterSwitches switches = {}) {
  dsp::StreamConfig& stream = sharedStream();
  std::copy(block.begin(), block.end(), stream.WorkBuffer.begin());
  Converted result;
  result.levels = dsp::ConvertBlock(stream, switches);
  result.samples = stream.WorkBuffer;
  return result;
}

std::vector<Sample> tone(double hz, double amplitude, double phase) {
  std::vector<Sample> x(N);
  for (int n = 0; n < N; ++n) x[n] = Sample(std::lround(amplitude * std::cos(2 * kPi * hz * n / kRate + phase)));
  return x;
}

std::vector<Sample> noise(int amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  std::vector<Sample> x(N);
  for (auto& s : x) s = Sample(dist(rng));
  return x;
}

cd frame(const std::vector<Sample>& out, int m) { return {double(out[2 * m]), double(out[2 * m + 1])}; }

// |Σ z[m] e^{-2πi f m / Fs_out}| over frames [first, first + count).
double magnitudeAt(const std::vector<Sample>& out, double hz, int first, int count) {
  cd sum = 0;
  for (int m = first; m < first + count; ++m) sum += frame(out, m) * std::polar(1.0, -2 * kPi * hz * m / kOutRate);
  return std::abs(sum);
}

// ---- the block conversion step by step, in single precision -------------------------

// Every step in its literal form on arrays of its own, through the same FFT engine and in the
// same float arithmetic, so the converter must match it bit for bit: the rounding of each
// product, the order of the edge filter, the rotation, the overlap-add with I from the
// imaginary and Q from the real part, and the double sum truncated toward zero and then
// saturated. Both passes run in full, the all-zero first segment included.
std::vector<Sample> literalConversion(const std::vector<Sample>& block, const dsp::StreamConfig& tables,
                                      ConverterSwitches sw, dsp::BlockLevels& levels) {
  std::vector<Sample> w = block;
  const auto absolute = [](Sample v) { return v < 0 ? -int32_t(v) : int32_t(v); };
  const auto shown = [](int32_t peak) {
    dsp::PeakLevel level;
    level.Clipped = peak > dsp::ClipLevel;
    level.Position = level.Clipped ? 32767 : peak;
    return level;
  };
  int32_t inPeak = 0;
  for (int i = 0; i < N; ++i) inPeak = std::max(inPeak, absolute(w[i]));  // every sample
  levels.Input = shown(inPeak);

  if (sw.IQ) {
    const auto x = [&](int n) { return n >= 0 && n < N ? int32_t(w[n]) : 0; };
    const float* W = tables.SegmentWindow.data();
    const float* T = tables.EdgeTaper.data();
    std::vector<float> segA(2 * N), segB(2 * N), baseA(2 * H), baseB(2 * H), ovL(H, 0.0f), ovR(H, 0.0f);
    std::vector<Sample> result(N);
    for (int p = -N; p < N; p += N) {
      for (int f = 0; f < N; ++f) {
        segA[2 * f] = float(x(p + f)) * W[f];
        segA[2 * f + 1] = 0.0f;
        segB[2 * f] = float(x(p + H + f)) * W[f];
        segB[2 * f + 1] = 0.0f;
      }
      dsp::ComplexFFT(segA.data(), N, dsp::kForward, dsp::kScaled, dsp::kNaturalOrder, nullptr);
      dsp::ComplexFFT(segB.data(), N, dsp::kForward, dsp::kScaled, dsp::kNaturalOrder, nullptr);
      if (sw.EdgeFilter) {
        for (std::vector<float>* seg : {&segA, &segB}) {
          for (int i = 0; i <= 45; ++i)
            for (int e = 0; e < 2; ++e) (*seg)[2 * (H - 45 + i) + e] *= T[45 - i];
          for (int i = 0; i <= 44; ++i)
            for (int e = 0; e < 2; ++e) (*seg)[2 * i + e] *= T[i];
        }
      }
      for (int i = 0; i < H; ++i) {
        const int from = i < Q ? Q + i : i - Q;
        for (int e = 0; e < 2; ++e) {
          baseA[2 * i + e] = segA[2 * from + e];
          baseB[2 * i + e] = segB[2 * from + e];
        }
      }
      dsp::ComplexFFT(baseA.data(), H, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
      dsp::ComplexFFT(baseB.data(), H, dsp::kInverse, dsp::kScaled, dsp::kNaturalOrder, nullptr);
      for (int s = 0; s < N; ++s) {
        const int m = s / 2;
        const int part = s % 2 == 0 ? 1 : 0;  // left: imaginary part; right: real part
        std::vector<float>& overlap = s % 2 == 0 ? ovL : ovR;
        double v;
        if (m < Q) {
          v = double(baseA[2 * m + part]) + double(overlap[m]);
          overlap[m] = baseB[2 * (m + Q) + part];
        } else {
          v = double(baseA[2 * m + part]) + double(baseB[2 * (m - Q) + part]);
        }
        const int64_t truncated = static_cast<int64_t>(std::trunc(v));
        if (p + s >= 0) result[p + s] = Sample(std::clamp<int64_t>(truncated, -32768, 32767));
      }
    }
    w = result;
  }

  int32_t left = 0, right = 0;
  for (int i = 0; i < N; ++i) {
    if (sw.InvertSpectrum && (i / 2) % 2 == 0) w[i] = Sample(-int32_t(w[i]));
    (i % 2 == 0 ? left : right) = std::max(i % 2 == 0 ? left : right, absolute(w[i]));
  }
  levels.Output.Left = shown(left);
  levels.Output.Right = shown(right);
  return w;
}

// ---- tests -------------------------------------------------------------------------

TEST(ConverterReference, NoiseBlockMatchesDoublePrecisionWithAndWithoutEdgeFilter) {
  const auto x = noise(8000, 1);
  for (bool edge : {false, true}) {
    SCOPED_TRACE(edge ? "edge filter" : "plain");
    const auto ref = referenceSums(x, edge);
    ConverterSwitches sw;
    sw.EdgeFilter = edge;
    const auto out = convert(x, sw).samples;
    double worst = 0;
    for (int i = 0; i < N; ++i) {
      ASSERT_LT(std::fabs(ref[i]), 32767.0) << "reference left the 16-bit range at " << i;
      // Truncation toward zero costs up to one unit; single precision a little more.
      worst = std::max(worst, std::fabs(double(out[i]) - std::trunc(ref[i])));
    }
    EXPECT_LE(worst, 1.0);
  }
}

TEST(ConverterReference, EveryStepMatchesItsLiteralFormBitForBit) {
  // Noise well inside the range, and a square wave whose overshoot saturates.
  std::vector<Sample> square(N);
  for (int n = 0; n < N; ++n) square[n] = (n % 16) < 8 ? 32767 : -32768;
  for (const auto& x : {noise(12000, 21), square}) {
    for (int bits = 0; bits < 8; ++bits) {
      const ConverterSwitches sw{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
      SCOPED_TRACE(testing::Message() << "iq " << sw.IQ << " edge " << sw.EdgeFilter << " invert "
                                      << sw.InvertSpectrum);
      dsp::BlockLevels expectedLevels;
      const auto expected = literalConversion(x, sharedStream(), sw, expectedLevels);
      const auto r = convert(x, sw);
      for (int i = 0; i < N; ++i) ASSERT_EQ(r.samples[i], expected[i]) << i;
      EXPECT_EQ(r.levels.Input.Position, expectedLevels.Input.Position);
      EXPECT_EQ(r.levels.Input.Clipped, expectedLevels.Input.Clipped);
      EXPECT_EQ(r.levels.Output.Left.Position, expectedLevels.Output.Left.Position);
      EXPECT_EQ(r.levels.Output.Left.Clipped, expectedLevels.Output.Left.Clipped);
      EXPECT_EQ(r.levels.Output.Right.Position, expectedLevels.Output.Right.Position);
      EXPECT_EQ(r.levels.Output.Right.Clipped, expectedLevels.Output.Right.Clipped);
    }
  }
}

TEST(ConverterReference, FullScaleSquareWaveSaturatesInsteadOfWrapping) {
  std::vector<Sample> x(N);
  for (int n = 0; n < N; ++n) x[n] = (n % 16) < 8 ? 32767 : -32768;
  const auto ref = referenceSums(x, false);
  const auto converted = convert(x);
  const auto& out = converted.samples;

  int above = 0, below = 0;
  double largest = 0;
  for (int i = 0; i < N; ++i) {
    largest = std::max(largest, std::fabs(ref[i]));
    if (ref[i] > 32768.5) {
      ++above;
      ASSERT_EQ(out[i], 32767) << i << " ref " << ref[i];
    } else if (ref[i] < -32769.5) {
      ++below;
      ASSERT_EQ(out[i], -32768) << i << " ref " << ref[i];
    } else {
      const double clamped = std::clamp(std::trunc(ref[i]), -32768.0, 32767.0);
      ASSERT_LE(std::fabs(double(out[i]) - clamped), 1.0) << i << " ref " << ref[i];
    }
  }
  // Sharp edges overshoot to nearly twice full scale, in both directions and channels.
  EXPECT_GT(largest, 1.5 * 32767);
  EXPECT_GT(above, 100);
  EXPECT_GT(below, 100);
  EXPECT_EQ(converted.levels.Input.Position, 32767);
  EXPECT_TRUE(converted.levels.Input.Clipped);
  EXPECT_EQ(converted.levels.Output.Left.Position, 32767);
  EXPECT_TRUE(converted.levels.Output.Left.Clipped);
  EXPECT_EQ(converted.levels.Output.Right.Position, 32767);
  EXPECT_TRUE(converted.levels.Output.Right.Clipped);
}

TEST(ConverterFrequency, TonesLandWhereTheShiftPutsThem) {
  struct Case {
    double input;
    bool invert;
    double expected;
  };
  // Output frames 2048 ... 14335: a whole number of periods of every frequency below.
  constexpr int kFirst = 2048, kCount = 12288;
  for (const Case c :
       {Case{13000, false, 1000}, Case{5000, false, -7000}, Case{13000, true, -11000}, Case{5000, true, 5000}}) {
    SCOPED_TRACE(testing::Message() << c.input << " Hz, invert " << c.invert);
    ConverterSwitches sw;
    sw.InvertSpectrum = c.invert;
    const auto out = convert(tone(c.input, 10000, 0.4), sw).samples;

    double best = -1, bestHz = 0;
    for (double hz = -12000; hz < 12000; hz += 250) {
      const double mag = magnitudeAt(out, hz, kFirst, kCount);
      if (mag > best) best = mag, bestHz = hz;
    }
    EXPECT_EQ(bestHz, c.expected);
    const double wanted = magnitudeAt(out, c.expected, kFirst, kCount);
    const double image = magnitudeAt(out, -c.expected, kFirst, kCount);
    EXPECT_GT(20 * std::log10(wanted / image), 60.0);

    // Mean phase step between frames gives the rotation rate and its sign.
    cd turn = 0;
    for (int m = kFirst; m < kFirst + kCount; ++m) turn += frame(out, m + 1) * std::conj(frame(out, m));
    EXPECT_NEAR(std::arg(turn) * kOutRate / (2 * kPi), c.expected, 0.5);
  }
}

TEST(ConverterFrequency, QuarterRateToneGivesConstantFrameWithStatedPhase) {
  for (double phase : {0.3, 2.0, -1.2}) {
    SCOPED_TRACE(phase);
    const double a = 10000;
    const auto out = convert(tone(kRate / 4, a, phase)).samples;
    // Rounding the input keeps it a pure quarter-rate tone with these two parts.
    const double c = std::lround(a * std::cos(phase)), s = std::lround(a * std::sin(phase));
    // The block's abrupt ends ring with a 1/distance decay; 2048 frames in it is below a unit.
    for (int m = 2048; m < H - 2048; ++m) {
      ASSERT_NEAR(out[2 * m], -s, 1.0) << m;
      ASSERT_NEAR(out[2 * m + 1], c, 1.0) << m;
      ASSERT_NEAR(out[2 * m], -a * std::sin(phase), 1.5) << m;
      ASSERT_NEAR(out[2 * m + 1], a * std::cos(phase), 1.5) << m;
    }
  }
}

TEST(ConverterFrequency, UnitGainAndQuadraturePhaseInTheMiddle) {
  const double a = 10000, phase = 0.5;
  for (double hz : {3000.0, 7000.0, 12500.0, 17000.0, 21000.0}) {
    SCOPED_TRACE(hz);
    const auto out = convert(tone(hz, a, phase)).samples;
    double worst = 0;
    for (int m = 2048; m < H - 2048; ++m) {
      // I + jQ = A e^{j(θ + π/2)}, θ = 2π (u - Fs/4) t + φ at t = 2m / Fs.
      const double theta = 2 * kPi * (hz - kRate / 4) * (2.0 * m / kRate) + phase;
      worst = std::max(worst, std::abs(frame(out, m) - std::polar(a, theta + kPi / 2)));
    }
    EXPECT_LE(worst, 3.0);
  }
}

TEST(ConverterEdgeFilter, RemovesDcAndLeavesMidBandAlone) {
  std::vector<Sample> constant(N, 10000);
  ConverterSwitches filtered;
  filtered.EdgeFilter = true;
  const auto plain = convert(constant).samples;
  const auto out = convert(constant, filtered).samples;
  const auto ref = referenceSums(constant, true);
  for (int i = 0; i < N; ++i) ASSERT_LE(std::fabs(double(out[i]) - std::trunc(ref[i])), 1.0) << i;
  for (int m = 2000; m < H - 2000; ++m) {
    // Unfiltered, 0 Hz comes out as a strong tone at -Fs/4; filtered, only the ramp's
    // first bins leave a few units where the segments meet.
    ASSERT_GT(std::abs(frame(plain, m)), 5000) << m;
    ASSERT_LE(std::abs(out[2 * m]), 8) << m;
    ASSERT_LE(std::abs(out[2 * m + 1]), 8) << m;
  }

  const auto x = tone(12345, 9000, 1.0);
  const auto a = convert(x).samples;
  const auto b = convert(x, filtered).samples;
  for (int i = 2 * 2048; i < N - 2 * 2048; ++i) ASSERT_LE(std::abs(a[i] - b[i]), 1) << i;
}

TEST(ConverterLevels, AllZeroBlockStaysSilentWithEverySwitch) {
  const std::vector<Sample> zeros(N, 0);
  for (int bits = 0; bits < 8; ++bits) {
    ConverterSwitches sw{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
    const auto r = convert(zeros, sw);
    EXPECT_EQ(r.samples, zeros) << bits;
    EXPECT_EQ(r.levels.Input.Position, 0);
    EXPECT_EQ(r.levels.Output.Left.Position, 0);
    EXPECT_EQ(r.levels.Output.Right.Position, 0);
    EXPECT_FALSE(r.levels.Input.Clipped || r.levels.Output.Left.Clipped || r.levels.Output.Right.Clipped);
  }
}

TEST(ConverterLevels, MetersAndClipFlagsAtTheThreshold) {
  struct Case {
    Sample value;
    int32_t shown;
    bool clipped;
  };
  ConverterSwitches passThrough;
  passThrough.IQ = false;
  for (const Case c :
       {Case{32765, 32765, false}, Case{32766, 32767, true}, Case{32767, 32767, true}, Case{-32768, 32767, true},
        Case{-32765, 32765, false}, Case{-32766, 32767, true}, Case{7, 7, false}}) {
    // Even index: left output sample; odd index: right. Both count for the input meter.
    for (int index : {10, 11}) {
      SCOPED_TRACE(testing::Message() << c.value << " at " << index);
      std::vector<Sample> x(N, 0);
      x[index] = c.value;
      x[200] = 2;  // a smaller peak on each channel
      x[301] = 3;
      const auto levels = convert(x, passThrough).levels;
      EXPECT_EQ(levels.Input.Position, c.shown);
      EXPECT_EQ(levels.Input.Clipped, c.clipped);
      const auto& hit = index % 2 == 0 ? levels.Output.Left : levels.Output.Right;
      const auto& other = index % 2 == 0 ? levels.Output.Right : levels.Output.Left;
      EXPECT_EQ(hit.Position, c.shown);
      EXPECT_EQ(hit.Clipped, c.clipped);
      EXPECT_EQ(other.Position, index % 2 == 0 ? 3 : 2);
      EXPECT_FALSE(other.Clipped);
    }
  }
}

TEST(ConverterLevels, InputMeterSeesOddIndicesAndReadsTheRawBlock) {
  std::vector<Sample> x(N, 0);
  for (int i = 1; i < N; i += 2) x[i] = Sample((i * 37) % 20001 - 10000);
  x[N - 1] = -12345;
  EXPECT_EQ(dsp::MeasureInputLevel(x.data(), N).Position, 12345);

  // Converted, the input meter still reports the block as it came in.
  const auto in = tone(7000, 1000, 0.2);
  int32_t inPeak = 0;
  for (Sample s : in) inPeak = std::max(inPeak, std::abs(int32_t(s)));
  const auto r = convert(in);
  EXPECT_EQ(r.levels.Input.Position, inPeak);
  int32_t left = 0, right = 0;
  for (int m = 0; m < H; ++m) {
    left = std::max(left, std::abs(int32_t(r.samples[2 * m])));
    right = std::max(right, std::abs(int32_t(r.samples[2 * m + 1])));
  }
  EXPECT_EQ(r.levels.Output.Left.Position, left);
  EXPECT_EQ(r.levels.Output.Right.Position, right);
  EXPECT_GT(left, 900);
}

TEST(ConverterInversion, PassThroughNegatesEvenFramesOnly) {
  auto x = noise(32767, 7);
  x[0] = -32768;  // stays -32768: 16-bit negation
  x[5] = -32768;  // odd frame: untouched
  ConverterSwitches sw;
  sw.IQ = false;
  EXPECT_EQ(convert(x, sw).samples, x);

  sw.InvertSpectrum = true;
  const auto r = convert(x, sw);
  int32_t left = 0, right = 0;
  for (int i = 0; i < N; ++i) {
    const Sample expected = (i % 4) < 2 ? Sample(-int32_t(x[i])) : x[i];
    ASSERT_EQ(r.samples[i], expected) << i;
    (i % 2 ? right : left) = std::max(i % 2 ? right : left, std::abs(int32_t(expected)));
  }
  EXPECT_EQ(r.samples[0], -32768);
  EXPECT_EQ(r.levels.Output.Left.Position, left > 32765 ? 32767 : left);
  EXPECT_EQ(r.levels.Output.Right.Position, right > 32765 ? 32767 : right);
}

TEST(ConverterLevels, AnyCountIsMeteredAndInvertedSampleBySample) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  for (int count : {0, 1, 2, 5, 16, 17, 21, 35, 64, 99}) {
    SCOPED_TRACE(count);
    std::vector<Sample> x(count);
    for (auto& s : x) s = Sample(dist(rng));
    if (count > 3) x[count - 1] = -32768;  // the last sample decides the peak

    int32_t all = 0;
    for (Sample s : x) all = std::max(all, std::abs(int32_t(s)));
    const auto in = dsp::MeasureInputLevel(x.data(), count);
    EXPECT_EQ(in.Position, all > 32765 ? 32767 : all);
    EXPECT_EQ(in.Clipped, all > 32765);

    auto y = x;
    const auto out = dsp::InvertAndMeasureOutput(y.data(), count, true);
    int32_t left = 0, right = 0;
    for (int i = 0; i < count; ++i) {
      const Sample expected = (i / 2) % 2 == 0 ? Sample(-int32_t(x[i])) : x[i];
      ASSERT_EQ(y[i], expected) << i;
      (i % 2 ? right : left) = std::max(i % 2 ? right : left, std::abs(int32_t(expected)));
    }
    EXPECT_EQ(out.Left.Position, left > 32765 ? 32767 : left);
    EXPECT_EQ(out.Right.Position, right > 32765 ? 32767 : right);
    EXPECT_EQ(out.Left.Clipped, left > 32765);
    EXPECT_EQ(out.Right.Clipped, right > 32765);
  }
}

TEST(ConverterState, OutputDependsOnlyOnTheBlock) {
  const auto x = noise(6000, 11);
  ConverterSwitches sw;
  sw.EdgeFilter = true;
  const auto first = convert(x, sw).samples;

  convert(noise(30000, 12), ConverterSwitches{});
  EXPECT_EQ(convert(x, sw).samples, first);
  convert(x, sw);
  EXPECT_EQ(convert(x, sw).samples, first);

  // Stale overlap memory from anywhere is not heard.
  auto& stream = sharedStream();
  std::fill(stream.OverlapLeft.begin(), stream.OverlapLeft.end(), 5000.0f);
  std::fill(stream.OverlapRight.begin(), stream.OverlapRight.end(), -5000.0f);
  EXPECT_EQ(convert(x, sw).samples, first);

  // A freshly made stream gives the same result as the long-used one.
  dsp::StreamConfig fresh;
  std::copy(x.begin(), x.end(), fresh.WorkBuffer.begin());
  dsp::ConvertBlock(fresh, sw);
  EXPECT_EQ(fresh.WorkBuffer, first);
}

TEST(ConverterState, ConvertingABlockAllocatesNothing) {
  auto& stream = sharedStream();
  const auto x = noise(20000, 3);
  for (int bits = 0; bits < 8; ++bits) {
    ConverterSwitches sw{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
    std::copy(x.begin(), x.end(), stream.WorkBuffer.begin());
    allocation_counter::Start();
    const auto levels = dsp::ConvertBlock(stream, sw);
    EXPECT_EQ(allocation_counter::Stop(), 0) << bits;
    EXPECT_EQ(levels.Input.Position, 20000);
  }
  // The counter does see allocations (so a zero above means something).
  allocation_counter::Start();
  auto* probe = new std::vector<int>(3);
  const long seen = allocation_counter::Stop();
  delete probe;
  EXPECT_GE(seen, 1);
}

// A stream whose sizes disagree is refused: an assertion in debug builds, and in release
// builds the block stays as it was (no read or write past the arrays).
TEST(ConverterState, UnconfiguredStreamIsRefused) {
  dsp::StreamConfig stream;
  stream.OverlapLeft.resize(16);
  const auto x = noise(6000, 5);
  std::copy(x.begin(), x.end(), stream.WorkBuffer.begin());
  EXPECT_DEBUG_DEATH(dsp::ConvertToIQ(stream, true), "IsConfigured");
  EXPECT_EQ(stream.WorkBuffer, x);
}

}  // namespace
