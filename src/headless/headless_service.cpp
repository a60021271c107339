#include "headless/headless_service.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "app/device_lists.hpp"
#include "app/instance.hpp"
#include "dsp/stream_converter.hpp"
#include "live/retry_pause.hpp"

namespace headless {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kOpenFlags = wave::CALLBACK_WINDOW | wave::WAVE_MAPPED;
constexpr auto kReportEvery = std::chrono::minutes(1);
// What the sound server holds on either side in stream mode: a capture fragment and the
// playback buffer written ahead.
constexpr double kServerBufferSeconds = 0.020 + 0.050;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A peak as dBFS, for the minute's report.
std::string dbfs(int32_t peak) {
  if (peak <= 0) return "-inf";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", 20.0 * std::log10(peak / 32767.0));
  return text;
}

// How the start line and failures name Tovrel's own device: its sink, and the source an
// SDR program records.
std::string ownDeviceShown(const wave::WAVECAPS& caps) {
  return caps.serverName + " (Tovrel's own device; SDR programs record \"" + caps.szPname + "\")";
}

// A device the server does not list, with the names it does list, so a mistyped name
// shows at once; the device may still come (a USB card plugged in later).
std::string notListed(wave::Direction direction, const DeviceWish& wish) {
  std::string names;
  const uint32_t count = wave::waveGetNumDevs(direction);
  for (uint32_t id = 0; id < count; ++id) {
    wave::WAVECAPS caps;
    if (wave::waveGetDevCaps(direction, static_cast<int32_t>(id), &caps) != wave::MMSYSERR_NOERROR) continue;
    names += (names.empty() ? "" : ", ") + (caps.ownDevice ? std::string(kOwnDeviceShortName) : caps.serverName);
  }
  return std::string(direction == wave::Direction::Capture ? "capture" : "playback") + " device " + wish.describe() +
         " is not listed (the server lists: " + (names.empty() ? "none" : names) + ")";
}

}  // namespace

bool NamesOwnDevice(const std::string& name) {
  return name == kOwnDeviceShortName || name == app::OwnDeviceEntryText().toStdString();
}

std::optional<FoundDevice> FindDevice(wave::Direction direction, const DeviceWish& wish) {
  const uint32_t count = wave::waveGetNumDevs(direction);
  if (wish.name.empty()) {
    wave::WAVECAPS caps;
    if (wish.id >= 0 && static_cast<uint32_t>(wish.id) >= count) return std::nullopt;
    if (wave::waveGetDevCaps(direction, wish.id, &caps) != wave::MMSYSERR_NOERROR) {
      if (count == 0) return std::nullopt;  // no server, or nothing to open
      return FoundDevice{wish.id, wish.describe()};
    }
    if (caps.ownDevice) return FoundDevice{wish.id, ownDeviceShown(caps)};
    // The mapper is shown as the device it follows now.
    const std::string& named = wish.id < 0 ? caps.follows : caps.serverName;
    return FoundDevice{wish.id, named.empty() ? caps.szPname : named};
  }
  // The server's name first: it is what the settings keep; then what the window shows.
  std::optional<FoundDevice> byDescription;
  for (uint32_t id = 0; id < count; ++id) {
    wave::WAVECAPS caps;
    if (wave::waveGetDevCaps(direction, static_cast<int32_t>(id), &caps) != wave::MMSYSERR_NOERROR) continue;
    // Opening the own device makes it (or takes over one a killed run left), so it is
    // listed whether or not the server has it now.
    if (caps.ownDevice && (caps.serverName == wish.name || caps.szPname == wish.name || NamesOwnDevice(wish.name)))
      return FoundDevice{static_cast<int32_t>(id), ownDeviceShown(caps)};
    if (caps.serverName == wish.name) return FoundDevice{static_cast<int32_t>(id), caps.serverName};
    if (caps.szPname == wish.name && !byDescription)
      byDescription = FoundDevice{static_cast<int32_t>(id), caps.serverName};
  }
  return byDescription;
}

bool ListDevices() {
  if (app::NoSoundServer()) return false;
  for (const auto direction : {wave::Direction::Capture, wave::Direction::Playback}) {
    const uint32_t count = wave::waveGetNumDevs(direction);
    std::printf("%s devices:\n", direction == wave::Direction::Capture ? "Capture" : "Playback");
    wave::WAVECAPS mapper;
    if (wave::waveGetDevCaps(direction, wave::WAVE_MAPPER, &mapper) == wave::MMSYSERR_NOERROR) {
      std::printf("  %-40s %s\n", "(no --input/--output)", mapper.szPname.c_str());
    }
    for (uint32_t id = 0; id < count; ++id) {
      wave::WAVECAPS caps;
      if (wave::waveGetDevCaps(direction, static_cast<int32_t>(id), &caps) != wave::MMSYSERR_NOERROR) continue;
      if (caps.ownDevice) {
        std::printf(
            "  %-40s %s: Tovrel's own device, made while Tovrel plays into it (--output %s);\n"
            "  %-40s SDR programs record its source \"%s\"\n",
            caps.serverName.c_str(), app::OwnDeviceEntryText().toStdString().c_str(), kOwnDeviceShortName, "",
            caps.szPname.c_str());
      } else {
        std::printf("  %-40s %s\n", caps.serverName.c_str(), caps.szPname.c_str());
      }
    }
  }
  std::fflush(stdout);
  return true;
}

Service::Service(const RunConfig& config, bool verbose) : config_(config), verbose_(verbose) {
  eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // The formats (and, in block mode, the buffers) of the block converter's configuration.
  block_ = std::make_unique<BlockPath>();
  block_->configure(config_.rate);
  block_->setSwitches(config_.switches);
  captureFormat_ = block_->stream().CaptureFormat;
  playbackFormat_ = block_->stream().PlaybackFormat;
  if (config_.stream) {
    engine_ = std::make_unique<live::LiveEngine>(this);
    engine_->configure(config_.rate, static_cast<int32_t>(playbackFormat_.nSamplesPerSec), 0);
    engine_->setSwitches(config_.switches);
  }
}

Service::~Service() {
  close();
  engine_.reset();  // its thread goes before the notices' target
  if (eventFd_ >= 0) ::close(eventFd_);
}

void Service::postWaveNotice(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error) {
  {
    std::lock_guard lock(noticesMutex_);
    notices_.push_back({message, device, header, error});
  }
  const uint64_t one = 1;
  (void)!write(eventFd_, &one, sizeof one);
}

bool Service::open(std::string* failure) {
  const auto input = FindDevice(wave::Direction::Capture, config_.input);
  const auto output = input ? FindDevice(wave::Direction::Playback, config_.output) : std::nullopt;
  if (!output) {
    if (app::NoSoundServer())
      *failure = app::NoSoundServerText().toStdString();
    else
      *failure = input ? notListed(wave::Direction::Playback, config_.output)
                       : notListed(wave::Direction::Capture, config_.input);
    return false;
  }
  inputShown_ = input->shown;
  outputShown_ = output->shown;
  int32_t inputId = input->id;
  choiceNote_ = chooseUnstoredDevices(output->id, &inputId);
  wave::NoticeTarget* target = engine_ ? static_cast<wave::NoticeTarget*>(engine_.get()) : this;
  wave::MMRESULT r = wave::waveInOpen(&capture_, inputId, &captureFormat_, target, 0, kOpenFlags);
  if (r == wave::MMSYSERR_NOERROR)
    r = wave::waveOutOpen(&playback_, output->id, &playbackFormat_, target, 0,
                          engine_ ? kOpenFlags | wave::WAVE_LOW_DELAY : kOpenFlags);
  if (r == wave::MMSYSERR_NOERROR) {
    // Capture first, as a user starts the window's two devices.
    if (engine_) {
      engine_->restartStream();
      r = engine_->startCapture(capture_);
      if (r == wave::MMSYSERR_NOERROR) r = engine_->startPlayback(playback_);
    } else {
      r = block_->startPlayback(playback_);
      if (r == wave::MMSYSERR_NOERROR) r = block_->startCapture(capture_);
    }
  }
  if (r != wave::MMSYSERR_NOERROR) {
    *failure = wave::WaveErrorText(r);
    close();
    return false;
  }
  running_ = true;
  return true;
}

// A device neither stored nor named is the server's default, but capture never records what
// Tovrel plays: then the window's first-run rule picks another. Says which and why.
std::string Service::chooseUnstoredDevices(int32_t outputId, int32_t* inputId) {
  const bool input = config_.input.serverDefault;
  const bool output = config_.output.serverDefault;
  if (input) {
    const auto move = app::AvoidRecordingThePlayback(app::ListWaveDevices(wave::Direction::Capture, true), *inputId,
                                                     app::ListWaveDevices(wave::Direction::Playback, true), outputId);
    if (move) {
      if (move->id != *inputId) {
        *inputId = move->id;
        if (const auto moved = FindDevice(wave::Direction::Capture, DeviceWish{{}, move->id, false}))
          inputShown_ = moved->shown;
      }
      return move->text.toStdString();
    }
  }
  if (input && output) return "the server's default devices: none is stored or named (--input, --output)";
  if (input) return "input: the server's default: none is stored or named (--input)";
  if (output) return "output: the server's default: none is stored or named (--output)";
  return {};
}

void Service::close() {
  if (engine_) {
    if (capture_) engine_->stopping(wave::Direction::Capture);
    if (playback_) engine_->stopping(wave::Direction::Playback);
  }
  block_->stopping();
  if (capture_) {
    wave::waveInReset(capture_);
    wave::waveInClose(capture_);
  }
  if (playback_) {
    wave::waveOutReset(playback_);
    wave::waveOutClose(playback_);
  }
  capture_ = nullptr;
  playback_ = nullptr;
  running_ = false;
}

void Service::handleNotices() {
  uint64_t count = 0;
  (void)!read(eventFd_, &count, sizeof count);
  std::deque<Notice> taken;
  {
    std::lock_guard lock(noticesMutex_);
    taken.swap(notices_);
  }
  for (const Notice& n : taken) {
    const bool failed = n.message == wave::MM_WIM_FAILED || n.message == wave::MM_WOM_FAILED;
    if (failed && running_ && (n.device == capture_ || n.device == playback_)) {
      deviceFailed(std::string(n.message == wave::MM_WIM_FAILED ? "capture device " + inputShown_
                                                                : "playback device " + outputShown_) +
                   " failed: " + wave::WaveErrorText(n.error));
    } else if (!engine_) {
      block_->handle(n.message, n.device, n.header);
    }
  }
}

// Both devices close; they are opened again after the first pause. One line per outage.
void Service::deviceFailed(const std::string& what) {
  close();
  downSince_ = Clock::now();
  failedAttempts_ = 1;
  nextAttempt_ = downSince_ + live::RetryPause(failedAttempts_);
  if (!failureShown_) std::fprintf(stderr, "tovrel: %s; opening the devices again until they are back\n", what.c_str());
  failureShown_ = true;
}

std::string Service::latencyText() const {
  char text[64];
  if (!engine_) {
    // A block waits to be recorded whole, then plays out of four queued buffers.
    const double block = static_cast<double>(block_->stream().BlockSamples) / config_.rate;
    std::snprintf(text, sizeof text, "latency about %.1f s", block * (1 + dsp::kBufferCount));
    return text;
  }
  dsp::StreamConverter converter;
  converter.Configure(config_.rate);
  const double converted = static_cast<double>(converter.LatencyFrames()) / playbackFormat_.nSamplesPerSec;
  std::snprintf(text, sizeof text, "latency about %.0f ms",
                1000.0 * (converted + engine_->targetSeconds() + kServerBufferSeconds));
  return text;
}

void Service::reportStart() {
  const auto& s = config_.switches;
  std::fprintf(
      stderr, "tovrel: %s (%d Hz mono) -> %s (%u Hz %s), %s mode, I/Q %s, inversion %s, edge filter %s, %s%s%s\n",
      inputShown_.c_str(), config_.rate, outputShown_.c_str(), playbackFormat_.nSamplesPerSec,
      s.IQ ? "I/Q" : "sample pairs", engine_ ? "stream" : "block", s.IQ ? "on" : "off", s.InvertSpectrum ? "on" : "off",
      s.EdgeFilter ? "on" : "off", latencyText().c_str(), choiceNote_.empty() ? "" : "; ", choiceNote_.c_str());
}

void Service::reportCounters() {
  if (engine_) {
    const live::Levels l = engine_->levels();
    std::fprintf(
        stderr,
        "tovrel: input %s dBFS, I %s dBFS, Q %s dBFS%s; breaks %llu (underruns %llu, overflows %llu, "
        "restarts %llu), queue %.0f/%.0f ms, ratio %.6f; %llu samples in, %llu frames out; "
        "devices opened again %llu times\n",
        dbfs(l.input).c_str(), dbfs(l.left).c_str(), dbfs(l.right).c_str(),
        l.inputClipped || l.leftClipped || l.rightClipped ? ", clipped" : "",
        static_cast<unsigned long long>(engine_->breaks()), static_cast<unsigned long long>(engine_->underruns()),
        static_cast<unsigned long long>(engine_->overflows()), static_cast<unsigned long long>(engine_->restarts()),
        1000 * engine_->queueSeconds(), 1000 * engine_->targetSeconds(), engine_->ratio(),
        static_cast<unsigned long long>(engine_->capturedFrames()),
        static_cast<unsigned long long>(engine_->playedFrames()), static_cast<unsigned long long>(reopens_));
  } else {
    const dsp::BlockLevels l = block_->levels();
    std::fprintf(
        stderr, "tovrel: input %s dBFS, I %s dBFS, Q %s dBFS%s; %llu blocks; devices opened again %llu times\n",
        dbfs(l.Input.Position).c_str(), dbfs(l.Output.Left.Position).c_str(), dbfs(l.Output.Right.Position).c_str(),
        l.Input.Clipped || l.Output.Left.Clipped || l.Output.Right.Clipped ? ", clipped" : "",
        static_cast<unsigned long long>(block_->blocks()), static_cast<unsigned long long>(reopens_));
  }
}

int Service::run(int signalFd) {
  nextAttempt_ = Clock::now();
  downSince_ = nextAttempt_;
  nextReport_ = Clock::now() + kReportEvery;
  for (;;) {
    const auto now = Clock::now();
    if (!running_ && now >= nextAttempt_) {
      std::string failure;
      if (open(&failure)) {
        if (!started_) {
          reportStart();
        } else {
          ++reopens_;
          if (engine_) engine_->countReopen();
          if (failureShown_)
            std::fprintf(stderr, "tovrel: devices back after %.1f s; converting again\n",
                         seconds(Clock::now() - downSince_));
        }
        started_ = true;
        failureShown_ = false;
        failedAttempts_ = 0;
      } else {
        if (!failureShown_)
          std::fprintf(stderr, "tovrel: %s; opening the devices again until they are there\n", failure.c_str());
        failureShown_ = true;
        nextAttempt_ = Clock::now() + live::RetryPause(++failedAttempts_);
      }
    }
    if (verbose_ && now >= nextReport_) {
      reportCounters();
      nextReport_ = now + kReportEvery;
    }
    const auto until = running_ ? nextReport_ : std::min(nextReport_, nextAttempt_);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {eventFd_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(std::clamp<long long>(wait + 1, 0, 60'000))) < 0) continue;
    if (fds[1].revents & POLLIN) handleNotices();
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) != sizeof info) continue;
      if (info.ssi_signo == SIGHUP) {
        // Asked to open the devices again (say, after the server's configuration changed).
        close();
        handleNotices();
        ++reopens_;
        started_ = false;
        failureShown_ = false;
        failedAttempts_ = 0;
        nextAttempt_ = Clock::now();
        continue;
      }
      close();
      // Tovrel's own device lives as long as the run (a device left by a killed run, or
      // kept for an SDR program still recording it, is taken over by the next).
      app::RemoveOwnDeviceAtEnd();
      return 0;
    }
  }
}

}  // namespace headless
