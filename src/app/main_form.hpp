#pragma once
// The main window: a thin owner of the controls, the stream configuration, the two
// wave devices and the spectrum images. Layout and window handlers live in
// main_form.cpp, the capture/playback pipeline in main_form_pipeline.cpp, the display
// handlers in main_form_display.cpp and the settings in main_form_settings.cpp.
#include <QEvent>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QToolButton>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/device_lists.hpp"
#include "app/settings_store.hpp"
#include "display/spectrum_display.hpp"
#include "dsp/stream_config.hpp"
#include "live/live_engine.hpp"
#include "wave/wave.hpp"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPainter;
class QTimer;
namespace display {
class TLedDisplay;
}

namespace app {

// A latching speed button drawn from four faces: up, disabled, down, held down.
class SpeedButton : public QToolButton {
  Q_OBJECT
 public:
  enum Face { FaceUp = 0, FaceDisabled = 1, FaceDown = 2, FaceHeldDown = 3 };
  explicit SpeedButton(QWidget* parent = nullptr);
  std::array<QPixmap, 4> Faces;
  // The face the button shows in its present state.
  Face currentFace() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A plain drawing surface whose paint handler is one of the window's.
class PaintBox : public QWidget {
  Q_OBJECT
 public:
  explicit PaintBox(QWidget* parent = nullptr);
  std::function<void(QPainter&)> OnPaint;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A wave-device notice carried to the window's thread as a posted Qt event.
class WaveNoticeEvent : public QEvent {
 public:
  WaveNoticeEvent(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error);
  static QEvent::Type eventType();
  uint32_t Message;
  void* Device;
  wave::WAVEHDR* Header;
  wave::MMRESULT Error;
};

// Whether the platform's compositor places top-level windows itself and tells no client
// where they are (Wayland): a stored position can neither be applied nor read back there.
bool CompositorPlacesWindows(const QString& platformName);

// Where a window whose frame is `frame` goes for the stored frame position `stored` on a
// screen whose free area (panels excluded) is `available`: not past the area's right edge,
// 30 pixels clear of its bottom, and never left of or above it, so a window larger than
// the area sits whole at its top-left corner. The window keeps its size. Nothing (no move)
// where the compositor places windows.
std::optional<QPoint> KeepWindowOnScreen(QPoint stored, QSize frame, QRect available, const QString& platformName);

// The window's title in stream mode once a listener could have heard a break: the number
// of breaks, then of each kind.
// With the queue's delay: it grows after breaks a loaded machine causes.
QString StreamTitle(uint64_t breaks, uint64_t underruns, uint64_t overflows, uint64_t restarts, long queueMs);
// The title while the devices lost in stream mode are being opened again.
QString StreamLostTitle();

}  // namespace app

class TMainForm : public QWidget {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // Controls, in the window's declaration order. The names are fixed; where one does not
  // say what the control is, its comment does.
  QLabel* LabelInDevice = nullptr;  // title of the capture box, with the capture rate
  QComboBox* CbWaveInDevice = nullptr;
  QFrame* Panel1 = nullptr;         // the black panel of the three meters
  QLabel* LabeOutDevice = nullptr;  // title of the playback box, with the playback rate
  QComboBox* CbWaveOutDevice = nullptr;
  QLabel* ImageA = nullptr;     // input clip mark
  QLabel* ImgScale1 = nullptr;  // scale under the input meter
  QLabel* LabelInA = nullptr;
  display::TLedDisplay* LedInA = nullptr;  // input level
  QLabel* LabelBPS = nullptr;              // title of the rate box
  QComboBox* CbBitrate = nullptr;          // input sample rate in hertz
  QFrame* PanelSA = nullptr;               // the spectrum panel: spectrogram and ruler
  app::PaintBox* pbss = nullptr;           // the spectrogram
  app::PaintBox* RulerPaintBox = nullptr;
  QLabel* ImgScale2 = nullptr;              // scale between the two output meters
  display::TLedDisplay* LedOutA = nullptr;  // left output (I) level
  QLabel* LabelOutA = nullptr;
  QLabel* ImageOA = nullptr;  // left output clip mark
  QLabel* LabelOutB = nullptr;
  display::TLedDisplay* LedOutB = nullptr;  // right output (Q) level
  QLabel* ImageOB = nullptr;                // right output clip mark
  QCheckBox* cbIQ = nullptr;                // the I/Q conversion on or off
  QCheckBox* cbInvertSpectr = nullptr;      // output spectrum inversion
  QCheckBox* cbSpectr = nullptr;            // input spectrogram shown and computed
  QCheckBox* cbInvertOut = nullptr;         // the edge filter, not an inversion
  app::SpeedButton* SBDin = nullptr;        // playback on and off
  app::SpeedButton* SBMic = nullptr;        // capture on and off
  QCheckBox* cbLog = nullptr;               // logarithmic spectrogram
  QLabel* Image1 = nullptr;                 // running indicator: both devices run
  QTimer* Timer1 = nullptr;
  // Stream mode: how often the window takes the live engine's levels, counters and
  // spectrum input (main_form_stream.cpp).
  QTimer* LiveTimer = nullptr;

  // Window handlers.
  void FormCreate();
  void FormShow();
  void FormCloseQuery();
  void FormDestroy();
  void CbWaveInDeviceChange();
  void CbWaveOutDeviceChange();
  void CbBitrateChange();
  void Timer1Timer();
  void ConfigureStream(int32_t rate);

  // Settings (main_form_settings.cpp).
  void LoadSettings();
  void SaveSettings();
  void chooseStoredDevices();
  void warnIfNoSoundServer();

  // Pipeline (main_form_pipeline.cpp).
  void SBMicClick();
  void SBDinClick();
  void ResetControls();
  void ProcessBlock();

  // Live stream mode (main_form_stream.cpp).
  QAction* StreamModeAction = nullptr;  // the context menu's switch; checked: stream mode
  bool streamMode() const;
  void StreamModeToggled();
  // The live engine runs stream mode's whole path off the window's thread; the window
  // shows what it reads from it.
  live::LiveEngine* liveEngine() const { return live_.get(); }
  // Takes the engine's levels, counters and spectrum input (the LiveTimer's handler).
  void pollLiveEngine();
  // Stream mode: after the sound server or a device was lost, opens again the devices whose
  // buttons are down, on this single-shot timer, pausing longer after each failed try.
  QTimer* RecoveryTimer = nullptr;
  void reopenLostDevices();
  bool recovering() const { return lostCapture_ || lostPlayback_; }

  // Display (main_form_display.cpp).
  void cbSpectrClick();
  void pbssPaint(QPainter& painter);
  void RulerPaintBoxPaint(QPainter& painter);

  // Sizes, tables, buffers, WorkBuffer and both wave formats.
  dsp::StreamConfig Stream;

  std::array<wave::WAVEHDR, dsp::kBufferCount> CaptureHeaders{};
  std::array<wave::WAVEHDR, dsp::kBufferCount> PlaybackHeaders{};
  wave::MMRESULT LastWaveResult = wave::MMSYSERR_NOERROR;
  bool PlaybackActive = false;
  wave::HWAVEIN CaptureHandle = nullptr;
  bool CaptureOpen = false;
  wave::HWAVEOUT PlaybackHandle = nullptr;
  bool CaptureStopping = false;
  bool PlaybackStopping = false;
  // Between the playback open notice and the close notice. PlaybackActive cannot tell
  // this: it stays false when every header failed to prepare on an open device.
  bool PlaybackOpen = false;

  display::SpectrumDisplay Spectrum;

  int32_t InDeviceId = 0;
  int32_t OutDeviceId = 0;
  // The stored device names and what they chose at show (main_form_settings.cpp).
  app::DeviceChoice InDeviceChoice;
  app::DeviceChoice OutDeviceChoice;
  // The settings held a capture choice; without one, show keeps capture off the playback's sound.
  bool InDeviceStored = false;
  int32_t StoredLeft = 100;
  int32_t StoredTop = 100;

  // Open from LoadSettings until SaveSettings releases it (main_form_settings.cpp).
  std::unique_ptr<app::SettingsStore> SettingsStore;

  // Free area of the screen the window is kept on, and the platform's name; tests inject
  // their own.
  std::function<QRect()> ScreenArea;
  QString PlatformName;

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void buildControls();
  void connectHandlers();
  void handleWaveNotice(const app::WaveNoticeEvent& notice);
  void captureOpened(const app::WaveNoticeEvent& notice);
  void tellDeviceRate(wave::Direction direction, void* device);
  void takeCapturedBlock(wave::WAVEHDR* header);
  void captureClosed();
  void primePlayback(const app::WaveNoticeEvent& notice);
  void refillPlayback(wave::WAVEHDR* header);
  void playbackClosed();
  void prepareHeader(wave::WAVEHDR& header, dsp::Sample* buffer, size_t samples) const;
  void configureLiveEngine();
  void showStreamCounters(bool always = false);
  bool devicePending(bool handleSet, bool openNoticed) const;
  void stopCapture();
  void stopPlayback();
  void captureFailed(wave::MMRESULT code);
  void playbackFailed(wave::MMRESULT code);
  wave::MMRESULT openCapture();
  wave::MMRESULT openPlayback();
  void devicesLost(wave::MMRESULT code);
  bool stopRecovering(wave::Direction direction);
  void setClientWidth(int width);
  void keepOnScreen();
  void keepShownFramePosition();
  void watchForTheFrame();
  void drawPictures();

  std::unique_ptr<wave::NoticeTarget> noticeTarget_;
  std::unique_ptr<live::LiveEngine> live_;
  uint64_t shownBreaks_ = 0;
  long shownQueueMs_ = 0;
  // Devices lost in stream mode that are being opened again, and how that goes.
  bool lostCapture_ = false;
  bool lostPlayback_ = false;
  int failedReopens_ = 0;
  std::chrono::steady_clock::time_point lostSince_{};
  QStringList rateNoticesShown_;  // each told once per run
  bool firstShowDone_ = false;
  // Where show placed the window, until the window system has put its frame around the
  // window (see keepShownFramePosition).
  std::optional<QPoint> shownFramePosition_;
  // The client size at show, before the spectrum switch set the width.
  QSize shownClientSize_;
  qreal picturesRatio_ = 0;  // device pixel ratio the drawn pictures were made for
};
