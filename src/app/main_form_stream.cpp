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

#include "app/globals.hpp"
#include "app/instance.hpp"
#include "app/main_form.hpp"
#include "display/led_display.hpp"

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

QString app::StreamTitle(uint64_t breaks, uint64_t underruns, uint64_t overflows, uint64_t restarts) {
  return app::WindowTitle() +
         QCoreApplication::translate("TMainForm",
                                     " — поток: разрывов %1 (опустошений %2, переполнений %3, перезапусков %4)")
             .arg(breaks)
             .arg(underruns)
             .arg(overflows)
             .arg(restarts);
}

// Every break a listener could hear (the queue ran dry or over, playback restarted), in the
// window's title once there is one: no box interrupts the user, and the title is back to
// plain while there is none.
void TMainForm::showStreamCounters(bool always) {
  const uint64_t breaks = live_->configured() && streamMode() ? live_->breaks() : 0;
  if (!always && breaks == shownBreaks_) return;
  shownBreaks_ = breaks;
  setWindowTitle(breaks != 0 ? app::StreamTitle(breaks, live_->underruns(), live_->overflows(), live_->restarts())
                             : app::WindowTitle());
}
