#include "app/main_form.hpp"

#include <QAction>
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
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <utility>
#include <variant>

#include "app/device_lists.hpp"
#include "app/globals.hpp"
#include "app/instance.hpp"
#include "app/message_boxes.hpp"
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
    painter.drawPixmap(QPointF(0, 0), face);  // drawn for this size at this ratio: no scaling
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

bool CompositorPlacesWindows(const QString& platformName) { return platformName.startsWith(QLatin1String("wayland")); }

std::optional<QPoint> KeepWindowOnScreen(QPoint stored, QSize frame, QRect available, const QString& platformName) {
  // Moving there would be ignored, and the place the window then reports is not where it is.
  if (CompositorPlacesWindows(platformName)) return std::nullopt;
  int left = stored.x();
  int top = stored.y();
  // The far edges first, then the near ones: a window larger than the area ends at its
  // top-left corner, where its title bar and its controls can still be reached.
  left = std::min(left, available.left() + available.width() - frame.width());
  top = std::min(top, available.top() + available.height() - frame.height() - 30);
  left = std::max(left, available.left());
  top = std::max(top, available.top());
  return QPoint(left, top);
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

// Colours of the layout, as TColor values ($00BBGGRR).
constexpr display::TColor kFormColour = 9609898;  // red 170, green 162, blue 146
constexpr display::TColor kDarkGrey = 5329233;    // grey 81: the lists and the spectrum panel

// A disabled control draws its text halfway between its text colour and its background,
// so it reads as dimmed on every background of the window.
QColor dimmed(const QColor& text, const QColor& background) {
  return QColor((text.red() + background.red()) / 2, (text.green() + background.green()) / 2,
                (text.blue() + background.blue()) / 2);
}

void setTextColour(QPalette& pal, const QColor& text, const QColor& background) {
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    pal.setColor(QPalette::Active, role, text);
    pal.setColor(QPalette::Inactive, role, text);
    pal.setColor(QPalette::Disabled, role, dimmed(text, background));
  }
}

// Background and text of a control; the background stays in every state, the text dims
// when the control is disabled.
void setColours(QWidget* w, const QColor& background, const QColor& text) {
  QPalette pal = w->palette();
  for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) pal.setColor(role, background);
  setTextColour(pal, text, background);
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

// Text on the parent's background (labels, check boxes).
void setTextColour(QWidget* w, const QColor& text, const QColor& background) {
  QPalette pal = w->palette();
  setTextColour(pal, text, background);
  w->setPalette(pal);
}

// The drop-down lists are drawn flat in their own colour, their open lists too: the
// desktop style would shade them with a gradient and open them as light menus.
QString listStyleSheet(const QColor& background, const QColor& text) {
  return QStringLiteral(
             "QComboBox { background-color: %1; color: %2; border: 1px solid %4; padding: 0 4px; }"
             "QComboBox:disabled { color: %3; }"
             "QComboBox QAbstractItemView { background-color: %1; color: %2; border: 1px solid %4;"
             " selection-background-color: %5; selection-color: %2; }")
      .arg(background.name(), text.name(), dimmed(text, background).name(), background.darker(200).name(),
           QColor(0, 0, 128).name());
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

// ---------------------------------------------------------------------------------------
// The layout: one row per control, in the window's declaration order (parents before
// their children). Positions are left, top, width, height in the parent.

enum class Parent { Form, Panel1, PanelSA };
enum class Picture { None, ClipMark, Scale, ScaleBothWays, RunningIndicator, Microphone, Speaker };

// Stands for "no colour of its own": the control shows its parent's background.
constexpr display::TColor kParentColour = 0x1FFFFFFF;

using Member = std::variant<QLabel * TMainForm::*, QComboBox * TMainForm::*, QFrame * TMainForm::*,
                            display::TLedDisplay * TMainForm::*, PaintBox * TMainForm::*, QCheckBox * TMainForm::*,
                            SpeedButton * TMainForm::*>;

template <class MemberPointer>
struct ControlTypeOf;
template <class W>
struct ControlTypeOf<W * TMainForm::*> {
  using type = W;
};
template <class MemberPointer>
using ControlType = typename ControlTypeOf<MemberPointer>::type;

struct ControlRow {
  Member member;
  Parent parent;
  QRect geometry;
  const char* text = nullptr;  // caption of a label or check box, in the window's own language
  display::TColor colour = kParentColour;
  display::TColor fontColour = display::clBlack;
  Picture picture = Picture::None;  // an image's picture or a speed button's faces
};

using namespace display;
// One row per control, its caption marked for the translation tools.
// clang-format off
const ControlRow kLayout[] = {
    {&TMainForm::LabelInDevice, Parent::Form, {4, 155, 108, 13}, QT_TRANSLATE_NOOP("TMainForm", "Входное устройство :")},
    {&TMainForm::CbWaveInDevice, Parent::Form, {2, 171, 238, 21}, nullptr, kDarkGrey, clWhite},
    {&TMainForm::Panel1, Parent::Form, {2, 1, 238, 96}, nullptr, clBlack, clBlack},
    {&TMainForm::LabeOutDevice, Parent::Form, {4, 211, 116, 13}, QT_TRANSLATE_NOOP("TMainForm", "Выходное устройство :")},
    {&TMainForm::CbWaveOutDevice, Parent::Form, {2, 227, 238, 21}, nullptr, kDarkGrey, clWhite},
    {&TMainForm::ImageA, Parent::Panel1, {213, 13, 14, 8}, nullptr, kParentColour, clBlack, Picture::ClipMark},
    {&TMainForm::ImgScale1, Parent::Panel1, {63, 23, 164, 18}, nullptr, kParentColour, clBlack, Picture::Scale},
    {&TMainForm::LabelInA, Parent::Panel1, {8, 10, 45, 13}, QT_TRANSLATE_NOOP("TMainForm", "Вход (L) :"), kParentColour, clSilver},
    {&TMainForm::LedInA, Parent::Panel1, {62, 11, 150, 12}},
    {&TMainForm::LabelBPS, Parent::Form, {4, 107, 196, 13}, QT_TRANSLATE_NOOP("TMainForm", "Частота дискретизации входа (Моно) :")},
    {&TMainForm::CbBitrate, Parent::Form, {2, 123, 238, 21}, nullptr, kDarkGrey, clWhite},
    {&TMainForm::PanelSA, Parent::Form, {244, 0, 238, 453}, nullptr, kDarkGrey, clWhite},
    {&TMainForm::pbss, Parent::PanelSA, {1, 1, 207, 451}, nullptr, kParentColour, clLime},
    {&TMainForm::RulerPaintBox, Parent::PanelSA, {208, 1, kRulerWidth, 451}, nullptr, kDarkGrey, clWhite},
    {&TMainForm::ImgScale2, Parent::Panel1, {63, 55, 164, 18}, nullptr, kParentColour, clBlack, Picture::ScaleBothWays},
    {&TMainForm::LedOutA, Parent::Panel1, {62, 41, 150, 12}},
    {&TMainForm::LabelOutA, Parent::Panel1, {8, 39, 44, 13}, QT_TRANSLATE_NOOP("TMainForm", "Выход L:"), kParentColour, clSilver},
    {&TMainForm::ImageOA, Parent::Panel1, {213, 43, 14, 8}, nullptr, kParentColour, clBlack, Picture::ClipMark},
    {&TMainForm::LabelOutB, Parent::Panel1, {8, 71, 46, 13}, QT_TRANSLATE_NOOP("TMainForm", "Выход R:"), kParentColour, clSilver},
    {&TMainForm::LedOutB, Parent::Panel1, {62, 73, 150, 12}},
    {&TMainForm::ImageOB, Parent::Panel1, {213, 75, 14, 8}, nullptr, kParentColour, clBlack, Picture::ClipMark},
    {&TMainForm::cbIQ, Parent::Form, {8, 299, 201, 17}, QT_TRANSLATE_NOOP("TMainForm", "I/Q выходной сигнал")},
    {&TMainForm::cbInvertSpectr, Parent::Form, {8, 331, 201, 17}, QT_TRANSLATE_NOOP("TMainForm", "Инверсия выходного спектра")},
    {&TMainForm::cbSpectr, Parent::Form, {8, 267, 105, 17}, QT_TRANSLATE_NOOP("TMainForm", "Входной спектр")},
    {&TMainForm::cbInvertOut, Parent::Form, {8, 363, 169, 17}, QT_TRANSLATE_NOOP("TMainForm", "Фильтрация IQ (опция)")},
    {&TMainForm::SBDin, Parent::Form, {155, 402, 75, 40}, nullptr, kParentColour, clBlack, Picture::Speaker},
    {&TMainForm::SBMic, Parent::Form, {12, 402, 75, 40}, nullptr, kParentColour, clBlack, Picture::Microphone},
    {&TMainForm::cbLog, Parent::Form, {120, 267, 121, 17}, QT_TRANSLATE_NOOP("TMainForm", "Логарифмически")},
    {&TMainForm::Image1, Parent::Form, {102, 402, 42, 40}, nullptr, kParentColour, clBlack, Picture::RunningIndicator},
};
// clang-format on
// clang-format on

QImage picture(Picture p, qreal ratio) {
  switch (p) {
    case Picture::ClipMark: return ClipMarkPicture(ratio);
    case Picture::Scale: return ScalePicture(false, ratio);
    case Picture::ScaleBothWays: return ScalePicture(true, ratio);
    case Picture::RunningIndicator: return RunningIndicatorPicture(ratio);
    default: return {};
  }
}

// A control's picture (an image's, or a speed button's four faces) at `ratio`.
void drawPicture(QLabel* label, const ControlRow& row, qreal ratio) {
  label->setPixmap(QPixmap::fromImage(picture(row.picture, ratio)));
}

void drawPicture(SpeedButton* button, const ControlRow& row, qreal ratio) {
  const auto faces =
      SpeedButtonFaces(row.picture == Picture::Microphone ? ButtonGlyph::Microphone : ButtonGlyph::Speaker, ratio);
  for (size_t i = 0; i < faces.size(); ++i) button->Faces[i] = QPixmap::fromImage(faces[i]);
  button->update();
}

void drawPicture(QWidget*, const ControlRow&, qreal) {}

// The background a control shows: its own colour, or its parent's.
QColor backgroundOf(const QWidget* w, const ControlRow& row) {
  if (row.colour != kParentColour) return toQColor(row.colour);
  return w->parentWidget() ? w->parentWidget()->palette().color(QPalette::Window) : display::toQColor(kFormColour);
}

void setUpControl(QLabel* label, const ControlRow& row) {
  label->setGeometry(row.geometry);
  if (row.picture == Picture::None) {
    label->setText(QCoreApplication::translate("TMainForm", row.text));
    setTextColour(label, toQColor(row.fontColour), backgroundOf(label, row));
    fitLabel(label, row.geometry.width());
    return;
  }
  // The picture itself comes with the others (TMainForm::drawPictures).
  // The clip marks are stretched to their box; the other pictures have its size.
  label->setScaledContents(row.picture == Picture::ClipMark);
  // The clip marks and the running indicator show only while their condition holds.
  if (row.picture == Picture::ClipMark || row.picture == Picture::RunningIndicator) label->hide();
  if (row.picture == Picture::RunningIndicator) label->setAttribute(Qt::WA_TranslucentBackground);
}

void setUpControl(QComboBox* box, const ControlRow& row) {
  box->setGeometry(row.geometry);
  setColours(box, toQColor(row.colour), toQColor(row.fontColour));
  box->setStyleSheet(listStyleSheet(toQColor(row.colour), toQColor(row.fontColour)));
}

void setUpControl(QFrame* panel, const ControlRow& row) {
  panel->setGeometry(row.geometry);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setLineWidth(1);
  setColours(panel, toQColor(row.colour), toQColor(row.fontColour));
}

void setUpControl(TLedDisplay* meter, const ControlRow& row) {
  // The three meters share their settings.
  meter->setGeometry(row.geometry);
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
}

void setUpControl(PaintBox* box, const ControlRow& row) {
  box->setGeometry(row.geometry);
  if (row.colour != kParentColour)
    setColours(box, toQColor(row.colour), toQColor(row.fontColour));
  else
    setTextColour(box, toQColor(row.fontColour), backgroundOf(box, row));
}

void setUpControl(QCheckBox* box, const ControlRow& row) {
  box->setGeometry(row.geometry);
  box->setText(QCoreApplication::translate("TMainForm", row.text));
  // The square takes the window's colour, like the rest of the check box.
  setColours(box, backgroundOf(box, row), toQColor(row.fontColour));
}

void setUpControl(SpeedButton* button, const ControlRow& row) { button->setGeometry(row.geometry); }

}  // namespace

}  // namespace app

using namespace app;

// ---------------------------------------------------------------------------------------
// Construction

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(app::WindowTitle());
  setFixedSize(482, 453);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPointSize(8);
  setFont(font);
  setColours(this, display::toQColor(kFormColour), Qt::black);

  noticeTarget_ = std::make_unique<WindowNoticeTarget>(this);
  live_ = std::make_unique<live::LiveEngine>(noticeTarget_.get());
  ScreenArea = [this] {
    // The screen that holds the stored position, so a window stays on the monitor it was
    // left on; the window's own screen when that monitor is gone.
    const QScreen* s = QGuiApplication::screenAt(QPoint(StoredLeft, StoredTop));
    if (!s) s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
  };
  PlatformName = QGuiApplication::platformName();

  buildControls();
  drawPictures();
  connectHandlers();
  FormCreate();
  Timer1->start();
}

TMainForm::~TMainForm() { FormDestroy(); }

void TMainForm::buildControls() {
  for (const ControlRow& row : kLayout) {
    QWidget* parent = row.parent == Parent::Panel1    ? static_cast<QWidget*>(Panel1)
                      : row.parent == Parent::PanelSA ? static_cast<QWidget*>(PanelSA)
                                                      : this;
    std::visit([&](auto member) { setUpControl(this->*member = new ControlType<decltype(member)>(parent), row); },
               row.member);
  }

  // The panel's own caption, black on black as designed: present but never seen.
  auto* panelCaption = new QLabel(QStringLiteral("Panel1"), Panel1);
  panelCaption->setGeometry(1, 1, 236, 94);
  panelCaption->setAlignment(Qt::AlignCenter);
  panelCaption->setObjectName(QStringLiteral("Panel1Caption"));
  setTextColour(panelCaption, Qt::black, Qt::black);
  panelCaption->lower();

  for (const char* rate : {"192000", "96000", "48000", "44100", "32000", "24000", "22050", "16000", "12000", "11025",
                           "8000", "7000", "6000", "5000", "4000"})
    CbBitrate->addItem(QString::fromLatin1(rate));
  CbBitrate->setCurrentIndex(2);
  CbBitrate->setMaxVisibleItems(15);

  RulerPaintBox->setFont(display::RulerFont());

  // Check boxes grow into the room up to their right neighbour or the window's edge.
  fitCheckBox(cbSpectr, cbLog->x());
  for (QCheckBox* box : {cbIQ, cbInvertSpectr, cbInvertOut, cbLog}) fitCheckBox(box, 242);

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  LiveTimer = new QTimer(this);
  LiveTimer->setInterval(25);
  RecoveryTimer = new QTimer(this);
  RecoveryTimer->setSingleShot(true);

  // The window's context menu (right click, or the keyboard's menu key) holds the mode switch.
  StreamModeAction = new QAction(QCoreApplication::translate("TMainForm", "Непрерывный поток (малая задержка)"), this);
  StreamModeAction->setCheckable(true);

  // Keyboard order of the window's focusable controls.
  QWidget* const tabOrder[] = {CbBitrate, CbWaveInDevice, CbWaveOutDevice, cbSpectr,
                               cbIQ,      cbInvertSpectr, cbInvertOut,     cbLog};
  for (size_t i = 0; i + 1 < std::size(tabOrder); ++i) setTabOrder(tabOrder[i], tabOrder[i + 1]);
}

// The drawn pictures at the window's device pixel ratio; drawn anew when the ratio changes
// (the window went to a screen of another density), so they stay as sharp as the text.
void TMainForm::drawPictures() {
  const qreal ratio = devicePixelRatio();
  if (ratio == picturesRatio_) return;
  picturesRatio_ = ratio;
  for (const ControlRow& row : kLayout)
    if (row.picture != Picture::None)
      std::visit([&](auto member) { drawPicture(this->*member, row, ratio); }, row.member);
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
  connect(LiveTimer, &QTimer::timeout, this, [this] { pollLiveEngine(); });
  connect(RecoveryTimer, &QTimer::timeout, this, [this] { reopenLostDevices(); });
  connect(StreamModeAction, &QAction::triggered, this, [this] { StreamModeToggled(); });
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
  drawPictures();  // the screen it opens on may not be the one it was made for
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
  warnIfNoSoundServer();
  chooseStoredDevices();
  // An index beyond the list leaves the box without a selection; the id stays.
  auto select = [](QComboBox* box, int32_t id) {
    const int64_t index = int64_t{id} + 1;
    box->setCurrentIndex(index >= 0 && index < box->count() ? static_cast<int>(index) : -1);
  };
  select(CbWaveInDevice, InDeviceId);
  select(CbWaveOutDevice, OutDeviceId);

  // The clamp sees the size from before the spectrum switch changes the width.
  shownClientSize_ = size();
  keepOnScreen();
  shownFramePosition_ = pos();
  watchForTheFrame();

  if (SAMode == 1)
    cbSpectr->setChecked(true);
  else if (SAMode == 0)
    cbSpectr->setChecked(false);
  cbSpectrClick();
  CbBitrateChange();
}

// Without a server every press of a button would only say "no device driver present": the
// user is told at once what is missing, on stderr too, and the empty boxes say it.
void TMainForm::warnIfNoSoundServer() {
  if (!app::NoSoundServer()) return;
  QString text = app::NoSoundServerText() + QStringLiteral(", then Tovrel again (it lists the devices at start).");
  std::fprintf(stderr, "tovrel: %s\n", qPrintable(text));
  text[0] = text[0].toUpper();
  for (QComboBox* box : {CbWaveInDevice, CbWaveOutDevice}) box->setPlaceholderText(QStringLiteral("No sound server"));
  QMetaObject::invokeMethod(
      this, [this, text] { app::ShowWarningBox(text, this); }, Qt::QueuedConnection);
}

// Moves the window to the stored position kept on the screen with its outer size: the
// client size it had at show plus the frame's margins as far as they are known yet.
void TMainForm::keepOnScreen() {
  const QSize outer = shownClientSize_ + (frameGeometry().size() - size());
  const std::optional<QPoint> placed =
      KeepWindowOnScreen(QPoint(StoredLeft, StoredTop), outer, ScreenArea(), PlatformName);
  if (placed) move(*placed);
}

// The stored position is the frame's, and the close query stores the frame's. A window
// manager that frames the window only after it is shown (X11) puts the client area where
// the frame was asked for, and the frame's size was unknown when show kept the window on
// the screen. Once the frame is known (no event says so; the window checks each event
// until then), the window is placed again with its outer size, frame and all.
void TMainForm::keepShownFramePosition() {
  if (frameGeometry().topLeft() != geometry().topLeft()) {
    shownFramePosition_.reset();
    keepOnScreen();
    return;
  }
  // A window manager that took the window over after it was shown: the window system
  // knows the frame, the widget not yet (no event told it), so the frame is placed there.
  const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  if (frame.isNull()) return;  // no frame yet
  shownFramePosition_.reset();
  const QSize outer = shownClientSize_ + QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
  if (const auto placed = KeepWindowOnScreen(QPoint(StoredLeft, StoredTop), outer, ScreenArea(), PlatformName))
    windowHandle()->setFramePosition(*placed);
}

// A window manager that takes the window over after it was shown (one still starting with
// the session) sends the window no event of its own: the frame is looked for on a timer
// too, for a while.
void TMainForm::watchForTheFrame() {
  auto* watch = new QTimer(this);
  watch->setInterval(100);
  connect(watch, &QTimer::timeout, this, [this, watch, ticks = 0]() mutable {
    if (shownFramePosition_) keepShownFramePosition();
    if (!shownFramePosition_ || ++ticks >= 100) watch->deleteLater();
  });
  watch->start();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FormCloseQuery();
  event->accept();
}

void TMainForm::FormCloseQuery() {
  // Both devices are stopped and closed here: closing joins a device's worker, so no
  // buffer of the window is touched once the close query is over. Lost devices stay closed.
  RecoveryTimer->stop();
  lostCapture_ = lostPlayback_ = false;
  if (CaptureOpen || CaptureHandle) {
    CaptureStopping = true;
    stopCapture();
  }
  if (PlaybackActive || PlaybackHandle) {
    PlaybackStopping = true;
    stopPlayback();
  }
  // Tovrel's own I/Q device lives as long as the program, unless an SDR program still
  // records it.
  app::RemoveOwnDeviceAtEnd();
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
  app::RemoveOwnDeviceAtEnd();
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
  const uint32_t drawnAt = Stream.CaptureFormat.nSamplesPerSec;
  Stream.Configure(rate);
  if (Stream.CaptureFormat.nSamplesPerSec != drawnAt) {
    Spectrum.clear();
    pbss->update();
  }
  if (streamMode()) configureLiveEngine();
  ResetControls();
  LabelInDevice->setText(QCoreApplication::translate("TMainForm", "Входное устройство : %1 кГц Моно")
                             .arg(kilohertz(Stream.CaptureFormat.nSamplesPerSec)));
  LabeOutDevice->setText(QCoreApplication::translate("TMainForm", "Выходное устройство : %1 кГц Стерео")
                             .arg(kilohertz(Stream.PlaybackFormat.nSamplesPerSec)));
  fitLabel(LabelInDevice, 108);
  fitLabel(LabeOutDevice, 116);
  // The ruler's labels follow the rate at once.
  RulerPaintBox->update();
}

void TMainForm::setClientWidth(int width) { setFixedSize(width, height()); }
