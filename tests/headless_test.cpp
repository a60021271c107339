// `tovrel --headless` as a station runs it: a separate process with no display, on a
// private sound server of its own (killed and started again by one test), converting a
// 13000 Hz tone played into the input null sink; the output sink's monitor is recorded.
#include <gtest/gtest.h>

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <iostream>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "headless/headless_options.hpp"
#include "tone_analysis.hpp"

namespace {

constexpr int kOutputRate = 24000;
// 20 ms of output: the granularity of the onsets measured below.
constexpr size_t kSlice = kOutputRate / 50;
const QString kTovrel = QStringLiteral(TOVREL_BINARY_TREE "/tovrel");
const QString kAudioServer = QStringLiteral(TOVREL_SOURCE_TREE "/scripts/audio-server");

double powerAt(const std::vector<std::complex<double>>& x, size_t first, size_t n, double hz) {
  return tone::powerAt(x, first, n, hz, kOutputRate);
}
using tone::toIQ;

// The first 20 ms slice, from `from` on, that carries the converted tone: loud, and at
// +1000 Hz at least 30 dB above its mirror at -1000 Hz (inversion off). nullopt if none.
std::optional<size_t> toneOnset(const std::vector<std::complex<double>>& x, size_t from = 0) {
  for (size_t first = from; first + kSlice <= x.size(); first += kSlice) {
    const double tone = powerAt(x, first, kSlice, 1000.0);
    const double mirror = powerAt(x, first, kSlice, -1000.0);
    // A Hann-weighted full tone of amplitude a gives (a n / 2)^2; ask for a above 1000.
    const double loud = std::pow(1000.0 * kSlice / 2, 2);
    if (tone > loud && tone > 1000.0 * mirror) return first;
  }
  return std::nullopt;
}

bool serverKindKnown() { return qEnvironmentVariableIsSet("TOVREL_AUDIO_SERVER"); }

// A private server of the kind the test run is on (pulseaudio or pipewire), with the two
// null sinks; stop() and start() again keep its addresses, as a restarted server does.
class Server {
 public:
  bool start() {
    QProcess script;
    script.start("bash", {kAudioServer, "start", dir_.path()});
    if (!script.waitForFinished(30000) || script.exitCode() != 0) return false;
    started_ = true;
    for (const QString& word : QString::fromUtf8(script.readAllStandardOutput()).simplified().split(' ')) {
      const qsizetype eq = word.indexOf('=');
      if (eq > 0) env_.insert(word.left(eq), word.mid(eq + 1));
    }
    return env_.contains("PULSE_SERVER");
  }
  void stop() {
    if (started_) QProcess::execute("bash", {kAudioServer, "stop", dir_.path()});
    started_ = false;
  }
  ~Server() { stop(); }

  // The environment of a client of this server: no display at all, and Qt told to use
  // X, so that anything of Qt's GUI would abort.
  QProcessEnvironment clientEnvironment(const QString& configHome) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& name : env_.keys()) env.insert(name, env_.value(name));
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("XDG_CONFIG_HOME", configHome);
    return env;
  }

  int pactl(const QStringList& args, QByteArray* out = nullptr) const {
    QProcess p;
    p.setProcessEnvironment(clientEnvironment(QDir::tempPath()));
    p.start("pactl", args);
    p.waitForFinished(10000);
    if (out) *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }

 private:
  QTemporaryDir dir_;
  bool started_ = false;
  QMap<QString, QString> env_;
};

class Headless : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!serverKindKnown()) GTEST_SKIP() << "no sound server kind given (run through the test command)";
    ASSERT_TRUE(server_.start()) << "private sound server did not start";
    ASSERT_TRUE(config_.isValid());
    const QString tone = tmp_.filePath("tone.wav");
    ASSERT_EQ(QProcess::execute("sox", {"-n", "-q", "-r", "48000", "-c", "1", "-b", "16", tone, "synth", "300", "sine",
                                        "13000", "vol", "0.5"}),
              0);
  }

  void TearDown() override {
    for (QProcess* p : {&tovrel_, &player_, &recorder_}) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(3000);
      }
    }
    server_.stop();
  }

  void writeSettings(const QByteArray& text) {
    QDir().mkpath(config_.filePath("ZEM"));
    QFile file(config_.filePath("ZEM/Varnex.conf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
  }

  void startProcess(QProcess& p, const QString& program, const QStringList& args) {
    p.setProcessEnvironment(server_.clientEnvironment(config_.path()));
    p.start(program, args);
    ASSERT_TRUE(p.waitForStarted(5000)) << program.toStdString();
  }

  // A low-latency stream keeps the input null sink ticking in small steps on its own (the
  // server's silence stream may follow the default sink away during an outage).
  void playTone() {
    startProcess(player_, "paplay", {"--device=tovrel_in", "--latency-msec=20", tmp_.filePath("tone.wav")});
  }

  // Its stderr goes to a file, read at any time without an event loop.
  void startTovrel(const QStringList& options, QProcess& p, const QString& stderrFile = "stderr.txt") {
    p.setStandardErrorFile(tmp_.filePath(stderrFile));
    startProcess(p, kTovrel, QStringList{"--headless"} + options);
  }
  void startTovrel(const QStringList& options) { startTovrel(options, tovrel_); }

  // Starts recording `device` (the output sink's monitor unless told); returns the time (on
  // `clock`) that its first frame stands for.
  double startRecording(const QElapsedTimer& clock, const QString& device = "tovrel_out.monitor") {
    startProcess(
        recorder_, "parec",
        {"--device=" + device, "--raw", "--format=s16le", "--rate=24000", "--channels=2", "--latency-msec=20"});
    EXPECT_TRUE(recorder_.waitForReadyRead(5000));
    const double now = clock.nsecsElapsed() / 1e9;
    recorded_ = recorder_.readAllStandardOutput();
    return now - static_cast<double>(recorded_.size() / 4) / kOutputRate;
  }

  // Records until the tone shows (at most `seconds`); its onset in frames from the
  // recording's start.
  std::optional<size_t> recordUntilTone(double seconds) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
      recorder_.waitForReadyRead(200);
      recorded_ += recorder_.readAllStandardOutput();
      if (auto onset = toneOnset(toIQ(recorded_))) return onset;
    }
    return std::nullopt;
  }

  // For a failure's message: how much was recorded and how loud it was.
  std::string recordingSummary() {
    recorded_ += recorder_.readAllStandardOutput();
    const auto iq = toIQ(recorded_);
    double peak = 0;
    for (const auto& v : iq) peak = std::max({peak, std::abs(v.real()), std::abs(v.imag())});
    return "recorded " + std::to_string(iq.size()) + " frames, peak " + std::to_string(static_cast<int>(peak)) +
           "; stderr: " + stderrLines().join('\n').toStdString();
  }

  void stopRecording() {
    recorder_.terminate();
    recorder_.waitForFinished(3000);
  }

  // SIGTERM, then the time until the process has ended.
  double terminateTovrel(QProcess& p) {
    QElapsedTimer t;
    t.start();
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    p.waitForFinished(5000);
    return t.nsecsElapsed() / 1e9;
  }
  double terminateTovrel() { return terminateTovrel(tovrel_); }

  // Waits up to 20 s (retries pause up to 5 s) for `count` lines on stderr.
  bool waitForLines(qsizetype count) {
    QElapsedTimer t;
    t.start();
    while (stderrLines().size() < count && t.elapsed() < 20000) QThread::msleep(50);
    return stderrLines().size() >= count;
  }

  QStringList stderrLines(const QString& stderrFile = "stderr.txt") {
    QFile file(tmp_.filePath(stderrFile));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }

  Server server_;
  QTemporaryDir config_;
  QTemporaryDir tmp_;
  QProcess tovrel_;
  QProcess player_;
  QProcess recorder_;
  QByteArray recorded_;
};

// The stored settings pick the devices and switch conversion off and inversion on, and
// store block mode; the command line turns conversion on and inversion off and picks the
// rate. The tone comes out at +1000 Hz, in stream mode, with one line on stderr; the
// settings file stays as it was; SIGTERM ends the run within a second, exit status 0.
TEST_F(Headless, ConvertsAToneWithStoredDevicesAndOverridesNoDisplay) {
  const QByteArray stored =
      "[Varnex]\nBitrate=0\nMono=0\nSpectr=1\nInvertOut=0\nInDeviceName=tovrel_in.monitor\n"
      "OutDeviceName=tovrel_out\nStreamMode=0\n";
  writeSettings(stored);
  const QString file = config_.filePath("ZEM/Varnex.conf");
  const QDateTime modified = QFileInfo(file).lastModified();
  playTone();
  QThread::msleep(500);
  QElapsedTimer clock;
  clock.start();
  const double recordingStart = startRecording(clock);
  const double launched = clock.nsecsElapsed() / 1e9;
  startTovrel({"--rate", "48000", "--iq", "--no-invert"});
  const auto onset = recordUntilTone(10);
  ASSERT_TRUE(onset.has_value()) << "no +1000 Hz tone; " << recordingSummary();
  std::cout << "start-up to first converted output: "
            << 1000.0 * (recordingStart + static_cast<double>(*onset) / kOutputRate - launched)
            << " ms (launch to the tone in the output monitor, 20 ms slices)\n";
  // Steady from there on: a second more, every slice the tone.
  QThread::msleep(1000);
  recorded_ += recorder_.readAllStandardOutput();
  const auto iq = toIQ(recorded_);
  const size_t settled = *onset + 5 * kSlice;
  for (size_t first = settled; first + kSlice <= iq.size(); first += kSlice)
    ASSERT_EQ(toneOnset(iq, first), first) << "tone broken at " << first << " frames";
  stopRecording();

  EXPECT_LT(terminateTovrel(), 1.0);
  EXPECT_EQ(tovrel_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(tovrel_.exitCode(), 0);
  const QStringList lines = stderrLines();
  ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].contains("tovrel_in.monitor (48000 Hz") && lines[0].contains("tovrel_out (24000 Hz") &&
              lines[0].contains("stream mode") && lines[0].contains("latency"))
      << lines[0].toStdString();
  QFile after(file);
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), stored);
  EXPECT_EQ(QFileInfo(file).lastModified(), modified);
  EXPECT_EQ(QDir(config_.filePath("ZEM")).entryList(QDir::Files), QStringList{"Varnex.conf"});
}

// Block mode runs the window's block converter on the service's own thread: the tone
// comes out of whole 32768-sample blocks a few seconds later.
TEST_F(Headless, BlockModeConvertsTheTone) {
  playTone();
  startTovrel({"--block", "--input", "tovrel_in.monitor", "--output", "tovrel_out", "--no-invert"});
  QElapsedTimer clock;
  clock.start();
  startRecording(clock);
  const auto onset = recordUntilTone(15);
  ASSERT_TRUE(onset.has_value()) << recordingSummary();
  std::cout << "block mode: tone out after " << clock.elapsed() << " ms\n";
  stopRecording();
  EXPECT_LT(terminateTovrel(), 1.0);
  EXPECT_EQ(tovrel_.exitCode(), 0);
  const QStringList lines = stderrLines();
  ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].contains("block mode")) << lines[0].toStdString();
  EXPECT_FALSE(QFileInfo::exists(config_.filePath("ZEM"))) << "nothing stored, nothing made";
}

// The server's index of the source of this name; empty when it lists none.
QByteArray sourceIndex(const Server& server, const QByteArray& name) {
  QByteArray sources;
  server.pactl({"list", "short", "sources"}, &sources);
  for (const QByteArray& line : sources.split('\n'))
    if (line.split('\t').value(1) == name) return line.split('\t').value(0);
  return {};
}
bool hasSource(const Server& server, const QByteArray& name) { return !sourceIndex(server, name).isEmpty(); }

// Tovrel's own I/Q device as a station uses it: "--output tovrel" makes it and an SDR
// program records its source "Tovrel I/Q". A run killed outright leaves it; the next run,
// choosing it by the stored name the window keeps, takes it over without breaking that
// recording; SIGTERM removes it.
TEST_F(Headless, PlaysIntoItsOwnDeviceTakenOverAfterAKillRemovedAtTheEnd) {
  playTone();
  startTovrel({"--input", "tovrel_in.monitor", "--output", "tovrel", "--iq", "--no-invert"});
  QElapsedTimer clock;
  clock.start();
  while (!hasSource(server_, "tovrel_iq") && clock.elapsed() < 5000) QThread::msleep(50);
  ASSERT_TRUE(hasSource(server_, "tovrel_iq")) << "no own device; stderr: " << stderrLines().join('\n').toStdString();
  startRecording(clock, "tovrel_iq");
  ASSERT_TRUE(recordUntilTone(10).has_value()) << recordingSummary();
  EXPECT_TRUE(stderrLines().value(0).contains("tovrel_iq_sink (Tovrel's own device"))
      << stderrLines().join('\n').toStdString();

  tovrel_.kill();
  tovrel_.waitForFinished(3000);
  // What the killed run played is read and dropped: the tone from here on is the next run's.
  QElapsedTimer drain;
  drain.start();
  while (drain.elapsed() < 1000) {
    recorder_.waitForReadyRead(100);
    recorder_.readAllStandardOutput();
  }
  ASSERT_TRUE(hasSource(server_, "tovrel_iq"));
  writeSettings("[Varnex]\nOutDeviceName=tovrel_iq_sink\nInDeviceName=tovrel_in.monitor\nMono=1\nSpectr=0\n");
  recorded_.clear();
  startTovrel({});
  ASSERT_TRUE(recordUntilTone(10).has_value()) << "no tone from the second run; " << recordingSummary();
  ASSERT_EQ(recorder_.state(), QProcess::Running) << "the recording broke: the device was made anew";
  stopRecording();

  EXPECT_LT(terminateTovrel(), 1.0);
  EXPECT_EQ(tovrel_.exitCode(), 0) << stderrLines().join('\n').toStdString();
  QByteArray modules;
  server_.pactl({"list", "short", "modules"}, &modules);
  EXPECT_FALSE(modules.contains("tovrel_iq")) << modules.toStdString();
  EXPECT_FALSE(hasSource(server_, "tovrel_iq"));
}

// What each reader gets over the next `ms` milliseconds; all are read all the time, since a
// reader left unread fills its pipe and the server drops what it records meanwhile.
std::vector<std::vector<std::complex<double>>> readFor(const std::vector<QProcess*>& recorders, int ms) {
  std::vector<QByteArray> raw(recorders.size());
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QThread::msleep(20);
    for (size_t i = 0; i < recorders.size(); ++i) {
      recorders[i]->waitForReadyRead(0);
      raw[i] += recorders[i]->readAllStandardOutput();
    }
  }
  std::vector<std::vector<std::complex<double>>> iq;
  for (const QByteArray& r : raw) iq.push_back(toIQ(r.left(r.size() / 4 * 4)));
  return iq;
}

// How far (dB) the tone at `hz` stands above that at `otherHz` in the clearest half second
// read (a break on a loaded machine spreads a click across the band, which is no
// crosstalk); -inf when the tone is nowhere loud (amplitude under 1000).
double toneOverOther(const std::vector<std::complex<double>>& iq, double hz, double otherHz) {
  const size_t n = kOutputRate / 2;
  double best = -INFINITY;
  for (size_t first = 0; first + n <= iq.size(); first += n / 5) {
    const double tone = powerAt(iq, first, n, hz);
    if (tone < std::pow(1000.0 * n / 2, 2)) continue;
    best = std::max(best, 10 * std::log10(tone / std::max(powerAt(iq, first, n, otherHz), 1e-30)));
  }
  return best;
}

double peakOf(const std::vector<std::complex<double>>& iq) {
  double peak = 0;
  for (const auto& v : iq) peak = std::max({peak, std::abs(v.real()), std::abs(v.imag())});
  return peak;
}

// Two receivers on one computer: profiles a and b, each from an input of its own (13000
// and 15000 Hz, out at +1000 and +3000 Hz), play into devices of their own, and each
// reader gets its receiver alone. Closing a while its reader records leaves the device
// (silence, not another source) and b's reader untouched; the next a takes it over with
// the reader still connected. A second a is refused and changes nothing.
TEST_F(Headless, TwoProfilesTwoDevicesAndAReaderKeepsItsDevice) {
  ASSERT_EQ(server_.pactl({"load-module", "module-null-sink", "sink_name=tovrel_in2", "rate=48000", "channels=1"}), 0);
  const QString tone2 = tmp_.filePath("tone2.wav");
  ASSERT_EQ(QProcess::execute("sox", {"-n", "-q", "-r", "48000", "-c", "1", "-b", "16", tone2, "synth", "300", "sine",
                                      "15000", "vol", "0.5"}),
            0);
  QProcess player2, tovrelB, recorderB;
  playTone();
  startProcess(player2, "paplay", {"--device=tovrel_in2", "--latency-msec=20", tone2});
  const QStringList common{"--output", "tovrel", "--iq", "--no-invert"};
  startTovrel(QStringList{"--profile", "a", "--input", "tovrel_in.monitor"} + common);
  startTovrel(QStringList{"--profile", "b", "--input", "tovrel_in2.monitor"} + common, tovrelB, "b.txt");
  QElapsedTimer clock;
  clock.start();
  while (!(hasSource(server_, "tovrel_iq_a") && hasSource(server_, "tovrel_iq_b")) && clock.elapsed() < 5000)
    QThread::msleep(50);
  const QByteArray indexA = sourceIndex(server_, "tovrel_iq_a");
  ASSERT_FALSE(indexA.isEmpty() || !hasSource(server_, "tovrel_iq_b")) << stderrLines().join('\n').toStdString();
  EXPECT_FALSE(hasSource(server_, "tovrel_iq")) << "the default device was made";
  startRecording(clock, "tovrel_iq_a");
  startProcess(
      recorderB, "parec",
      {"--device=tovrel_iq_b", "--raw", "--format=s16le", "--rate=24000", "--channels=2", "--latency-msec=20"});
  ASSERT_TRUE(recordUntilTone(10).has_value()) << recordingSummary();
  const std::vector<QProcess*> readers{&recorder_, &recorderB};
  readFor(readers, 300);
  auto iq = readFor(readers, 2500);
  const double aOverB = toneOverOther(iq[0], 1000, 3000);
  const double bOverA = toneOverOther(iq[1], 3000, 1000);
  std::cout << "[ figures  ] each reader's tone over the other receiver's: a " << aOverB << " dB, b " << bOverA
            << " dB\n";
  EXPECT_GE(aOverB, 90);
  EXPECT_GE(bOverA, 90);

  // A second a: one line, exit 1, the first goes on as it was.
  QProcess second;
  startTovrel(QStringList{"--profile", "a", "--input", "tovrel_in2.monitor"} + common, second, "second.txt");
  ASSERT_TRUE(second.waitForFinished(5000));
  EXPECT_EQ(second.exitCode(), 1);
  const QStringList refused = stderrLines("second.txt");
  ASSERT_EQ(refused.size(), 1) << refused.join('\n').toStdString();
  EXPECT_TRUE(refused[0].contains("already runs with profile \"a\"")) << refused[0].toStdString();
  EXPECT_EQ(sourceIndex(server_, "tovrel_iq_a"), indexA);
  iq = readFor(readers, 2500);
  EXPECT_GE(toneOverOther(iq[0], 1000, 3000), 90);

  EXPECT_LT(terminateTovrel(), 1.0);
  EXPECT_EQ(tovrel_.exitCode(), 0);
  EXPECT_TRUE(stderrLines().join('\n').contains("left in place")) << stderrLines().join('\n').toStdString();
  EXPECT_EQ(sourceIndex(server_, "tovrel_iq_a"), indexA);
  readFor(readers, 300);  // what a played before it ended
  iq = readFor(readers, 2500);
  EXPECT_EQ(peakOf(iq[0]), 0.0) << "a's reader records another source";
  EXPECT_GE(toneOverOther(iq[1], 3000, 1000), 90) << "b's reader was disturbed";

  recorded_.clear();
  startTovrel(QStringList{"--profile", "a", "--input", "tovrel_in.monitor"} + common);
  ASSERT_TRUE(recordUntilTone(10).has_value()) << "not taken over; " << recordingSummary();
  EXPECT_EQ(recorder_.state(), QProcess::Running);
  EXPECT_EQ(sourceIndex(server_, "tovrel_iq_a"), indexA) << "made anew";

  // With no reader left, the end removes b's device as before.
  recorderB.terminate();
  recorderB.waitForFinished(3000);
  EXPECT_LT(terminateTovrel(tovrelB), 1.0);
  EXPECT_FALSE(hasSource(server_, "tovrel_iq_b")) << stderrLines("b.txt").join('\n').toStdString();
  player2.kill();
  player2.waitForFinished(3000);
}

// A device made by a Tovrel that still runs is not remade (at another rate) by another
// process of the same profile that the lock did not stop (another runtime folder).
TEST_F(Headless, AnotherRunningTovrelsDeviceIsLeftAlone) {
  playTone();
  const QStringList options{"--profile", "a", "--input", "tovrel_in.monitor", "--output", "tovrel", "--no-invert"};
  startTovrel(options);
  QElapsedTimer clock;
  clock.start();
  while (!hasSource(server_, "tovrel_iq_a") && clock.elapsed() < 5000) QThread::msleep(50);
  const QByteArray index = sourceIndex(server_, "tovrel_iq_a");
  ASSERT_FALSE(index.isEmpty()) << stderrLines().join('\n').toStdString();
  startRecording(clock, "tovrel_iq_a");
  ASSERT_TRUE(recordUntilTone(10).has_value()) << recordingSummary();

  QProcess other;
  QTemporaryDir runtime;
  QProcessEnvironment env = server_.clientEnvironment(config_.path());
  env.insert("XDG_RUNTIME_DIR", runtime.path());
  other.setProcessEnvironment(env);
  other.setStandardErrorFile(tmp_.filePath("other.txt"));
  other.start(kTovrel, QStringList{"--headless", "--rate", "96000"} + options);
  ASSERT_TRUE(other.waitForStarted(5000));
  QThread::msleep(2000);
  EXPECT_EQ(other.state(), QProcess::Running);
  EXPECT_LT(terminateTovrel(other), 1.0);
  EXPECT_EQ(sourceIndex(server_, "tovrel_iq_a"), index) << stderrLines("other.txt").join('\n').toStdString();
  EXPECT_TRUE(stderrLines("other.txt").join("\n").contains("already allocated"))
      << stderrLines("other.txt").join("\n").toStdString();
  recorded_.clear();
  ASSERT_TRUE(recordUntilTone(3).has_value()) << "the first run's reader lost its tone; " << recordingSummary();
}

// What goes away and comes back while the run goes on, with no action.
struct Outage {
  const char* name;
  // Takes the device or server away, waits, brings it back; true on success.
  std::function<bool(Server&)> takeAwayAndBack;
};

void PrintTo(const Outage& outage, std::ostream* os) { *os << outage.name; }

bool unloadAndLoadOutputSink(Server& server) {
  QByteArray modules;
  server.pactl({"list", "short", "modules"}, &modules);
  QString id;
  for (const QByteArray& line : modules.split('\n'))
    if (line.contains("sink_name=tovrel_out")) id = QString::fromUtf8(line.split('\t').value(0));
  if (id.isEmpty() || server.pactl({"unload-module", id}) != 0) return false;
  QThread::msleep(1500);
  return server.pactl({"load-module", "module-null-sink", "sink_name=tovrel_out", "rate=24000", "channels=2",
                       "sink_properties=device.description=Tovrel-Output"}) == 0;
}

bool killAndRestartServer(Server& server) {
  server.stop();
  QThread::msleep(1500);
  return server.start();
}

class HeadlessRecovery : public Headless, public ::testing::WithParamInterface<Outage> {};

TEST_P(HeadlessRecovery, ConversionResumesByItself) {
  playTone();
  startTovrel({"--input", "tovrel_in.monitor", "--output", "Tovrel-Output", "--iq", "--no-invert"});
  QElapsedTimer clock;
  clock.start();
  startRecording(clock);
  ASSERT_TRUE(recordUntilTone(10).has_value()) << recordingSummary();
  stopRecording();

  // The tone stops for the outage: on PulseAudio a player left running would follow the
  // default sink into the output sink when that comes back.
  player_.kill();
  player_.waitForFinished(3000);
  ASSERT_TRUE(GetParam().takeAwayAndBack(server_));
  playTone();
  clock.restart();
  const double recordingStart = startRecording(clock);
  const auto onset = recordUntilTone(20);
  ASSERT_TRUE(onset.has_value()) << "no tone after the outage; " << recordingSummary();
  std::cout << GetParam().name << ": back to converted output "
            << 1000.0 * (recordingStart + static_cast<double>(*onset) / kOutputRate)
            << " ms after the device or server came back\n";
  stopRecording();
  ASSERT_EQ(tovrel_.state(), QProcess::Running);
  // The start, the outage once, its end: nothing more, however often it was retried.
  QThread::msleep(200);
  const QStringList lines = stderrLines();
  ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[1].contains("opening the devices again")) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].contains("converting again")) << lines[2].toStdString();
  std::cout << GetParam().name << ": " << lines[2].toStdString() << " (from the failure)\n";
  EXPECT_LT(terminateTovrel(), 1.0);
  EXPECT_EQ(tovrel_.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Outages, HeadlessRecovery,
                         ::testing::Values(Outage{"OutputSinkUnloadedAndLoaded", unloadAndLoadOutputSink},
                                           Outage{"ServerKilledAndRestarted", killAndRestartServer}),
                         [](const auto& info) { return std::string(info.param.name); });

// A station whose window never ran: nothing stored, no --input/--output. The default sink
// is listed first, so device #0 of either list would record the monitor of the sink it
// plays into. The server's defaults are taken, as --list-devices says; a default source
// that records the default sink is passed over, and the start line says why.
TEST_F(Headless, FirstRunTakesTheServersDefaultsAndNeverRecordsItsOwnOutput) {
  ASSERT_EQ(server_.pactl({"set-default-sink", "tovrel_in"}), 0);
  const struct {
    const char* defaultSource;
    const char* why;
  } cases[] = {{"tovrel_out.monitor", "server's default devices"},
               {"tovrel_in.monitor", "records what the playback device"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.defaultSource);
    ASSERT_EQ(server_.pactl({"set-default-source", c.defaultSource}), 0);
    startTovrel({});
    ASSERT_TRUE(waitForLines(1));
    const QString line = stderrLines().value(0);
    EXPECT_TRUE(line.contains("tovrel: tovrel_out.monitor (48000 Hz mono) -> tovrel_in (24000 Hz") &&
                line.contains(c.why))
        << line.toStdString();
    EXPECT_LT(terminateTovrel(), 1.0);
  }
}

// A mistyped name, or a card not plugged in yet: the first line says it is not listed and
// which names are; the retries go on, and the start line follows when it appears.
TEST_F(Headless, ANamedDeviceNotListedIsToldWithTheNamesThenTakenWhenItComes) {
  startTovrel({"--input", "late_card.monitor", "--output", "tovrel_out"});
  ASSERT_TRUE(waitForLines(1));
  const QString first = stderrLines().value(0);
  EXPECT_TRUE(first.contains("capture device late_card.monitor is not listed") &&
              first.contains("tovrel_in.monitor, tovrel_out.monitor"))
      << first.toStdString();
  ASSERT_EQ(server_.pactl({"load-module", "module-null-sink", "sink_name=late_card"}), 0);
  ASSERT_TRUE(waitForLines(2)) << stderrLines().join('\n').toStdString();
  EXPECT_TRUE(stderrLines().value(1).startsWith("tovrel: late_card.monitor (48000 Hz mono) -> tovrel_out"))
      << stderrLines().join('\n').toStdString();
  EXPECT_LT(terminateTovrel(), 1.0);
}

TEST_F(Headless, ListDevicesNamesTheServersDevices) {
  startProcess(tovrel_, kTovrel, {"--headless", "--list-devices"});
  ASSERT_TRUE(tovrel_.waitForFinished(10000));
  EXPECT_EQ(tovrel_.exitCode(), 0);
  const QString out = QString::fromUtf8(tovrel_.readAllStandardOutput());
  for (const char* name :
       {"tovrel_in.monitor", "Monitor of Tovrel-Input", "tovrel_out", "Tovrel-Output", "tovrel_iq_sink", "Tovrel I/Q"})
    EXPECT_TRUE(out.contains(name)) << name << " missing from:\n" << out.toStdString();
  EXPECT_LT(out.indexOf("Capture devices:"), out.indexOf("tovrel_in.monitor"));
  EXPECT_LT(out.indexOf("Playback devices:"), out.indexOf("tovrel_out "));
}

// A bad profile name is refused before anything opens, by the window (with no display to
// open) and without one: exit status 2 and the rule on stderr.
TEST(Profile, BadNameExitsWithStatus2) {
  for (const QStringList& args :
       {QStringList{"--headless", "--profile", "../x"}, QStringList{"--profile", "a/b"}, QStringList{"--profile="}}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    p.setProcessEnvironment(env);
    p.start(kTovrel, args);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
    EXPECT_TRUE(p.readAllStandardError().contains("a profile name is")) << args.join(' ').toStdString();
  }
}

// No server at the address PULSE_SERVER names: one line that says so and names it, then
// for a run the retries go on quietly; --list-devices prints that line alone, exit 1.
TEST(HeadlessWithoutServer, OneLineNamesTheMissingServer) {
  QTemporaryDir dir;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const QString address = "unix:" + dir.filePath("no-server");
  env.insert("PULSE_SERVER", address);
  env.insert("XDG_CONFIG_HOME", dir.path());
  for (const bool list : {true, false}) {
    SCOPED_TRACE(list ? "--list-devices" : "a run");
    QProcess tovrel;
    tovrel.setProcessEnvironment(env);
    tovrel.start(kTovrel, list ? QStringList{"--headless", "--list-devices"} : QStringList{"--headless"});
    if (list) {
      ASSERT_TRUE(tovrel.waitForFinished(15000));
      EXPECT_EQ(tovrel.exitCode(), 1);
      EXPECT_EQ(tovrel.readAllStandardOutput(), "");
    } else {
      QThread::msleep(4000);  // the first attempt and a few retries
      ::kill(static_cast<pid_t>(tovrel.processId()), SIGTERM);
      ASSERT_TRUE(tovrel.waitForFinished(10000));
      EXPECT_EQ(tovrel.exitCode(), 0);
    }
    const QStringList lines = QString::fromUtf8(tovrel.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith("tovrel: no sound server answers at PULSE_SERVER=" + address) &&
                lines[0].contains("PipeWire"))
        << lines[0].toStdString();
  }
}

// Each stored value that the command line can override, and the stored name each
// switch is kept under.
TEST(HeadlessOptions, CommandLineOverridesEachStoredChoice) {
  app::StoredSettings stored;
  stored.Bitrate = 0;
  stored.Mono = false;
  stored.Spectr = true;
  stored.InvertOut = true;
  stored.InDeviceName = "stored_in";
  stored.OutDevice = 3;
  stored.StreamMode = 0;
  const auto asStored = headless::Resolve(stored, headless::ParseOptions({"--headless"}).options);
  EXPECT_EQ(asStored.rate, 192000);
  EXPECT_FALSE(asStored.switches.IQ);
  EXPECT_TRUE(asStored.switches.InvertSpectrum);
  EXPECT_TRUE(asStored.switches.EdgeFilter);
  EXPECT_EQ(asStored.input.name, "stored_in");
  EXPECT_EQ(asStored.output.name, "");
  EXPECT_EQ(asStored.output.id, 3);
  EXPECT_TRUE(asStored.stream) << "stream mode is the default without a window";

  const auto parsed = headless::ParseOptions(
      {"--rate=44100", "--iq", "--no-invert", "--no-edge-filter", "--input", "in", "--output=out", "--block"});
  ASSERT_EQ(parsed.error, "");
  const auto overridden = headless::Resolve(stored, parsed.options);
  EXPECT_EQ(overridden.rate, 44100);
  EXPECT_TRUE(overridden.switches.IQ);
  EXPECT_FALSE(overridden.switches.InvertSpectrum);
  EXPECT_FALSE(overridden.switches.EdgeFilter);
  EXPECT_EQ(overridden.input.name, "in");
  EXPECT_EQ(overridden.output.name, "out");
  EXPECT_FALSE(overridden.stream);

  for (const char* bad : {"--rate=12345", "--rate", "--colour", "--iq=1"})
    EXPECT_NE(headless::ParseOptions({bad}).error, "") << bad;
}

}  // namespace
