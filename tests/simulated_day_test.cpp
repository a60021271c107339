// A simulated day of the live stream path on a virtual clock: a capture and a playback
// device on clocks of their own (up to 300 ppm off, wandering), their workers' jitter, late
// bursts of up to a second, a stalled playback worker, a server that skips playback unseen,
// a suspended sink and a lost server, driven through the clock estimates and the drift
// compensator as the live engine drives them (each buffer timed by when its worker handed
// it over).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "allocation_counter.hpp"
#include "dsp/clock_estimator.hpp"
#include "dsp/drift_compensator.hpp"

namespace {

using dsp::Sample;

constexpr int kRate = 4000;          // both sides; the engine's rates are higher, the path the same
constexpr std::size_t kFrames = 80;  // 20 ms buffers
#ifdef TOVREL_SHORT_DAY
constexpr double kHours = 2.0;  // sanitizers: the same faults, fewer of them
constexpr double kRepeatHours = 0.25;
#else
constexpr double kHours = 24.0;
constexpr double kRepeatHours = 1.0;
#endif

// A device's clock: `base` ppm off, wandering by a ppm over six hours.
class DeviceClock {
 public:
  DeviceClock(double basePpm, double phase) : base_(basePpm * 1e-6), phase_(phase) {}
  double deviation(double t) const { return base_ + kWander * std::sin(kOmega * t + phase_); }
  // Frames moved since time 0.
  double position(double t) const {
    return kRate * (t + base_ * t - kWander / kOmega * (std::cos(kOmega * t + phase_) - std::cos(phase_)));
  }

 private:
  static constexpr double kWander = 1e-6;
  static constexpr double kOmega = 2.0 * std::numbers::pi / (6.0 * 3600.0);
  double base_, phase_;
};

// One side: when its buffers are due (its clock) and when its worker hands them over
// (jitter, stalls).
class Side {
 public:
  static constexpr double kClosed = 1e18;
  Side(const DeviceClock& clock, std::uint64_t seed) : clock_(clock), rng_(seed) {}
  // A new stream from `t` (opened again): positions count from there.
  void open(double t) {
    origin_ = clock_.position(t);
    buffers_ = 0;
    dueAt_ = lastHanded_ = t;
    advance();
  }
  void close() { dueAt_ = kClosed; }
  void stallUntil(double t) { stallEnd_ = std::max(stallEnd_, t); }
  // The server plays `buffers` of silence of its own and never asks for them.
  void skip(int buffers) {
    for (int i = 0; i < buffers; ++i) advance();
  }
  // When the worker hands over the next buffer.
  double handedAt() const { return dueAt_ >= kClosed ? kClosed : std::max({dueAt_ + jitter_, stallEnd_, lastHanded_}); }
  // The buffer goes: the time it was handed over.
  double take() {
    lastHanded_ = handedAt();
    advance();
    return lastHanded_;
  }

 private:
  void advance() {
    ++buffers_;
    // Due when the device has moved another buffer (one Newton step on its clock suffices).
    double t = dueAt_ + kFrames / (kRate * (1.0 + clock_.deviation(dueAt_)));
    const double target = origin_ + static_cast<double>(buffers_ * kFrames);
    t -= (clock_.position(t) - target) / (kRate * (1.0 + clock_.deviation(t)));
    dueAt_ = t;
    jitter_ = lateness_(rng_);
  }

  const DeviceClock& clock_;
  std::mt19937_64 rng_;
  std::exponential_distribution<double> lateness_{1.0 / 0.0005};
  double origin_ = 0.0, dueAt_ = 0.0, jitter_ = 0.0, lastHanded_ = 0.0, stallEnd_ = 0.0;
  std::uint64_t buffers_ = 0;
};

// The faults of every hour, at these minutes; each is one break, heard once (the lost
// server is the engine's own: it opens both devices again and the stream starts afresh),
// except a capture late by less than the queue's reserve, which is heard not at all.
enum class Fault { CaptureLate, PlaybackStalled, PlaybackSkippedUnseen, SinkSuspended, ServerLost, CaptureBrieflyLate };
struct Injected {
  double minute;
  Fault fault;
};
constexpr Injected kHour[] = {{7.0, Fault::CaptureLate},
                              {19.0, Fault::PlaybackStalled},
                              {25.0, Fault::PlaybackSkippedUnseen},
                              {31.0, Fault::SinkSuspended},
                              {43.0, Fault::ServerLost},
                              {55.0, Fault::CaptureBrieflyLate}};
// A fault's break and its aftermath are over within this long; the ratio is judged from
// this long after a start (the clocks measured, the ratio slewed to them).
constexpr double kBreakSeconds = 5.0;
constexpr double kAcquireSeconds = 150.0;

struct DayResult {
  std::uint64_t outputHash = 1469598103934665603ull;
  std::uint64_t breaks = 0, injected = 0;
  int miscounted = 0;     // faults not heard, heard more than three times, breaks no fault explains
  int twice = 0;          // faults heard as two or three breaks (see below)
  int brief = 0, absorbed = 0;  // captures briefly late, and those the reserve kept unheard
  double worstPpm = 0.0;  // 10 s means of the ratio against the truth, outside breaks
  long allocations = 0;
  std::size_t mostQueued = 0;
};

DayResult simulate(std::uint64_t seed, double hours) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ppm(-300.0, 300.0), phase(0.0, 2.0 * std::numbers::pi),
      lateness(0.3, 1.0), briefly(0.05, 0.15);
  const DeviceClock captureClock(ppm(rng), phase(rng)), playbackClock(ppm(rng), phase(rng));
  Side capture(captureClock, rng()), playback(playbackClock, rng());
  dsp::DriftCompensator compensator(dsp::DriftTuning::followingClocks());
  compensator.configure({.outputRate = kRate, .maxPushFrames = kFrames, .maxPullFrames = kFrames});
  dsp::ClockPair clocks;
  clocks.capture.reset(kRate);
  clocks.playback.reset(kRate);
  std::vector<Sample> in(2 * kFrames), out(2 * kFrames);
  std::uint64_t sample = 0;
  DayResult result;
  auto breaks = [&] { return compensator.underruns() + compensator.overflows() + compensator.restarts(); };

  capture.open(0.0);
  playback.open(0.0);
  constexpr double kNever = Side::kClosed;
  std::size_t faults = 0;
  double faultAt = kHour[0].minute * 60.0, faultEnd = kNever, judgedFrom = kAcquireSeconds;
  double skipAt = kNever, restartAt = kNever, reopenAt = kNever;  // what the engine does next
  bool bothReopen = false;
  std::uint64_t breaksBefore = 0, expected = 0;
  double ratioSum = 0.0, truthSum = 0.0, windowEnd = 10.0;
  long windowPulls = 0;
  bool windowClean = true;
  const double end = hours * 3600.0;

  allocation_counter::Start();
  for (;;) {
    const double t = std::min({capture.handedAt(), playback.handedAt(), faultAt, faultEnd, skipAt, restartAt, reopenAt});
    if (t >= end) break;
    if (t == faultAt) {
      const Fault fault = kHour[faults % std::size(kHour)].fault;
      breaksBefore = breaks();
      expected = fault == Fault::ServerLost ? 0 : 1;
      result.injected += expected;
      double lasts = 0.0;
      switch (fault) {
        case Fault::CaptureLate:
          capture.stallUntil(t + lateness(rng));
          break;
        case Fault::PlaybackStalled:
          lasts = lateness(rng);
          playback.stallUntil(t + lasts);
          skipAt = t + 0.03;  // the server played what it held, then silence
          break;
        case Fault::PlaybackSkippedUnseen:
          playback.skip(1 + static_cast<int>(rng() % 3));
          break;
        case Fault::SinkSuspended:
          lasts = 2.0;
          playback.close();
          restartAt = t + 0.75;  // the engine's watch: output that stopped moving
          reopenAt = t + lasts;
          bothReopen = false;
          break;
        case Fault::CaptureBrieflyLate:
          capture.stallUntil(t + briefly(rng));
          ++result.brief;
          break;
        case Fault::ServerLost:
          lasts = 5.0;
          capture.close();
          playback.close();
          reopenAt = t + lasts;
          bothReopen = true;
          judgedFrom = std::max(judgedFrom, reopenAt + kAcquireSeconds);
          break;
      }
      faultEnd = t + lasts + kBreakSeconds;
      windowClean = false;
      ++faults;
      faultAt = (std::floor(static_cast<double>(faults / std::size(kHour))) * 60.0 +
                 kHour[faults % std::size(kHour)].minute) * 60.0;
      continue;
    }
    if (t == faultEnd) {
      faultEnd = kNever;
      // A refill that lands within a push's jitter of the capture's next buffer sits a buffer
      // off, and the first look after it lets that go (or pads it, and the next one lets the
      // overshoot go): heard, so counted, a second or third time.
      const std::uint64_t heard = breaks() - breaksBefore;
      const bool again = expected == 1 && (heard == 2 || heard == 3);
      result.twice += again ? 1 : 0;
      const bool brief = kHour[(faults - 1) % std::size(kHour)].fault == Fault::CaptureBrieflyLate;
      result.absorbed += brief && heard == 0 ? 1 : 0;
      if (heard != expected && !again && !(brief && heard == 0)) {
        ++result.miscounted;
        std::printf("a fault at %.3f s heard as %llu breaks\n", t, static_cast<unsigned long long>(breaks() - breaksBefore));
      }
      breaksBefore = breaks();
      continue;
    }
    if (t == skipAt) {
      skipAt = kNever;
      compensator.playbackSkipped(t);
      clocks.playback.discontinuity();
      continue;
    }
    if (t == restartAt) {
      restartAt = kNever;
      compensator.restartPlayback(t);
      clocks.playback.discontinuity();
      continue;
    }
    if (t == reopenAt) {
      // A suspended sink's stream comes back as a new one; after a lost server the engine
      // opens both devices again and starts the stream afresh.
      reopenAt = kNever;
      if (bothReopen) {
        compensator.reset();
        clocks.capture.reset(kRate);
        clocks.playback.reset(kRate);
        capture.open(t);
      }
      playback.open(t);
      continue;
    }

    if (capture.handedAt() <= playback.handedAt()) {
      clocks.capture.update(kFrames, capture.take());
      for (std::size_t i = 0; i < kFrames; ++i, ++sample) {
        in[2 * i] = static_cast<Sample>(sample * 7919u);
        in[2 * i + 1] = static_cast<Sample>(sample * 104729u);
      }
      compensator.setClockDeviation(clocks.deviation(), clocks.valid() || clocks.clearlyApart(20e-6));
      compensator.push(in.data(), kFrames, t);
      result.mostQueued = std::max(result.mostQueued, compensator.queuedFrames());
      continue;
    }
    clocks.playback.update(kFrames, playback.take());
    compensator.pull(out.data(), kFrames, t);
    for (const Sample s : out) result.outputHash = (result.outputHash ^ static_cast<std::uint16_t>(s)) * 1099511628211ull;
    if (faultEnd == kNever && breaks() != breaksBefore) {
      ++result.miscounted;
      std::printf("a break at %.3f s that no fault explains\n", t);
      breaksBefore = breaks();
    }
    if (t >= windowEnd) {
      if (windowClean && windowPulls > 0 && windowEnd - 10.0 >= judgedFrom) {
        const double off = (ratioSum - truthSum) / static_cast<double>(windowPulls) * 1e6;
        result.worstPpm = std::max(result.worstPpm, std::abs(off));
      }
      ratioSum = truthSum = 0.0;
      windowPulls = 0;
      windowClean = faultEnd == kNever;
      windowEnd += 10.0;
    }
    if (!compensator.starting() && !compensator.refilling()) {
      ratioSum += compensator.ratio();
      truthSum += (1.0 + captureClock.deviation(t)) / (1.0 + playbackClock.deviation(t));
      ++windowPulls;
    } else {
      windowClean = false;
    }
  }
  result.allocations = allocation_counter::Stop();
  result.breaks = breaks();
  return result;
}

TEST(SimulatedDay, TheRatioFollowsTheClocksAndOnlyInjectedFaultsBreak) {
  for (const std::uint64_t seed : {1u, 2u}) {
    SCOPED_TRACE(seed);
    const DayResult day = simulate(seed, kHours);
    std::printf("seed %llu, %.0f h: %llu breaks for %llu faults (%d heard more than once, %d of %d brief captures unheard), "
                "worst 10 s mean %.2f ppm off the clocks, at most %zu frames queued\n",
                static_cast<unsigned long long>(seed), kHours, static_cast<unsigned long long>(day.breaks),
                static_cast<unsigned long long>(day.injected), day.twice, day.absorbed, day.brief, day.worstPpm,
                day.mostQueued);
    EXPECT_EQ(day.miscounted, 0) << "each fault heard, and no break elsewhere";
    EXPECT_LE(day.twice, std::max(1, static_cast<int>(day.injected) / 40)) << "a fault heard more than once stays the exception";
    EXPECT_LE(day.worstPpm, 5.0);
    EXPECT_GE(day.absorbed, (day.brief - 1) / 2) << "after the first breaks, the reserve keeps most later ones unheard";
    EXPECT_EQ(day.allocations, 0) << "memory stays as configured";
  }
}

// The same seed gives the same day, bit for bit (an hour of it, twice; another seed another).
TEST(SimulatedDay, TheSameSeedPlaysTheSameOutput) {
  const std::uint64_t first = simulate(3, kRepeatHours).outputHash;
  EXPECT_EQ(simulate(3, kRepeatHours).outputHash, first);
  EXPECT_NE(simulate(4, kRepeatHours).outputHash, first);
}

}  // namespace
