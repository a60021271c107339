// The whole program against a real sound server: the window records a 13000 Hz tone
// from the monitor of the input null sink at 48000 Hz, converts it and plays the I/Q
// into the output null sink; the output sink's monitor is recorded and analysed.
// Runs only when the test command has started the private headless server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <utility>
#include <vector>

#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "display/led_display.hpp"
#include "wave/wave.hpp"

namespace {

constexpr int kInputRate = 48000;
constexpr int kOutputRate = 24000;

bool serverAvailable() { return qEnvironmentVariableIsSet("TOVREL_AUDIO_SERVER"); }

// Keeps the window's event loop running for `ms` milliseconds (notices are posted events).
void runFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

template <class Pred>
bool runUntil(Pred done, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

// Entry of a real device (not the mapper at entry 0, which carries the default device's
// name) whose text is `name`, the server's description; -1 when there is none.
int entryNamed(QComboBox* box, const QString& name) {
  for (int i = 1; i < box->count(); ++i)
    if (box->itemText(i) == name) return i;
  return -1;
}

std::string itemsOf(QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items.join(" | ").toStdString();
}

int countLines(const QString& command, const QStringList& args) {
  QProcess p;
  p.start(command, args);
  p.waitForFinished(5000);
  return static_cast<int>(p.readAllStandardOutput().count('\n'));
}

// Power of the complex signal at `hz` over frames [first, first + n), Hann-weighted.
double powerAt(const std::vector<std::complex<double>>& x, size_t first, size_t n, double hz, double rate) {
  std::complex<double> acc = 0;
  const double w = -2.0 * std::numbers::pi * hz / rate;
  for (size_t k = 0; k < n; ++k) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
    acc += hann * x[first + k] * std::polar(1.0, w * static_cast<double>(k));
  }
  return std::norm(acc);
}

// Recorded stereo s16le frames as complex samples: left I, right Q.
std::vector<std::complex<double>> toIQ(const QByteArray& raw) {
  std::vector<std::complex<double>> iq(static_cast<size_t>(raw.size()) / 4);
  for (size_t m = 0; m < iq.size(); ++m) {
    int16_t lr[2];
    std::memcpy(lr, raw.constData() + 4 * m, 4);
    iq[m] = {static_cast<double>(lr[0]), static_cast<double>(lr[1])};
  }
  return iq;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!serverAvailable()) GTEST_SKIP() << "no headless sound server (run through the test command)";
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    app::setBoxPresenter([this](const app::BoxRequest& box) { boxes_.push_back(box); });
    form = std::make_unique<TMainForm>();
    form->show();
    QCoreApplication::processEvents();
  }

  void TearDown() override {
    if (form) {
      form->close();
      form.reset();
    }
    for (QProcess* p : {&player_, &recorder_}) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(2000);
      }
    }
    app::setBoxPresenter({});
  }

  // Picks the monitor of the input sink and the output sink, as a user would.
  void chooseDevices(const QString& output = "Tovrel-Output") {
    const int in = entryNamed(form->CbWaveInDevice, "Monitor of Tovrel-Input");
    const int out = entryNamed(form->CbWaveOutDevice, output);
    ASSERT_GT(in, 0) << "capture devices do not list the input sink's monitor: " << itemsOf(form->CbWaveInDevice);
    ASSERT_GT(out, 0) << "playback devices do not list the output sink: " << itemsOf(form->CbWaveOutDevice);
    form->CbWaveInDevice->setCurrentIndex(in);
    emit form->CbWaveInDevice->activated(in);
    form->CbWaveOutDevice->setCurrentIndex(out);
    emit form->CbWaveOutDevice->activated(out);
    const int rate = form->CbBitrate->findText(QString::number(kInputRate));
    form->CbBitrate->setCurrentIndex(rate);
    emit form->CbBitrate->activated(rate);
    ASSERT_EQ(form->Stream.CaptureFormat.nSamplesPerSec, static_cast<uint32_t>(kInputRate));
    // Conversion on, no output inversion (the first run's default inverts), no edge filter.
    form->cbIQ->setChecked(true);
    form->cbInvertSpectr->setChecked(false);
    form->cbInvertOut->setChecked(false);
  }

  // Plays the tones, each at `volume` of full scale, into the input sink.
  void playTones(const std::vector<double>& hz, double seconds, double volume) {
    const QString file = tmp_.filePath("tone.wav");
    QStringList args{"-n", "-q", "-r",    QString::number(kInputRate), "-c", "1", "-b",
                     "16", file, "synth", QString::number(seconds)};
    for (double f : hz) args << "sine" << QString::number(f);
    if (hz.size() > 1) args << "remix" << QString("1-%1").arg(hz.size());
    args << "vol" << QString::number(volume);
    ASSERT_EQ(QProcess::execute("sox", args), 0);
    player_.start("paplay", {"--device=tovrel_in", file});
    ASSERT_TRUE(player_.waitForStarted(3000));
  }
  void playTone(double hz, double seconds) { playTones({hz}, seconds, 0.5); }

  void startRecordingOutput(const QString& sink = "tovrel_out") {
    recorder_.start("parec", {"--device=" + sink + ".monitor", "--raw", "--format=s16le",
                              "--rate=" + QString::number(kOutputRate), "--channels=2", "--latency-msec=20"});
    ASSERT_TRUE(recorder_.waitForStarted(3000));
  }

  std::vector<std::complex<double>> stopRecordingOutput() {
    recorder_.terminate();
    recorder_.waitForFinished(3000);
    return toIQ(recorder_.readAllStandardOutput());
  }

  std::unique_ptr<TMainForm> form;
  std::vector<app::BoxRequest> boxes_;
  QProcess player_;
  QProcess recorder_;
  QTemporaryDir config_;
  QTemporaryDir tmp_;
};

// No sound server at all (none reachable at the address the client library is given):
// the window still opens, lists only the mapper, and each button tells the user why it
// cannot start, without hanging.
TEST(WithoutSoundServer, WindowOpensAndButtonsShowTheDriverText) {
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  qputenv("XDG_CONFIG_HOME", scratch.path().toUtf8());
  const bool hadServer = qEnvironmentVariableIsSet("PULSE_SERVER");
  const QByteArray server = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", ("unix:" + scratch.filePath("no-server")).toUtf8());
  std::vector<app::BoxRequest> boxes;
  app::setBoxPresenter([&](const app::BoxRequest& box) { boxes.push_back(box); });
  QElapsedTimer elapsed;
  elapsed.start();
  {
    TMainForm form;
    form.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(form.CbWaveInDevice->count(), 1);
    EXPECT_EQ(form.CbWaveInDevice->itemText(0), "Wave Mapper");
    ASSERT_EQ(form.CbWaveOutDevice->count(), 1);
    EXPECT_EQ(form.CbWaveOutDevice->itemText(0), "Wave Mapper");
    form.SBMic->click();
    form.SBDin->click();
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "no device driver present");
    EXPECT_EQ(boxes[1].text, "no device driver present");
    EXPECT_EQ(boxes[0].kind, app::BoxKind::Warning);
    EXPECT_FALSE(form.SBMic->isChecked());
    EXPECT_FALSE(form.SBDin->isChecked());
    EXPECT_EQ(form.CaptureHandle, nullptr);
    EXPECT_EQ(form.PlaybackHandle, nullptr);
  }
  EXPECT_LT(elapsed.elapsed(), 10000);
  app::setBoxPresenter({});
  if (hadServer)
    qputenv("PULSE_SERVER", server);
  else
    qunsetenv("PULSE_SERVER");
}

TEST_F(EndToEnd, ToneThroughTheNullSinksComesOutAsOneSidedIQ) {
  ASSERT_NO_FATAL_FAILURE(chooseDevices());
  ASSERT_NO_FATAL_FAILURE(playTone(13000, 25));
  runFor(300);
  const int streamsBefore =
      countLines("pactl", {"list", "short", "source-outputs"}) + countLines("pactl", {"list", "short", "sink-inputs"});

  form->SBMic->click();
  form->SBDin->click();
  ASSERT_TRUE(runUntil([&] { return form->CaptureOpen && form->PlaybackActive; }, 5000));
  ASSERT_TRUE(boxes_.empty()) << boxes_.front().text.toStdString();

  // Capture needs a block (0.68 s) and playback drains four silent buffers (2.7 s)
  // before converted blocks reach the output.
  runFor(4000);
  EXPECT_GT(form->LedInA->Position(), 10000);  // tone at half scale
  EXPECT_LT(form->LedInA->Position(), 20000);
  EXPECT_GT(form->LedOutA->Position(), 10000);
  EXPECT_GT(form->LedOutB->Position(), 10000);

  ASSERT_NO_FATAL_FAILURE(startRecordingOutput());
  runFor(3000);
  const auto iq = stopRecordingOutput();
  ASSERT_GT(iq.size(), static_cast<size_t>(kOutputRate));
  double loudest = 0;
  for (const auto& v : iq) loudest = std::max(loudest, std::abs(v));
  ASSERT_GT(loudest, 8000.0) << "the output sink's monitor carried no converted signal (" << iq.size() << " frames)";

  // Within one converted block the tone is clean; scan windows and take the best one
  // that holds the tone, so block joins and the recorder's start do not matter.
  constexpr size_t kWindow = 4096;
  double bestRatioDb = -1e9;
  double bestPeakHz = 0;
  for (size_t first = 0; first + kWindow <= iq.size(); first += 1024) {
    const double wanted = powerAt(iq, first, kWindow, +1000, kOutputRate);
    const double image = powerAt(iq, first, kWindow, -1000, kOutputRate);
    // Amplitude 16384 with Hann weights: about (16384 * 4096 / 2)^2.
    if (wanted < 1e12) continue;
    const double ratioDb = 10.0 * std::log10(wanted / std::max(image, 1e-9));
    if (ratioDb > bestRatioDb) {
      bestRatioDb = ratioDb;
      double best = 0;
      for (int hz = -11900; hz <= 11900; hz += 100) {
        const double p = powerAt(iq, first, kWindow, hz, kOutputRate);
        if (p > best) {
          best = p;
          bestPeakHz = hz;
        }
      }
    }
  }
  EXPECT_EQ(bestPeakHz, 1000.0) << "the 13000 Hz tone must come out at +1000 Hz";
  EXPECT_GE(bestRatioDb, 60.0) << "image at -1000 Hz not suppressed";

  // Stopping both buttons closes both streams on the server.
  form->SBMic->click();
  form->SBDin->click();
  ASSERT_TRUE(runUntil([&] { return !form->CaptureOpen && !form->PlaybackActive; }, 3000));
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  runFor(300);
  const int streamsAfter =
      countLines("pactl", {"list", "short", "source-outputs"}) + countLines("pactl", {"list", "short", "sink-inputs"});
  EXPECT_EQ(streamsAfter, streamsBefore);
  EXPECT_TRUE(boxes_.empty());
}

// A recorder of one monitor that notes when its first data arrived, so that two of them
// can be laid on one time line: sample k was recorded about (k - first) / rate after the
// first data arrived, `first` being the samples in that first arrival.
class TimedRecorder {
 public:
  TimedRecorder(const QElapsedTimer& clock, QString source, int rate, int channels)
      : clock_(clock), source_(std::move(source)), rate_(rate), channels_(channels) {
    // Every arrival bounds when the frames so far were recorded; the earliest one is the
    // least delayed by the pipe and the event loop (the first alone may be off by a fragment).
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
      const double now = static_cast<double>(clock_.nsecsElapsed()) / 1e6;
      const double frames = static_cast<double>(process_.bytesAvailable()) / (2.0 * channels_);
      offsetMs_ = std::min(offsetMs_, now - frames * 1000.0 / rate_);
    });
  }
  ~TimedRecorder() { stop(); }
  bool start() {
    process_.start("parec", {"--device=" + source_, "--raw", "--format=s16le", "--rate=" + QString::number(rate_),
                             "--channels=" + QString::number(channels_), "--latency-msec=10"});
    return process_.waitForStarted(3000);
  }
  bool hasData() const { return std::isfinite(offsetMs_); }
  void stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    process_.waitForFinished(3000);
    raw_ += process_.readAllStandardOutput();
  }
  // Peak magnitude per frame (the larger channel).
  std::vector<double> envelope() const {
    std::vector<double> e(static_cast<size_t>(raw_.size()) / (2 * static_cast<size_t>(channels_)));
    for (size_t m = 0; m < e.size(); ++m) {
      for (int c = 0; c < channels_; ++c) {
        int16_t v;
        std::memcpy(&v, raw_.constData() + 2 * (m * static_cast<size_t>(channels_) + static_cast<size_t>(c)), 2);
        e[m] = std::max(e[m], std::abs(static_cast<double>(v)));
      }
    }
    return e;
  }
  // Channel `channel` of frame m is samples()[m * channels + channel].
  std::vector<int16_t> samples() const {
    std::vector<int16_t> v(static_cast<size_t>(raw_.size()) / 2);
    std::memcpy(v.data(), raw_.constData(), 2 * v.size());
    return v;
  }
  const QByteArray& raw() const { return raw_; }
  // Milliseconds on the clock at which frame `frame` was recorded.
  double timeOfMs(size_t frame) const { return offsetMs_ + static_cast<double>(frame) * 1000.0 / rate_; }

 private:
  const QElapsedTimer& clock_;
  QString source_;
  int rate_;
  int channels_;
  QProcess process_;
  QByteArray raw_;
  double offsetMs_ = std::numeric_limits<double>::infinity();
};

// Both sinks' monitors recorded on one time line: the input's (mono) and the output's.
struct BothMonitors {
  BothMonitors() { clock.start(); }
  bool start() { return input.start() && output.start(); }
  void stop() {
    input.stop();
    output.stop();
  }
  QElapsedTimer clock;
  TimedRecorder input{clock, "tovrel_in.monitor", kInputRate, 1};
  TimedRecorder output{clock, "tovrel_out.monitor", kOutputRate, 2};
};

// Frames where the envelope rises over half its peak after at least `quiet` frames below it.
std::vector<size_t> onsets(const std::vector<double>& envelope, size_t quiet) {
  const double threshold = 0.5 * *std::max_element(envelope.begin(), envelope.end());
  std::vector<size_t> found;
  size_t below = 0;
  for (size_t m = 0; m < envelope.size(); ++m) {
    if (envelope[m] < threshold) {
      ++below;
      continue;
    }
    if (below >= quiet) found.push_back(m);
    below = 0;
  }
  return found;
}

// Stream mode: bursts played into the input sink reach the output sink's monitor within
// 150 ms, each measured from its onset at the input sink's monitor to its onset at the
// output's, both monitors recorded on one time line.
TEST_F(EndToEnd, StreamModeBurstReachesTheOutputWithin150ms) {
  ASSERT_NO_FATAL_FAILURE(chooseDevices());
  form->StreamModeAction->trigger();
  ASSERT_TRUE(form->streamMode());
  form->SBMic->click();
  form->SBDin->click();
  ASSERT_TRUE(runUntil([&] { return form->CaptureOpen && form->PlaybackActive; }, 5000));
  runFor(2000);  // the queue measures its level for about a second, then the stream starts

  BothMonitors monitors;
  TimedRecorder& input = monitors.input;
  TimedRecorder& output = monitors.output;
  ASSERT_TRUE(monitors.start());
  ASSERT_TRUE(runUntil([&] { return input.hasData() && output.hasData(); }, 3000));

  // Five 13000 Hz bursts of 60 ms, one a second.
  const QString file = tmp_.filePath("bursts.wav");
  QStringList args{"-n",    "-q",    "-r",     QString::number(kInputRate),
                   "-c",    "1",     "-b",     "16",
                   file,    "synth", "0.06",   "sine",
                   "13000", "vol",   "0.5",    "pad",
                   "0.5",   "0.44",  "repeat", "4"};
  ASSERT_EQ(QProcess::execute("sox", args), 0);
  player_.start("paplay", {"--device=tovrel_in", file});
  ASSERT_TRUE(player_.waitForStarted(3000));
  runFor(6500);
  monitors.stop();

  const std::vector<size_t> in = onsets(input.envelope(), kInputRate / 4);
  const std::vector<size_t> out = onsets(output.envelope(), kOutputRate / 4);
  ASSERT_EQ(in.size(), 5u);
  ASSERT_EQ(out.size(), 5u);
  std::vector<double> latencies;
  for (size_t i = 0; i < in.size(); ++i) latencies.push_back(output.timeOfMs(out[i]) - input.timeOfMs(in[i]));
  std::sort(latencies.begin(), latencies.end());
  std::cout << "stream mode latency at 48000 Hz (ms):";
  for (double ms : latencies) std::cout << ' ' << ms;
  const live::LiveEngine& engine = *form->liveEngine();
  std::cout << "; underruns " << engine.underruns() << ", overflows " << engine.overflows() << "; queue level "
            << 1000.0 * engine.queueSeconds() << " ms (target " << 1000.0 * engine.targetSeconds() << " ms)"
            << (engine.realTime() ? ", real-time thread" : "") << std::endl;
  EXPECT_LE(latencies[2], 150.0);
  EXPECT_GT(latencies[0], 0.0);
  EXPECT_TRUE(boxes_.empty());
}

// Milliseconds (on the recorder's clock) where a recorded real tone of `hz` stumbles: in
// 1 ms steps that hold whole cycles of its image, its phase moves by the same step each
// millisecond and its amplitude holds, unless the stream broke.
std::vector<double> toneStumbles(const TimedRecorder& recorder, int rate, double hz) {
  const std::vector<int16_t> x = recorder.samples();
  const size_t step = static_cast<size_t>(rate) / 1000;
  std::vector<std::complex<double>> ms(x.size() / step);
  for (size_t m = 0; m < ms.size(); ++m)
    for (size_t k = m * step; k < (m + 1) * step; ++k)
      ms[m] +=
          static_cast<double>(x[k]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(k) / rate);
  const double turn = 2.0 * std::numbers::pi * hz / 1000.0;
  std::vector<double> found;
  for (size_t m = 1; m < ms.size(); ++m) {
    const double slip = std::remainder(std::arg(ms[m] / ms[m - 1]) + turn, 2.0 * std::numbers::pi);
    if (std::abs(slip) > 0.05 || std::abs(ms[m]) < 0.5 * std::abs(ms[m - 1]))
      found.push_back(recorder.timeOfMs(m * step));
  }
  return found;
}

// Stream mode carries a steady tone without a seam: over 20 s of the output sink's monitor
// the 13000 Hz input tone is an unbroken +1000 Hz complex tone (a phase jump, a repeated or
// skipped stretch would break one of its quarter seconds), all else 80 dB below it. The
// input sink's monitor is recorded on the same time line: a quarter second during which the
// server broke the input stream too (a whole-graph stall of a busy server) says nothing of
// the program and is left out, as long as most of them are judged.
TEST_F(EndToEnd, StreamModeCarriesASteadyToneWithoutASeam) {
  ASSERT_NO_FATAL_FAILURE(chooseDevices());
  form->StreamModeAction->trigger();
  ASSERT_NO_FATAL_FAILURE(playTone(13000, 30));
  form->SBMic->click();
  form->SBDin->click();
  ASSERT_TRUE(runUntil([&] { return form->CaptureOpen && form->PlaybackActive; }, 5000));
  runFor(2500);
  BothMonitors monitors;
  TimedRecorder& input = monitors.input;
  TimedRecorder& output = monitors.output;
  ASSERT_TRUE(monitors.start());
  runFor(21000);
  monitors.stop();
  const std::vector<std::complex<double>> iq = toIQ(output.raw());
  ASSERT_GT(iq.size(), static_cast<size_t>(20 * kOutputRate));
  const std::vector<double> inputStumbles = toneStumbles(input, kInputRate, 13000);
  int excused = 0;
  int judged = 0;

  // The recording's first half second (the recorder's start) is left out. In each quarter
  // second the tone, shifted down by 1000 Hz, keeps its amplitude and a phase that moves
  // smoothly (a parabola: the queue may move the ratio by a few ppm while it follows the
  // sinks' clocks); the rest is what the output adds to it.
  const size_t window = kOutputRate / 4;
  double worstDb = 1e9;
  double smallest = 1e9;
  std::vector<std::complex<double>> z(window);
  std::vector<double> phase(window);
  for (size_t first = kOutputRate / 2; first + window <= 20 * static_cast<size_t>(kOutputRate); first += window) {
    const double w = -2.0 * std::numbers::pi * 1000.0 / kOutputRate;
    double amplitude = 0;
    for (size_t k = 0; k < window; ++k) {
      z[k] = iq[first + k] * std::polar(1.0, w * static_cast<double>(k));
      amplitude += std::abs(z[k]) / static_cast<double>(window);
      phase[k] = std::arg(z[k]);
      if (k > 0) phase[k] = phase[k - 1] + std::remainder(phase[k] - phase[k - 1], 2.0 * std::numbers::pi);
    }
    // Least squares of the phase against 1, x, x^2 (x from -1 to 1).
    double m[3][4] = {};
    for (size_t k = 0; k < window; ++k) {
      const double x = 2.0 * static_cast<double>(k) / static_cast<double>(window - 1) - 1.0;
      const double b[3] = {1.0, x, x * x};
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
        m[r][3] += b[r] * phase[k];
      }
    }
    for (int p = 0; p < 3; ++p)
      for (int r = 0; r < 3; ++r)
        if (r != p) {
          const double f = m[r][p] / m[p][p];
          for (int c = 0; c < 4; ++c) m[r][c] -= f * m[p][c];
        }
    double residual = 0;
    for (size_t k = 0; k < window; ++k) {
      const double x = 2.0 * static_cast<double>(k) / static_cast<double>(window - 1) - 1.0;
      const double fitted = m[0][3] / m[0][0] + m[1][3] / m[1][1] * x + m[2][3] / m[2][2] * x * x;
      residual += std::norm(z[k] - std::polar(amplitude, fitted)) / static_cast<double>(window);
    }
    const double db = 10.0 * std::log10(amplitude * amplitude / std::max(residual, 1e-12));
    // The input this window carries passed the input monitor up to 200 ms before it.
    const double from = output.timeOfMs(first) - 200.0, to = output.timeOfMs(first + window) + 20.0;
    if ((db < 80.0 || amplitude < 16000.0) &&
        std::any_of(inputStumbles.begin(), inputStumbles.end(), [&](double ms) { return ms >= from && ms <= to; })) {
      ++excused;
      continue;
    }
    ++judged;
    worstDb = std::min(worstDb, db);
    smallest = std::min(smallest, amplitude);
  }
  std::cout << "stream mode tone over 20 s: smallest amplitude " << smallest << ", worst SNR " << worstDb
            << " dB per quarter second; breaks " << form->liveEngine()->breaks() << " (underruns "
            << form->liveEngine()->underruns() << ", overflows " << form->liveEngine()->overflows() << ", restarts "
            << form->liveEngine()->restarts() << "), ratio " << form->liveEngine()->ratio() << ", clocks "
            << form->liveEngine()->clockRatio() << "; " << excused << " quarter seconds left out, the input broken too"
            << std::endl;
  EXPECT_GE(judged, 40) << "the server broke the input too often to judge";
  EXPECT_GT(smallest, 16000.0);  // half of full scale in, the same out
  EXPECT_GE(worstDb, 80.0);
  EXPECT_EQ(form->liveEngine()->breaks(), 0u);
  EXPECT_TRUE(boxes_.empty());
}

// A private server of the same kind as the shared one (pulseaudio or pipewire), for a
// test about the server's configuration: files in `config` (paths under the server's
// XDG_CONFIG_HOME) are in place before it starts. Clients of this process use it while it
// lives.
class PrivateServer {
 public:
  ~PrivateServer() { stop(); }

  bool start(const std::vector<std::pair<QString, QByteArray>>& config) {
    if (!dir_.isValid()) return false;
    for (const auto& [path, text] : config) {
      const QString file = dir_.filePath("config/" + path);
      QDir().mkpath(QFileInfo(file).path());
      QFile f(file);
      if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return false;
    }
    QProcess script;
    script.start("bash", {QString(TOVREL_SOURCE_TREE) + "/scripts/audio-server", "start", dir_.path()});
    if (!script.waitForFinished(30000) || script.exitCode() != 0) return false;
    started_ = true;
    // One line: export NAME=value NAME=value ...
    for (const QString& word : QString::fromUtf8(script.readAllStandardOutput()).simplified().split(' ')) {
      const qsizetype eq = word.indexOf('=');
      if (eq <= 0) continue;
      const QByteArray name = word.left(eq).toUtf8();
      saved_.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
      qputenv(name, word.mid(eq + 1).toUtf8());
    }
    return qEnvironmentVariableIsSet("PULSE_SERVER");
  }

  void stop() {
    if (started_)
      QProcess::execute("bash", {QString(TOVREL_SOURCE_TREE) + "/scripts/audio-server", "stop", dir_.path()});
    started_ = false;
    for (const auto& [name, value] : saved_) {
      if (value)
        qputenv(name, *value);
      else
        qunsetenv(name);
    }
    saved_.clear();
  }

 private:
  QTemporaryDir dir_;
  bool started_ = false;
  std::vector<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};

// The virtual cable made exactly as the README says, on a server that is stock apart from
// the README's drop-ins: the resampler quality for PulseAudio clients (read by PipeWire's
// PulseAudio server, ignored by PulseAudio) and, for PipeWire's own cable, its definition.
struct Recipe {
  const char* name;
  bool pipewireOnly;
  bool loadWithPactl;  // else the cable comes from the server's configuration
};
void PrintTo(const Recipe& recipe, std::ostream* os) { *os << recipe.name; }
constexpr const char* kPulseClientQuality = "stream.properties = { resample.quality = 14 }\n";
constexpr const char* kPipeWireCable =
    "context.objects = [\n"
    "  { factory = adapter\n"
    "    args = { factory.name = support.null-audio-sink node.name = iq_cable node.description = IQ-Cable\n"
    "             media.class = Audio/Sink audio.rate = 24000 audio.position = [ FL FR ] object.linger = true } }\n"
    "]\n";

class CableRecipe : public EndToEnd, public ::testing::WithParamInterface<Recipe> {
 protected:
  void SetUp() override {
    if (!serverAvailable()) GTEST_SKIP() << "no headless sound server (run through the test command)";
    const bool pipewire = qgetenv("TOVREL_AUDIO_SERVER") == "pipewire";
    if (GetParam().pipewireOnly && !pipewire) GTEST_SKIP() << "a PipeWire cable";
    std::vector<std::pair<QString, QByteArray>> config{
        {"pipewire/pipewire-pulse.conf.d/iq-cable.conf", kPulseClientQuality}};
    if (!GetParam().loadWithPactl) config.emplace_back("pipewire/pipewire.conf.d/iq-cable.conf", kPipeWireCable);
    ASSERT_TRUE(server_.start(config)) << "could not start a private sound server";
    if (GetParam().loadWithPactl) {
      QProcess pactl;
      pactl.start("pactl", {"load-module", "module-null-sink", "sink_name=iq_cable", "rate=24000", "channels=2",
                            "sink_properties=device.description=IQ-Cable"});
      ASSERT_TRUE(pactl.waitForFinished(5000));
      ASSERT_EQ(pactl.exitCode(), 0) << pactl.readAllStandardError().toStdString();
    }
    EndToEnd::SetUp();
  }
  void TearDown() override {
    EndToEnd::TearDown();
    server_.stop();
  }
  PrivateServer server_;
};

INSTANTIATE_TEST_SUITE_P(Cables, CableRecipe,
                         ::testing::Values(Recipe{"Pactl", false, true}, Recipe{"PipeWireConfig", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(CableRecipe, RecorderOnTheCableGetsTheWholeBand) {
  ASSERT_NO_FATAL_FAILURE(chooseDevices("IQ-Cable"));
  ASSERT_NO_FATAL_FAILURE(playTones({13000, 23280}, 25, 0.25));
  form->SBMic->click();
  form->SBDin->click();
  ASSERT_TRUE(runUntil([&] { return form->CaptureOpen && form->PlaybackActive; }, 5000));
  ASSERT_TRUE(boxes_.empty()) << boxes_.front().text.toStdString();
  runFor(4000);
  ASSERT_NO_FATAL_FAILURE(startRecordingOutput("iq_cable"));
  runFor(3000);
  const auto iq = stopRecordingOutput();
  ASSERT_GT(iq.size(), static_cast<size_t>(kOutputRate));

  // The window where the edge tone stands clearest (block joins and the recorder's start
  // smear a window that straddles them).
  constexpr size_t kWindow = 4096;
  double edgeDb = 0, midDb = 0, imageDb = 0, best = -1e9;
  for (size_t first = 0; first + kWindow <= iq.size(); first += 1024) {
    const double mid = powerAt(iq, first, kWindow, +1000, kOutputRate);
    const double edge = powerAt(iq, first, kWindow, +11280, kOutputRate);
    const double image = std::max(
        {powerAt(iq, first, kWindow, -11280, kOutputRate), powerAt(iq, first, kWindow, -1000, kOutputRate), 1e-9});
    // Amplitude 8192 with Hann weights: about (8192 * 4096 / 2)^2.
    if (mid < 1e13) continue;
    const double clear = 10.0 * std::log10(edge / image);
    if (clear > best) {
      best = clear;
      edgeDb = 10.0 * std::log10(edge);
      midDb = 10.0 * std::log10(mid);
      imageDb = 10.0 * std::log10(image);
    }
  }
  ASSERT_GT(best, -1e9) << "the cable's monitor carried no converted mid-band tone";
  const std::string figures = "edge " + std::to_string(edgeDb - midDb) + " dB from mid-band, image " +
                              std::to_string(imageDb - edgeDb) + " dB from the edge tone";
  RecordProperty("figures", figures);
  std::cout << "[ figures  ] " << qgetenv("TOVREL_AUDIO_SERVER").toStdString() << ", " << GetParam().name << ": "
            << figures << "\n";
  EXPECT_NEAR(edgeDb, midDb, 1.0) << figures;
  EXPECT_LE(imageDb, edgeDb - 60.0) << figures;
}

// Not a check: with TOVREL_SCREENSHOT set (scripts/screenshot), plays a repeated sweep
// through the window for a while and saves a picture of the running window.
TEST_F(EndToEnd, Screenshot) {
  const QString path = qEnvironmentVariable("TOVREL_SCREENSHOT");
  if (path.isEmpty()) GTEST_SKIP() << "TOVREL_SCREENSHOT not set";
  const int seconds = qEnvironmentVariableIntValue("TOVREL_SCREENSHOT_SECONDS") > 0
                          ? qEnvironmentVariableIntValue("TOVREL_SCREENSHOT_SECONDS")
                          : 60;
  ASSERT_NO_FATAL_FAILURE(chooseDevices());
  const QString file = tmp_.filePath("sweep.wav");
  ASSERT_EQ(QProcess::execute("sox", {"-n", "-q", "-r", QString::number(kInputRate), "-c", "1", "-b", "16", file,
                                      "synth", "20", "sine", "200:23000", "vol", "0.7", "repeat", "9"}),
            0);
  player_.start("paplay", {"--device=tovrel_in", file});
  ASSERT_TRUE(player_.waitForStarted(3000));
  // TOVREL_SCREENSHOT_STREAM=1: the window in stream mode, its engine running.
  if (qEnvironmentVariableIntValue("TOVREL_SCREENSHOT_STREAM") == 1) form->StreamModeAction->trigger();
  form->SBMic->click();
  form->SBDin->click();
  runFor(seconds * 1000);
  ASSERT_TRUE(form->grab().save(path));
}

}  // namespace
