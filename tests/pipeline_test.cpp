// The capture and playback pipeline of the main window, driven through the scripted wave
// back end: the calls and their arguments, the four flags through every notice, each
// failure's box, the click rules, the reset of the controls and the meters.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "display/led_display.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_converter.hpp"
#include "wave/scripted_backend.hpp"
#include "window_test_support.hpp"

namespace {

using wave::ScriptedBackend;
using Sample = dsp::Sample;

constexpr uint32_t kFlags = 0x00010004;
constexpr uint32_t kBufferBytes = 65536;

bool allZero(const std::vector<Sample>& v) {
  return std::all_of(v.begin(), v.end(), [](Sample s) { return s == 0; });
}

std::vector<Sample> ramp(size_t n, int start) {
  std::vector<Sample> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<Sample>((start + static_cast<int>(i) * 7) % 20000 - 10000);
  return v;
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    useScriptedDevices(audio, {"Line In", "Microphone", "Monitor of Speakers"}, {"Speakers", "Virtual Cable"});
    app::setBoxPresenter([this](const app::BoxRequest& box) {
      boxes.push_back(box);
      // A real box runs its own event loop: whatever the test queued for it happens now,
      // while the handler that showed the box is still waiting for it to close.
      if (inBox) std::exchange(inBox, nullptr)();
    });
    form = std::make_unique<TMainForm>();
    form->ScreenArea = [] { return QRect(0, 0, 1920, 1080); };
    form->show();
    drain();
    // Plain pass-through unless a test switches conversion on.
    form->cbIQ->setChecked(false);
    form->cbInvertSpectr->setChecked(false);
    form->cbInvertOut->setChecked(false);
    audio.clearCalls();
    ASSERT_TRUE(boxes.empty());
  }

  void TearDown() override {
    form.reset();
    drain();
    app::setBoxPresenter({});
    wave::setBackend(nullptr);
  }

  void chooseCapture(int entry) {
    form->CbWaveInDevice->setCurrentIndex(entry);
    emit form->CbWaveInDevice->activated(entry);
  }
  void choosePlaybackDevice(int entry) {
    form->CbWaveOutDevice->setCurrentIndex(entry);
    emit form->CbWaveOutDevice->activated(entry);
  }

  // Capture started and its open notice handled.
  void startCapture() {
    form->SBMic->click();
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Capture));
    drain();
    ASSERT_TRUE(form->CaptureOpen);
  }
  void startPlayback() {
    form->SBDin->click();
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Playback));
    drain();
    ASSERT_TRUE(form->PlaybackActive);
  }

  std::vector<QString> boxTexts() const {
    std::vector<QString> texts;
    for (const auto& b : boxes) texts.push_back(b.text);
    return texts;
  }

  ScriptedBackend audio;
  std::vector<app::BoxRequest> boxes;
  // Runs inside the next box shown (once), as notices handled by the box's nested loop.
  std::function<void()> inBox;
  std::unique_ptr<TMainForm> form;

 private:
  QTemporaryDir config_;
};

// ---------------------------------------------------------------------------------------
// Capture start and stop

TEST_F(PipelineTest, CaptureStartOpensTheMapperAndQueuesFourFilledHeaders) {
  chooseCapture(0);  // the mapper entry
  ASSERT_EQ(form->InDeviceId, -1);
  form->SBMic->click();

  const std::vector<std::string> expected = {
      "waveInOpen",          "waveInPrepareHeader", "waveInAddBuffer",     "waveInPrepareHeader", "waveInAddBuffer",
      "waveInPrepareHeader", "waveInAddBuffer",     "waveInPrepareHeader", "waveInAddBuffer",     "waveInStart"};
  EXPECT_EQ(audio.callNames(), expected);

  const auto open = audio.callsNamed("waveInOpen").at(0);
  EXPECT_EQ(open.deviceId, -1);
  EXPECT_EQ(open.flags, kFlags);
  EXPECT_EQ(open.instance, 0u);
  EXPECT_NE(open.target, nullptr);
  ASSERT_TRUE(open.hasFormat);
  EXPECT_EQ(open.format.wFormatTag, 1);
  EXPECT_EQ(open.format.nChannels, 1);
  EXPECT_EQ(open.format.nSamplesPerSec, 48000u);
  EXPECT_EQ(open.format.wBitsPerSample, 16);
  EXPECT_EQ(open.handle, form->CaptureHandle);

  const auto prepares = audio.callsNamed("waveInPrepareHeader");
  const auto adds = audio.callsNamed("waveInAddBuffer");
  ASSERT_EQ(prepares.size(), 4u);
  ASSERT_EQ(adds.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(prepares[i].header, &form->CaptureHeaders[i]);
    EXPECT_EQ(prepares[i].data, reinterpret_cast<char*>(form->Stream.CaptureBuffers[i].data()));
    EXPECT_EQ(prepares[i].bufferLength, kBufferBytes);
    EXPECT_EQ(prepares[i].size, wave::kWaveHdrSize);
    EXPECT_EQ(adds[i].header, &form->CaptureHeaders[i]);
    EXPECT_EQ(adds[i].size, wave::kWaveHdrSize);
    EXPECT_EQ(form->CaptureHeaders[i].dwUser, 0u);
    EXPECT_EQ(form->CaptureHeaders[i].dwLoops, 0u);
    EXPECT_EQ(form->CaptureHeaders[i].lpNext, nullptr);
  }
  EXPECT_TRUE(audio.isStarted(form->CaptureHandle));
  EXPECT_TRUE(form->SBMic->isChecked());
  EXPECT_FALSE(form->CaptureStopping);
  // The open notice, not the click, marks capture open.
  EXPECT_FALSE(form->CaptureOpen);
  audio.deliverOpen(wave::Direction::Capture);
  drain();
  EXPECT_TRUE(form->CaptureOpen);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(PipelineTest, CaptureOpensTheChosenDevice) {
  chooseCapture(3);
  form->SBMic->click();
  EXPECT_EQ(audio.callsNamed("waveInOpen").at(0).deviceId, 2);
}

TEST_F(PipelineTest, CaptureStopResetsClosesAndIgnoresTheReturnedBuffers) {
  startCapture();
  const wave::HWAVEIN handle = form->CaptureHandle;
  audio.clearCalls();
  // Leftovers in the buffers that the reset hands back must not reach WorkBuffer.
  for (auto& buffer : form->Stream.CaptureBuffers) std::fill(buffer.begin(), buffer.end(), Sample{999});
  form->SBMic->click();
  EXPECT_EQ(audio.callNames(), (std::vector<std::string>{"waveInReset", "waveInClose"}));
  EXPECT_EQ(audio.callsNamed("waveInReset").at(0).handle, handle);
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_TRUE(form->CaptureStopping);
  EXPECT_TRUE(form->CaptureOpen);  // until the close notice

  EXPECT_EQ(audio.handBackLastReset(wave::Direction::Capture), 4u);
  drain();
  EXPECT_TRUE(allZero(form->Stream.WorkBuffer));
  EXPECT_EQ(audio.countCalls("waveInAddBuffer"), 0u);  // nothing queued again
  EXPECT_EQ(form->LedInA->Position(), 0);

  audio.deliverClose(wave::Direction::Capture);
  drain();
  EXPECT_FALSE(form->CaptureOpen);
  EXPECT_FALSE(form->CaptureStopping);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(PipelineTest, DataNoticeCopiesTheRecordedBytesProcessesThenRequeues) {
  startCapture();
  audio.clearCalls();
  // The device filled only 1000 bytes; the rest of the buffer holds older samples.
  std::fill(form->Stream.CaptureBuffers[0].begin(), form->Stream.CaptureBuffers[0].end(), Sample{4321});
  const std::vector<Sample> block = ramp(500, 3);
  wave::WAVEHDR* header = audio.deliverData(block.data(), 1000);
  ASSERT_EQ(header, &form->CaptureHeaders[0]);
  drain();

  const auto& work = form->Stream.WorkBuffer;
  EXPECT_TRUE(std::equal(block.begin(), block.end(), work.begin()));
  EXPECT_TRUE(std::all_of(work.begin() + 500, work.end(), [](Sample s) { return s == 0; }));
  // ProcessBlock ran: the meter shows the block's peak.
  int peak = 0;
  for (Sample s : block) peak = std::max(peak, std::abs(int{s}));
  EXPECT_EQ(form->LedInA->Position(), peak);
  // Then the same header went back to the device, unchanged and still prepared.
  const auto adds = audio.callsNamed("waveInAddBuffer");
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(adds[0].header, header);
  EXPECT_EQ(adds[0].data, reinterpret_cast<char*>(form->Stream.CaptureBuffers[0].data()));
  EXPECT_EQ(adds[0].bufferLength, kBufferBytes);
  EXPECT_EQ(audio.queued(wave::Direction::Capture).back(), header);
}

TEST_F(PipelineTest, ConvertedBlocksReachTheNextPlayedBuffer) {
  startCapture();
  startPlayback();
  form->cbIQ->setChecked(true);
  // A tone at a quarter of the rate converts to an almost constant frame.
  std::vector<Sample> tone(32768);
  for (size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<Sample>(std::lround(10000.0 * std::cos(M_PI / 2 * n)));
  audio.deliverData(tone.data(), kBufferBytes);
  drain();
  const std::vector<Sample> converted = form->Stream.WorkBuffer;
  EXPECT_NE(converted, tone);
  // Away from the ends of the block, left = -A sin 0 = 0 and right = A cos 0 = A.
  EXPECT_NEAR(converted[2 * 8000], 0, 2);
  EXPECT_NEAR(converted[2 * 8000 + 1], 10000, 2);

  wave::WAVEHDR* played = audio.deliverDone();
  ASSERT_NE(played, nullptr);
  drain();
  EXPECT_EQ(std::memcmp(played->lpData, converted.data(), kBufferBytes), 0);
}

// ---------------------------------------------------------------------------------------
// Capture failures

TEST_F(PipelineTest, FailedCaptureOpenShowsTheWarningAndRaisesTheButton) {
  audio.failNext("waveInOpen", wave::MMSYSERR_BADDEVICEID);
  form->SBMic->click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, app::BoxKind::Warning);
  EXPECT_EQ(boxes[0].caption, "Warning");
  EXPECT_EQ(boxes[0].text, "device ID out of range");
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_TRUE(form->CbWaveInDevice->isEnabled());
  EXPECT_FALSE(form->CbBitrate->isEnabled());  // as the reset left it, button down then
  EXPECT_FALSE(form->CaptureOpen);
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_EQ(form->LastWaveResult, wave::MMSYSERR_BADDEVICEID);
  EXPECT_EQ(audio.callNames(), std::vector<std::string>{"waveInOpen"});

  // The next click tries again.
  form->SBMic->click();
  EXPECT_EQ(audio.countCalls("waveInOpen"), 2u);
  EXPECT_NE(form->CaptureHandle, nullptr);
  EXPECT_TRUE(form->CbBitrate->isEnabled() == false);
}

TEST_F(PipelineTest, PrepareAddAndStartFailuresAreEachBoxedAndTheLoopGoesOn) {
  audio.failNext("waveInPrepareHeader", wave::MMSYSERR_NOMEM);   // header 0
  audio.failNext("waveInAddBuffer", wave::MMSYSERR_INVALPARAM);  // header 0 (unprepared anyway)
  audio.failNext("waveInAddBuffer", wave::MMSYSERR_ERROR);       // header 1
  audio.failNext("waveInStart", wave::MMSYSERR_ALLOCATED);
  form->SBMic->click();
  EXPECT_EQ(audio.countCalls("waveInPrepareHeader"), 4u);
  EXPECT_EQ(audio.countCalls("waveInAddBuffer"), 4u);
  EXPECT_EQ(audio.countCalls("waveInStart"), 1u);
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"memory allocation error", "invalid parameter passed",
                                              "unspecified error", "device already allocated"}));
  for (const auto& b : boxes) EXPECT_EQ(b.caption, "Warning");
  EXPECT_TRUE(form->SBMic->isChecked());
  EXPECT_EQ(form->LastWaveResult, wave::MMSYSERR_ALLOCATED);
}

TEST_F(PipelineTest, FailedRequeueIsBoxedEachTime) {
  startCapture();
  audio.failNext("waveInAddBuffer", wave::MMSYSERR_INVALHANDLE);
  audio.deliverData(kBufferBytes);
  drain();
  EXPECT_EQ(boxTexts(), std::vector<QString>{"device handle is invalid"});
  EXPECT_EQ(audio.queued(wave::Direction::Capture).size(), 3u);  // that buffer is out of circulation
}

// ---------------------------------------------------------------------------------------
// Playback

TEST_F(PipelineTest, PlaybackOpenPrimesFourSilentBuffers) {
  chooseCapture(0);
  chooseCapture(1);
  chooseCapture(0);
  form->CbWaveOutDevice->setCurrentIndex(2);
  emit form->CbWaveOutDevice->activated(2);
  form->SBDin->click();
  ASSERT_EQ(audio.callNames(), std::vector<std::string>{"waveOutOpen"});
  const auto open = audio.callsNamed("waveOutOpen").at(0);
  EXPECT_EQ(open.deviceId, 1);
  EXPECT_EQ(open.flags, kFlags);
  EXPECT_EQ(open.instance, 0u);
  EXPECT_EQ(open.format.nChannels, 2);
  EXPECT_EQ(open.format.nSamplesPerSec, 24000u);
  EXPECT_EQ(open.format.nBlockAlign, 4);
  EXPECT_FALSE(form->PlaybackActive);
  EXPECT_FALSE(form->PlaybackStopping);

  for (auto& buffer : form->Stream.PlaybackBuffers) std::fill(buffer.begin(), buffer.end(), Sample{77});
  audio.clearCalls();
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  const std::vector<std::string> expected = {"waveOutPrepareHeader", "waveOutPrepareHeader", "waveOutPrepareHeader",
                                             "waveOutPrepareHeader", "waveOutWrite",         "waveOutWrite",
                                             "waveOutWrite",         "waveOutWrite"};
  EXPECT_EQ(audio.callNames(), expected);
  const auto writes = audio.callsNamed("waveOutWrite");
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(writes[i].header, &form->PlaybackHeaders[i]);
    EXPECT_EQ(writes[i].data, reinterpret_cast<char*>(form->Stream.PlaybackBuffers[i].data()));
    EXPECT_EQ(writes[i].bufferLength, kBufferBytes);
    EXPECT_EQ(writes[i].size, wave::kWaveHdrSize);
    EXPECT_TRUE(allZero(form->Stream.PlaybackBuffers[i]));
  }
  EXPECT_TRUE(form->PlaybackActive);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(PipelineTest, DoneNoticeRefillsFromWorkBufferUntilStopped) {
  startPlayback();
  audio.clearCalls();
  const std::vector<Sample> block = ramp(32768, 11);
  form->Stream.WorkBuffer = block;
  wave::WAVEHDR* played = audio.deliverDone();
  drain();
  ASSERT_NE(played, nullptr);
  EXPECT_EQ(std::memcmp(played->lpData, block.data(), kBufferBytes), 0);
  const auto writes = audio.callsNamed("waveOutWrite");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].header, played);
  EXPECT_EQ(audio.queued(wave::Direction::Playback).back(), played);

  // Stop: reset and close; the returned buffers are neither refilled nor written.
  audio.clearCalls();
  form->SBDin->click();
  EXPECT_EQ(audio.callNames(), (std::vector<std::string>{"waveOutReset", "waveOutClose"}));
  EXPECT_TRUE(form->PlaybackStopping);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  EXPECT_TRUE(allZero(form->Stream.WorkBuffer));  // the click cleared it
  form->Stream.WorkBuffer = block;
  for (auto& buffer : form->Stream.PlaybackBuffers) std::fill(buffer.begin(), buffer.end(), Sample{5});
  EXPECT_EQ(audio.handBackLastReset(wave::Direction::Playback), 4u);
  drain();
  EXPECT_EQ(audio.countCalls("waveOutWrite"), 0u);
  for (auto& buffer : form->Stream.PlaybackBuffers)
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](Sample s) { return s == 5; }));
  audio.deliverClose(wave::Direction::Playback);
  drain();
  EXPECT_FALSE(form->PlaybackActive);
  EXPECT_FALSE(form->PlaybackStopping);
}

TEST_F(PipelineTest, PlaybackFailuresShowTheirErrorBoxes) {
  form->SBDin->click();
  audio.failNext("waveOutPrepareHeader", wave::MMSYSERR_NOMEM);  // header 0; its write then fails too
  audio.failNext("waveOutWrite", wave::MMSYSERR_ERROR);          // header 0's write
  audio.failNext("waveOutWrite", wave::MMSYSERR_ERROR);          // header 1's write
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"WaveOutPrepareHeader", "WaveOutWrite", "WaveOutWrite"}));
  for (const auto& b : boxes) {
    EXPECT_EQ(b.kind, app::BoxKind::Error);
    EXPECT_EQ(b.caption, "Error");
  }
  EXPECT_TRUE(form->PlaybackActive);  // three headers prepared fine
  boxes.clear();

  audio.failNext("waveOutWrite", wave::MMSYSERR_INVALHANDLE);
  ASSERT_NE(audio.deliverDone(), nullptr);
  drain();
  EXPECT_EQ(boxTexts(), std::vector<QString>{"WaveOutWrite."});
}

TEST_F(PipelineTest, FailedPlaybackOpenRaisesTheButton) {
  audio.failNext("waveOutOpen", wave::WAVERR_BADFORMAT);
  form->SBDin->click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Warning");
  EXPECT_EQ(boxes[0].text, "unsupported wave format");
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_TRUE(form->CbWaveOutDevice->isEnabled());
  EXPECT_FALSE(form->PlaybackActive);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
}

TEST_F(PipelineTest, PlaybackWithAllHeadersUnpreparedCanStillBeStopped) {
  form->SBDin->click();
  audio.failAlways("waveOutPrepareHeader", wave::MMSYSERR_NOMEM);
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  EXPECT_FALSE(form->PlaybackActive);
  EXPECT_EQ(boxes.size(), 8u);
  audio.clearResults();
  form->SBDin->click();
  EXPECT_EQ(audio.countCalls("waveOutClose"), 1u);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
}

// ---------------------------------------------------------------------------------------
// Click rules

TEST_F(PipelineTest, AClickOnTheIdOnePastTheLastDeviceShowsTheFailureAndRaisesTheButton) {
  form->InDeviceId = 3;  // three capture devices: id 3 is one past the last
  form->OutDeviceId = 2;
  form->SBMic->click();
  form->SBDin->click();
  EXPECT_EQ(audio.callsNamed("waveInOpen").at(0).deviceId, 3);
  EXPECT_EQ(audio.callsNamed("waveOutOpen").at(0).deviceId, 2);
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  EXPECT_TRUE(form->CbWaveInDevice->isEnabled());
  EXPECT_TRUE(form->CbWaveOutDevice->isEnabled());
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"device ID out of range", "device ID out of range"}));
}

TEST_F(PipelineTest, ClicksWhileCaptureOpenOrClosePendsAreRefused) {
  form->SBMic->click();  // open asked for, notice not yet handled
  const wave::HWAVEIN first = form->CaptureHandle;
  ASSERT_NE(first, nullptr);
  form->Stream.WorkBuffer.assign(32768, 3);
  form->SBMic->click();
  EXPECT_TRUE(form->SBMic->isChecked());  // the button keeps its state
  EXPECT_EQ(form->CaptureHandle, first);
  EXPECT_EQ(audio.countCalls("waveInOpen"), 1u);
  EXPECT_EQ(audio.countCalls("waveInReset"), 0u);
  EXPECT_EQ(form->Stream.WorkBuffer[0], 3);  // no handler ran

  audio.deliverOpen(wave::Direction::Capture);
  drain();
  form->SBMic->click();  // stop: close asked for
  EXPECT_EQ(audio.countCalls("waveInClose"), 1u);
  form->SBMic->click();  // before the close notice
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_EQ(audio.countCalls("waveInOpen"), 1u);
  EXPECT_TRUE(form->CaptureStopping);

  audio.deliverClose(wave::Direction::Capture);
  drain();
  form->SBMic->click();  // now it starts again
  EXPECT_EQ(audio.countCalls("waveInOpen"), 2u);
  EXPECT_TRUE(form->SBMic->isChecked());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(PipelineTest, ClicksWhilePlaybackOpenOrClosePendsAreRefused) {
  form->SBDin->click();
  const wave::HWAVEOUT first = form->PlaybackHandle;
  form->SBDin->click();
  EXPECT_TRUE(form->SBDin->isChecked());
  EXPECT_EQ(form->PlaybackHandle, first);
  EXPECT_EQ(audio.countCalls("waveOutOpen"), 1u);
  EXPECT_EQ(audio.countCalls("waveOutReset"), 0u);

  audio.deliverOpen(wave::Direction::Playback);
  drain();
  form->SBDin->click();
  EXPECT_EQ(audio.countCalls("waveOutClose"), 1u);
  form->SBDin->click();
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_EQ(audio.countCalls("waveOutOpen"), 1u);
  audio.deliverClose(wave::Direction::Playback);
  drain();
  form->SBDin->click();
  EXPECT_EQ(audio.countCalls("waveOutOpen"), 2u);
}

// ---------------------------------------------------------------------------------------
// Reset, meters and clip marks

TEST_F(PipelineTest, ResetControlsClearsWorkBufferMetersAndClipMarks) {
  form->Stream.WorkBuffer.assign(32768, -32768);
  form->ProcessBlock();
  EXPECT_EQ(form->LedInA->Position(), 32767);
  EXPECT_TRUE(form->ImageA->isVisible());
  EXPECT_TRUE(form->ImageOA->isVisible());
  EXPECT_TRUE(form->ImageOB->isVisible());
  form->ResetControls();
  EXPECT_TRUE(allZero(form->Stream.WorkBuffer));
  for (display::TLedDisplay* m : {form->LedInA, form->LedOutA, form->LedOutB}) EXPECT_EQ(m->Position(), 0);
  for (QLabel* image : {form->ImageA, form->ImageOA, form->ImageOB}) EXPECT_FALSE(image->isVisible());
}

// Lit blocks of a meter as its picture shows them: block k covers columns 3k-2, 3k-1.
int litBlocks(const display::TLedDisplay& meter, QColor lit1, QColor lit2, QColor lit3) {
  int lit = 0;
  for (int k = 1; k <= 50; ++k) {
    const QColor c = meter.surface().pixelColor(3 * k - 2, 5);
    if (c == lit1 || c == lit2 || c == lit3) ++lit;
  }
  return lit;
}

TEST_F(PipelineTest, MetersLightTheirBlocksFromProcessBlock) {
  const QColor lime(0, 255, 0), yellow(255, 255, 0), red(255, 0, 0);
  auto& work = form->Stream.WorkBuffer;
  std::fill(work.begin(), work.end(), Sample{0});
  work[100] = 656;   // left sample of frame 50
  work[101] = -655;  // right: one below the first block
  form->ProcessBlock();
  EXPECT_EQ(form->LedInA->Position(), 656);
  EXPECT_EQ(litBlocks(*form->LedInA, lime, yellow, red), 1);
  EXPECT_EQ(litBlocks(*form->LedOutA, lime, yellow, red), 1);
  EXPECT_EQ(litBlocks(*form->LedOutB, lime, yellow, red), 0);
  EXPECT_EQ(form->LedInA->surface().pixelColor(1, 5), lime);
  EXPECT_EQ(form->LedInA->surface().pixelColor(4, 5), QColor(0, 128, 0));  // block 2 dark

  std::fill(work.begin(), work.end(), Sample{0});
  work[0] = 32767;
  work[1] = 32766;
  form->ProcessBlock();
  EXPECT_EQ(litBlocks(*form->LedInA, lime, yellow, red), 50);
  EXPECT_EQ(litBlocks(*form->LedOutA, lime, yellow, red), 50);
  EXPECT_EQ(form->LedOutB->Position(), 32767);  // above the clip level: full scale
  EXPECT_EQ(form->LedInA->surface().pixelColor(3 * 50 - 2, 5), red);
  EXPECT_EQ(form->LedInA->surface().pixelColor(3 * 40 - 2, 5), yellow);
  EXPECT_TRUE(form->ImageA->isVisible());
  EXPECT_TRUE(form->ImageOA->isVisible());
  EXPECT_TRUE(form->ImageOB->isVisible());

  // Exactly the clip level: shown as is, no clip mark.
  std::fill(work.begin(), work.end(), Sample{0});
  work[2] = 32765;
  form->ProcessBlock();
  EXPECT_EQ(form->LedInA->Position(), 32765);
  EXPECT_FALSE(form->ImageA->isVisible());
  EXPECT_EQ(litBlocks(*form->LedInA, lime, yellow, red), 49);
}

TEST_F(PipelineTest, ProcessBlockInvertsEveryOtherFrameWhenAsked) {
  form->cbInvertSpectr->setChecked(true);
  auto& work = form->Stream.WorkBuffer;
  const std::vector<Sample> block = ramp(32768, 1);
  work = block;
  form->ProcessBlock();
  for (size_t i : {0u, 1u, 2u, 3u, 4u, 5u, 32764u, 32767u}) {
    const bool negated = (i / 2) % 2 == 0;
    EXPECT_EQ(work[i], negated ? static_cast<Sample>(-block[i]) : block[i]) << i;
  }
}

TEST_F(PipelineTest, SpectrumColumnOnlyWhileCaptureIsOpenAndTheSpectrumOn) {
  const QImage before = form->Spectrum.SpectrumView.copy();
  std::vector<Sample> tone(32768);
  for (size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<Sample>(std::lround(8000.0 * std::sin(0.3 * n)));
  form->Stream.WorkBuffer = tone;
  form->ProcessBlock();  // capture not open: no column
  EXPECT_EQ(form->Spectrum.SpectrumView, before);

  startCapture();
  ASSERT_EQ(SAMode, 1);
  audio.deliverData(tone.data(), kBufferBytes);
  drain();
  const QImage after = form->Spectrum.SpectrumView.copy();
  EXPECT_NE(after, before);
  const int right = after.width() - 1;
  bool lit = false;
  for (int y = 0; y < after.height(); ++y) lit = lit || after.pixelColor(right, y) != QColor(Qt::black);
  EXPECT_TRUE(lit);

  form->cbSpectr->click();  // spectrum off
  ASSERT_EQ(SAMode, 0);
  audio.deliverData(tone.data(), kBufferBytes);
  drain();
  EXPECT_EQ(form->Spectrum.SpectrumView, after);
}

// ---------------------------------------------------------------------------------------
// Notices handled while a box is open (the box's nested loop)

TEST_F(PipelineTest, CaptureFailingInsideAStartBoxEndsTheStart) {
  audio.failNext("waveInPrepareHeader", wave::MMSYSERR_NOMEM);  // header 0
  inBox = [this] {
    audio.deliverOpen(wave::Direction::Capture);
    audio.deliverFailed(wave::Direction::Capture, wave::MMSYSERR_NODRIVER);
    drain();
  };
  form->SBMic->click();
  // Nothing is prepared, queued or started on the closed device.
  EXPECT_EQ(audio.callNames(),
            (std::vector<std::string>{"waveInOpen", "waveInPrepareHeader", "waveInReset", "waveInClose"}));
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"memory allocation error", "no device driver present"}));
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_TRUE(form->CaptureStopping);
  audio.deliverClose(wave::Direction::Capture);
  drain();
  EXPECT_FALSE(form->CaptureOpen);
  EXPECT_FALSE(form->CaptureStopping);
  form->SBMic->click();  // and capture starts again
  EXPECT_EQ(audio.countCalls("waveInOpen"), 2u);
  EXPECT_EQ(audio.countCalls("waveInStart"), 1u);
}

TEST_F(PipelineTest, PlaybackFailingInsideAPrimingBoxEndsThePriming) {
  form->SBDin->click();
  audio.clearCalls();
  audio.failNext("waveOutPrepareHeader", wave::MMSYSERR_NOMEM);  // header 0
  inBox = [this] {
    audio.deliverFailed(wave::Direction::Playback, wave::MMSYSERR_NODRIVER);
    drain();
    audio.deliverClose(wave::Direction::Playback);
    drain();
  };
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  // The three headers left are neither prepared nor written on the closed device, and
  // no box reports those calls failing.
  EXPECT_EQ(audio.callNames(), (std::vector<std::string>{"waveOutPrepareHeader", "waveOutReset", "waveOutClose"}));
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"WaveOutPrepareHeader", "no device driver present"}));
  EXPECT_FALSE(form->PlaybackActive);
  EXPECT_FALSE(form->PlaybackStopping);
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  form->SBDin->click();  // and playback starts again
  EXPECT_EQ(audio.countCalls("waveOutOpen"), 1u);
}

TEST_F(PipelineTest, PlaybackFailingInsideAWriteBoxEndsTheWrites) {
  form->SBDin->click();
  audio.clearCalls();
  audio.failNext("waveOutWrite", wave::MMSYSERR_ERROR);  // header 0's write
  inBox = [this] {
    audio.deliverFailed(wave::Direction::Playback, wave::MMSYSERR_NODRIVER);
    drain();
  };
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  const std::vector<std::string> expected = {"waveOutPrepareHeader", "waveOutPrepareHeader", "waveOutPrepareHeader",
                                             "waveOutPrepareHeader", "waveOutWrite",         "waveOutReset",
                                             "waveOutClose"};
  EXPECT_EQ(audio.callNames(), expected);
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"WaveOutWrite", "no device driver present"}));
  EXPECT_EQ(form->PlaybackHandle, nullptr);
}

TEST_F(PipelineTest, BlocksGoOnFlowingWhileARequeueBoxIsOpen) {
  startCapture();
  startPlayback();
  audio.clearCalls();
  const std::vector<Sample> first = ramp(32768, 1);
  const std::vector<Sample> second = ramp(32768, 5000);
  wave::WAVEHDR* played = nullptr;
  inBox = [&] {
    // The next block arrives and is converted, and a played buffer takes it.
    audio.deliverData(second.data(), kBufferBytes);
    drain();
    played = audio.deliverDone();
    drain();
  };
  audio.failNext("waveInAddBuffer", wave::MMSYSERR_NOMEM);
  audio.deliverData(first.data(), kBufferBytes);
  drain();
  EXPECT_EQ(boxTexts(), std::vector<QString>{"memory allocation error"});
  EXPECT_EQ(form->Stream.WorkBuffer, second);
  ASSERT_NE(played, nullptr);
  EXPECT_EQ(std::memcmp(played->lpData, second.data(), kBufferBytes), 0);
  // The first buffer is out of circulation, the second went back to the device.
  const auto adds = audio.callsNamed("waveInAddBuffer");
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_EQ(adds[0].header, &form->CaptureHeaders[0]);
  EXPECT_EQ(adds[0].result, wave::MMSYSERR_NOMEM);
  EXPECT_EQ(adds[1].header, &form->CaptureHeaders[1]);
  EXPECT_EQ(adds[1].result, wave::MMSYSERR_NOERROR);
  EXPECT_EQ(audio.queued(wave::Direction::Capture).size(), 3u);
}

// ---------------------------------------------------------------------------------------
// Devices that fail while running, no sound server, closing

TEST_F(PipelineTest, CaptureFailingWhileRunningIsStoppedAndReportedWhilePlaybackGoesOn) {
  startCapture();
  startPlayback();
  audio.clearCalls();
  ASSERT_TRUE(audio.deliverFailed(wave::Direction::Capture, wave::MMSYSERR_NODRIVER));
  drain();
  EXPECT_EQ(audio.callNames(), (std::vector<std::string>{"waveInReset", "waveInClose"}));
  EXPECT_EQ(boxTexts(), std::vector<QString>{"no device driver present"});
  EXPECT_EQ(boxes[0].caption, "Warning");
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_TRUE(form->CbWaveInDevice->isEnabled());
  EXPECT_FALSE(form->CbBitrate->isEnabled());  // playback still down
  // Playback goes on being refilled.
  EXPECT_TRUE(form->PlaybackActive);
  ASSERT_NE(audio.deliverDone(), nullptr);
  drain();
  EXPECT_EQ(audio.countCalls("waveOutWrite"), 1u);
  audio.deliverClose(wave::Direction::Capture);
  drain();
  EXPECT_FALSE(form->CaptureOpen);
  form->SBMic->click();  // capture can be started again
  EXPECT_EQ(audio.countCalls("waveInOpen"), 1u);
}

TEST_F(PipelineTest, PlaybackFailingWhileRunningIsStoppedAndReported) {
  startCapture();
  startPlayback();
  audio.clearCalls();
  ASSERT_TRUE(audio.deliverFailed(wave::Direction::Playback, wave::MMSYSERR_ERROR));
  drain();
  EXPECT_EQ(audio.callNames(), (std::vector<std::string>{"waveOutReset", "waveOutClose"}));
  EXPECT_EQ(boxTexts(), std::vector<QString>{"unspecified error"});
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_TRUE(form->SBMic->isChecked());
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  // Capture goes on.
  audio.deliverData(kBufferBytes);
  drain();
  EXPECT_EQ(audio.countCalls("waveInAddBuffer"), 1u);
}

// One fault reaches the window twice while its box is open: the server killed fails both
// devices, an unloaded device fails a requeue and then sends its failure notice. Both
// devices are stopped, and the fault is told in one box.
TEST_F(PipelineTest, OneFaultWhileBothRunShowsOneBox) {
  struct Case {
    const char* what;
    std::function<void()> fault, second;
    QString text;
  };
  const std::vector<Case> cases = {
      {"server killed", [this] { audio.deliverFailed(wave::Direction::Capture, wave::MMSYSERR_NODRIVER); },
       [this] { audio.deliverFailed(wave::Direction::Playback, wave::MMSYSERR_NODRIVER); }, "no device driver present"},
      {"capture device unloaded",
       [this] {
         audio.failNext("waveInAddBuffer", wave::MMSYSERR_BADDEVICEID);
         audio.deliverData(kBufferBytes);
       },
       [this] { audio.deliverFailed(wave::Direction::Capture, wave::MMSYSERR_BADDEVICEID); }, "device ID out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    startCapture();
    startPlayback();
    boxes.clear();
    inBox = [&] {
      c.second();
      drain();
    };
    c.fault();
    drain();
    EXPECT_EQ(boxTexts(), std::vector<QString>{c.text});
    EXPECT_EQ(form->CaptureHandle, nullptr);
    if (form->PlaybackHandle) form->SBDin->click();
    audio.deliverClose(wave::Direction::Capture);
    audio.deliverClose(wave::Direction::Playback);
    drain();
  }
}

TEST_F(PipelineTest, ClosingWhileBothRunStopsAndClosesBothAndSavesTheSettings) {
  startCapture();
  startPlayback();
  audio.clearCalls();
  form->close();
  const std::vector<std::string> expected = {"waveInReset", "waveInClose", "waveOutReset", "waveOutClose"};
  EXPECT_EQ(audio.callNames(), expected);
  EXPECT_EQ(form->CaptureHandle, nullptr);
  EXPECT_EQ(form->PlaybackHandle, nullptr);
  EXPECT_TRUE(form->CaptureStopping);
  EXPECT_TRUE(form->PlaybackStopping);
  EXPECT_EQ(audio.openCount(wave::Direction::Capture), 0u);
  EXPECT_EQ(audio.openCount(wave::Direction::Playback), 0u);
  const QString settings = qEnvironmentVariable("XDG_CONFIG_HOME") + "/ZEM/Varnex.conf";
  EXPECT_TRUE(QFile::exists(settings)) << settings.toStdString();
  // Destroying the window afterwards calls nothing more.
  form.reset();
  EXPECT_EQ(audio.calls().size(), expected.size());
}

TEST_F(PipelineTest, DestroyingTheWindowClosesDevicesStillOpen) {
  startCapture();
  form->SBDin->click();  // open pending
  audio.clearCalls();
  form.reset();
  EXPECT_EQ(audio.countCalls("waveInClose"), 1u);
  EXPECT_EQ(audio.countCalls("waveOutClose"), 1u);
  EXPECT_EQ(audio.openCount(wave::Direction::Capture), 0u);
  EXPECT_EQ(audio.openCount(wave::Direction::Playback), 0u);
}

// ---------------------------------------------------------------------------------------
// Devices as listed

// The server's order changes after the boxes were filled (a device went and came back):
// each button opens the device its box shows, and a device that has gone is not replaced
// by whatever stands at its place now.
TEST_F(PipelineTest, ButtonsOpenTheListedDeviceAfterTheServerReordered) {
  chooseCapture(2);         // "Microphone"
  choosePlaybackDevice(2);  // "Virtual Cable"
  audio.setDevices(wave::Direction::Capture, {"Microphone", "Monitor of Speakers", "Line In"});
  audio.setDevices(wave::Direction::Playback, {"Virtual Cable", "Speakers"});
  startCapture();
  startPlayback();
  EXPECT_EQ(audio.callsNamed("waveInOpen").at(0).deviceName, "Microphone");
  EXPECT_EQ(audio.callsNamed("waveOutOpen").at(0).deviceName, "Virtual Cable");
  EXPECT_TRUE(boxes.empty());

  form->SBDin->click();  // stop playback
  audio.deliverClose(wave::Direction::Playback);
  drain();
  audio.setDevices(wave::Direction::Playback, {"Speakers"});  // the cable has gone
  form->SBDin->click();
  EXPECT_EQ(audio.callsNamed("waveOutOpen").back().result, wave::MMSYSERR_BADDEVICEID);
  EXPECT_EQ(audio.openCount(wave::Direction::Playback), 0u);
  EXPECT_EQ(boxTexts(), std::vector<QString>{"device ID out of range"});
  EXPECT_FALSE(form->SBDin->isChecked());
  EXPECT_TRUE(form->CbWaveOutDevice->isEnabled());
}

// A device the server runs at another rate is told once, in the warning box, with the
// rates; reopening it tells nothing new. A device at the stream's rate tells nothing.
TEST_F(PipelineTest, DeviceAtAnotherRateIsToldOnce) {
  struct Case {
    wave::Direction direction;
    uint32_t deviceRate;
    const char* told;  // a part of the text, or null: nothing is told
  };
  const Case cases[] = {
      {wave::Direction::Capture, 44100, "runs at 44100 Hz, not at the 48000 Hz"},
      {wave::Direction::Capture, 48000, nullptr},
      {wave::Direction::Playback, 48000, "runs at 48000 Hz, not at the 24000 Hz"},
      {wave::Direction::Playback, 24000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deviceRate);
    const bool capture = c.direction == wave::Direction::Capture;
    audio.setDeviceRate(c.direction, c.deviceRate);
    boxes.clear();
    for (int run = 0; run < 2; ++run) {
      capture ? startCapture() : startPlayback();
      (capture ? form->SBMic : form->SBDin)->click();  // stop
      audio.deliverClose(c.direction);
      drain();
    }
    expectWarningWith(boxes, c.told);
    if (c.told) {
      EXPECT_TRUE(boxes.at(0).text.contains(capture ? "Line In" : "Speakers"));
    }
  }
}

// ---------------------------------------------------------------------------------------
// Stream mode

// The menu key (or a right click) opens the window's menu with the one switch; block mode
// is the default, and the switch is disabled while either device runs.
TEST_F(PipelineTest, StreamSwitchIsInTheContextMenuAndDisabledWhileADeviceRuns) {
  const QList<QAction*> shown = contextMenuActions(form.get());
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0], form->StreamModeAction);
  EXPECT_EQ(shown[0]->text(), QStringLiteral("Непрерывный поток (малая задержка)"));
  EXPECT_TRUE(shown[0]->isCheckable());
  EXPECT_FALSE(shown[0]->isChecked());
  EXPECT_FALSE(form->streamMode());

  EXPECT_TRUE(form->StreamModeAction->isEnabled());
  startCapture();
  EXPECT_FALSE(form->StreamModeAction->isEnabled());
  startPlayback();
  form->SBMic->click();
  EXPECT_FALSE(form->StreamModeAction->isEnabled()) << "playback still runs";
  form->SBDin->click();
  EXPECT_TRUE(form->StreamModeAction->isEnabled());
}

// Stream mode at 48000 Hz, the two devices on one clock that the test advances.
class StreamPipelineTest : public PipelineTest {
 protected:
  static constexpr int kRate = 48000;

  void SetUp() override {
    PipelineTest::SetUp();
    form->StreamModeAction->trigger();
    ASSERT_TRUE(form->streamMode());
    engine()->setClock([this] { return now.load(); });
  }

  live::LiveEngine* engine() const { return form->liveEngine(); }
  // The engine has handled every notice delivered, and the window has shown what it read.
  void settle() {
    ASSERT_TRUE(engine()->waitIdle(5000));
    drain();
    form->pollLiveEngine();
  }

  // Delivers the next capture buffer of `input` (from `taken` on), then the playback
  // buffers that fall due in its time, keeping what each played in `played`.
  void runBuffer(const std::vector<Sample>& input) {
    const size_t samples = engine()->captureSamples();
    ASSERT_LE(taken + samples, input.size());
    ASSERT_NE(audio.deliverData(input.data() + taken, static_cast<uint32_t>(samples * sizeof(Sample))), nullptr);
    settle();
    taken += samples;
    const size_t playbackBuffers = samples / 2 / engine()->playbackFrames();
    for (size_t i = 0; i < playbackBuffers; ++i) {
      now += static_cast<double>(engine()->playbackFrames()) / (kRate / 2);
      const std::vector<wave::WAVEHDR*> queued = audio.queued(wave::Direction::Playback);
      if (queued.empty()) continue;
      const auto* data = reinterpret_cast<const Sample*>(queued[0]->lpData);
      played.insert(played.end(), data, data + queued[0]->dwBufferLength / sizeof(Sample));
      ASSERT_NE(audio.deliverDone(), nullptr);
      settle();
    }
  }
  void run(const std::vector<Sample>& input, double seconds) {
    const auto buffers = static_cast<size_t>(seconds * kRate / static_cast<double>(engine()->captureSamples()));
    for (size_t i = 0; i < buffers; ++i) runBuffer(input);
  }
  static std::vector<Sample> noise(double seconds) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> sample(-12000, 12000);
    std::vector<Sample> v(static_cast<size_t>(seconds * kRate));
    for (Sample& s : v) s = static_cast<Sample>(sample(rng));
    return v;
  }

  std::atomic<double> now{100.0};
  size_t taken = 0;
  std::vector<Sample> played;  // interleaved frames, as the playback device took them
};

// Short buffers both ways; after the queue's start the output is the offline stream
// conversion of the input, bit for bit, with no frame repeated or dropped.
TEST_F(StreamPipelineTest, PlaysTheStreamConversionOfTheInputWithNothingRepeatedOrDropped) {
  form->cbIQ->setChecked(true);
  form->cbInvertSpectr->setChecked(true);
  form->cbInvertOut->setChecked(true);
  startCapture();
  startPlayback();
  EXPECT_EQ(audio.callsNamed("waveInOpen").at(0).flags, kFlags);
  EXPECT_EQ(audio.callsNamed("waveOutOpen").at(0).flags, kFlags | wave::WAVE_LOW_DELAY) << "the shorter resampler";
  const size_t samples = engine()->captureSamples();
  const size_t frames = engine()->playbackFrames();
  ASSERT_LE(samples, size_t{kRate / 20}) << "capture buffers of a few tens of ms";
  ASSERT_LE(frames, size_t{kRate / 2 / 40});
  for (const wave::WAVEHDR* h : audio.queued(wave::Direction::Capture))
    EXPECT_EQ(h->dwBufferLength, samples * sizeof(Sample));
  ASSERT_EQ(audio.queued(wave::Direction::Playback).size(), size_t{live::LiveEngine::kPlaybackBuffers});
  for (const wave::WAVEHDR* h : audio.queued(wave::Direction::Playback))
    EXPECT_EQ(h->dwBufferLength, 2 * frames * sizeof(Sample));

  const std::vector<Sample> input = noise(3.0);
  run(input, 1.5);
  // The window's thread comes back from a stall and hears of the buffers played meanwhile
  // before the capture buffers that arrived: the played ones wait for them, nothing is lost.
  // All in one go, as the devices' workers hand them over: a played buffer waits only so
  // long in real time for its capture.
  for (int i = 0; i < live::LiveEngine::kPlaybackBuffers; ++i) {
    now += static_cast<double>(frames) / (kRate / 2);
    const std::vector<wave::WAVEHDR*> queued = audio.queued(wave::Direction::Playback);
    ASSERT_FALSE(queued.empty());
    const auto* data = reinterpret_cast<const Sample*>(queued[0]->lpData);
    played.insert(played.end(), data, data + 2 * frames);
    ASSERT_NE(audio.deliverDone(), nullptr);
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(audio.deliverData(input.data() + taken, static_cast<uint32_t>(samples * sizeof(Sample))), nullptr);
    taken += samples;
  }
  settle();
  run(input, 1.4);

  dsp::StreamConverter offline;
  offline.Configure(kRate, {true, true, true});
  offline.SetDelayCompensation(false);
  std::vector<Sample> expected(2 * offline.MaxOutputFrames(taken));
  expected.resize(2 * offline.Process(input.data(), taken, expected.data()));

  // The queue starts with silence; the first real frame shows where the stream stands.
  size_t first = 0;
  while (first + 1 < played.size() && played[first] == 0 && played[first + 1] == 0) first += 2;
  ASSERT_GT(played.size() - first, size_t{kRate}) << "over a second of the stream was played";
  constexpr size_t kProbe = 2 * 64;
  size_t at = 0;
  while (at + kProbe <= expected.size() && !std::equal(played.begin() + static_cast<std::ptrdiff_t>(first),
                                                       played.begin() + static_cast<std::ptrdiff_t>(first + kProbe),
                                                       expected.begin() + static_cast<std::ptrdiff_t>(at)))
    at += 2;
  ASSERT_LE(at + kProbe, expected.size()) << "the first frames played come from the stream";
  const size_t compared = std::min(played.size() - first, expected.size() - at);
  EXPECT_GT(compared, size_t{kRate});
  EXPECT_TRUE(std::equal(played.begin() + static_cast<std::ptrdiff_t>(first),
                         played.begin() + static_cast<std::ptrdiff_t>(first + compared),
                         expected.begin() + static_cast<std::ptrdiff_t>(at)));
  EXPECT_EQ(engine()->underruns(), 0u);
  EXPECT_EQ(engine()->overflows(), 0u);
  EXPECT_EQ(form->windowTitle(), " Tovrel") << "no counter moved";
  EXPECT_GT(form->LedInA->Position(), 0);
  EXPECT_GT(form->LedOutA->Position(), 0);
  EXPECT_TRUE(boxes.empty());
}

// The spectrogram still draws a column per 32768 input samples, gathered from the short
// buffers: the same column as block mode draws for those samples.
TEST_F(StreamPipelineTest, SpectrumColumnPerBlockOfInput) {
  startCapture();
  const std::vector<Sample> input = noise(1.0);
  const size_t buffers = 32768 / engine()->captureSamples();
  ASSERT_EQ(buffers * engine()->captureSamples(), 32768u);
  const QImage before = form->Spectrum.SpectrumView.copy();
  for (size_t i = 0; i + 1 < buffers; ++i) runBuffer(input);
  EXPECT_EQ(form->Spectrum.SpectrumView, before);
  runBuffer(input);
  const QImage drawn = form->Spectrum.SpectrumView.copy();
  ASSERT_NE(drawn, before);

  std::copy_n(input.begin(), 32768, form->Stream.WorkBuffer.begin());
  form->Spectrum.RenderSpectrumColumn(form->Stream, form->cbLog->isChecked());
  const QImage& block = form->Spectrum.SpectrumView;
  const int right = block.width() - 1;
  for (int y = 0; y < block.height(); ++y) ASSERT_EQ(block.pixel(right, y), drawn.pixel(right, y)) << y;
}

// Capture and playback clocks 200 ppm apart either way: after the start, the queue neither
// runs dry nor overflows over two simulated minutes. A capture that stalls then runs it
// dry, and the title says so.
TEST_F(StreamPipelineTest, DriftIsAbsorbedAndAnUnderrunIsShownInTheTitle) {
  for (const double ppm : {+200.0, -200.0}) {
    SCOPED_TRACE(ppm);
    startCapture();
    startPlayback();
    const std::vector<Sample> input = noise(1.0);
    const double capturePeriod = static_cast<double>(engine()->captureSamples()) / kRate;
    const double playbackPeriod = static_cast<double>(engine()->playbackFrames()) / (kRate / 2) / (1.0 + ppm * 1e-6);
    double nextCapture = now + capturePeriod;
    double nextPlayback = now + playbackPeriod;
    const double end = now + 120.0;
    uint64_t afterStart = 0;
    bool started = false;
    while (now < end) {
      if (nextCapture <= nextPlayback) {
        now = nextCapture;
        nextCapture += capturePeriod;
        const size_t at = taken % (input.size() - engine()->captureSamples());
        ASSERT_NE(
            audio.deliverData(input.data() + at, static_cast<uint32_t>(engine()->captureSamples() * sizeof(Sample))),
            nullptr);
        taken += engine()->captureSamples();
      } else {
        now = nextPlayback;
        nextPlayback += playbackPeriod;
        ASSERT_NE(audio.deliverDone(), nullptr);
      }
      settle();
      if (!started && now > end - 119.0) {
        started = true;
        afterStart = engine()->underruns() + engine()->overflows();
      }
    }
    EXPECT_EQ(engine()->underruns() + engine()->overflows(), afterStart);
    EXPECT_EQ(form->windowTitle(), " Tovrel");

    for (int i = 0; i < 100; ++i) {  // a second of playback without capture
      now += playbackPeriod;
      // Played buffers wait a while for capture, then go out on what the queue holds.
      QElapsedTimer waited;
      waited.start();
      while (audio.queued(wave::Direction::Playback).empty() && waited.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
      ASSERT_NE(audio.deliverDone(), nullptr);
      settle();
    }
    EXPECT_EQ(engine()->underruns(), 1u);
    EXPECT_TRUE(form->windowTitle().contains(QStringLiteral("опустошений 1"))) << form->windowTitle().toStdString();

    form->SBMic->click();
    form->SBDin->click();
    audio.deliverClose(wave::Direction::Capture);
    audio.deliverClose(wave::Direction::Playback);
    settle();
    // Switching stream mode on again starts the counters again.
    form->StreamModeAction->trigger();
    form->StreamModeAction->trigger();
    EXPECT_EQ(form->windowTitle(), " Tovrel");
  }
  EXPECT_TRUE(boxes.empty());
}

// The sound server lost (both devices fail, and opening fails while it is away), or one
// device: no box; the buttons stay down, both devices close, the title says so, and they are
// opened again with a growing pause until the server is back; that counts as one break and
// the stream flows again. Block mode keeps its warning and raised button (tests above).
TEST_F(StreamPipelineTest, LostDevicesAreOpenedAgainAndCountedAsOneBreak) {
  const std::vector<Sample> input = noise(3.0);
  for (const auto lost : {wave::Direction::Capture, wave::Direction::Playback}) {
    SCOPED_TRACE(lost == wave::Direction::Capture ? "capture" : "playback");
    startCapture();
    startPlayback();
    run(input, 0.5);
    const uint64_t breaks = engine()->breaks();
    ASSERT_TRUE(audio.deliverFailed(lost, wave::MMSYSERR_NODRIVER));
    audio.deliverFailed(lost == wave::Direction::Capture ? wave::Direction::Playback : wave::Direction::Capture,
                        wave::MMSYSERR_NODRIVER);
    settle();
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(form->SBMic->isChecked() && form->SBDin->isChecked());
    EXPECT_EQ(form->CaptureHandle, nullptr);
    EXPECT_EQ(form->PlaybackHandle, nullptr);
    EXPECT_EQ(engine()->queueSeconds(), 0.0);
    EXPECT_EQ(form->windowTitle(), app::StreamLostTitle());
    ASSERT_TRUE(form->RecoveryTimer->isActive());
    EXPECT_EQ(form->RecoveryTimer->interval(), 250);
    audio.deliverClose(wave::Direction::Capture);
    audio.deliverClose(wave::Direction::Playback);
    settle();

    audio.failAlways("waveOutOpen", wave::MMSYSERR_NODRIVER);  // still away
    const size_t opens = audio.countCalls("waveInOpen");
    form->reopenLostDevices();
    audio.deliverClose(wave::Direction::Capture);
    settle();
    EXPECT_EQ(audio.openCount(wave::Direction::Capture), 0u) << "no device is left open alone";
    EXPECT_EQ(form->RecoveryTimer->interval(), 500);
    EXPECT_TRUE(boxes.empty());

    audio.clearResults();
    form->reopenLostDevices();
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Capture));
    ASSERT_TRUE(audio.deliverOpen(wave::Direction::Playback));
    settle();
    EXPECT_EQ(audio.countCalls("waveInOpen"), opens + 2);
    EXPECT_FALSE(form->RecoveryTimer->isActive());
    EXPECT_EQ(engine()->breaks(), breaks + 1);
    EXPECT_EQ(form->windowTitle(),
              app::StreamTitle(engine()->breaks(), engine()->underruns(), engine()->overflows(), engine()->restarts(),
                               std::lround(1000.0 * engine()->targetSeconds())));
    const uint64_t captured = engine()->capturedFrames();
    played.clear();
    run(input, 0.5);
    EXPECT_GT(engine()->capturedFrames(), captured);
    EXPECT_FALSE(allZero(played)) << "the stream plays again";
    EXPECT_TRUE(boxes.empty());

    form->SBMic->click();
    form->SBDin->click();
    audio.deliverClose(wave::Direction::Capture);
    audio.deliverClose(wave::Direction::Playback);
    settle();
    taken = 0;
  }
}

// A button raised while its device is lost ends the wait for that device only.
TEST_F(StreamPipelineTest, AButtonRaisedWhileItsDeviceIsLostIsNotOpenedAgain) {
  startCapture();
  startPlayback();
  ASSERT_TRUE(audio.deliverFailed(wave::Direction::Capture, wave::MMSYSERR_NODRIVER));
  settle();
  audio.deliverClose(wave::Direction::Capture);
  audio.deliverClose(wave::Direction::Playback);
  settle();
  form->SBMic->click();
  EXPECT_FALSE(form->SBMic->isChecked());
  EXPECT_TRUE(form->CbWaveInDevice->isEnabled());
  EXPECT_EQ(audio.countCalls("waveInOpen"), 1u) << "the click opens nothing";
  EXPECT_TRUE(form->RecoveryTimer->isActive()) << "playback is still waited for";
  form->reopenLostDevices();
  EXPECT_EQ(audio.countCalls("waveInOpen"), 1u);
  EXPECT_EQ(audio.countCalls("waveOutOpen"), 2u);
  ASSERT_TRUE(audio.deliverOpen(wave::Direction::Playback));
  settle();
  EXPECT_TRUE(form->PlaybackActive);
  EXPECT_TRUE(boxes.empty());
}

TEST(PipelineWithoutServer, WindowWarnsAtOnceAndAButtonShowsTheDriverText) {
  QTemporaryDir config;
  ASSERT_TRUE(config.isValid());
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  wave::ScriptedBackend audio;  // no devices at all
  wave::setBackend(&audio);
  std::vector<app::BoxRequest> boxes;
  app::setBoxPresenter([&](const app::BoxRequest& b) { boxes.push_back(b); });
  {
    TMainForm form;
    form.ScreenArea = [] { return QRect(0, 0, 1280, 1024); };
    form.show();
    drain();
    EXPECT_EQ(form.CbWaveInDevice->count(), 1);
    EXPECT_EQ(form.CbWaveInDevice->itemText(0), "Wave Mapper");
    EXPECT_EQ(form.CbWaveOutDevice->count(), 1);
    // Told at start, not only at the first press of a button; the empty box says why.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].kind, app::BoxKind::Warning);
    EXPECT_TRUE(boxes[0].text.startsWith("No sound server answers") && boxes[0].text.contains("PipeWire"))
        << boxes[0].text.toStdString();
    EXPECT_EQ(form.CbWaveInDevice->currentIndex(), -1);
    EXPECT_EQ(form.CbWaveInDevice->placeholderText(), "No sound server");
    // The first run's device 0 does not exist: pressing the button tells why.
    audio.failNext("waveOutOpen", wave::MMSYSERR_NODRIVER);
    form.SBDin->click();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "no device driver present");
    EXPECT_FALSE(form.SBDin->isChecked());
    // The same through the mapper.
    form.CbWaveOutDevice->setCurrentIndex(0);
    emit form.CbWaveOutDevice->activated(0);
    audio.failNext("waveOutOpen", wave::MMSYSERR_NODRIVER);
    form.SBDin->click();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, "no device driver present");
    EXPECT_FALSE(form.SBDin->isChecked());
  }
  drain();
  app::setBoxPresenter({});
  wave::setBackend(nullptr);
}

}  // namespace
