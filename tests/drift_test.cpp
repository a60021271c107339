// Live stream path between two clocks: the frame FIFO against a plain queue model, the
// resampler's tone quality across the band and ratios, its bit-exact delay at ratio 1, and
// the compensator over a simulated hour with the capture clock off by -200, 0 and +200 ppm
// (buffers of tens of milliseconds handled with jitter), plus underrun, overflow, reset and
// freedom from heap allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <deque>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "dsp/adaptive_resampler.hpp"
#include "dsp/break_tally.hpp"
#include "dsp/drift_compensator.hpp"
#include "dsp/sample_fifo.hpp"

namespace {

using dsp::AdaptiveResampler;
using dsp::BreakTally;
using dsp::DriftCompensator;
using dsp::DriftController;
using dsp::DriftTuning;
using dsp::DriftSetup;
using dsp::Sample;
using dsp::SampleFifo;

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Signal-to-noise ratio in dB of a stereo tone whose phase at output frame j is
// theta[j] (up to a constant): the best-fitting a*cos + b*sin per channel, in double, is
// the signal; what is left is the noise.
double toneSnrDb(const std::vector<Sample>& out, const std::vector<double>& theta) {
  double signal = 0.0, noise = 0.0;
  for (int channel = 0; channel < 2; ++channel) {
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (size_t j = 0; j < theta.size(); ++j) {
      const double c = std::cos(theta[j]), s = std::sin(theta[j]), y = out[2 * j + channel];
      cc += c * c, ss += s * s, cs += c * s, yc += y * c, ys += y * s;
    }
    const double det = cc * ss - cs * cs;
    const double a = (yc * ss - ys * cs) / det, b = (ys * cc - yc * cs) / det;
    for (size_t j = 0; j < theta.size(); ++j) {
      const double fit = a * std::cos(theta[j]) + b * std::sin(theta[j]);
      const double e = out[2 * j + channel] - fit;
      signal += fit * fit;
      noise += e * e;
    }
  }
  return 10.0 * std::log10(signal / std::max(noise, 1e-30));
}

// A complex tone (left cos, right sin) at `cyclesPerFrame`, amplitude 16000, as 16-bit
// frames, one frame at a time. A rotator, so an hour of it costs little.
class ToneSource {
 public:
  explicit ToneSource(double cyclesPerFrame) : step_(std::polar(1.0, kTwoPi * cyclesPerFrame)) {}
  void next(Sample* frame) {
    frame[0] = static_cast<Sample>(std::lround(16000.0 * z_.real()));
    frame[1] = static_cast<Sample>(std::lround(16000.0 * z_.imag()));
    z_ *= step_;
    if (++count_ % 4096 == 0) z_ /= std::abs(z_);
  }

 private:
  std::complex<double> z_{1.0, 0.0};
  std::complex<double> step_;
  long count_ = 0;
};

// Frames that carry their own index (1, 2, 3, ...: left the low 16 bits, right the rest),
// so a copy that repeats or skips a frame, or interpolates at all, shows.
class CounterSource {
 public:
  void next(Sample* frame) {
    ++index_;
    frame[0] = static_cast<Sample>(static_cast<uint16_t>(index_ & 0xFFFF));
    frame[1] = static_cast<Sample>(index_ >> 16);
  }
  static long indexOf(const Sample* frame) {
    return static_cast<long>(static_cast<uint16_t>(frame[0])) + (static_cast<long>(frame[1]) << 16);
  }

 private:
  long index_ = 0;
};

// A number as a test name allows it: -0.5 -> "minus0p5".
std::string nameOf(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", std::abs(value));
  std::string name = value < 0 ? "minus" : "";
  for (const char* c = text; *c; ++c) name += *c == '.' ? 'p' : *c;
  return name;
}

// ---------------------------------------------------------------------------------------
// The FIFO

// Random pushes and pops against a std::deque that drops its oldest entries when full and
// pads pops with silence: every frame, the size and all four counters must agree.
TEST(SampleFifo, MatchesAQueueThatDropsOldestAndPadsWithSilence) {
  constexpr size_t kCapacity = 97;
  SampleFifo fifo;
  fifo.setCapacity(kCapacity);
  std::deque<Sample> model;  // left samples; right = -left
  uint64_t underruns = 0, overflows = 0, dropped = 0, silent = 0;
  std::mt19937 random(11);
  Sample next = 1;
  std::vector<Sample> buffer(2 * 300);
  for (int step = 0; step < 20000; ++step) {
    const size_t frames = std::uniform_int_distribution<size_t>(0, step % 500 == 0 ? 250 : 60)(random);
    if (random() % 2) {
      for (size_t i = 0; i < frames; ++i, ++next) buffer[2 * i] = next, buffer[2 * i + 1] = static_cast<Sample>(-next);
      fifo.push(buffer.data(), frames);
      for (size_t i = 0; i < frames; ++i) model.push_back(buffer[2 * i]);
      if (model.size() > kCapacity) ++overflows, dropped += model.size() - kCapacity;
      while (model.size() > kCapacity) model.pop_front();
    } else {
      const size_t real = fifo.pop(buffer.data(), frames);
      ASSERT_EQ(real, std::min(frames, model.size()));
      for (size_t i = 0; i < frames; ++i) {
        const Sample expected = model.empty() ? Sample{0} : model.front();
        if (!model.empty()) model.pop_front();
        ASSERT_EQ(buffer[2 * i], expected) << "step " << step << " frame " << i;
        ASSERT_EQ(buffer[2 * i + 1], static_cast<Sample>(-expected));
      }
      if (real < frames) ++underruns, silent += frames - real;
    }
    ASSERT_EQ(fifo.size(), model.size());
  }
  EXPECT_EQ(fifo.underruns(), underruns);
  EXPECT_EQ(fifo.overflows(), overflows);
  EXPECT_EQ(fifo.droppedFrames(), dropped);
  EXPECT_EQ(fifo.silentFrames(), silent);
  EXPECT_GT(underruns, 100u);
  EXPECT_GT(overflows, 10u);
}

// ---------------------------------------------------------------------------------------
// The resampler

struct ToneCase {
  double ratio;
  double cyclesPerFrame;
};
void PrintTo(const ToneCase& c, std::ostream* os) {
  *os << "ratio " << c.ratio << ", " << c.cyclesPerFrame << " cycles/frame";
}

class ResamplerTone : public ::testing::TestWithParam<ToneCase> {};

// A tone through the resampler in blocks of changing size and a ratio that wanders
// +-20 ppm around the case's ratio, measured against a tone whose phase follows the ratios
// given: 80 dB or better from 0 to 0.4 of the rate, over the whole +-1000 ppm range.
TEST_P(ResamplerTone, KeepsTheToneCleanAcrossBlocks) {
  const ToneCase c = GetParam();
  AdaptiveResampler resampler;
  resampler.setMaxBlock(1000, 1.002);
  ToneSource tone(c.cyclesPerFrame);
  std::vector<Sample> input(2 * 1100), block(2 * 1000), out;
  std::vector<double> theta;
  double phase = 0.0;
  for (int call = 0; call < 60; ++call) {
    const size_t frames = 300 + static_cast<size_t>(call * 37 % 700);
    const double ratio = c.ratio + 20e-6 * std::sin(call * 0.7);
    const size_t needed = resampler.inputFramesFor(frames, ratio);
    for (size_t i = 0; i < needed; ++i) tone.next(&input[2 * i]);
    resampler.process(input.data(), block.data(), frames, ratio);
    // Leave the filter's start (silent history) out of the measurement.
    for (size_t k = 0; k < frames; ++k, phase += kTwoPi * c.cyclesPerFrame * ratio) {
      if (call < 2) continue;
      out.insert(out.end(), {block[2 * k], block[2 * k + 1]});
      theta.push_back(phase);
    }
  }
  EXPECT_GE(toneSnrDb(out, theta), 80.0) << "ratio " << c.ratio << ", " << c.cyclesPerFrame << " cycles/frame";
}

std::vector<ToneCase> toneCases() {
  std::vector<ToneCase> cases;
  for (double ratio : {1.0 - 1000e-6, 1.0 - 200e-6, 1.0 + 1e-7, 1.0 + 200e-6, 1.0 + 1000e-6})
    for (double f : {0.003, 0.1, 0.25, 0.4}) cases.push_back({ratio, f});
  return cases;
}
INSTANTIATE_TEST_SUITE_P(RatiosAndFrequencies, ResamplerTone, ::testing::ValuesIn(toneCases()),
                         [](const ::testing::TestParamInfo<ToneCase>& info) {
                           return "ratio_" + nameOf((info.param.ratio - 1.0) * 1e6) + "ppm_f" +
                                  nameOf(info.param.cyclesPerFrame);
                         });

// At ratio exactly 1 from a whole-sample position the output is the input delayed by the
// filter's half length, bit for bit, whatever the block sizes.
TEST(AdaptiveResampler, RatioOneIsABitExactDelay) {
  AdaptiveResampler resampler;
  resampler.setMaxBlock(512, 1.001);
  CounterSource source;
  std::vector<Sample> input(2 * 520), out(2 * 512);
  long produced = 0;
  for (int call = 0; call < 40; ++call) {
    const size_t frames = 1 + static_cast<size_t>(call * 97 % 512);
    const size_t needed = resampler.inputFramesFor(frames, 1.0);
    ASSERT_EQ(needed, frames);
    for (size_t i = 0; i < needed; ++i) source.next(&input[2 * i]);
    resampler.process(input.data(), out.data(), frames, 1.0);
    for (size_t k = 0; k < frames; ++k, ++produced) {
      const long expected = produced - AdaptiveResampler::kHalfTaps + 1;  // frames count from 1
      ASSERT_EQ(CounterSource::indexOf(&out[2 * k]), std::max(expected, 0L)) << "output frame " << produced;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The compensator between two clocks

struct DriftCase {
  double driftPpm;     // capture clock = playback clock * (1 + drift)
  int outputRate;      // half the capture rate
  size_t pushFrames;   // converted frames per capture buffer
  size_t pullFrames;   // frames per playback buffer
  double minutes;      // simulated time
  bool counterSignal;  // frames that carry their index (checked bit-exact) instead of a tone
};
void PrintTo(const DriftCase& c, std::ostream* os) {
  *os << c.driftPpm << " ppm, " << c.outputRate << " Hz, push " << c.pushFrames << ", pull " << c.pullFrames << ", "
      << c.minutes << " min";
}

// Both devices' buffers are handled on one thread, each up to kJitterSeconds late, so the
// order of pushes and pulls varies from the two clocks' pattern.
constexpr double kJitterSeconds = 0.005;
constexpr double kToneCycles = 0.0731234;  // per frame

class DriftSimulation : public ::testing::TestWithParam<DriftCase> {};

// Steady state: nothing runs dry or overflows (not even at the start), the ratio stays in
// bounds, converges to 1 + drift and moves slowly, the level holds its target, the frames
// taken follow the ratios exactly, and the played tone stays clean -- or, while the clocks
// agree, every frame is played unchanged, in order.
TEST_P(DriftSimulation, HoldsTheLevelWithoutUnderrunOrOverflow) {
  const DriftCase c = GetParam();
  const double rate = c.outputRate;
  const double drift = c.driftPpm * 1e-6;
  const double duration = c.minutes * 60.0;
  const double settledFrom = std::min(600.0, duration / 2);  // convergence is judged from here on (hours only)
  DriftCompensator compensator;
  compensator.configure({c.outputRate, c.pushFrames, c.pullFrames});
  const double target = compensator.targetLevelSeconds();

  ToneSource tone(kToneCycles);
  CounterSource counter;
  std::mt19937 random(static_cast<unsigned>(1000 + c.driftPpm));
  std::uniform_real_distribution<double> jitter(0.0, kJitterSeconds);
  std::vector<Sample> pushBuffer(2 * c.pushFrames), pullBuffer(2 * c.pullFrames);

  // Sparse tone windows: the played frames and their phase, which follows the ratios used.
  constexpr size_t kWindowFrames = 8192;
  std::vector<Sample> window;
  std::vector<double> theta;
  double windowPhase = 0.0, nextWindowAt = duration / 16, worstSnr = 1e9;
  int windows = 0;

  long pushes = 0, pulls = 0;
  double pushAt = jitter(random), pullAt = 0.1 + jitter(random);
  double previousRatio = 1.0, previousPullAt = 0.0;
  double worstRatioError = 0.0, worstSlew = 0.0, worstLevelError = 0.0, settledAt = 0.0;
  double minRatio = 1.0, maxRatio = 1.0, settledRatioSum = 0.0, settledFrames = 0.0;
  // Continuity: frames taken from the queue must follow the sum of the ratios used.
  double pushedFrames = 0.0, ratioSum = 0.0, consumedAtStart = -1.0, ratioSumAtStart = 0.0, worstSlip = 0.0;
  long expectedIndex = 0;  // counter signal: the index the next played frame must carry

  while (pullAt < duration) {
    if (pushAt < pullAt) {
      for (size_t i = 0; i < c.pushFrames; ++i) {
        if (c.counterSignal)
          counter.next(&pushBuffer[2 * i]);
        else
          tone.next(&pushBuffer[2 * i]);
      }
      compensator.push(pushBuffer.data(), c.pushFrames, pushAt);
      pushedFrames += static_cast<double>(c.pushFrames);
      ++pushes;
      pushAt =
          static_cast<double>(pushes) * static_cast<double>(c.pushFrames) / (rate * (1.0 + drift)) + jitter(random);
      continue;
    }
    const double now = pullAt;
    compensator.pull(pullBuffer.data(), c.pullFrames, now);
    ++pulls;
    pullAt = 0.1 + static_cast<double>(pulls) * static_cast<double>(c.pullFrames) / rate + jitter(random);
    if (compensator.starting()) continue;

    const double ratio = compensator.ratio();
    if (consumedAtStart < 0.0) {
      consumedAtStart = pushedFrames - static_cast<double>(compensator.queuedFrames());
      ratioSumAtStart = ratioSum + ratio * static_cast<double>(c.pullFrames);
    }
    ratioSum += ratio * static_cast<double>(c.pullFrames);
    const double consumed = pushedFrames - static_cast<double>(compensator.queuedFrames()) - consumedAtStart;
    worstSlip = std::max(worstSlip, std::abs(consumed - (ratioSum - ratioSumAtStart)));
    minRatio = std::min(minRatio, ratio);
    maxRatio = std::max(maxRatio, ratio);
    worstSlew = std::max(worstSlew, std::abs(ratio - previousRatio) / (now - previousPullAt));
    previousRatio = ratio;
    previousPullAt = now;
    const double ratioError = std::abs(ratio - (1.0 + drift));
    if (ratioError > 2e-6) settledAt = now;
    if (now >= settledFrom) {
      worstRatioError = std::max(worstRatioError, ratioError);
      worstLevelError = std::max(worstLevelError, std::abs(compensator.levelSeconds() - target));
      settledRatioSum += ratio;
      settledFrames += 1.0;
    }

    if (c.counterSignal) {
      for (size_t k = 0; k < c.pullFrames; ++k) {
        const long index = CounterSource::indexOf(&pullBuffer[2 * k]);
        if (expectedIndex == 0 && index != 0) expectedIndex = index;  // the first played frame
        if (expectedIndex == 0) continue;
        ASSERT_EQ(index, expectedIndex) << "at " << now << " s";
        ++expectedIndex;
      }
    } else if (now >= nextWindowAt) {
      for (size_t k = 0; k < c.pullFrames && theta.size() < kWindowFrames; ++k) {
        window.insert(window.end(), {pullBuffer[2 * k], pullBuffer[2 * k + 1]});
        theta.push_back(windowPhase);
        windowPhase += kTwoPi * kToneCycles * ratio;
      }
      if (theta.size() == kWindowFrames) {
        worstSnr = std::min(worstSnr, toneSnrDb(window, theta));
        ++windows;
        window.clear();
        theta.clear();
        windowPhase = 0.0;
        nextWindowAt += duration / 8;
      }
    }
  }

  std::printf(
      "drift %+.0f ppm at %d Hz, push %zu / pull %zu frames: target level %.1f ms; ratio within 2 ppm of "
      "1 + drift from %.0f s; from %.0f s: worst ratio error %.2f ppm, mean %.3f ppm, worst level error "
      "%.3f ms; worst slew %.1f ppm/s; SNR %.1f dB over %d windows\n",
      c.driftPpm, c.outputRate, c.pushFrames, c.pullFrames, target * 1e3, settledAt, settledFrom, worstRatioError * 1e6,
      (settledRatioSum / settledFrames - 1.0 - drift) * 1e6, worstLevelError * 1e3, worstSlew * 1e6, worstSnr, windows);

  EXPECT_EQ(compensator.underruns(), 0u);
  EXPECT_EQ(compensator.overflows(), 0u);
  EXPECT_GE(minRatio, 1.0 - 1000e-6);
  EXPECT_LE(maxRatio, 1.0 + 1000e-6);
  if (duration >= 1800.0) {
    EXPECT_LE(worstRatioError, 10e-6) << "the ratio converges to 1 + drift";
    EXPECT_LE(worstLevelError, 0.001) << "the level stays within 1 ms of its target";
  }
  EXPECT_LE(worstSlew, 250e-6) << "ppm per second";
  EXPECT_LE(worstSlip, 2.0) << "frames taken follow the ratios: nothing repeated or dropped";
  if (c.counterSignal) {
    EXPECT_GT(expectedIndex, static_cast<long>((duration - 2.0) * rate)) << "every frame played unchanged";
  } else {
    EXPECT_EQ(windows, 8);
    EXPECT_GE(worstSnr, 80.0);
  }
}

// The hours run at the lowest rates so that they take a second; the higher rates run for
// minutes. Capture and playback buffers of 20 to 50 ms, equal and unequal.
INSTANTIATE_TEST_SUITE_P(TwoClocks, DriftSimulation,
                         ::testing::Values(DriftCase{-200.0, 4000, 160, 80, 60.0,
                                                     false},                           // 40 ms captures, 20 ms playback
                                           DriftCase{0.0, 4000, 80, 200, 60.0, true},  // 20 ms, 50 ms
                                           DriftCase{+200.0, 4000, 200, 200, 60.0, false},    // 50 ms both ways
                                           DriftCase{+200.0, 24000, 480, 1024, 5.0, false},   // 20 ms, 43 ms
                                           DriftCase{-200.0, 96000, 4096, 2048, 2.0, false},  // 43 ms, 21 ms
                                           DriftCase{0.0, 96000, 2048, 4096, 2.0, true}),     // 21 ms, 43 ms
                         [](const ::testing::TestParamInfo<DriftCase>& info) {
                           return nameOf(info.param.driftPpm) + "ppm_" + std::to_string(info.param.outputRate) + "Hz";
                         });

// ---------------------------------------------------------------------------------------
// Faults, reset, allocation

// Pushes and pulls of 20 ms at 8000 Hz, the frames numbered; tracks what is played.
class CompensatorRig : public ::testing::Test {
 protected:
  static constexpr int kRate = 8000;
  static constexpr size_t kFrames = 160;
  static constexpr double kPeriod = 0.020;
  static constexpr int kSecond = 50;  // periods

  // Stalls of either side, for the tests of what follows them.
  struct Stall {
    const char* name;
    bool pushing, pulling, keepMissed;
    int periods;
    bool told;           // the device's server played silence, and the engine says so
    size_t extraFrames;  // then playback takes this much more than it missed (its server refills)
  };
  static constexpr Stall kStalls[] = {
      {"capture stops", false, true, false, kSecond / 2, false, 0},
      {"capture late, then its backlog", false, true, true, 5, false, 0},
      {"playback stops", true, false, false, kSecond / 2, false, 0},
      {"playback's server plays silence", true, false, false, 4, true, 0},
      {"playback's server plays silence, then takes half a buffer more", true, true, false, 1, true, kFrames / 2},
  };

  void SetUp() override { compensator.configure({kRate, kFrames, kFrames}); }

  // Runs `periods` playback periods, with the captures that fall due in them (the capture
  // clock `captureDrift` fast); either side may be left out.
  // With `holdFor`, each playback request is held back that long before it is filled.
  void run(int periods, bool pushing = true, bool pulling = true, double captureDrift = 0.0) {
    if (clockKnown) compensator.setClockDeviation(captureDrift, true);
    auto pushUntil = [&](double time) {
      for (; nextPush <= time; nextPush += kPeriod / (1.0 + captureDrift)) {
        if (!pushing) {
          missed += keepMissed ? 1 : 0;
          continue;
        }
        // A late device catches up with what it held, two buffers at a time.
        const int buffers = missed > 0 ? 2 : 1;
        missed -= buffers - 1;
        for (int b = 0; b < buffers; ++b) {
          for (size_t i = 0; i < kFrames; ++i) counter.next(&in[2 * i]);
          compensator.push(in.data(), kFrames, nextPush);
        }
      }
    };
    for (int period = 0; period < periods; ++period, now += kPeriod) {
      const double pullAt = now + kPeriod / 4;
      pushUntil(pullAt);
      if (pulling) {
        if (holdFor > 0.0) {
          compensator.hold(kFrames, pullAt);
          pushUntil(pullAt + holdFor);
        }
        compensator.pull(out.data(), kFrames, pullAt + holdFor);
        if (!compensator.starting()) {
          ratioLow = std::min(ratioLow, compensator.ratio());
          ratioHigh = std::max(ratioHigh, compensator.ratio());
        }
        for (size_t k = 0; k < kFrames; ++k) {
          const long index = CounterSource::indexOf(&out[2 * k]);
          if (index == 0) {
            ++silentFrames;
            continue;
          }
          if (lastPlayed != 0 && index != lastPlayed + 1) ++jumps;
          lastPlayed = index;
        }
      }
    }
  }

  DriftCompensator compensator;
  CounterSource counter;
  std::vector<Sample> in = std::vector<Sample>(2 * kFrames), out = std::vector<Sample>(2 * kFrames);
  double now = 0.0;       // start of the next playback period
  double nextPush = 0.0;  // time of the next capture
  double holdFor = 0.0;
  bool clockKnown = false;  // the devices' clocks are measured (as the engine does)
  bool keepMissed = false;  // captures left out come later
  int missed = 0;
  long lastPlayed = 0, jumps = 0, silentFrames = 0;
  double ratioLow = 1.0, ratioHigh = 1.0;  // the ratios played
};

// Capture stops: the queue runs dry once (counted), playback goes on with silence, and
// when capture comes back the stream goes on within 50 ms (as soon as the queue is back at
// its target), without further underruns.
TEST_F(CompensatorRig, UnderrunPlaysSilenceAndIsCounted) {
  run(5 * kSecond);
  ASSERT_EQ(compensator.underruns(), 0u);
  const long playedBefore = lastPlayed;
  silentFrames = 0;
  run(2 * kSecond, false, true);
  EXPECT_EQ(compensator.underruns(), 1u);
  EXPECT_GT(silentFrames, static_cast<long>(1.9 * kRate));
  EXPECT_GT(lastPlayed, playedBefore);  // what was queued was played out first
  const long playedAtUnderrun = lastPlayed;
  jumps = 0;
  silentFrames = 0;
  run(kSecond / 10);
  EXPECT_GT(lastPlayed, playedAtUnderrun) << "playing again after 100 ms";
  EXPECT_LE(silentFrames, static_cast<long>(0.050 * kRate) + AdaptiveResampler::kHalfTaps) << "of silence";
  run(5 * kSecond);
  EXPECT_EQ(compensator.underruns(), 1u);
  EXPECT_GT(lastPlayed, playedAtUnderrun + 3 * kRate);
  EXPECT_EQ(jumps, 0) << "capture's frames follow on where they stopped";
}

// A playback device started afresh (stalled output) refills to the target already measured:
// a buffer or two of silence, not a second start measurement.
TEST_F(CompensatorRig, PlaybackRestartRefillsWithoutMeasuringAgain) {
  run(5 * kSecond);
  const long playedBefore = lastPlayed;
  compensator.restartPlayback(now);
  silentFrames = 0;
  run(kSecond / 10);
  EXPECT_GT(lastPlayed, playedBefore) << "playing again after 100 ms";
  EXPECT_LE(silentFrames, static_cast<long>(0.050 * kRate) + AdaptiveResampler::kHalfTaps) << "of silence";
  EXPECT_EQ(compensator.underruns() + compensator.overflows(), 0u);
}

// Playback stalls while capture goes on: the oldest frames are dropped (counted) and the
// newest are played when playback comes back, at about the target delay.
TEST_F(CompensatorRig, OverflowDropsTheOldestAndIsCounted) {
  run(5 * kSecond);
  const long playedBefore = lastPlayed;
  run(kSecond, true, false);
  EXPECT_GE(compensator.overflows(), 1u);
  EXPECT_LE(compensator.queuedFrames(), compensator.capacityFrames());
  const long newest = counter.indexOf(&in[2 * (kFrames - 1)]);
  jumps = 0;
  run(kSecond / 10);
  EXPECT_EQ(jumps, 1);
  EXPECT_GT(lastPlayed, playedBefore + kRate / 2) << "the oldest frames were skipped";
  EXPECT_GE(lastPlayed, newest - static_cast<long>(compensator.targetLevelSeconds() * kRate) - 1);
  EXPECT_EQ(compensator.underruns(), 0u);
}

// A reset (device fault) empties the queue and starts again; the counters stay.
TEST_F(CompensatorRig, ResetEmptiesTheQueue) {
  run(3 * kSecond, true, false);  // capture alone: frames beyond the start's need are let go, uncounted
  run(3 * kSecond);
  run(kSecond / 2, true, false);
  const uint64_t overflows = compensator.overflows();
  ASSERT_GE(overflows, 1u);
  compensator.reset();
  EXPECT_EQ(compensator.queuedFrames(), 0u);
  EXPECT_TRUE(compensator.starting());
  EXPECT_EQ(compensator.overflows(), overflows);
  silentFrames = 0;
  run(kSecond / 2, false, true);
  EXPECT_EQ(silentFrames, static_cast<long>(kSecond / 2 * kFrames));
  EXPECT_EQ(compensator.underruns(), 0u) << "a reset is not an underrun";
}

// Clocks that differed agree again: the ratio returns to 1, the read position glides onto a
// whole sample and the frames pass through unchanged again, without a jump at the glide.
TEST_F(CompensatorRig, LocksAgainWhenTheClocksAgree) {
  run(120 * kSecond, true, true, 100e-6);
  ASSERT_EQ(compensator.state(), DriftController::State::Tracking);
  int periods = 0;
  while (compensator.state() != DriftController::State::Locked && periods < 1200 * kSecond) run(1), ++periods;
  ASSERT_EQ(compensator.state(), DriftController::State::Locked) << "within 20 minutes";
  std::printf("locked again %.0f s after the clocks agreed\n", periods / static_cast<double>(kSecond));
  run(1);  // the last block of the glide is interpolated
  jumps = 0;
  const long lockedAt = lastPlayed;
  run(60 * kSecond);
  EXPECT_EQ(jumps, 0);
  EXPECT_EQ(lastPlayed, lockedAt + 60 * kRate);
  EXPECT_EQ(compensator.ratio(), 1.0);
  EXPECT_EQ(compensator.underruns() + compensator.overflows(), 0u);
}

// Playback requests that start to come just before the captures and wait for them (the
// devices' rhythms slide past each other) change nothing the devices do: the output stays
// an unchanged pass-through.
TEST_F(CompensatorRig, RequestsHeldForCaptureKeepThePassThrough) {
  run(10 * kSecond);
  ASSERT_EQ(compensator.state(), DriftController::State::Locked);
  holdFor = 0.8 * kPeriod;
  jumps = 0;
  const long before = lastPlayed;
  run(60 * kSecond);
  EXPECT_EQ(compensator.state(), DriftController::State::Locked);
  EXPECT_EQ(jumps, 0);
  EXPECT_EQ(lastPlayed, before + 60 * kRate);
}

// Clocks 200 ppm apart, measured: after a stall of either side the average level returns to
// its target (within the trim's dead band: a stall's backlog may still trickle in after the
// grown target is refilled), so the level's trim does not pull the ratio off the clocks. (The queue is
// judged when playback asks for a buffer, at the top of its sawtooth: refilled or trimmed
// to the bare target there, the average sat most of a buffer below it; and a late capture
// device's backlog, arriving after the refill, left it that much above.)
TEST_F(CompensatorRig, AfterAStallTheRatioStaysWithTheClocks) {
  constexpr double kDrift = 200e-6;
  clockKnown = true;
  for (const Stall& stall : kStalls) {
    SCOPED_TRACE(stall.name);
    compensator.configure({kRate, kFrames, kFrames});  // each stall on a fresh queue: no reserve yet
    run(90 * kSecond, true, true, kDrift);
    ASSERT_EQ(compensator.state(), DriftController::State::Tracking);
    keepMissed = stall.keepMissed;
    run(stall.periods, stall.pushing, stall.pulling, kDrift);
    if (stall.told) compensator.playbackSkipped(now);
    if (stall.extraFrames > 0) compensator.pull(out.data(), stall.extraFrames, now);
    run(60 * kSecond, true, true, kDrift);
    EXPECT_NEAR(compensator.ratio(), 1.0 + kDrift, 1e-6);
    EXPECT_NEAR(compensator.levelSeconds(), compensator.targetLevelSeconds(), DriftTuning{}.trimDeadBand);
  }
}

// On the engine's tuning the ratio follows the clocks alone: a break a few seconds in, before
// the clocks are measured, or after, is let go or padded, and a backlog nobody announced (the
// capture's server hands over 60 ms more at once) only delays the stream; the ratio moves by
// no more than the level's trim (such a backlog once pulled it ~1000 ppm away for a minute).
TEST_F(CompensatorRig, OnTheEnginesTuningABreakNeverMovesTheRatioOffTheClocks) {
  compensator = DriftCompensator(DriftTuning::followingClocks());
  compensator.configure({kRate, kFrames, kFrames});
  constexpr Stall kBacklog{"a backlog nobody announced", true, true, false, 0, false, 0};
  for (const bool known : {false, true})
    for (std::size_t fault = 0; fault <= std::size(kStalls); ++fault) {
      const Stall& stall = fault < std::size(kStalls) ? kStalls[fault] : kBacklog;
      SCOPED_TRACE(testing::Message() << stall.name << (known ? ", clocks known" : ""));
      const double drift = known ? 200e-6 : 0.0;
      clockKnown = known;
      compensator.configure({kRate, kFrames, kFrames});
      run((known ? 60 : 3) * kSecond, true, true, drift);
      ratioLow = ratioHigh = compensator.ratio();
      const uint64_t breaks = compensator.underruns() + compensator.overflows() + compensator.restarts();
      keepMissed = stall.keepMissed;
      run(stall.periods, stall.pushing, stall.pulling, drift);
      if (stall.told) compensator.playbackSkipped(now);
      if (stall.extraFrames > 0) compensator.pull(out.data(), stall.extraFrames, now);
      for (int b = 0; b < (&stall == &kBacklog ? 3 : 0); ++b) {
        for (size_t i = 0; i < kFrames; ++i) counter.next(&in[2 * i]);
        compensator.push(in.data(), kFrames, now);
      }
      run(60 * kSecond, true, true, drift);
      EXPECT_NEAR(ratioLow, 1.0 + drift, 3.5e-6);
      EXPECT_NEAR(ratioHigh, 1.0 + drift, 3.5e-6);
      if (&stall == &kBacklog) continue;
      EXPECT_NEAR(compensator.levelSeconds(), compensator.targetLevelSeconds(), 0.004);
      EXPECT_GT(compensator.underruns() + compensator.overflows() + compensator.restarts(), breaks);
    }
}

// Capture 100 ms late breaks the stream once, and the target grows by what the queue lacked,
// so the same stall again breaks nothing. Minutes later, with the ratio resampling, that
// reserve is given back at a pace the ratio follows within the trim's few ppm.
TEST_F(CompensatorRig, ALateCaptureBreaksOnceThenTheReserveCoversIt) {
  constexpr double kDrift = 200e-6;
  compensator = DriftCompensator(DriftTuning::followingClocks());
  compensator.configure({kRate, kFrames, kFrames});
  clockKnown = keepMissed = true;
  const Stall& late = kStalls[1];
  run(90 * kSecond, true, true, kDrift);
  run(late.periods, false, true, kDrift);
  run(10 * kSecond, true, true, kDrift);
  ASSERT_EQ(compensator.underruns() + compensator.overflows(), 1u);
  const double reserve = compensator.reserveSeconds();
  EXPECT_GE(reserve, 0.070);  // the stall less the 30 ms the queue held
  EXPECT_LE(reserve, 0.090);
  ratioLow = ratioHigh = compensator.ratio();
  run(late.periods, false, true, kDrift);
  run(600 * kSecond, true, true, kDrift);
  EXPECT_EQ(compensator.underruns() + compensator.overflows(), 1u);
  EXPECT_LT(compensator.reserveSeconds(), reserve - 0.0005) << "given back after five minutes without a break";
  EXPECT_NEAR(ratioLow, 1.0 + kDrift, 3.5e-6);
  EXPECT_NEAR(ratioHigh, 1.0 + kDrift, 3.5e-6);
}

// What a listener hears after a stall, on clocks that agree (the output is the input, bit for
// bit): silence in a stream that played, frames skipped. One heard more than the aftermath
// after the stream played again is a break of its own: the count is what is heard, no less.
TEST_F(CompensatorRig, EveryBreakHeardIsCounted) {
  clockKnown = true;
  for (const Stall& stall : kStalls) {
    SCOPED_TRACE(stall.name);
    compensator.configure({kRate, kFrames, kFrames});
    run(5 * kSecond);
    const uint64_t counted = compensator.underruns() + compensator.overflows() + compensator.restarts();
    uint64_t heard = 0;
    bool open = false, back = false;
    double backAt = 0.0;
    auto hear = [&](double at) {
      if (open && (!back || at < backAt + BreakTally::kAftermathSeconds)) return;
      ++heard;
      open = true;
      back = false;
    };
    keepMissed = stall.keepMissed;
    for (int period = 0; period < stall.periods + 3 * kSecond; ++period) {
      const bool stalled = period < stall.periods;
      const double pullAt = now + kPeriod / 4;
      const long jumpsBefore = jumps, silentBefore = silentFrames;
      run(1, !stalled || stall.pushing, !stalled || stall.pulling);
      if (stalled && !stall.pulling) hear(pullAt);  // the output stands still
      if (jumps != jumpsBefore || silentFrames != silentBefore) hear(pullAt);
      const bool playing = (!stalled || stall.pulling) && CounterSource::indexOf(&out[2 * (kFrames - 1)]) != 0;
      if (open && !back && playing) {
        back = true;
        backAt = pullAt;
      }
      if (stall.told && period + 1 == stall.periods) {
        compensator.playbackSkipped(now);
        hear(now);
        if (stall.extraFrames > 0) compensator.pull(out.data(), stall.extraFrames, now);
      }
    }
    ASSERT_GE(heard, 1u);
    EXPECT_EQ(compensator.underruns() + compensator.overflows() + compensator.restarts() - counted, heard);
  }
}

// After configure(), starting, running, a drifting clock, an underrun and a reset allocate nothing.
TEST_F(CompensatorRig, AllocatesNothingAfterConfigure) {
  allocation_counter::Start();
  run(3 * kSecond);
  run(30 * kSecond, true, true, 500e-6);  // the ratio moves
  const DriftController::State drifting = compensator.state();
  run(kSecond, false, true);
  compensator.reset();
  run(2 * kSecond);
  EXPECT_EQ(allocation_counter::Stop(), 0);
  EXPECT_EQ(drifting, DriftController::State::Tracking);
  EXPECT_EQ(compensator.underruns(), 1u);
}

}  // namespace
