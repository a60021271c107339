// The capture and playback pipeline: the two toggle buttons, the device notices, the
// control reset and the per-block processing.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <algorithm>
#include <cstring>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "display/led_display.hpp"
#include "dsp/converter.hpp"

using namespace app;

namespace {

constexpr uint32_t kOpenFlags = wave::CALLBACK_WINDOW | wave::WAVE_MAPPED;

QString errorText(wave::MMRESULT code) { return QString::fromStdString(wave::WaveErrorText(code)); }

}  // namespace

void TMainForm::prepareHeader(wave::WAVEHDR& header, dsp::Sample* buffer, size_t samples) const {
  header.lpData = reinterpret_cast<char*>(buffer);
  header.dwBufferLength = static_cast<uint32_t>(samples * sizeof(dsp::Sample));
  header.dwBytesRecorded = 0;
  header.dwFlags = 0;
  header.dwLoops = 0;
  header.lpNext = nullptr;
  header.reserved = 0;
}

// A device whose open was asked for but not yet reported (handle set, no open notice),
// or whose close was asked for but not yet reported (no handle, open notice still in
// force). A click then would open a second device over the first handle, or act on a
// half-closed one, so the click is refused.
bool TMainForm::devicePending(bool handleSet, bool openNoticed) const { return handleSet != openNoticed; }

// A stored id one past the last device (a card unplugged since the last run, or no
// device at all) is not refused silently, which would leave the button down with nothing
// running: the open is tried and its failure is shown, and the button comes up.
void TMainForm::SBMicClick() {
  if (stopRecovering(wave::Direction::Capture)) return;
  if (devicePending(CaptureHandle != nullptr, CaptureOpen)) {
    SBMic->setChecked(!SBMic->isChecked());
    return;
  }
  ResetControls();
  CaptureStopping = !SBMic->isChecked();
  if (CaptureOpen) {
    stopCapture();
    return;
  }

  const bool live = streamMode();
  LastWaveResult = openCapture();
  if (LastWaveResult != wave::MMSYSERR_NOERROR) {
    ShowWarningBox(errorText(LastWaveResult), this);
    SBMic->setChecked(false);
    CbWaveInDevice->setEnabled(!SBMic->isChecked());
    return;
  }
  if (live) {
    LastWaveResult = live_->startCapture(CaptureHandle);
    if (LastWaveResult != wave::MMSYSERR_NOERROR) ShowWarningBox(errorText(LastWaveResult), this);
    return;
  }
  for (int i = 0; i < dsp::kBufferCount; ++i) {
    // A box's nested loop may have handled a failure notice that closed the device.
    if (!CaptureHandle) return;
    wave::WAVEHDR& header = CaptureHeaders[i];
    prepareHeader(header, Stream.CaptureBuffers[i].data(), static_cast<size_t>(Stream.BlockSamples));
    LastWaveResult = wave::waveInPrepareHeader(CaptureHandle, &header, wave::kWaveHdrSize);
    if (LastWaveResult != wave::MMSYSERR_NOERROR) ShowWarningBox(errorText(LastWaveResult), this);
    if (!CaptureHandle) return;
    LastWaveResult = wave::waveInAddBuffer(CaptureHandle, &header, wave::kWaveHdrSize);
    if (LastWaveResult != wave::MMSYSERR_NOERROR) ShowWarningBox(errorText(LastWaveResult), this);
  }
  if (!CaptureHandle) return;
  LastWaveResult = wave::waveInStart(CaptureHandle);
  if (LastWaveResult != wave::MMSYSERR_NOERROR) ShowWarningBox(errorText(LastWaveResult), this);
}

void TMainForm::SBDinClick() {
  if (stopRecovering(wave::Direction::Playback)) return;
  if (devicePending(PlaybackHandle != nullptr, PlaybackOpen)) {
    SBDin->setChecked(!SBDin->isChecked());
    return;
  }
  ResetControls();
  PlaybackStopping = !SBDin->isChecked();
  if (SBDin->isChecked()) {
    // The buffers are primed when the open notice arrives.
    LastWaveResult = openPlayback();
    if (LastWaveResult != wave::MMSYSERR_NOERROR) {
      ShowWarningBox(errorText(LastWaveResult), this);
      SBDin->setChecked(false);
      CbWaveOutDevice->setEnabled(!SBDin->isChecked());
      PlaybackActive = false;
    }
  } else {
    stopPlayback();
  }
}

// In stream mode the engine is the devices' target: it takes the buffers on the audio
// side and hands the open, close and failure notices on to the window.
wave::MMRESULT TMainForm::openCapture() {
  const bool live = streamMode();
  const wave::MMRESULT result =
      wave::waveInOpen(&CaptureHandle, InDeviceId, &Stream.CaptureFormat,
                       live ? static_cast<wave::NoticeTarget*>(live_.get()) : noticeTarget_.get(), 0, kOpenFlags);
  if (result != wave::MMSYSERR_NOERROR) CaptureHandle = nullptr;
  return result;
}

wave::MMRESULT TMainForm::openPlayback() {
  const bool live = streamMode();
  const wave::MMRESULT result =
      wave::waveOutOpen(&PlaybackHandle, OutDeviceId, &Stream.PlaybackFormat,
                        live ? static_cast<wave::NoticeTarget*>(live_.get()) : noticeTarget_.get(), 0,
                        live ? kOpenFlags | wave::WAVE_LOW_DELAY : kOpenFlags);
  if (result != wave::MMSYSERR_NOERROR) PlaybackHandle = nullptr;
  return result;
}

void TMainForm::stopCapture() {
  if (CaptureHandle && streamMode()) live_->stopping(wave::Direction::Capture);
  if (CaptureHandle) wave::waveInReset(CaptureHandle);
  if (CaptureHandle) wave::waveInClose(CaptureHandle);
  CaptureHandle = nullptr;
}

void TMainForm::stopPlayback() {
  if (PlaybackHandle && streamMode()) live_->stopping(wave::Direction::Playback);
  if (PlaybackHandle) wave::waveOutReset(PlaybackHandle);
  if (PlaybackHandle) wave::waveOutClose(PlaybackHandle);
  PlaybackHandle = nullptr;
}

// A device that failed while running is stopped and closed; its button comes up and the
// user is told. The other device goes on.
void TMainForm::captureFailed(wave::MMRESULT code) {
  CaptureStopping = true;
  stopCapture();
  SBMic->setChecked(false);
  ResetControls();
  ShowWarningBox(errorText(code), this);
}

void TMainForm::playbackFailed(wave::MMRESULT code) {
  PlaybackStopping = true;
  stopPlayback();
  SBDin->setChecked(false);
  ResetControls();
  ShowWarningBox(errorText(code), this);
}

bool TMainForm::event(QEvent* event) {
  if (shownFramePosition_) keepShownFramePosition();
  if (event->type() == QEvent::ScreenChangeInternal) drawPictures();
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
  if (event->type() == QEvent::DevicePixelRatioChange) drawPictures();
#endif
  if (event->type() == WaveNoticeEvent::eventType()) handleWaveNotice(*static_cast<WaveNoticeEvent*>(event));
  return QWidget::event(event);
}

void TMainForm::handleWaveNotice(const WaveNoticeEvent& notice) {
  switch (notice.Message) {
    case wave::MM_WIM_OPEN: captureOpened(notice); break;
    case wave::MM_WIM_DATA: takeCapturedBlock(notice.Header); break;
    case wave::MM_WIM_CLOSE: captureClosed(); break;
    case wave::MM_WOM_OPEN: primePlayback(notice); break;
    case wave::MM_WOM_DONE: refillPlayback(notice.Header); break;
    case wave::MM_WOM_CLOSE: playbackClosed(); break;
    // Stream mode opens the devices again on its own, as the headless service does.
    case wave::MM_WIM_FAILED:
      if (!CaptureHandle || notice.Device != CaptureHandle) break;
      streamMode() ? devicesLost(notice.Error) : captureFailed(notice.Error);
      break;
    case wave::MM_WOM_FAILED:
      if (!PlaybackHandle || notice.Device != PlaybackHandle) break;
      streamMode() ? devicesLost(notice.Error) : playbackFailed(notice.Error);
      break;
    default: break;
  }
}

void TMainForm::captureOpened(const WaveNoticeEvent& notice) {
  CaptureOpen = true;
  if (CaptureHandle && notice.Device == CaptureHandle) tellDeviceRate(wave::Direction::Capture, CaptureHandle);
}

// A device that runs at another rate than the stream's is resampled by the sound server:
// a capture device slower than the stream carries nothing above half its own rate, a
// playback device at another rate than the I/Q output may lose the band's edges. The
// user is told what they get and how to fix it, once per device and rate; nothing else
// changes.
void TMainForm::tellDeviceRate(wave::Direction direction, void* device) {
  const bool capture = direction == wave::Direction::Capture;
  const uint32_t asked = capture ? Stream.CaptureFormat.nSamplesPerSec : Stream.PlaybackFormat.nSamplesPerSec;
  const uint32_t actual = wave::waveGetDeviceRate(direction, device);
  if (actual == 0 || actual == asked) return;
  const QString name = (capture ? CbWaveInDevice : CbWaveOutDevice)->currentText();
  const QString text = capture
                           ? QStringLiteral(
                                 "Capture device \"%1\" runs at %2 Hz, not at the %3 Hz chosen: the sound server "
                                 "resamples it, so the input carries nothing above %4 Hz. Choose %2 Hz, or let the "
                                 "server run the device at %3 Hz (PipeWire: add %3 to default.clock.allowed-rates; "
                                 "PulseAudio: make %3 the device's rate).")
                                 .arg(name)
                                 .arg(actual)
                                 .arg(asked)
                                 .arg(std::min(actual, asked) / 2)
                           : QStringLiteral(
                                 "Playback device \"%1\" runs at %2 Hz, not at the %3 Hz of the I/Q output: the sound "
                                 "server resamples it, and the edges of the band may be lost. Make the device run at "
                                 "%3 Hz (for a virtual cable: rate=%3, see the README).")
                                 .arg(name)
                                 .arg(actual)
                                 .arg(asked);
  if (rateNoticesShown_.contains(text)) return;
  rateNoticesShown_.append(text);
  ShowWarningBox(text, this);
}

// A full capture buffer: converted unless capture is stopping, then queued again
// unchanged (the header stays prepared).
void TMainForm::takeCapturedBlock(wave::WAVEHDR* header) {
  if (!header) return;
  if (!CaptureStopping) {
    const size_t bytes = std::min<size_t>(header->dwBytesRecorded, Stream.WorkBuffer.size() * sizeof(dsp::Sample));
    std::memcpy(Stream.WorkBuffer.data(), header->lpData, bytes);
    ProcessBlock();
  }
  if (CaptureHandle) {
    LastWaveResult = wave::waveInAddBuffer(CaptureHandle, header, wave::kWaveHdrSize);
    if (LastWaveResult != wave::MMSYSERR_NOERROR) ShowWarningBox(errorText(LastWaveResult), this);
  }
}

void TMainForm::captureClosed() {
  CaptureOpen = false;
  CaptureStopping = false;
}

// The playback device is open: four silent buffers are prepared and written.
void TMainForm::primePlayback(const WaveNoticeEvent& notice) {
  PlaybackOpen = true;
  // The open notice of a device already closed again has nothing to prime.
  if (!PlaybackHandle || notice.Device != PlaybackHandle) return;
  tellDeviceRate(wave::Direction::Playback, PlaybackHandle);
  // The box's nested loop may have handled a failure notice that closed the device.
  if (PlaybackHandle != notice.Device) return;
  // Stream mode: the engine keeps fewer, shorter buffers queued (what waits in them is
  // delay) and refills them on the audio side.
  if (streamMode()) {
    if (live_->startPlayback(PlaybackHandle) != wave::MMSYSERR_NOERROR)
      ShowErrorBox(QStringLiteral("WaveOutWrite"), this);
    else
      PlaybackActive = true;
    return;
  }
  const int count = dsp::kBufferCount;
  for (int i = 0; i < count; ++i) {
    // An error box's nested loop may have handled a failure notice that closed the
    // device: the headers left are not prepared against a null handle.
    if (PlaybackHandle != notice.Device) break;
    std::vector<dsp::Sample>& buffer = Stream.PlaybackBuffers[i];
    std::fill(buffer.begin(), buffer.end(), dsp::Sample{0});
    prepareHeader(PlaybackHeaders[i], buffer.data(), buffer.size());
    if (wave::waveOutPrepareHeader(PlaybackHandle, &PlaybackHeaders[i], wave::kWaveHdrSize) != wave::MMSYSERR_NOERROR)
      ShowErrorBox(QStringLiteral("WaveOutPrepareHeader"), this);
    else
      PlaybackActive = true;
  }
  // Every header is written, prepared or not: playback starts with silent buffers.
  for (int i = 0; i < count; ++i) {
    if (PlaybackHandle != notice.Device) break;
    if (wave::waveOutWrite(PlaybackHandle, &PlaybackHeaders[i], wave::kWaveHdrSize) != wave::MMSYSERR_NOERROR)
      ShowErrorBox(QStringLiteral("WaveOutWrite"), this);
  }
}

// A played buffer is refilled with the latest block and written again.
void TMainForm::refillPlayback(wave::WAVEHDR* header) {
  if (!header || !PlaybackActive || PlaybackStopping || !PlaybackHandle) return;
  std::memcpy(header->lpData, Stream.WorkBuffer.data(),
              std::min<size_t>(header->dwBufferLength, Stream.WorkBuffer.size() * sizeof(dsp::Sample)));
  if (wave::waveOutWrite(PlaybackHandle, header, wave::kWaveHdrSize) != wave::MMSYSERR_NOERROR)
    ShowErrorBox(QStringLiteral("WaveOutWrite."), this);
}

void TMainForm::playbackClosed() {
  PlaybackStopping = false;
  PlaybackActive = false;
  PlaybackOpen = false;
}

void TMainForm::ResetControls() {
  CbWaveInDevice->setEnabled(!SBMic->isChecked());
  CbWaveOutDevice->setEnabled(!SBDin->isChecked());
  CbBitrate->setEnabled(!SBMic->isChecked() && !SBDin->isChecked());
  StreamModeAction->setEnabled(!SBMic->isChecked() && !SBDin->isChecked());
  std::fill(Stream.WorkBuffer.begin(), Stream.WorkBuffer.end(), dsp::Sample{0});
  // Whatever was queued for playback belongs to the stream before the click.
  if (streamMode()) live_->restartStream();
  LedInA->setPosition(0);
  LedOutA->setPosition(0);
  LedOutB->setPosition(0);
  ImageA->hide();
  ImageOA->hide();
  ImageOB->hide();
}

void TMainForm::ProcessBlock() {
  // The spectrum shows the raw block, so its column is drawn before the conversion.
  if (CaptureOpen && SAMode != 0) {
    Spectrum.RenderSpectrumColumn(Stream, cbLog->isChecked());
    pbss->update();
  }
  const dsp::BlockLevels levels =
      dsp::ConvertBlock(Stream, {cbIQ->isChecked(), cbInvertOut->isChecked(), cbInvertSpectr->isChecked()});
  LedInA->setPosition(levels.Input.Position);
  ImageA->setVisible(levels.Input.Clipped);
  LedOutA->setPosition(levels.Output.Left.Position);
  LedOutB->setPosition(levels.Output.Right.Position);
  ImageOA->setVisible(levels.Output.Left.Clipped);
  ImageOB->setVisible(levels.Output.Right.Clipped);
}
