// Live stream mode as the window sees it: the context menu's switch, and what the window
// shows of the live engine, which runs the whole path from capture to playback off the
// window's thread (src/live).
#include <QAction>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <cmath>
#include <cstdio>

#include "app/globals.hpp"
#include "app/instance.hpp"
#include "app/main_form.hpp"
#include "display/led_display.hpp"
#include "live/retry_pause.hpp"

bool TMainForm::streamMode() const { return StreamModeAction != nullptr && StreamModeAction->isChecked(); }

// The switch is only enabled while both devices are stopped, so a device never sees the
// mode change under it. Switching stream mode on starts it afresh, counters included.
void TMainForm::StreamModeToggled() {
  if (streamMode()) configureLiveEngine();
  ResetControls();
  showStreamCounters(true);
}

void TMainForm::configureLiveEngine() {
  live_->configure(static_cast<int32_t>(Stream.CaptureFormat.nSamplesPerSec),
                   static_cast<int32_t>(Stream.PlaybackFormat.nSamplesPerSec), Stream.WorkBuffer.size());
  shownBreaks_ = 0;
  LiveTimer->start();
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(StreamModeAction);
  menu.exec(event->globalPos());
  event->accept();
}

// The engine's latest levels and counters, and a spectrum column for every block of input
// it gathered (a column per BlockSamples input samples, as in block mode).
void TMainForm::pollLiveEngine() {
  if (!streamMode() || !live_->configured()) return;
  live_->setSwitches({cbIQ->isChecked(), cbInvertOut->isChecked(), cbInvertSpectr->isChecked()});
  while (live_->takeSpectrumBlock(Stream.WorkBuffer.data())) {
    if (CaptureOpen && SAMode != 0) {
      Spectrum.RenderSpectrumColumn(Stream, cbLog->isChecked());
      pbss->update();
    }
  }
  if (CaptureOpen || PlaybackOpen) {
    const live::Levels levels = live_->levels();
    LedInA->setPosition(levels.input);
    ImageA->setVisible(levels.inputClipped);
    LedOutA->setPosition(levels.left);
    LedOutB->setPosition(levels.right);
    ImageOA->setVisible(levels.leftClipped);
    ImageOB->setVisible(levels.rightClipped);
  }
  showStreamCounters();
}

QString app::StreamTitle(uint64_t breaks, uint64_t underruns, uint64_t overflows, uint64_t restarts, long queueMs) {
  return app::WindowTitle() +
         QCoreApplication::translate(
             "TMainForm", " — поток: разрывов %1 (опустошений %2, переполнений %3, перезапусков %4), очередь %5 мс")
             .arg(breaks)
             .arg(underruns)
             .arg(overflows)
             .arg(restarts)
             .arg(queueMs);
}

QString app::StreamLostTitle() {
  return app::WindowTitle() +
         QCoreApplication::translate("TMainForm", " — поток: устройства потеряны, открываю снова…");
}

// Every break a listener could hear (the queue ran dry or over, playback restarted), in the
// window's title once there is one: no box interrupts the user, and the title is back to
// plain while there is none.
void TMainForm::showStreamCounters(bool always) {
  const uint64_t breaks = live_->configured() && streamMode() ? live_->breaks() : 0;
  // The queue's delay beside the count: after breaks it may have grown, and it shrinks back
  // by a millisecond in minutes.
  const long queueMs = std::lround(1000.0 * live_->targetSeconds());
  if (!always && breaks == shownBreaks_ && (breaks == 0 || queueMs == shownQueueMs_)) return;
  shownBreaks_ = breaks;
  shownQueueMs_ = queueMs;
  if (recovering()) {
    setWindowTitle(app::StreamLostTitle());
    return;
  }
  setWindowTitle(breaks != 0
                     ? app::StreamTitle(breaks, live_->underruns(), live_->overflows(), live_->restarts(), queueMs)
                     : app::WindowTitle());
}

// The sound server went away (a restarted PipeWire) or a device did (a card unplugged): both
// devices close, the buttons stay down, and they are opened again until they are back, as
// the headless service does. No box: a server restart would fail both devices at once and
// each try again; the title and one line on stderr say it.
void TMainForm::devicesLost(wave::MMRESULT code) {
  if (!recovering()) {
    lostSince_ = std::chrono::steady_clock::now();
    std::fprintf(stderr, "tovrel: %s; opening the devices again until they are back\n",
                 qPrintable(QString::fromStdString(wave::WaveErrorText(code))));
  }
  lostCapture_ = lostCapture_ || SBMic->isChecked();
  lostPlayback_ = lostPlayback_ || SBDin->isChecked();
  CaptureStopping = CaptureStopping || lostCapture_;
  PlaybackStopping = PlaybackStopping || lostPlayback_;
  stopCapture();
  stopPlayback();
  ResetControls();
  failedReopens_ = 1;
  RecoveryTimer->start(live::RetryPause(failedReopens_));
  showStreamCounters(true);
}

void TMainForm::reopenLostDevices() {
  if (!recovering()) return;
  // A device whose close is not yet noticed is not opened over.
  if ((lostCapture_ && devicePending(CaptureHandle != nullptr, CaptureOpen)) ||
      (lostPlayback_ && devicePending(PlaybackHandle != nullptr, PlaybackOpen))) {
    RecoveryTimer->start(live::RetryPause(failedReopens_));
    return;
  }
  live_->restartStream();
  wave::MMRESULT result = wave::MMSYSERR_NOERROR;
  if (lostCapture_) {
    CaptureStopping = false;
    result = openCapture();
    if (result == wave::MMSYSERR_NOERROR) result = live_->startCapture(CaptureHandle);
  }
  // Playback's buffers are queued when its open notice comes, as after a click.
  if (result == wave::MMSYSERR_NOERROR && lostPlayback_) {
    PlaybackStopping = false;
    result = openPlayback();
  }
  if (result != wave::MMSYSERR_NOERROR) {
    CaptureStopping = CaptureStopping || lostCapture_;
    PlaybackStopping = PlaybackStopping || lostPlayback_;
    stopCapture();
    stopPlayback();
    RecoveryTimer->start(live::RetryPause(++failedReopens_));
    return;
  }
  std::fprintf(stderr, "tovrel: devices back after %.1f s; converting again\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - lostSince_).count());
  lostCapture_ = lostPlayback_ = false;
  failedReopens_ = 0;
  RecoveryTimer->stop();
  live_->countReopen();
  showStreamCounters(true);
}

// A button raised while its device is lost ends the wait for it: nothing is opened or closed.
bool TMainForm::stopRecovering(wave::Direction direction) {
  bool& lost = direction == wave::Direction::Capture ? lostCapture_ : lostPlayback_;
  if (!lost) return false;
  lost = false;
  if (!recovering()) RecoveryTimer->stop();
  ResetControls();
  showStreamCounters(true);
  return true;
}
