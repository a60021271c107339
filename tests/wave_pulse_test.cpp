// The sound server's back end end to end: device lists, capture, playback, resets and
// failures against real headless PulseAudio servers.
//
// Listing and open errors use the suite's shared server (TOVREL_AUDIO_SERVER set). Tests
// that make sound or kill a server start a private one of their own through
// scripts/audio-server, so tones never mix with another test's on the shared server.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wave/pulse_backend.hpp"
#include "wave/wave.hpp"

namespace {

using namespace wave;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kOpenFlags = CALLBACK_WINDOW | WAVE_MAPPED;
constexpr uint32_t kBufferBytes = 65536;
constexpr double kPi = 3.14159265358979323846;

struct Notice {
  uint32_t message;
  void* device;
  WAVEHDR* header;
  MMRESULT error;
  Clock::time_point when;
};

// A thread-safe queue standing in for the window's event queue.
class NoticeQueue : public NoticeTarget {
 public:
  void postWaveNotice(uint32_t message, void* device, WAVEHDR* header, MMRESULT error) override {
    {
      std::lock_guard lock(mutex_);
      notices_.push_back({message, device, header, error, Clock::now()});
    }
    cv_.notify_all();
  }
  // The oldest notice, waiting up to `timeout` for one.
  std::optional<Notice> next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return !notices_.empty(); })) return std::nullopt;
    Notice n = notices_.front();
    notices_.pop_front();
    return n;
  }
  // Everything that arrives within `window`.
  std::vector<Notice> drain(std::chrono::milliseconds window) {
    std::vector<Notice> out;
    const auto end = Clock::now() + window;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left <= 0ms) break;
      if (auto n = next(left)) out.push_back(*n);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Notice> notices_;
};

WAVEFORMATEX pcm(uint16_t channels, uint32_t rate) { return dsp::Pcm16Format(channels, rate); }

// Four buffers with their headers, as the window keeps them.
struct Buffers {
  explicit Buffers(uint32_t bytes) {
    for (int i = 0; i < 4; ++i) {
      data[i].assign(bytes, 0);
      headers[i].lpData = data[i].data();
      headers[i].dwBufferLength = bytes;
    }
  }
  int index(const WAVEHDR* h) const {
    for (int i = 0; i < 4; ++i) {
      if (h == &headers[i]) return i;
    }
    return -1;
  }
  std::vector<char> data[4];
  WAVEHDR headers[4];
};

std::vector<int16_t> samplesOf(const char* bytes, size_t count) {
  std::vector<int16_t> out(count / 2);
  std::memcpy(out.data(), bytes, out.size() * 2);
  return out;
}

// Hann-windowed DFT magnitude of one channel at `freq` Hz, computed directly in double.
double magnitudeAt(const std::vector<int16_t>& s, int channels, int channel, double rate, double freq) {
  const size_t frames = s.size() / static_cast<size_t>(channels);
  double re = 0, im = 0;
  for (size_t n = 0; n < frames; ++n) {
    const double w = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(n) / static_cast<double>(frames));
    const double x = w * s[n * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
    const double phase = 2 * kPi * freq * static_cast<double>(n) / rate;
    re += x * std::cos(phase);
    im -= x * std::sin(phase);
  }
  return std::hypot(re, im);
}

// Frequency of the strongest component between lo and hi Hz, on a 10 Hz grid.
double peakFrequency(const std::vector<int16_t>& s, int channels, int channel, double rate, double lo, double hi) {
  double best = lo, bestMag = -1;
  for (double f = lo; f <= hi; f += 10) {
    const double m = magnitudeAt(s, channels, channel, rate, f);
    if (m > bestMag) {
      bestMag = m;
      best = f;
    }
  }
  return best;
}

double rms(const std::vector<int16_t>& s, int channels, int channel) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = static_cast<size_t>(channel); i < s.size(); i += static_cast<size_t>(channels), ++n) {
    sum += static_cast<double>(s[i]) * s[i];
  }
  return n ? std::sqrt(sum / static_cast<double>(n)) : 0;
}

// A whole number of cycles per buffer keeps the tone continuous from buffer to buffer.
void fillTone(std::vector<char>& bytes, int channels, double rate, const std::vector<double>& freqs, double amplitude) {
  const size_t frames = bytes.size() / 2 / static_cast<size_t>(channels);
  std::vector<int16_t> s(frames * static_cast<size_t>(channels));
  for (size_t n = 0; n < frames; ++n) {
    for (int c = 0; c < channels; ++c) {
      s[n * static_cast<size_t>(channels) + static_cast<size_t>(c)] = static_cast<int16_t>(
          std::lround(amplitude * std::sin(2 * kPi * freqs[static_cast<size_t>(c)] * static_cast<double>(n) / rate)));
    }
  }
  std::memcpy(bytes.data(), s.data(), bytes.size());
}

std::string runCommand(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The descriptions pactl reports, in the server's order: the reference for our lists.
std::vector<std::string> pactlDescriptions(const std::string& kind) {
  std::vector<std::string> out;
  std::istringstream in(runCommand("pactl list " + kind + " 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    const auto at = line.find("Description: ");
    if (at != std::string::npos) out.push_back(line.substr(at + 13));
  }
  return out;
}

// The sources' descriptions in capture id order: those that are not monitors first, then
// the monitors, each in the server's order.
std::vector<std::string> pactlSourcesInIdOrder() {
  std::vector<std::string> inputs, monitors;
  std::istringstream in(runCommand("pactl list sources 2>/dev/null"));
  std::string line, description;
  while (std::getline(in, line)) {
    if (const auto at = line.find("Description: "); at != std::string::npos) description = line.substr(at + 13);
    if (const auto at = line.find("Monitor of Sink: "); at != std::string::npos) {
      (line.substr(at + 17) == "n/a" ? inputs : monitors).push_back(description);
    }
  }
  inputs.insert(inputs.end(), monitors.begin(), monitors.end());
  return inputs;
}

std::string sourceTree() {
  if (const char* dir = std::getenv("TOVREL_SOURCE_DIR")) return dir;
  return TOVREL_SOURCE_TREE;
}

bool sharedServer() { return std::getenv("TOVREL_AUDIO_SERVER") != nullptr; }

// Sets an environment variable for the scope of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A private server of this test, with the same two null sinks as the shared one.
class PrivateServer {
 public:
  bool start() {
    char pattern[] = "/tmp/tovrel-wave-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    dir_ = pattern;
    const std::string out = runCommand("bash '" + sourceTree() + "/scripts/audio-server' start '" + dir_ + "'");
    std::istringstream words(out);
    std::string word;
    while (words >> word) {
      const auto eq = word.find('=');
      if (eq != std::string::npos) env_[word.substr(0, eq)] = word.substr(eq + 1);
    }
    if (!env_.count("PULSE_SERVER")) return false;
    for (const char* name : {"PULSE_SERVER", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH"}) {
      if (env_.count(name)) scoped_.push_back(std::make_unique<ScopedEnv>(name, env_[name]));
    }
    return true;
  }
  // Ends the server at once, as a crash would.
  void kill() { signal("KILL"); }
  // STOP freezes the server (it answers nothing), CONT lets it go on.
  void signal(const char* name) {
    const std::string pid = runCommand("cat '" + dir_ + "/server.pid' 2>/dev/null");
    if (!pid.empty()) runCommand(std::string("kill -") + name + " " + pid);
  }
  ~PrivateServer() {
    if (!dir_.empty()) {
      runCommand("bash '" + sourceTree() + "/scripts/audio-server' stop '" + dir_ + "' >/dev/null 2>&1");
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
    while (!scoped_.empty()) scoped_.pop_back();
  }

 private:
  std::string dir_;
  std::map<std::string, std::string> env_;
  std::vector<std::unique_ptr<ScopedEnv>> scoped_;
};

// The sound server's back end, installed for the classic calls while the test runs.
struct PulseLayer {
  PulseLayer() : backend(makePulseBackend()) { setBackend(backend.get()); }
  ~PulseLayer() { setBackend(nullptr); }
  std::unique_ptr<Backend> backend;
};

int32_t findDevice(Direction direction, const std::string& name) {
  const uint32_t count = waveGetNumDevs(direction);
  for (uint32_t id = 0; id < count; ++id) {
    WAVECAPS caps;
    if (waveGetDevCaps(direction, static_cast<int32_t>(id), &caps) == MMSYSERR_NOERROR && caps.szPname == name) {
      return static_cast<int32_t>(id);
    }
  }
  return -2;
}
int32_t findCapture(const std::string& name) { return findDevice(Direction::Capture, name); }
int32_t findPlayback(const std::string& name) { return findDevice(Direction::Playback, name); }

// Keeps a playback device fed: every done buffer is written again until stopped, as the
// window does.
class Refiller {
 public:
  Refiller(HWAVEOUT out, NoticeQueue& queue) : out_(out), queue_(queue) {
    thread_ = std::thread([this] {
      while (!stop_) {
        auto n = queue_.next(20ms);
        if (!n) continue;
        std::lock_guard lock(mutex_);
        seen_.push_back(*n);
        if (n->message == MM_WOM_DONE && !stop_) waveOutWrite(out_, n->header, kWaveHdrSize);
      }
    });
  }
  ~Refiller() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Notice> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  HWAVEOUT out_;
  NoticeQueue& queue_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Notice> seen_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------------------
// Without a server

TEST(WavePulseNoServer, CountsAreZeroAndOpenReportsNoDriverPromptly) {
  ScopedEnv server("PULSE_SERVER", "unix:/nonexistent/tovrel/native");
  PulseLayer layer;
  NoticeQueue target;
  const auto t0 = Clock::now();
  EXPECT_EQ(waveInGetNumDevs(), 0u);
  EXPECT_EQ(waveOutGetNumDevs(), 0u);
  WAVEINCAPS in;
  WAVEOUTCAPS out;
  EXPECT_NE(waveInGetDevCaps(WAVE_MAPPER, &in), MMSYSERR_NOERROR);
  EXPECT_NE(waveInGetDevCaps(0, &in), MMSYSERR_NOERROR);
  EXPECT_NE(waveOutGetDevCaps(WAVE_MAPPER, &out), MMSYSERR_NOERROR);
  const WAVEFORMATEX mono = pcm(1, 48000);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  HWAVEIN hin = nullptr;
  HWAVEOUT hout = nullptr;
  EXPECT_EQ(waveInOpen(&hin, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NODRIVER);
  EXPECT_EQ(waveInOpen(&hin, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_NODRIVER);
  EXPECT_EQ(waveOutOpen(&hout, WAVE_MAPPER, &stereo, &target, 0, kOpenFlags), MMSYSERR_NODRIVER);
  EXPECT_EQ(hin, nullptr);
  EXPECT_EQ(hout, nullptr);
  EXPECT_LT(Clock::now() - t0, 1500ms);
  EXPECT_TRUE(target.drain(50ms).empty());
}

TEST(WavePulseNoServer, ServerThatNeverAnswersTimesOut) {
  // A socket that accepts connections into its backlog and never speaks.
  char dir[] = "/tmp/tovrel-wave-mute.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/native";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 16), 0);
  {
    ScopedEnv server("PULSE_SERVER", "unix:" + path);
    PulseLayer layer;
    NoticeQueue target;
    auto t0 = Clock::now();
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_LT(Clock::now() - t0, 3s);
    const WAVEFORMATEX stereo = pcm(2, 24000);
    HWAVEOUT hout = nullptr;
    t0 = Clock::now();
    EXPECT_EQ(waveOutOpen(&hout, WAVE_MAPPER, &stereo, &target, 0, kOpenFlags), MMSYSERR_NODRIVER);
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_TRUE(target.drain(20ms).empty());
  }
  close(fd);
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------
// On the shared server: nothing is played there, so it does not disturb other tests

TEST(WavePulseShared, ListsSourcesAndSinksByDescriptionInServerOrder) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  // A real input loaded after the sinks (so listed after their monitors by the server)
  // still comes first.
  const std::string module = runCommand(
      "pactl load-module module-remap-source master=tovrel_in.monitor source_name=tovrel_line "
      "source_properties=device.description=Tovrel-Line 2>/dev/null");
  ASSERT_FALSE(module.empty());
  struct Unload {
    std::string module;
    ~Unload() { runCommand("pactl unload-module " + module); }
  } unload{module};
  PulseLayer layer;
  const auto sinks = pactlDescriptions("sinks");
  const auto sources = pactlSourcesInIdOrder();
  ASSERT_EQ(sources.size(), pactlDescriptions("sources").size());
  ASSERT_FALSE(sources.empty());
  EXPECT_EQ(sources.front(), "Tovrel-Line");
  // Tovrel's own device follows the server's sinks.
  ASSERT_EQ(waveOutGetNumDevs(), sinks.size() + 1);
  ASSERT_EQ(waveInGetNumDevs(), sources.size());
  for (size_t id = 0; id < sinks.size(); ++id) {
    WAVEOUTCAPS caps;
    ASSERT_EQ(waveOutGetDevCaps(static_cast<int32_t>(id), &caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.szPname, sinks[id]);
    EXPECT_FALSE(caps.ownDevice);
  }
  WAVEOUTCAPS own;
  ASSERT_EQ(waveOutGetDevCaps(static_cast<int32_t>(sinks.size()), &own), MMSYSERR_NOERROR);
  EXPECT_TRUE(own.ownDevice);
  EXPECT_EQ(own.szPname, "Tovrel I/Q");
  for (size_t id = 0; id < sources.size(); ++id) {
    WAVEINCAPS caps;
    ASSERT_EQ(waveInGetDevCaps(static_cast<int32_t>(id), &caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.szPname, sources[id]);
  }
  // The monitors are capture devices that name their sink; the mapper is the server's default.
  WAVEINCAPS monitorCaps;
  ASSERT_EQ(waveInGetDevCaps(findCapture("Monitor of Tovrel-Input"), &monitorCaps), MMSYSERR_NOERROR);
  EXPECT_EQ(monitorCaps.monitorOf, "tovrel_in");
  WAVEINCAPS lineCaps;
  ASSERT_EQ(waveInGetDevCaps(0, &lineCaps), MMSYSERR_NOERROR);
  EXPECT_EQ(lineCaps.monitorOf, "");
  EXPECT_GE(findCapture("Monitor of Tovrel-Output"), 0);
  EXPECT_GE(findPlayback("Tovrel-Input"), 0);
  WAVEOUTCAPS mapperOut;
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &mapperOut), MMSYSERR_NOERROR);
  EXPECT_EQ(mapperOut.szPname, "Default (Tovrel-Output)");
  EXPECT_EQ(mapperOut.follows, "tovrel_out");
  WAVEINCAPS mapperIn;
  ASSERT_EQ(waveInGetDevCaps(WAVE_MAPPER, &mapperIn), MMSYSERR_NOERROR);
  EXPECT_EQ(mapperIn.szPname, "Default (Monitor of Tovrel-Input)");
  EXPECT_EQ(mapperIn.monitorOf, "tovrel_in");
  WAVEINCAPS past;
  EXPECT_EQ(waveInGetDevCaps(static_cast<int32_t>(sources.size()), &past), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInGetDevCaps(-2, &past), MMSYSERR_BADDEVICEID);

  // The free functions use this back end unless another is installed.
  setBackend(nullptr);
  EXPECT_EQ(waveOutGetNumDevs(), sinks.size() + 1);
}

// The first column of the `pactl list short <kind>` lines whose column `column` is `value`.
std::vector<std::string> pactlIndexesWhere(const std::string& kind, size_t column, const std::string& value) {
  std::vector<std::string> out;
  std::istringstream in(runCommand("pactl list short " + kind + " 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string x; fields >> x;) f.push_back(x);
    if (f.size() > column && f[column] == value) out.push_back(f[0]);
  }
  return out;
}

// A sink goes and comes back, so the server lists it later: the id it had opens it still,
// tells its rate, and once it has gone for good opens nothing.
TEST(WavePulseShared, IdOpensTheListedDeviceAfterTheServerReordered) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  auto load = [](const std::string& name) {
    return runCommand("pactl load-module module-null-sink sink_name=" + name + " rate=48000 channels=2 " +
                      "sink_properties=device.description=" + name + " 2>/dev/null");
  };
  auto unload = [](const std::string& module) { runCommand("pactl unload-module " + module); };
  std::string a = load("tovrel_a");
  const std::string b = load("tovrel_b");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  PulseLayer layer;
  const int32_t idA = findPlayback("tovrel_a");
  ASSERT_GE(idA, 0);
  unload(a);
  a = load("tovrel_a");
  ASSERT_NE(pactlDescriptions("sinks").at(static_cast<size_t>(idA)), "tovrel_a");  // the order did change

  NoticeQueue target;
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX stereo = pcm(2, 24000);
  ASSERT_EQ(waveOutOpen(&out, idA, &stereo, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  const auto sinkA = pactlIndexesWhere("sinks", 1, "tovrel_a");
  ASSERT_EQ(sinkA.size(), 1u);
  EXPECT_EQ(pactlIndexesWhere("sink-inputs", 1, sinkA[0]).size(), 1u);
  EXPECT_EQ(waveGetDeviceRate(Direction::Playback, out), 48000u);
  ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

  unload(a);
  EXPECT_EQ(waveOutOpen(&out, idA, &stereo, &target, 0, kOpenFlags), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(out, nullptr);
  unload(b);
}

// The resampler quality the server lists for this process's playback stream ("" when none).
std::string ownStreamResampleQuality() {
  std::istringstream in(runCommand("pactl list sink-inputs 2>/dev/null"));
  const std::string ours = "application.process.id = \"" + std::to_string(getpid()) + "\"";
  const std::string key = "resample.quality = \"";
  std::string line, quality;
  bool isOurs = false;
  while (std::getline(in, line)) {
    if (line.rfind("Sink Input #", 0) == 0) {
      if (isOurs) break;
      quality.clear();
    }
    isOurs = isOurs || line.find(ours) != std::string::npos;
    if (const size_t at = line.find(key); at != std::string::npos) {
      const size_t from = at + key.size();
      quality = line.substr(from, line.find('"', from) - from);
    }
  }
  return isOurs ? quality : "";
}

// A low-delay caller gets PipeWire's shorter resampler; every other one its best.
TEST(WavePulseShared, LowDelayPlaybackAsksForTheShorterResampler) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  const WAVEFORMATEX stereo = pcm(2, 24000);
  for (const auto& [flags, quality] : {std::pair{kOpenFlags, "14"}, std::pair{kOpenFlags | WAVE_LOW_DELAY, "12"}}) {
    NoticeQueue target;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &stereo, &target, 0, flags), MMSYSERR_NOERROR);
    EXPECT_EQ(ownStreamResampleQuality(), quality) << "flags " << flags;
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  }
}

TEST(WavePulseShared, OpenRefusesBadIdsFormatsAndFlags) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  NoticeQueue target;
  const WAVEFORMATEX mono = pcm(1, 48000);
  HWAVEIN in = nullptr;
  const auto count = static_cast<int32_t>(waveInGetNumDevs());
  EXPECT_EQ(waveInOpen(&in, count, &mono, &target, 0, kOpenFlags), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&in, -2, &mono, &target, 0, kOpenFlags), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&in, 0, &mono, &target, 0, 0), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveInOpen(&in, 0, &mono, nullptr, 0, kOpenFlags), MMSYSERR_INVALPARAM);
  WAVEFORMATEX bad = mono;
  bad.wFormatTag = 3;
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = mono;
  bad.wBitsPerSample = 24;
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = pcm(0, 48000);
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = pcm(1, 384001);
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  EXPECT_EQ(in, nullptr);
  EXPECT_TRUE(target.drain(20ms).empty());

  // The extreme rates the stream configuration can ask for are accepted (the server
  // resamples); open and close notices come in order, after the call.
  for (uint32_t rate : {5512u, 384000u}) {
    const WAVEFORMATEX f = pcm(1, rate);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, &target, 0, kOpenFlags), MMSYSERR_NOERROR) << rate;
    ASSERT_NE(in, nullptr);
    auto n = target.next(1s);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->message, MM_WIM_OPEN);
    EXPECT_EQ(n->device, in);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    n = target.next(1s);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->message, MM_WIM_CLOSE);
    EXPECT_EQ(n->device, in);
  }
  // A closed handle is dead for every call, and handles of one direction are not the other's.
  WAVEHDR h{};
  char bytes[2] = {};
  h.lpData = bytes;
  h.dwBufferLength = 2;
  EXPECT_EQ(waveInClose(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInReset(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize + 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_FALSE(h.dwFlags & WHDR_PREPARED);
}

// A target that queues every handed-back capture buffer again from inside the notice, on
// the thread that posts it (a callback-style client), up to `limit` times.
class RequeueingTarget : public NoticeTarget {
 public:
  explicit RequeueingTarget(int limit) : limit_(limit) {}
  void postWaveNotice(uint32_t message, void* device, WAVEHDR* header, MMRESULT) override {
    std::lock_guard lock(mutex_);
    messages.push_back(message);
    if (message == MM_WIM_DATA && requeued < limit_) {
      ++requeued;
      results.push_back(waveInAddBuffer(static_cast<HWAVEIN>(device), header, kWaveHdrSize));
    }
  }
  std::mutex mutex_;
  std::vector<uint32_t> messages;
  std::vector<MMRESULT> results;
  int requeued = 0;

 private:
  int limit_;
};

TEST(WavePulseShared, BufferQueuedAgainFromInsideTheNoticeIsNotHandedBackTwice) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  RequeueingTarget target(8);
  const WAVEFORMATEX mono = pcm(1, 48000);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  Buffers rec(4800);
  for (auto& h : rec.headers) {
    ASSERT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  // Not started: nothing completes by itself, so every notice below comes from Reset.
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  {
    std::lock_guard lock(target.mutex_);
    // Four buffers were queued: four notices, each buffer once, each queued again fine.
    ASSERT_EQ(target.messages.size(), 5u);  // the open notice and four data notices
    EXPECT_EQ(target.requeued, 4);
    EXPECT_EQ(target.results, std::vector<MMRESULT>(4, MMSYSERR_NOERROR));
  }
  // They are queued now: a second time is refused, and Close hands each back once more.
  for (auto& h : rec.headers) {
    EXPECT_TRUE(h.dwFlags & WHDR_INQUEUE);
    EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), WAVERR_STILLPLAYING);
  }
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  std::lock_guard lock(target.mutex_);
  ASSERT_EQ(target.messages.size(), 10u);
  for (size_t i = 5; i < 9; ++i) EXPECT_EQ(target.messages[i], MM_WIM_DATA);
  EXPECT_EQ(target.messages[9], MM_WIM_CLOSE);
  // Queueing from inside Close's hand-back finds the device closing.
  ASSERT_EQ(target.results.size(), 8u);
  for (size_t i = 4; i < 8; ++i) EXPECT_EQ(target.results[i], MMSYSERR_INVALHANDLE);
  for (auto& h : rec.headers) EXPECT_FALSE(h.dwFlags & WHDR_INQUEUE);
}

TEST(WavePulseShared, HeadersMustHoldWholeFrames) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  NoticeQueue target;
  const WAVEFORMATEX mono = pcm(1, 48000);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &stereo, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  std::vector<char> bytes(64, 0);
  WAVEHDR h{};
  h.lpData = bytes.data();
  // Stereo frames are 4 bytes: 2, 6 or 63 bytes would split a frame between two buffers.
  for (uint32_t length : {1u, 2u, 6u, 63u}) {
    h.dwBufferLength = length;
    EXPECT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_INVALPARAM) << length;
  }
  h.dwBufferLength = 64;
  ASSERT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  h.dwBufferLength = 62;  // changed after preparing
  EXPECT_EQ(waveOutWrite(out, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  EXPECT_FALSE(h.dwFlags & WHDR_INQUEUE);
  // Mono frames are 2 bytes.
  h.dwFlags = 0;
  h.dwBufferLength = 63;
  EXPECT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.dwBufferLength = 62;
  EXPECT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  h.dwBufferLength = 61;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  // No data, no length, no header, wrong record size.
  h.dwBufferLength = 0;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.dwBufferLength = 62;
  h.lpData = nullptr;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInAddBuffer(in, nullptr, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.lpData = bytes.data();
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize - 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  // Open, the one buffer back, close; open, close.
  const auto notices = target.drain(50ms);
  ASSERT_EQ(notices.size(), 5u);
  EXPECT_EQ(notices[2].message, MM_WIM_DATA);
  EXPECT_EQ(notices[2].header, &h);
}

size_t openDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}
size_t threadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(WavePulseShared, OpeningAndClosingOverAndOverLeaksNoThreadsOrDescriptors) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  NoticeQueue target;
  const WAVEFORMATEX mono = pcm(1, 48000);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  Buffers buffers(4800);
  auto cycle = [&] {
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &stereo, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
    for (auto& h : buffers.headers) {
      ASSERT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
      ASSERT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);  // with its buffers still queued
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  };
  cycle();  // the first open sets up what lives for the whole process
  target.drain(10ms);
  const size_t fds = openDescriptors();
  const size_t threads = threadCount();
  for (int i = 0; i < 100; ++i) {  // 200 devices opened and closed
    cycle();
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(openDescriptors(), fds);
  EXPECT_EQ(threadCount(), threads);
  // Every cycle: two opens, four buffers back, two closes; nothing after Close returned.
  const auto notices = target.drain(50ms);
  EXPECT_EQ(notices.size(), 100u * 8u);
}

// Another thread queues, resets and starts while Close runs: each call either acts on the
// open device or answers "invalid handle", every successful queueing is answered by
// exactly one hand-back, and the close notice is the last thing posted.
TEST(WavePulseShared, CallsRacingWithCloseKeepEveryBufferAccountedFor) {
  if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
  PulseLayer layer;
  const WAVEFORMATEX mono = pcm(1, 48000);
  for (int round = 0; round < 20; ++round) {
    NoticeQueue target;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
    Buffers rec(960);  // 10 ms each, so some complete on their own
    std::map<int, int> queued;
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(waveInPrepareHeader(in, &rec.headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
      ASSERT_EQ(waveInAddBuffer(in, &rec.headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
      ++queued[i];
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    std::vector<MMRESULT> odd;  // results other than ok, still queued, invalid handle
    std::atomic<bool> started{false};
    std::thread other([&] {
      started = true;
      for (int pass = 0;; ++pass) {
        bool closed = false;
        for (int i = 0; i < 4; ++i) {
          const MMRESULT r = waveInAddBuffer(in, &rec.headers[i], kWaveHdrSize);
          if (r == MMSYSERR_NOERROR) ++queued[i];
          if (r == MMSYSERR_INVALHANDLE) closed = true;
          if (r != MMSYSERR_NOERROR && r != WAVERR_STILLPLAYING && r != MMSYSERR_INVALHANDLE) odd.push_back(r);
        }
        const MMRESULT r = pass % 3 == 0 ? waveInReset(in) : waveInStart(in);
        if (r != MMSYSERR_NOERROR && r != MMSYSERR_INVALHANDLE) odd.push_back(r);
        if (closed || r == MMSYSERR_INVALHANDLE) return;
      }
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    other.join();
    EXPECT_TRUE(odd.empty()) << odd.front();
    const auto notices = target.drain(30ms);
    ASSERT_GE(notices.size(), 2u);
    EXPECT_EQ(notices.front().message, MM_WIM_OPEN);
    EXPECT_EQ(notices.back().message, MM_WIM_CLOSE);
    std::map<int, int> back;
    for (size_t k = 1; k + 1 < notices.size(); ++k) {
      ASSERT_EQ(notices[k].message, MM_WIM_DATA) << "round " << round;
      ++back[rec.index(notices[k].header)];
    }
    EXPECT_EQ(back, queued) << "round " << round;
  }
}

// ---------------------------------------------------------------------------------------
// On a private server

class WavePulsePrivate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sharedServer()) GTEST_SKIP() << "no audio server (TOVREL_AUDIO_SERVER unset)";
    ASSERT_TRUE(server.start()) << "could not start a private audio server";
  }
  PrivateServer server;
};

TEST_F(WavePulsePrivate, CaptureRecordsTheToneAndResetHandsEveryBufferBackOnce) {
  PulseLayer layer;
  const int32_t lineIn = findPlayback("Tovrel-Input");
  const int32_t monitor = findCapture("Monitor of Tovrel-Input");
  ASSERT_GE(lineIn, 0);
  ASSERT_GE(monitor, 0);
  const WAVEFORMATEX mono = pcm(1, 48000);

  // Our own playback side plays 1 kHz into the receiver's sink (100 cycles per buffer).
  NoticeQueue playerNotices;
  HWAVEOUT player = nullptr;
  ASSERT_EQ(waveOutOpen(&player, lineIn, &mono, &playerNotices, 0, kOpenFlags), MMSYSERR_NOERROR);
  Buffers tone(9600);
  for (auto& d : tone.data) fillTone(d, 1, 48000, {1000}, 8000);
  for (auto& h : tone.headers) {
    ASSERT_EQ(waveOutPrepareHeader(player, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(player, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  Refiller refill(player, playerNotices);

  NoticeQueue notices;
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, monitor, &mono, &notices, 0, kOpenFlags), MMSYSERR_NOERROR);
  auto n = notices.next(1s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WIM_OPEN);
  Buffers rec(kBufferBytes);
  for (auto& h : rec.headers) {
    ASSERT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

  // Buffers come back full, in queue order, and go straight back in.
  std::vector<char> last;
  int expected = 0;
  for (int block = 0; block < 5; ++block) {
    n = notices.next(3s);
    ASSERT_TRUE(n) << "no data after block " << block;
    ASSERT_EQ(n->message, MM_WIM_DATA);
    EXPECT_EQ(rec.index(n->header), expected);
    expected = (expected + 1) % 4;
    EXPECT_EQ(n->header->dwBytesRecorded, kBufferBytes);
    EXPECT_TRUE(n->header->dwFlags & WHDR_DONE);
    EXPECT_FALSE(n->header->dwFlags & WHDR_INQUEUE);
    last.assign(n->header->lpData, n->header->lpData + n->header->dwBytesRecorded);
    ASSERT_EQ(waveInAddBuffer(in, n->header, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  const auto samples = samplesOf(last.data(), last.size());
  EXPECT_NEAR(peakFrequency(samples, 1, 0, 48000, 200, 5000), 1000, 10);
  EXPECT_NEAR(rms(samples, 1, 0), 8000 / std::sqrt(2.0), 8000 * 0.1);

  // Reset: every queued buffer back at once, each exactly once, then nothing more.
  const auto t0 = Clock::now();
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  const auto back = notices.drain(300ms);
  ASSERT_EQ(back.size(), 4u);
  std::set<int> returned;
  for (const auto& r : back) {
    EXPECT_EQ(r.message, MM_WIM_DATA);
    EXPECT_LT(r.when - t0, 100ms);
    EXPECT_LE(r.header->dwBytesRecorded, kBufferBytes);
    EXPECT_FALSE(r.header->dwFlags & WHDR_INQUEUE);
    returned.insert(rec.index(r.header));
  }
  EXPECT_EQ(returned, (std::set<int>{0, 1, 2, 3}));

  // Reset stopped recording: a buffer queued now stays empty until the next start.
  ASSERT_EQ(waveInAddBuffer(in, &rec.headers[0], kWaveHdrSize), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(rec.headers[0].dwBytesRecorded, 0u);
  // Close hands back what is still queued, then posts the close notice.
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  const auto closing = notices.drain(200ms);
  ASSERT_EQ(closing.size(), 2u);
  EXPECT_EQ(closing[0].message, MM_WIM_DATA);
  EXPECT_EQ(closing[0].header, &rec.headers[0]);
  EXPECT_EQ(closing[1].message, MM_WIM_CLOSE);
  EXPECT_EQ(closing[1].device, in);
  EXPECT_EQ(waveInStart(in), MMSYSERR_INVALHANDLE);

  refill.stop();
  ASSERT_EQ(waveOutReset(player), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(player), MMSYSERR_NOERROR);
}

TEST_F(WavePulsePrivate, PlaybackKeepsRealTimeAndCarriesBothChannels) {
  PulseLayer layer;
  const int32_t cable = findPlayback("Tovrel-Output");
  const int32_t monitor = findCapture("Monitor of Tovrel-Output");
  ASSERT_GE(cable, 0);
  ASSERT_GE(monitor, 0);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  const double bufferSeconds = kBufferBytes / 4 / 24000.0;

  NoticeQueue playerNotices;
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, cable, &stereo, &playerNotices, 0, kOpenFlags), MMSYSERR_NOERROR);
  auto n = playerNotices.next(1s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WOM_OPEN);
  // Left 750 Hz, right 1500 Hz: 512 and 1024 cycles per buffer.
  Buffers play(kBufferBytes);
  for (auto& d : play.data) fillTone(d, 2, 24000, {750, 1500}, 6000);
  for (auto& h : play.headers) {
    ASSERT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutWrite(out, &play.headers[2], kWaveHdrSize), WAVERR_STILLPLAYING) << "queued twice";
  Refiller refill(out, playerNotices);

  NoticeQueue recNotices;
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, monitor, &stereo, &recNotices, 0, kOpenFlags), MMSYSERR_NOERROR);
  Buffers rec(kBufferBytes);
  for (auto& h : rec.headers) {
    ASSERT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

  // Wait for six done notices; from the second to the sixth, four buffers' worth of time.
  const auto deadline = Clock::now() + 8s;
  std::vector<Notice> dones;
  while (Clock::now() < deadline) {
    dones.clear();
    for (const auto& s : refill.seen()) {
      if (s.message == MM_WOM_DONE) dones.push_back(s);
    }
    if (dones.size() >= 6) break;
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_GE(dones.size(), 6u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(play.index(dones[i].header), static_cast<int>(i % 4));
  const double span = std::chrono::duration<double>(dones[5].when - dones[1].when).count();
  EXPECT_NEAR(span, 4 * bufferSeconds, 0.1 * 4 * bufferSeconds);

  // What went out arrives on the monitor with both channels in place.
  std::vector<char> last;
  for (int block = 0; block < 3; ++block) {
    auto r = recNotices.next(3s);
    ASSERT_TRUE(r);
    if (r->message == MM_WIM_OPEN) r = recNotices.next(3s);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->message, MM_WIM_DATA);
    last.assign(r->header->lpData, r->header->lpData + r->header->dwBytesRecorded);
  }
  const auto samples = samplesOf(last.data(), last.size());
  EXPECT_NEAR(peakFrequency(samples, 2, 0, 24000, 200, 5000), 750, 10);
  EXPECT_NEAR(peakFrequency(samples, 2, 1, 24000, 200, 5000), 1500, 10);
  EXPECT_NEAR(rms(samples, 2, 0), 6000 / std::sqrt(2.0), 600);
  EXPECT_NEAR(rms(samples, 2, 1), 6000 / std::sqrt(2.0), 600);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);

  // Reset hands back the four queued buffers at once, each exactly once.
  refill.stop();
  const auto t0 = Clock::now();
  ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
  auto back = playerNotices.drain(300ms);
  std::set<int> returned;
  for (const auto& r : back) {
    ASSERT_EQ(r.message, MM_WOM_DONE);
    EXPECT_LT(r.when - t0, 100ms);
    EXPECT_TRUE(returned.insert(play.index(r.header)).second) << "buffer handed back twice";
  }
  // The refiller may have stopped between a done notice and its rewrite: that buffer is
  // not queued, and is the one missing here.
  EXPECT_GE(returned.size(), 3u);
  // With nothing queued the device plays silence and posts nothing.
  EXPECT_TRUE(playerNotices.drain(200ms).empty());
  ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  n = playerNotices.next(1s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WOM_CLOSE);
}

// A playback device whose sink goes away fails; the server must never move the stream to
// another sink (in a receiver's set-up that may be the sink the capture records: a loop).
// Chosen by name and as the default device alike; nothing of the tone reaches another sink.
TEST_F(WavePulsePrivate, PlaybackWhoseSinkGoesAwayFailsAndPlaysNowhereElse) {
  PulseLayer layer;
  const WAVEFORMATEX mono = pcm(1, 48000);
  for (const bool byName : {true, false}) {
    SCOPED_TRACE(byName ? "chosen by name" : "default device");
    const std::string module = runCommand(
        "pactl load-module module-null-sink sink_name=tovrel_going rate=48000 channels=1 "
        "sink_properties=device.description=Tovrel-Going 2>/dev/null");
    ASSERT_FALSE(module.empty());
    runCommand("pactl set-default-sink tovrel_going");
    std::this_thread::sleep_for(200ms);
    const int32_t going = byName ? findPlayback("Tovrel-Going") : WAVE_MAPPER;
    ASSERT_NE(going, -2);

    NoticeQueue playerNotices;
    HWAVEOUT player = nullptr;
    ASSERT_EQ(waveOutOpen(&player, going, &mono, &playerNotices, 0, kOpenFlags), MMSYSERR_NOERROR);
    Buffers tone(9600);
    for (auto& d : tone.data) fillTone(d, 1, 48000, {1000}, 8000);
    for (auto& h : tone.headers) {
      ASSERT_EQ(waveOutPrepareHeader(player, &h, kWaveHdrSize), MMSYSERR_NOERROR);
      ASSERT_EQ(waveOutWrite(player, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    }
    Refiller refill(player, playerNotices);
    std::this_thread::sleep_for(300ms);
    runCommand("pactl unload-module " + module);

    // Both other sinks' monitors, recorded for a second after the sink went (the server
    // would move the stream within milliseconds).
    struct Recorder {
      NoticeQueue notices;
      Buffers buffers{kBufferBytes};
      HWAVEIN in = nullptr;
    } recorders[2];
    const char* monitors[2] = {"Monitor of Tovrel-Input", "Monitor of Tovrel-Output"};
    for (int i = 0; i < 2; ++i) {
      const int32_t id = findCapture(monitors[i]);
      ASSERT_GE(id, 0) << monitors[i];
      ASSERT_EQ(waveInOpen(&recorders[i].in, id, &mono, &recorders[i].notices, 0, kOpenFlags), MMSYSERR_NOERROR);
      for (auto& h : recorders[i].buffers.headers) {
        ASSERT_EQ(waveInPrepareHeader(recorders[i].in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(recorders[i].in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
      }
      ASSERT_EQ(waveInStart(recorders[i].in), MMSYSERR_NOERROR);
    }
    std::this_thread::sleep_for(1500ms);
    refill.stop();
    bool failed = false;
    for (const Notice& n : refill.seen()) failed = failed || n.message == MM_WOM_FAILED;
    EXPECT_TRUE(failed) << "no failure notice";
    for (auto& r : recorders) {
      ASSERT_EQ(waveInReset(r.in), MMSYSERR_NOERROR);
      int16_t loudest = 0;
      for (const Notice& n : r.notices.drain(100ms)) {
        if (n.message != MM_WIM_DATA || n.header->dwBytesRecorded == 0) continue;
        for (int16_t v : samplesOf(n.header->lpData, n.header->dwBytesRecorded))
          loudest = std::max<int16_t>(loudest, static_cast<int16_t>(std::abs(v)));
      }
      EXPECT_EQ(loudest, 0) << "the tone was played on another sink";
      EXPECT_EQ(waveInClose(r.in), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutReset(player), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(player), MMSYSERR_NOERROR);
  }
}

TEST_F(WavePulsePrivate, DeviceRemovedOrServerGoneFailsTheDeviceWithoutHanging) {
  const std::string module = runCommand(
      "pactl load-module module-null-sink sink_name=tovrel_gone rate=48000 channels=1 "
      "sink_properties=device.description=Tovrel-Gone 2>/dev/null");
  ASSERT_FALSE(module.empty());
  std::this_thread::sleep_for(200ms);
  PulseLayer layer;
  const int32_t goneSink = findPlayback("Tovrel-Gone");
  const int32_t goneMonitor = findCapture("Monitor of Tovrel-Gone");
  const int32_t monitor = findCapture("Monitor of Tovrel-Input");
  ASSERT_GE(goneSink, 0);
  ASSERT_GE(goneMonitor, 0);
  const WAVEFORMATEX mono = pcm(1, 48000);

  struct Open {
    NoticeQueue notices;
    Buffers buffers{kBufferBytes};
    void* handle = nullptr;
  };
  auto openCapture = [&](Open& o, int32_t id) {
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, id, &mono, &o.notices, 0, kOpenFlags), MMSYSERR_NOERROR);
    o.handle = h;
    for (auto& hdr : o.buffers.headers) {
      ASSERT_EQ(waveInPrepareHeader(h, &hdr, kWaveHdrSize), MMSYSERR_NOERROR);
      ASSERT_EQ(waveInAddBuffer(h, &hdr, kWaveHdrSize), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    auto n = o.notices.next(1s);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->message, MM_WIM_OPEN);
  };
  auto openPlayback = [&](Open& o, int32_t id) {
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, id, &mono, &o.notices, 0, kOpenFlags), MMSYSERR_NOERROR);
    o.handle = h;
    for (auto& hdr : o.buffers.headers) {
      ASSERT_EQ(waveOutPrepareHeader(h, &hdr, kWaveHdrSize), MMSYSERR_NOERROR);
      ASSERT_EQ(waveOutWrite(h, &hdr, kWaveHdrSize), MMSYSERR_NOERROR);
    }
    auto n = o.notices.next(1s);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->message, MM_WOM_OPEN);
  };
  // The failure comes first, while the device still holds its buffers (a buffer may have
  // completed normally just before); Reset then hands back the rest, each once.
  auto expectFailed = [&](Open& o, bool capture, MMRESULT code) {
    const uint32_t dataMessage = capture ? MM_WIM_DATA : MM_WOM_DONE;
    const uint32_t failedMessage = capture ? MM_WIM_FAILED : MM_WOM_FAILED;
    std::set<int> returned;
    std::optional<Notice> failed;
    const auto deadline = Clock::now() + 3s;
    while (!failed && Clock::now() < deadline) {
      auto n = o.notices.next(100ms);
      if (!n) continue;
      if (n->message == failedMessage) {
        failed = n;
      } else {
        ASSERT_EQ(n->message, dataMessage);
        if (capture) {
          EXPECT_EQ(n->header->dwBytesRecorded, n->header->dwBufferLength) << "only full blocks";
        }
        EXPECT_TRUE(returned.insert(o.buffers.index(n->header)).second);
      }
    }
    ASSERT_TRUE(failed) << "no failure notice";
    EXPECT_EQ(failed->error, code);
    EXPECT_EQ(failed->device, o.handle);
    EXPECT_EQ(failed->header, nullptr);
    EXPECT_TRUE(o.notices.drain(50ms).empty()) << "held until Reset";
    EXPECT_EQ(capture ? waveInReset(static_cast<HWAVEIN>(o.handle)) : waveOutReset(static_cast<HWAVEOUT>(o.handle)),
              MMSYSERR_NOERROR);
    for (const auto& n : o.notices.drain(50ms)) {
      ASSERT_EQ(n.message, dataMessage);
      EXPECT_TRUE(returned.insert(o.buffers.index(n.header)).second) << "handed back twice";
    }
    EXPECT_EQ(returned.size(), 4u);
  };

  // The device goes away: its streams fail with "device ID out of range".
  Open gonePlay, goneRec, other;
  openPlayback(gonePlay, goneSink);
  openCapture(goneRec, goneMonitor);
  openCapture(other, monitor);
  runCommand("pactl unload-module " + module);
  expectFailed(gonePlay, false, MMSYSERR_BADDEVICEID);
  expectFailed(goneRec, true, MMSYSERR_BADDEVICEID);

  // A failed device still takes buffers (and holds them), refuses to start, and resets and
  // closes as usual.
  auto in = static_cast<HWAVEIN>(goneRec.handle);
  auto out = static_cast<HWAVEOUT>(gonePlay.handle);
  EXPECT_EQ(waveInAddBuffer(in, &goneRec.buffers.headers[1], kWaveHdrSize), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInStart(in), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutWrite(out, &gonePlay.buffers.headers[3], kWaveHdrSize), MMSYSERR_NOERROR);
  EXPECT_TRUE(goneRec.notices.drain(100ms).empty());
  EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  auto rest = goneRec.notices.drain(100ms);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].header, &goneRec.buffers.headers[1]);
  EXPECT_EQ(rest[1].message, MM_WIM_CLOSE);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  rest = gonePlay.notices.drain(100ms);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].header, &gonePlay.buffers.headers[3]);
  EXPECT_EQ(rest[1].message, MM_WOM_CLOSE);

  // The other device went on recording.
  auto n = other.notices.next(2s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WIM_DATA);
  EXPECT_EQ(n->header->dwBytesRecorded, kBufferBytes);
  ASSERT_EQ(waveInAddBuffer(static_cast<HWAVEIN>(other.handle), n->header, kWaveHdrSize), MMSYSERR_NOERROR);

  // A server that stops answering: Reset and Close of a running device return at once
  // anyway, and hand every buffer back once.
  {
    Open frozen;
    openCapture(frozen, monitor);
    auto h = static_cast<HWAVEIN>(frozen.handle);
    server.signal("STOP");
    const auto t0 = Clock::now();
    EXPECT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_LT(Clock::now() - t0, 100ms);
    ASSERT_EQ(waveInAddBuffer(h, &frozen.buffers.headers[0], kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_LT(Clock::now() - t0, 500ms);
    server.signal("CONT");
    const auto back = frozen.notices.drain(50ms);
    ASSERT_EQ(back.size(), 6u);
    std::map<int, int> returned;
    for (size_t i = 0; i < 5; ++i) {
      ASSERT_EQ(back[i].message, MM_WIM_DATA);
      ++returned[frozen.buffers.index(back[i].header)];
    }
    EXPECT_EQ(returned, (std::map<int, int>{{0, 2}, {1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(back[5].message, MM_WIM_CLOSE);
  }

  // The server dies: "no device driver present", buffers back, nothing hangs.
  Open play;
  openPlayback(play, WAVE_MAPPER);
  server.kill();
  expectFailed(other, true, MMSYSERR_NODRIVER);
  expectFailed(play, false, MMSYSERR_NODRIVER);
  const auto t0 = Clock::now();
  EXPECT_EQ(waveInReset(static_cast<HWAVEIN>(other.handle)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(static_cast<HWAVEIN>(other.handle)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutReset(static_cast<HWAVEOUT>(play.handle)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(static_cast<HWAVEOUT>(play.handle)), MMSYSERR_NOERROR);
  EXPECT_LT(Clock::now() - t0, 500ms);
  n = other.notices.next(1s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WIM_CLOSE);
  n = play.notices.next(1s);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->message, MM_WOM_CLOSE);
}

// ---------------------------------------------------------------------------------------
// Tovrel's own I/Q device, on a private server

// The devices `pactl list <kind>` reports, each as its top-level "Key: value" lines and its
// index under "#" (from "Sink #12"; never reused for a new device on either server, unlike
// PipeWire's module indexes).
std::vector<std::map<std::string, std::string>> pactlDevices(const std::string& kind) {
  std::vector<std::map<std::string, std::string>> out;
  std::istringstream in(runCommand("pactl list " + kind + " 2>/dev/null"));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != '\t') {
      out.emplace_back();
      if (const auto hash = line.find('#'); hash != std::string::npos) out.back()["#"] = line.substr(hash + 1);
    } else if (const auto colon = line.find(": ");
               line.size() > 1 && line[1] != '\t' && colon != std::string::npos && !out.empty()) {
      out.back()[line.substr(1, colon - 1)] = line.substr(colon + 2);
    }
  }
  std::erase_if(out, [](const auto& d) { return d.empty(); });
  return out;
}

// Tovrel's own device as the server shows it to any client.
struct OwnDeviceSeen {
  int sinks = 0;    // sinks named tovrel_iq_sink
  int sources = 0;  // sources named tovrel_iq
  std::map<std::string, std::string> sink, source;
  std::string sinkFormat, sourceFormat;  // as `pactl list short` gives it: "s16le 2ch 24000Hz"
};
// The sample format column of the device `name` in `pactl list short KIND`.
std::string shortFormat(const std::string& kind, const std::string& name) {
  std::istringstream in(runCommand("pactl list short " + kind + " 2>/dev/null"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() > 3 && fields[1] == name) return fields[3];
  }
  return {};
}
OwnDeviceSeen ownDeviceSeen() {
  OwnDeviceSeen seen;
  for (auto& d : pactlDevices("sinks"))
    if (d["Name"] == "tovrel_iq_sink") ++seen.sinks, seen.sink = d;
  for (auto& d : pactlDevices("sources"))
    if (d["Name"] == "tovrel_iq") ++seen.sources, seen.source = d;
  seen.sinkFormat = shortFormat("sinks", "tovrel_iq_sink");
  seen.sourceFormat = shortFormat("sources", "tovrel_iq");
  return seen;
}

HWAVEOUT openOwnDevice(uint32_t rate, NoticeTarget& target) {
  const auto own = static_cast<int32_t>(waveOutGetNumDevs()) - 1;
  WAVEOUTCAPS caps;
  if (own < 0 || waveOutGetDevCaps(own, &caps) != MMSYSERR_NOERROR || !caps.ownDevice) return nullptr;
  const WAVEFORMATEX stereo = pcm(2, rate);
  HWAVEOUT out = nullptr;
  return waveOutOpen(&out, own, &stereo, &target, 0, kOpenFlags) == MMSYSERR_NOERROR ? out : nullptr;
}

// Started with TOVREL_TEST_HOLD_OWN_DEVICE=<rate>, the program is the run that gets killed:
// before any test, it makes the own device at that rate, writes 'y' (or 'n' when it could
// not) and waits.
const bool kHoldsOwnDevice = [] {
  const char* rate = std::getenv("TOVREL_TEST_HOLD_OWN_DEVICE");
  if (rate == nullptr) return false;
  PulseLayer layer;
  NoticeQueue target;
  const char answer = openOwnDevice(static_cast<uint32_t>(std::atoi(rate)), target) != nullptr ? 'y' : 'n';
  if (write(STDOUT_FILENO, &answer, 1) != 1) _exit(1);
  for (;;) pause();
}();

// Made at the rate of the stream that plays into it, as a stereo sink and a real source
// "Tovrel I/Q" beside it; kept while the rate stays, made anew when it changes, gone once
// removed; never listed among the server's own devices.
TEST_F(WavePulsePrivate, OwnDeviceFollowsTheOutputRateAndGoesWhenRemoved) {
  PulseLayer layer;
  const size_t sinks = pactlDescriptions("sinks").size();
  std::string sinkIndex;
  for (const uint32_t rate : {24000u, 24000u, 48000u}) {
    SCOPED_TRACE(rate);
    NoticeQueue target;
    const HWAVEOUT out = openOwnDevice(rate, target);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(waveGetDeviceRate(Direction::Playback, out), rate);
    OwnDeviceSeen seen = ownDeviceSeen();
    ASSERT_EQ(seen.sinks, 1);
    ASSERT_EQ(seen.sources, 1);
    EXPECT_NE(seen.sinkFormat.find(" 2ch " + std::to_string(rate) + "Hz"), std::string::npos) << seen.sinkFormat;
    EXPECT_EQ(seen.sink["Description"], "Tovrel I/Q sink");
    EXPECT_EQ(seen.source["Description"], "Tovrel I/Q");
    EXPECT_EQ(seen.source["Monitor of Sink"], "n/a");  // a real source, not a monitor
    EXPECT_NE(seen.sourceFormat.find(" 2ch "), std::string::npos) << seen.sourceFormat;
    // The same rate keeps the device an SDR program may be recording; another makes it anew.
    if (rate == 24000u && !sinkIndex.empty()) {
      EXPECT_EQ(seen.sink["#"], sinkIndex);
    }
    if (rate == 48000u) {
      EXPECT_NE(seen.sink["#"], sinkIndex);
    }
    sinkIndex = seen.sink["#"];
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  }
  std::this_thread::sleep_for(1100ms);        // past the kept list's lifetime
  EXPECT_EQ(waveOutGetNumDevs(), sinks + 1);  // the server's sinks less its own, then its entry
  EXPECT_EQ(findCapture("Tovrel I/Q"), -2);
  EXPECT_EQ(findCapture("Monitor of Tovrel I/Q sink"), -2);
  waveRemoveOwnDevices();
  const OwnDeviceSeen gone = ownDeviceSeen();
  EXPECT_EQ(gone.sinks + gone.sources, 0);
}

// A run that is killed leaves its device on the server; the next run takes it over (found
// by its names) instead of making a second one, and removes it when it is done. The killed
// run is this program started afresh (libpulse refuses to work in a forked copy of a
// process that has used it), which makes the device and waits (see kHoldsOwnDevice).
TEST_F(WavePulsePrivate, OwnDeviceLeftByAKilledRunIsTakenOver) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(ready[1], STDOUT_FILENO);
    setenv("TOVREL_TEST_HOLD_OWN_DEVICE", "24000", 1);
    execl("/proc/self/exe", "wave_pulse_test", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  pollfd wait{ready[0], POLLIN, 0};
  char answer = 0;
  const bool answered = poll(&wait, 1, 10000) == 1 && read(ready[0], &answer, 1) == 1;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  ASSERT_TRUE(answered && answer == 'y') << "the killed run did not make its device";
  OwnDeviceSeen left = ownDeviceSeen();
  ASSERT_EQ(left.sinks, 1);
  {
    PulseLayer layer;
    NoticeQueue target;
    const HWAVEOUT out = openOwnDevice(24000, target);
    ASSERT_NE(out, nullptr);
    OwnDeviceSeen taken = ownDeviceSeen();
    EXPECT_EQ(taken.sinks, 1);
    EXPECT_EQ(taken.sources, 1);
    EXPECT_EQ(taken.sink["#"], left.sink["#"]);
    EXPECT_EQ(taken.source["#"], left.source["#"]);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  }
  // The back end that took it over removes it when it goes.
  const OwnDeviceSeen gone = ownDeviceSeen();
  EXPECT_EQ(gone.sinks + gone.sources, 0);
}

}  // namespace
