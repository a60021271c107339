// Live stream mode: the window's context menu switch, and the path from short capture
// buffers through the stream converter and the drift compensator to short playback
// buffers. Everything runs on the window's thread, like the block pipeline.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "display/led_display.hpp"
#include "dsp/converter.hpp"

namespace app {

namespace {
// Stereo frames a playback header holds.
size_t framesOf(const wave::WAVEHDR* header) { return header->dwBufferLength / (2 * sizeof(dsp::Sample)); }
}  // namespace

void LiveStream::configure(int32_t inputRate, int32_t outputRate) {
  converter.Configure(inputRate);
  // Live output starts with the filter's lead-in, so every completed block is a whole
  // block and each capture buffer hands over exactly one.
  converter.SetDelayCompensation(false);
  const auto block = static_cast<size_t>(converter.BlockFrames());
  captureSamples = 2 * block;
  playbackFrames = block;
  drift.configure({.outputRate = outputRate, .maxPushFrames = block, .maxPullFrames = playbackFrames});
  for (auto& buffer : captureBuffers) buffer.assign(captureSamples, 0);
  for (auto& buffer : playbackBuffers) buffer.assign(2 * playbackFrames, 0);
  converted.assign(2 * converter.MaxOutputFrames(captureSamples), 0);
  spectrumFill = 0;
  waitingCount = 0;
  shownUnderruns = 0;
  shownOverflows = 0;
  rate = inputRate;
}

void LiveStream::reset() {
  if (!configured()) return;
  converter.Reset();
  drift.reset();
  spectrumFill = 0;
}

}  // namespace app

bool TMainForm::streamMode() const { return StreamModeAction != nullptr && StreamModeAction->isChecked(); }

// The switch is only enabled while both devices are stopped, so a device never sees the
// mode change under it. Switching stream mode on starts it afresh, counters included.
void TMainForm::StreamModeToggled() {
  if (streamMode())
    Live.configure(static_cast<int32_t>(Stream.CaptureFormat.nSamplesPerSec),
                   static_cast<int32_t>(Stream.PlaybackFormat.nSamplesPerSec));
  ResetControls();
  showStreamCounters(true);
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(StreamModeAction);
  menu.exec(event->globalPos());
  event->accept();
}

// One short capture buffer: metered, gathered for the spectrum (a column per BlockSamples
// input samples, as in block mode), converted and queued for playback.
void TMainForm::takeLiveBuffer(const dsp::Sample* samples, size_t count) {
  if (!Live.configured() || count == 0) return;
  const dsp::PeakLevel input = dsp::MeasureInputLevel(samples, static_cast<int32_t>(count));
  LedInA->setPosition(input.Position);
  ImageA->setVisible(input.Clipped);

  for (size_t done = 0; done < count;) {
    const size_t room = Stream.WorkBuffer.size() - Live.spectrumFill;
    const size_t take = std::min(room, count - done);
    std::copy_n(samples + done, take, Stream.WorkBuffer.begin() + static_cast<std::ptrdiff_t>(Live.spectrumFill));
    Live.spectrumFill += take;
    done += take;
    if (Live.spectrumFill == Stream.WorkBuffer.size()) {
      Live.spectrumFill = 0;
      if (CaptureOpen && SAMode != 0) {
        Spectrum.RenderSpectrumColumn(Stream, cbLog->isChecked());
        pbss->update();
      }
    }
  }

  Live.converter.SetSwitches({cbIQ->isChecked(), cbInvertOut->isChecked(), cbInvertSpectr->isChecked()});
  const size_t frames = Live.converter.Process(samples, count, Live.converted.data());
  if (frames == 0) return;
  const dsp::OutputLevels output =
      dsp::InvertAndMeasureOutput(Live.converted.data(), static_cast<int32_t>(2 * frames), false);
  LedOutA->setPosition(output.Left.Position);
  LedOutB->setPosition(output.Right.Position);
  ImageOA->setVisible(output.Left.Clipped);
  ImageOB->setVisible(output.Right.Clipped);

  // The compensator takes at most a block at a time.
  const double now = StreamClock();
  const auto block = static_cast<size_t>(Live.converter.BlockFrames());
  for (size_t first = 0; first < frames; first += block)
    Live.drift.push(Live.converted.data() + 2 * first, std::min(block, frames - first), now);
  releaseLivePlayback(false);
  showStreamCounters();
}

// A played buffer is refilled from the queue (silence until the stream has started). When
// the window's thread comes back from a stall it may hear of played buffers before the
// capture buffers that arrived meanwhile: a buffer the queue cannot fill yet waits for the
// next capture buffer instead of running the queue dry, while the sound server plays what
// it still holds.
void TMainForm::refillLivePlayback(wave::WAVEHDR* header) {
  const size_t frames = app::framesOf(header);
  const bool capturing = CaptureOpen && !CaptureStopping;
  if (capturing && Live.configured() && frames <= Live.playbackFrames &&
      (Live.waitingCount > 0 || !Live.drift.canPull(frames)) && Live.waitingCount < Live.waiting.size()) {
    if (Live.waitingCount == 0) LiveWaitTimer->start();
    Live.waiting[Live.waitingCount++] = header;
    return;
  }
  writeLivePlayback(header);
}

void TMainForm::writeLivePlayback(wave::WAVEHDR* header) {
  const size_t frames = app::framesOf(header);
  auto* out = reinterpret_cast<dsp::Sample*>(header->lpData);
  if (Live.configured() && frames <= Live.playbackFrames)
    Live.drift.pull(out, frames, StreamClock());
  else
    std::fill_n(out, 2 * frames, dsp::Sample{0});  // never replay a stale buffer
  if (wave::waveOutWrite(PlaybackHandle, header, wave::kWaveHdrSize) != wave::MMSYSERR_NOERROR)
    app::ShowErrorBox(QStringLiteral("WaveOutWrite."), this);
  showStreamCounters();
}

// Writes the held-back buffers that the queue can fill now, oldest first. With `all`, every
// one of them: after a reset they play silence; after the longest wait the queue gives what
// it has, and a queue that runs dry is counted.
void TMainForm::releaseLivePlayback(bool all) {
  while (Live.waitingCount > 0) {
    wave::WAVEHDR* header = Live.waiting[0];
    if (!all && !Live.drift.canPull(app::framesOf(header))) break;
    // Taken off the list before it is written: an error box's nested loop may come back here.
    std::copy(Live.waiting.begin() + 1, Live.waiting.begin() + static_cast<std::ptrdiff_t>(Live.waitingCount),
              Live.waiting.begin());
    --Live.waitingCount;
    if (PlaybackActive && !PlaybackStopping && PlaybackHandle) writeLivePlayback(header);
  }
  if (Live.waitingCount == 0) LiveWaitTimer->stop();
}

// The queue's underruns and overflows, in the window's title once either has moved: no
// box interrupts the user, and the title is back to plain while both are 0.
void TMainForm::showStreamCounters(bool always) {
  const uint64_t underruns = Live.configured() ? Live.drift.underruns() : 0;
  const uint64_t overflows = Live.configured() ? Live.drift.overflows() : 0;
  if (!always && underruns == Live.shownUnderruns && overflows == Live.shownOverflows) return;
  Live.shownUnderruns = underruns;
  Live.shownOverflows = overflows;
  QString title = QStringLiteral(" Tovrel");
  if (streamMode() && (underruns != 0 || overflows != 0))
    title += QStringLiteral(" — поток: опустошений %1, переполнений %2").arg(underruns).arg(overflows);
  setWindowTitle(title);
}
