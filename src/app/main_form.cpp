#include "app/main_form.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOptionToolButton>
#include <QTimer>
#include <utility>

#include "app/device_lists.hpp"
#include "app/globals.hpp"
#include "app/pictures.hpp"
#include "display/led_display.hpp"
#include "display/ruler.hpp"

namespace app {

// ---------------------------------------------------------------------------------------
// Small widgets

SpeedButton::SpeedButton(QWidget* parent) : QToolButton(parent) {
  setCheckable(true);
  // A speed button never takes the keyboard focus.
  setFocusPolicy(Qt::NoFocus);
}

SpeedButton::Face SpeedButton::currentFace() const {
  if (!isEnabled()) return FaceDisabled;
  if (isDown()) return FaceHeldDown;
  if (isChecked()) return FaceDown;
  return FaceUp;
}

void SpeedButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPixmap& face = Faces[currentFace()];
  if (face.isNull())
    painter.fillRect(rect(), palette().button());
  else
    painter.drawPixmap(rect(), face);
}

PaintBox::PaintBox(QWidget* parent) : QWidget(parent) {}

void PaintBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (OnPaint) OnPaint(painter);
}

WaveNoticeEvent::WaveNoticeEvent(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error)
    : QEvent(eventType()), Message(message), Device(device), Header(header), Error(error) {}

QEvent::Type WaveNoticeEvent::eventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

WindowPlacement KeepWindowOnScreen(int left, int top, int width, int height, QSize screen) {
  if (left < 0) left = 0;
  if (left > screen.width() - width) left = screen.width() - width;
  if (top < 0) top = 0;
  if (top > screen.height() - height - 30) top = screen.height() - height - 30;
  if (height > screen.height() - 60) height = screen.height() - 60;
  return WindowPlacement{left, top, height};
}

namespace {

// Turns each device notice into a posted event for the window; called on device worker
// threads, so it only queues (postEvent is thread-safe) and returns.
class WindowNoticeTarget : public wave::NoticeTarget {
 public:
  explicit WindowNoticeTarget(QObject* receiver) : receiver_(receiver) {}
  void postWaveNotice(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error) override {
    QCoreApplication::postEvent(receiver_, new WaveNoticeEvent(message, device, header, error));
  }

 private:
  QObject* receiver_;
};

const QColor kFormColour(170, 162, 146);
const QColor kPanelGrey(81, 81, 81);
const QColor kSilver(192, 192, 192);

void setColours(QWidget* w, const QColor& background, const QColor& text) {
  QPalette pal = w->palette();
  for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) pal.setColor(role, background);
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) pal.setColor(role, text);
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

void setTextColour(QWidget* w, const QColor& text) {
  QPalette pal = w->palette();
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) pal.setColor(role, text);
  w->setPalette(pal);
}

QLabel* makeLabel(QWidget* parent, const QString& text, QRect geometry, const QColor& colour) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  setTextColour(label, colour);
  return label;
}

QLabel* makeImage(QWidget* parent, const QImage& picture, QRect geometry, bool stretched) {
  auto* image = new QLabel(parent);
  image->setGeometry(geometry);
  image->setPixmap(QPixmap::fromImage(picture));
  image->setScaledContents(stretched);
  return image;
}

QComboBox* makeList(QWidget* parent, QRect geometry) {
  auto* box = new QComboBox(parent);
  box->setGeometry(geometry);
  setColours(box, kPanelGrey, Qt::white);
  return box;
}

QCheckBox* makeCheckBox(QWidget* parent, const QString& text, QRect geometry) {
  auto* box = new QCheckBox(text, parent);
  box->setGeometry(geometry);
  setTextColour(box, Qt::black);
  return box;
}

TLedDisplay* makeMeter(QWidget* parent, QRect geometry) {
  auto* meter = new TLedDisplay(parent);
  meter->setGeometry(geometry);
  meter->setOrientation(loHorizontal);
  meter->setCtl3D(false);
  meter->setSpacing(-1);
  meter->setMax(32767);
  meter->setPosition(0);
  meter->setBlockACount(35);
  meter->setBlockBCount(9);
  meter->setBlockCCount(6);
  meter->setActiveColor1(clLime);
  meter->setActiveColor2(clYellow);
  meter->setActiveColor3(clRed);
  meter->setDeadColor1(clGreen);
  meter->setDeadColor2(clOlive);
  meter->setDeadColor3(clMaroon);
  return meter;
}

// The rate in the device labels, in kilohertz without trailing zeros ("48", "5.512").
QString kilohertz(uint32_t hertz) { return QLocale().toString(hertz / 1000.0, 'g', 10); }

// An auto-sized label grows to its text but never below its design width.
void fitLabel(QLabel* label, int designWidth) {
  label->resize(std::max(designWidth, label->sizeHint().width()), label->height());
}

// The sans-serif face in place of the designed one is a little wider: a check box may
// grow up to `rightLimit` (its neighbour or the window's edge), and if its text still
// does not fit, its letters close up slightly rather than being cut off.
void fitCheckBox(QCheckBox* box, int rightLimit) {
  const int available = rightLimit - box->x();
  box->resize(std::max(box->width(), std::min(box->sizeHint().width(), available)), box->height());
  for (int percent = 99; box->sizeHint().width() > box->width() && percent >= 85; --percent) {
    QFont font = box->font();
    font.setLetterSpacing(QFont::PercentageSpacing, percent);
    box->setFont(font);
  }
}

}  // namespace

}  // namespace app

using namespace app;

// ---------------------------------------------------------------------------------------
// Construction

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral(" Tovrel"));
  setFixedSize(482, 453);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPointSize(8);
  setFont(font);
  setColours(this, kFormColour, Qt::black);

  noticeTarget_ = std::make_unique<WindowNoticeTarget>(this);
  ScreenSize = [this] {
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->geometry().size() : QSize(1024, 768);
  };

  buildControls();
  connectHandlers();
  FormCreate();
  Timer1->start();
}

TMainForm::~TMainForm() { FormDestroy(); }

void TMainForm::buildControls() {
  LabelInDevice = makeLabel(this, QStringLiteral("Входное устройство :"), {4, 155, 108, 13}, Qt::black);
  CbWaveInDevice = makeList(this, {2, 171, 238, 21});

  Panel1 = new QFrame(this);
  Panel1->setGeometry(2, 1, 238, 96);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setLineWidth(1);
  setColours(Panel1, Qt::black, Qt::black);
  // The panel's own caption, black on black as designed: present but never seen.
  auto* panelCaption = makeLabel(Panel1, QStringLiteral("Panel1"), {1, 1, 236, 94}, Qt::black);
  panelCaption->setAlignment(Qt::AlignCenter);
  panelCaption->setObjectName(QStringLiteral("Panel1Caption"));

  LabeOutDevice = makeLabel(this, QStringLiteral("Выходное устройство :"), {4, 211, 116, 13}, Qt::black);
  CbWaveOutDevice = makeList(this, {2, 227, 238, 21});

  const QImage clip = ClipMarkPicture();
  ImageA = makeImage(Panel1, clip, {213, 13, 14, 8}, true);
  ImgScale1 = makeImage(Panel1, ScalePicture(false), {63, 23, 164, 18}, false);
  LabelInA = makeLabel(Panel1, QStringLiteral("Вход (L) :"), {8, 10, 45, 13}, kSilver);
  LedInA = makeMeter(Panel1, {62, 11, 150, 12});

  LabelBPS = makeLabel(this, QStringLiteral("Частота дискретизации входа (Моно) :"), {4, 107, 196, 13}, Qt::black);
  fitLabel(LabelBPS, 196);
  CbBitrate = makeList(this, {2, 123, 238, 21});
  for (const char* rate : {"192000", "96000", "48000", "44100", "32000", "24000", "22050", "16000", "12000", "11025",
                           "8000", "7000", "6000", "5000", "4000"})
    CbBitrate->addItem(QString::fromLatin1(rate));
  CbBitrate->setCurrentIndex(2);
  CbBitrate->setMaxVisibleItems(15);

  PanelSA = new QFrame(this);
  PanelSA->setGeometry(244, 0, 238, 453);
  PanelSA->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  PanelSA->setLineWidth(1);
  setColours(PanelSA, kPanelGrey, Qt::white);
  pbss = new PaintBox(PanelSA);
  pbss->setGeometry(1, 1, 207, 451);
  setTextColour(pbss, QColor(0, 255, 0));
  RulerPaintBox = new PaintBox(PanelSA);
  RulerPaintBox->setGeometry(208, 1, 29, 451);
  setColours(RulerPaintBox, kPanelGrey, Qt::white);
  RulerPaintBox->setFont(display::RulerFont());

  ImgScale2 = makeImage(Panel1, ScalePicture(true), {63, 55, 164, 18}, false);
  LedOutA = makeMeter(Panel1, {62, 41, 150, 12});
  LabelOutA = makeLabel(Panel1, QStringLiteral("Выход L:"), {8, 39, 44, 13}, kSilver);
  ImageOA = makeImage(Panel1, clip, {213, 43, 14, 8}, true);
  LabelOutB = makeLabel(Panel1, QStringLiteral("Выход R:"), {8, 71, 46, 13}, kSilver);
  LedOutB = makeMeter(Panel1, {62, 73, 150, 12});
  ImageOB = makeImage(Panel1, clip, {213, 75, 14, 8}, true);
  for (QLabel* label : {LabelInA, LabelOutA, LabelOutB}) fitLabel(label, label->width());

  cbIQ = makeCheckBox(this, QStringLiteral("I/Q выходной сигнал"), {8, 299, 201, 17});
  cbInvertSpectr = makeCheckBox(this, QStringLiteral("Инверсия выходного спектра"), {8, 331, 201, 17});
  cbSpectr = makeCheckBox(this, QStringLiteral("Входной спектр"), {8, 267, 105, 17});
  cbInvertOut = makeCheckBox(this, QStringLiteral("Фильтрация IQ (опция)"), {8, 363, 169, 17});

  SBDin = new SpeedButton(this);
  SBDin->setGeometry(155, 402, 75, 40);
  SBMic = new SpeedButton(this);
  SBMic->setGeometry(12, 402, 75, 40);
  const auto micFaces = SpeedButtonFaces(ButtonGlyph::Microphone);
  const auto speakerFaces = SpeedButtonFaces(ButtonGlyph::Speaker);
  for (size_t i = 0; i < micFaces.size(); ++i) {
    SBMic->Faces[i] = QPixmap::fromImage(micFaces[i]);
    SBDin->Faces[i] = QPixmap::fromImage(speakerFaces[i]);
  }

  cbLog = makeCheckBox(this, QStringLiteral("Логарифмически"), {120, 267, 121, 17});
  fitCheckBox(cbSpectr, cbLog->x());
  for (QCheckBox* box : {cbIQ, cbInvertSpectr, cbInvertOut, cbLog}) fitCheckBox(box, 242);

  Image1 = makeImage(this, RunningIndicatorPicture(), {102, 402, 42, 40}, false);
  Image1->setAttribute(Qt::WA_TranslucentBackground);

  for (QLabel* image : {ImageA, ImageOA, ImageOB, Image1}) image->hide();

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);

  // Keyboard order of the window's focusable controls.
  setTabOrder(CbBitrate, CbWaveInDevice);
  setTabOrder(CbWaveInDevice, CbWaveOutDevice);
  setTabOrder(CbWaveOutDevice, cbSpectr);
  setTabOrder(cbSpectr, cbIQ);
  setTabOrder(cbIQ, cbInvertSpectr);
  setTabOrder(cbInvertSpectr, cbInvertOut);
  setTabOrder(cbInvertOut, cbLog);
}

void TMainForm::connectHandlers() {
  // Boxes react only to the user's choice, never to the code setting an index.
  connect(CbWaveInDevice, &QComboBox::activated, this, [this] { CbWaveInDeviceChange(); });
  connect(CbWaveOutDevice, &QComboBox::activated, this, [this] { CbWaveOutDeviceChange(); });
  connect(CbBitrate, &QComboBox::activated, this, [this] { CbBitrateChange(); });
  connect(cbSpectr, &QCheckBox::clicked, this, [this] { cbSpectrClick(); });
  connect(SBMic, &QToolButton::clicked, this, [this] { SBMicClick(); });
  connect(SBDin, &QToolButton::clicked, this, [this] { SBDinClick(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  pbss->OnPaint = [this](QPainter& p) { pbssPaint(p); };
  RulerPaintBox->OnPaint = [this](QPainter& p) { RulerPaintBoxPaint(p); };
}

// ---------------------------------------------------------------------------------------
// Window handlers

void TMainForm::FormCreate() {
  CaptureOpen = false;
  PlaybackActive = false;
  CaptureStopping = false;
  PlaybackStopping = false;
  PlaybackOpen = false;
  CaptureHandle = nullptr;
  PlaybackHandle = nullptr;
  Spectrum.create(pbss->size());
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!firstShowDone_) {
    firstShowDone_ = true;
    FormShow();
  }
}

void TMainForm::FormShow() {
  LoadSettings();
  ConfigureStream(SampleRate);

  FillWaveDeviceList(CbWaveInDevice, wave::Direction::Capture, true);
  FillWaveDeviceList(CbWaveOutDevice, wave::Direction::Playback, true);
  chooseStoredDevices();
  // An index beyond the list leaves the box without a selection; the id stays.
  auto select = [](QComboBox* box, int32_t id) {
    const int64_t index = int64_t{id} + 1;
    box->setCurrentIndex(index >= 0 && index < box->count() ? static_cast<int>(index) : -1);
  };
  select(CbWaveInDevice, InDeviceId);
  select(CbWaveOutDevice, OutDeviceId);

  // The clamp sees the outer size from before the spectrum switch changes the width.
  const QSize outer = frameGeometry().size();
  const WindowPlacement placed = KeepWindowOnScreen(StoredLeft, StoredTop, outer.width(), outer.height(), ScreenSize());
  move(placed.Left, placed.Top);
  shownFramePosition_ = QPoint(placed.Left, placed.Top);
  if (placed.Height != outer.height()) setFixedHeight(placed.Height - (outer.height() - height()));

  if (SAMode == 1)
    cbSpectr->setChecked(true);
  else if (SAMode == 0)
    cbSpectr->setChecked(false);
  cbSpectrClick();
  CbBitrateChange();
}

// The stored position is the frame's, and the close query stores the frame's. A window
// manager that frames the window only after it is shown (X11) puts the client area where
// the frame was asked for, so every run would start a title bar higher than the last.
// Once the frame is known (no event says so; the window checks each event until then),
// the window is moved so that the frame sits where show put it.
void TMainForm::keepShownFramePosition() {
  const QPoint frame = frameGeometry().topLeft();
  if (frame == geometry().topLeft()) return;  // no frame yet
  const QPoint wanted = *std::exchange(shownFramePosition_, std::nullopt);
  if (frame != wanted) move(wanted);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FormCloseQuery();
  event->accept();
}

void TMainForm::FormCloseQuery() {
  // Both devices are stopped and closed here: closing joins a device's worker, so no
  // buffer of the window is touched once the close query is over.
  if (CaptureOpen || CaptureHandle) {
    CaptureStopping = true;
    stopCapture();
  }
  if (PlaybackActive || PlaybackHandle) {
    PlaybackStopping = true;
    stopPlayback();
  }
  SaveSettings();
}

void TMainForm::FormDestroy() {
  // A window destroyed without a close query still closes its devices before its
  // buffers go.
  if (CaptureHandle) {
    CaptureStopping = true;
    stopCapture();
  }
  if (PlaybackHandle) {
    PlaybackStopping = true;
    stopPlayback();
  }
}

void TMainForm::CbWaveInDeviceChange() { InDeviceId = CbWaveInDevice->currentIndex() - 1; }

void TMainForm::CbWaveOutDeviceChange() { OutDeviceId = CbWaveOutDevice->currentIndex() - 1; }

void TMainForm::CbBitrateChange() {
  // Without a number in the box (no entry selected) the current rate stays.
  bool ok = false;
  const int rate = CbBitrate->currentText().trimmed().toInt(&ok);
  if (ok && rate > 0) SampleRate = rate;
  ConfigureStream(SampleRate);
}

void TMainForm::Timer1Timer() { Image1->setVisible(CaptureOpen && PlaybackActive); }

void TMainForm::ConfigureStream(int32_t rate) {
  Stream.Configure(rate);
  ResetControls();
  LabelInDevice->setText(QStringLiteral("Входное устройство : ") + kilohertz(Stream.CaptureFormat.nSamplesPerSec) +
                         QStringLiteral(" кГц Моно"));
  LabeOutDevice->setText(QStringLiteral("Выходное устройство : ") + kilohertz(Stream.PlaybackFormat.nSamplesPerSec) +
                         QStringLiteral(" кГц Стерео"));
  fitLabel(LabelInDevice, 108);
  fitLabel(LabeOutDevice, 116);
  // The ruler's labels follow the rate at once.
  RulerPaintBox->update();
}

void TMainForm::setClientWidth(int width) { setFixedSize(width, height()); }
