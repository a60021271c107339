// The main window: layout, texts, colours, start-up placement, the spectrum switch, the
// box handlers and the drawn pictures, on Qt's offscreen platform with the scripted
// wave back end.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/pictures.hpp"
#include "display/led_display.hpp"
#include "display/ruler.hpp"
#include "dsp/fft.hpp"
#include "offscreen_screens.hpp"
#include "wave/scripted_backend.hpp"
#include "window_test_support.hpp"

namespace {

using app::KeepWindowOnScreen;
using namespace display;

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh settings folder per test: every window starts from the first-run defaults.
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    useScriptedDevices(audio, {"Line In", "Microphone", "Monitor of Speakers"}, {"Speakers", "Virtual Cable"});
    app::setBoxPresenter([this](const app::BoxRequest& box) { boxes.push_back(box); });
  }

  void TearDown() override {
    form.reset();
    drain();
    app::setBoxPresenter({});
    wave::setBackend(nullptr);
  }

  TMainForm& showForm(QRect screen = QRect(0, 0, 1920, 1080), const QString& platform = {}) {
    form = std::make_unique<TMainForm>();
    form->ScreenArea = [screen] { return screen; };
    if (!platform.isEmpty()) form->PlatformName = platform;
    form->show();
    drain();
    return *form;
  }

  // Stored settings for the next window, as the settings file holds them.
  void storeSettings(const QByteArray& values) {
    QDir(config_.path()).mkpath(QStringLiteral("ZEM"));
    QFile file(config_.path() + QStringLiteral("/ZEM/Varnex.conf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Varnex]\n" + values);
  }

  // The stored window position, as the settings file holds it.
  QPoint storedPosition() const {
    QSettings stored(config_.path() + QStringLiteral("/ZEM/Varnex.conf"), QSettings::IniFormat);
    return {stored.value(QStringLiteral("Varnex/Left")).toInt(), stored.value(QStringLiteral("Varnex/Top")).toInt()};
  }

  wave::ScriptedBackend audio;
  std::vector<app::BoxRequest> boxes;
  std::unique_ptr<TMainForm> form;

 private:
  QTemporaryDir config_;
};

// ---------------------------------------------------------------------------------------
// Keeping the window on the screen

struct PlacementCase {
  const char* name;
  QPoint stored;
  QSize frame;
  QRect available;
  const char* platform;
  std::optional<QPoint> placed;
};

TEST(KeepWindowOnScreen, PlacesTheFrameWholeOnTheFreeAreaOrLeavesItToTheCompositor) {
  const QSize frame(488, 480);  // the window with a frame
  const QRect full(0, 0, 1920, 1080);
  const QRect panels(48, 27, 1872, 1053);  // a panel at the left and one at the top
  const PlacementCase cases[] = {
      {"default position fits", {100, 100}, frame, {0, 0, 1024, 768}, "xcb", QPoint(100, 100)},
      {"past the right edge", {5000, 100}, frame, full, "xcb", QPoint(1920 - 488, 100)},
      {"exactly at the right edge", {1920 - 488, 100}, frame, full, "xcb", QPoint(1920 - 488, 100)},
      {"left of the screen", {-7, 100}, frame, full, "xcb", QPoint(0, 100)},
      {"above the screen", {100, -20}, frame, full, "xcb", QPoint(100, 0)},
      {"30 pixels clear of the bottom", {0, 900}, frame, full, "xcb", QPoint(0, 1080 - 480 - 30)},
      {"under the top and left panels", {0, 0}, frame, panels, "xcb", QPoint(48, 27)},
      {"past the far edges with panels",
       {5000, 5000},
       frame,
       panels,
       "xcb",
       QPoint(48 + 1872 - 488, 27 + 1053 - 480 - 30)},
      // 1600 x 1200 at scale 3 is 533 x 400: the window is higher than the screen and stays whole.
      {"screen lower than the window", {51, 100}, frame, {0, 0, 533, 400}, "xcb", QPoint(533 - 488, 0)},
      {"screen smaller than the window", {51, 100}, frame, {0, 0, 400, 300}, "xcb", QPoint(0, 0)},
      {"smaller screen with a top panel", {-300, -300}, frame, {0, 32, 533, 368}, "xcb", QPoint(0, 32)},
      {"second monitor keeps its place", {2000, 100}, frame, {1920, 0, 1280, 1024}, "xcb", QPoint(2000, 100)},
      {"Wayland places windows itself", {500, 400}, frame, {0, 0, 960, 540}, "wayland", std::nullopt},
      {"Wayland off the screen too", {-7000, 9000}, frame, {0, 0, 533, 400}, "wayland-egl", std::nullopt},
  };
  for (const PlacementCase& c : cases)
    EXPECT_EQ(KeepWindowOnScreen(c.stored, c.frame, c.available, QString::fromLatin1(c.platform)), c.placed) << c.name;
}

TEST_F(MainFormTest, StoredPositionIsKeptOnTheScreenAtShow) {
  // First-run position 100, 100 on a screen narrower than 100 + the window.
  TMainForm& f = showForm(QRect(0, 0, 500, 1000));
  const int outerWidth = 482 + (f.frameGeometry().width() - f.width());
  EXPECT_EQ(f.x(), 500 - outerWidth);
  EXPECT_EQ(f.y(), 100);
  EXPECT_EQ(f.height(), 453);
}

// A screen smaller than the fixed window (1200 x 1140 at scale 3): the window stays whole,
// its top-left corner at the free area's, and that is the position stored.
TEST_F(MainFormTest, AScreenSmallerThanTheWindowShowsItWholeAtTheTopLeft) {
  storeSettings("Left=51\nTop=300\n");
  TMainForm& f = showForm(QRect(0, 20, 400, 380));
  EXPECT_EQ(f.frameGeometry().topLeft(), QPoint(0, 20));
  EXPECT_EQ(f.size(), QSize(482, 453));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  f.close();
  EXPECT_EQ(storedPosition(), QPoint(0, 20));
}

// Where the compositor places windows, the stored position is neither applied nor
// replaced by the place the window believes it has.
TEST_F(MainFormTest, OnWaylandTheStoredPositionStaysAsItWas) {
  storeSettings("Left=500\nTop=400\n");
  TMainForm& f = showForm(QRect(0, 0, 960, 540), QStringLiteral("wayland"));
  f.close();
  EXPECT_EQ(storedPosition(), QPoint(500, 400));
}

TEST_F(MainFormTest, DefaultPositionOnALargeScreen) {
  TMainForm& f = showForm();
  EXPECT_EQ(f.pos(), QPoint(100, 100));
  EXPECT_EQ(f.height(), 453);
}

// ---------------------------------------------------------------------------------------
// Layout

struct Expected {
  const char* name;
  QWidget* widget;
  QRect geometry;
};

TEST_F(MainFormTest, EveryControlSitsAtItsPlace) {
  TMainForm& f = showForm();
  const Expected fixed[] = {
      {"CbWaveInDevice", (QWidget*)f.CbWaveInDevice, {2, 171, 238, 21}},
      {"Panel1", f.Panel1, {2, 1, 238, 96}},
      {"CbWaveOutDevice", f.CbWaveOutDevice, {2, 227, 238, 21}},
      {"ImageA", f.ImageA, {213, 13, 14, 8}},
      {"ImgScale1", f.ImgScale1, {63, 23, 164, 18}},
      {"LedInA", f.LedInA, {62, 11, 150, 12}},
      {"CbBitrate", f.CbBitrate, {2, 123, 238, 21}},
      {"PanelSA", f.PanelSA, {244, 0, 238, 453}},
      {"pbss", f.pbss, {1, 1, 207, 451}},
      {"RulerPaintBox", f.RulerPaintBox, {208, 1, 29, 451}},
      {"ImgScale2", f.ImgScale2, {63, 55, 164, 18}},
      {"LedOutA", f.LedOutA, {62, 41, 150, 12}},
      {"ImageOA", f.ImageOA, {213, 43, 14, 8}},
      {"LedOutB", f.LedOutB, {62, 73, 150, 12}},
      {"ImageOB", f.ImageOB, {213, 75, 14, 8}},
      {"SBDin", f.SBDin, {155, 402, 75, 40}},
      {"SBMic", f.SBMic, {12, 402, 75, 40}},
      {"Image1", f.Image1, {102, 402, 42, 40}},
  };
  for (const Expected& e : fixed) EXPECT_EQ(e.widget->geometry(), e.geometry) << e.name;

  // Labels size themselves to their text (never below the design width).
  const Expected labels[] = {
      {"LabelInDevice", f.LabelInDevice, {4, 155, 108, 13}},
      {"LabeOutDevice", f.LabeOutDevice, {4, 211, 116, 13}},
      {"LabelInA", f.LabelInA, {8, 10, 45, 13}},
      {"LabelBPS", f.LabelBPS, {4, 107, 196, 13}},
      {"LabelOutA", f.LabelOutA, {8, 39, 44, 13}},
      {"LabelOutB", f.LabelOutB, {8, 71, 46, 13}},
  };
  for (const Expected& e : labels) {
    QLabel* label = static_cast<QLabel*>(e.widget);
    EXPECT_EQ(label->pos(), e.geometry.topLeft()) << e.name;
    EXPECT_EQ(label->height(), e.geometry.height()) << e.name;
    EXPECT_GE(label->width(), e.geometry.width()) << e.name;
    EXPECT_GE(label->width(), label->sizeHint().width()) << e.name;
  }

  // Check boxes keep their place and grow, if their text needs it, only up to their
  // neighbour or the window's edge; their whole text fits.
  const struct {
    const char* name;
    QCheckBox* box;
    QRect geometry;
    int rightLimit;
  } checkBoxes[] = {
      {"cbIQ", f.cbIQ, {8, 299, 201, 17}, 242},         {"cbInvertSpectr", f.cbInvertSpectr, {8, 331, 201, 17}, 242},
      {"cbSpectr", f.cbSpectr, {8, 267, 105, 17}, 120}, {"cbInvertOut", f.cbInvertOut, {8, 363, 169, 17}, 242},
      {"cbLog", f.cbLog, {120, 267, 121, 17}, 242},
  };
  for (const auto& c : checkBoxes) {
    EXPECT_EQ(c.box->pos(), c.geometry.topLeft()) << c.name;
    EXPECT_EQ(c.box->height(), c.geometry.height()) << c.name;
    EXPECT_GE(c.box->width(), c.geometry.width()) << c.name;
    EXPECT_LE(c.box->x() + c.box->width(), c.rightLimit) << c.name;
    EXPECT_LE(c.box->sizeHint().width(), c.box->width()) << c.name;
  }

  // Parents: the meters, their labels, scales and clip marks are inside Panel1; the
  // spectrum and ruler inside PanelSA.
  for (QWidget* w : std::initializer_list<QWidget*>{f.ImageA, f.ImgScale1, f.LabelInA, f.LedInA, f.ImgScale2, f.LedOutA,
                                                    f.LabelOutA, f.ImageOA, f.LabelOutB, f.LedOutB, f.ImageOB})
    EXPECT_EQ(w->parentWidget(), f.Panel1);
  EXPECT_EQ(f.pbss->parentWidget(), f.PanelSA);
  EXPECT_EQ(f.RulerPaintBox->parentWidget(), f.PanelSA);
}

TEST_F(MainFormTest, WindowIsFixedWithoutMaximiseAndCarriesItsTitleFontAndColour) {
  TMainForm& f = showForm();
  EXPECT_EQ(f.windowTitle(), " Tovrel");
  EXPECT_EQ(f.size(), QSize(482, 453));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  const Qt::WindowFlags flags = f.windowFlags();
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
  EXPECT_EQ(f.palette().color(QPalette::Window), QColor(170, 162, 146));
  EXPECT_EQ(f.font().family(), "DejaVu Sans");
  EXPECT_EQ(f.font().pointSize(), 8);
  EXPECT_EQ(f.cbIQ->font().family(), "DejaVu Sans");
}

TEST(ApplicationName, NoDisplayNameIsSetThatTheBoxCaptionsWouldCarry) {
  app::NameApplication();
  EXPECT_EQ(QCoreApplication::applicationName(), "Tovrel");
  // Only an unset display name follows the application's name; a set one is appended to
  // every window title on X11 ("Warning — Tovrel").
  QCoreApplication::setApplicationName("Probe");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Probe");
  QCoreApplication::setApplicationName("Tovrel");
}

TEST_F(MainFormTest, TextsAndColoursOfTheControls) {
  TMainForm& f = showForm();
  EXPECT_EQ(f.LabelBPS->text(), "Частота дискретизации входа (Моно) :");
  EXPECT_EQ(f.LabelInA->text(), "Вход (L) :");
  EXPECT_EQ(f.LabelOutA->text(), "Выход L:");
  EXPECT_EQ(f.LabelOutB->text(), "Выход R:");
  EXPECT_EQ(f.cbIQ->text(), "I/Q выходной сигнал");
  EXPECT_EQ(f.cbInvertSpectr->text(), "Инверсия выходного спектра");
  EXPECT_EQ(f.cbSpectr->text(), "Входной спектр");
  EXPECT_EQ(f.cbInvertOut->text(), "Фильтрация IQ (опция)");
  EXPECT_EQ(f.cbLog->text(), "Логарифмически");
  auto* caption = f.Panel1->findChild<QLabel*>("Panel1Caption");
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->text(), "Panel1");
  EXPECT_EQ(caption->palette().color(QPalette::WindowText), QColor(Qt::black));

  const QColor silver(192, 192, 192), grey(81, 81, 81);
  for (QLabel* l : {f.LabelInA, f.LabelOutA, f.LabelOutB}) EXPECT_EQ(l->palette().color(QPalette::WindowText), silver);
  for (QLabel* l : {f.LabelInDevice, f.LabeOutDevice, f.LabelBPS})
    EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(Qt::black));
  EXPECT_EQ(f.Panel1->palette().color(QPalette::Window), QColor(Qt::black));
  EXPECT_EQ(f.Panel1->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(f.PanelSA->palette().color(QPalette::Window), grey);
  EXPECT_EQ(f.PanelSA->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(f.RulerPaintBox->palette().color(QPalette::Window), grey);
  EXPECT_EQ(f.pbss->palette().color(QPalette::WindowText), QColor(0, 255, 0));
  for (QComboBox* box : {f.CbBitrate, f.CbWaveInDevice, f.CbWaveOutDevice}) {
    EXPECT_EQ(box->palette().color(QPalette::Button), grey);
    EXPECT_EQ(box->palette().color(QPalette::Base), grey);
    EXPECT_EQ(box->palette().color(QPalette::ButtonText), QColor(Qt::white));
    EXPECT_EQ(box->palette().color(QPalette::Text), QColor(Qt::white));
  }
}

// Extremes of the grey levels in part of a widget's picture.
struct GreyRange {
  int darkest = 255, brightest = 0;
};
GreyRange greyRange(QWidget* w, QRect part) {
  const QImage image = w->grab().toImage();
  GreyRange range;
  for (int y = part.top(); y <= part.bottom(); ++y)
    for (int x = part.left(); x <= part.right(); ++x) {
      const int grey = qGray(image.pixel(x, y));
      range.darkest = std::min(range.darkest, grey);
      range.brightest = std::max(range.brightest, grey);
    }
  return range;
}

TEST_F(MainFormTest, DisabledControlsDrawDimmedText) {
  TMainForm& f = showForm();
  // The rate box's white text, left of its button; cbLog's black text, right of its square.
  const QRect rateText(0, 0, f.CbBitrate->width() - 24, f.CbBitrate->height());
  const QRect logText(24, 0, f.cbLog->width() - 24, f.cbLog->height());
  const int enabledRate = greyRange(f.CbBitrate, rateText).brightest;
  const int enabledLog = greyRange(f.cbLog, logText).darkest;
  EXPECT_GT(enabledRate, 240);
  EXPECT_LT(enabledLog, 20);

  f.SBMic->click();
  audio.deliverOpen(wave::Direction::Capture);
  drain();
  ASSERT_FALSE(f.CbBitrate->isEnabled());
  EXPECT_LT(greyRange(f.CbBitrate, rateText).brightest, enabledRate - 60);

  f.cbSpectr->click();
  ASSERT_FALSE(f.cbLog->isEnabled());
  EXPECT_GT(greyRange(f.cbLog, logText).darkest, enabledLog + 60);
}

TEST_F(MainFormTest, ListsAreFlatGreyWithWhiteTextOpenOrShut) {
  TMainForm& f = showForm();
  const QRgb grey = qRgb(81, 81, 81);
  for (QComboBox* box : {f.CbBitrate, f.CbWaveInDevice, f.CbWaveOutDevice}) {
    // Between the text and the button, top to bottom inside the frame: the box's colour.
    const QImage shut = box->grab().toImage();
    int otherColour = 0;
    for (int y = 2; y < box->height() - 2; ++y) otherColour += shut.pixel(box->width() - 30, y) != grey;
    EXPECT_EQ(otherColour, 0);
    EXPECT_GT(greyRange(box, QRect(0, 0, box->width() - 24, box->height())).brightest, 240);
    box->showPopup();
    QWidget* list = box->view();
    const QImage open = list->grab().toImage();
    EXPECT_EQ(open.pixel(list->width() - 10, list->height() - 3), grey);
    EXPECT_GT(greyRange(list, list->rect()).brightest, 240);
    box->hidePopup();
  }
  // Check-box squares take the window's colour.
  QStyleOptionButton option;
  option.initFrom(f.cbInvertOut);
  const QRect square = f.cbInvertOut->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, f.cbInvertOut);
  EXPECT_EQ(f.cbInvertOut->grab().toImage().pixel(square.center()), qRgb(170, 162, 146));
}

TEST_F(MainFormTest, RateBoxListsFifteenRatesWith48000Selected) {
  TMainForm& f = showForm();
  QStringList items;
  for (int i = 0; i < f.CbBitrate->count(); ++i) items << f.CbBitrate->itemText(i);
  EXPECT_EQ(items, QStringList({"192000", "96000", "48000", "44100", "32000", "24000", "22050", "16000", "12000",
                                "11025", "8000", "7000", "6000", "5000", "4000"}));
  EXPECT_EQ(f.CbBitrate->currentIndex(), 2);
  EXPECT_EQ(f.CbBitrate->maxVisibleItems(), 15);
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 48000u);
}

TEST_F(MainFormTest, MetersAreSetUpAlike) {
  TMainForm& f = showForm();
  for (TLedDisplay* m : {f.LedInA, f.LedOutA, f.LedOutB}) {
    EXPECT_EQ(m->Orientation(), loHorizontal);
    EXPECT_FALSE(m->Ctl3D());
    EXPECT_EQ(m->Spacing(), -1);
    EXPECT_EQ(m->Max(), 32767);
    EXPECT_EQ(m->Position(), 0);
    EXPECT_EQ(m->BlockACount(), 35);
    EXPECT_EQ(m->BlockBCount(), 9);
    EXPECT_EQ(m->BlockCCount(), 6);
    EXPECT_EQ(m->ActiveColor1(), clLime);
    EXPECT_EQ(m->ActiveColor2(), clYellow);
    EXPECT_EQ(m->ActiveColor3(), clRed);
    EXPECT_EQ(m->DeadColor1(), clGreen);
    EXPECT_EQ(m->DeadColor2(), clOlive);
    EXPECT_EQ(m->DeadColor3(), clMaroon);
  }
}

TEST_F(MainFormTest, ImagesStartHiddenAndTheTimerRuns) {
  TMainForm& f = showForm();
  for (QLabel* image : {f.ImageA, f.ImageOA, f.ImageOB, f.Image1}) EXPECT_FALSE(image->isVisible());
  EXPECT_TRUE(f.ImgScale1->isVisible());
  EXPECT_TRUE(f.Timer1->isActive());
  EXPECT_EQ(f.Timer1->interval(), 500);
  EXPECT_TRUE(f.ImageA->hasScaledContents());
}

TEST_F(MainFormTest, TabOrderFollowsTheDesign) {
  TMainForm& f = showForm();
  const std::vector<QWidget*> order = {f.CbBitrate, f.CbWaveInDevice, f.CbWaveOutDevice, f.cbSpectr,
                                       f.cbIQ,      f.cbInvertSpectr, f.cbInvertOut,     f.cbLog};
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    QWidget* next = order[i]->nextInFocusChain();
    while (next && next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
    EXPECT_EQ(next, order[i + 1]) << "after control " << i;
  }
  EXPECT_EQ(f.SBMic->focusPolicy(), Qt::NoFocus);
}

TEST_F(MainFormTest, EnabledStatesFollowTheButtons) {
  TMainForm& f = showForm();
  EXPECT_TRUE(f.CbBitrate->isEnabled());
  EXPECT_TRUE(f.CbWaveInDevice->isEnabled());
  EXPECT_TRUE(f.CbWaveOutDevice->isEnabled());

  f.SBMic->click();  // capture device 0
  audio.deliverOpen(wave::Direction::Capture);
  drain();
  EXPECT_FALSE(f.CbWaveInDevice->isEnabled());
  EXPECT_TRUE(f.CbWaveOutDevice->isEnabled());
  EXPECT_FALSE(f.CbBitrate->isEnabled());

  f.SBDin->click();
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  EXPECT_FALSE(f.CbWaveInDevice->isEnabled());
  EXPECT_FALSE(f.CbWaveOutDevice->isEnabled());
  EXPECT_FALSE(f.CbBitrate->isEnabled());

  f.SBMic->click();  // stop capture, playback still down
  audio.deliverClose(wave::Direction::Capture);
  drain();
  EXPECT_TRUE(f.CbWaveInDevice->isEnabled());
  EXPECT_FALSE(f.CbWaveOutDevice->isEnabled());
  EXPECT_FALSE(f.CbBitrate->isEnabled());

  f.SBDin->click();
  audio.deliverClose(wave::Direction::Playback);
  drain();
  EXPECT_TRUE(f.CbWaveInDevice->isEnabled());
  EXPECT_TRUE(f.CbWaveOutDevice->isEnabled());
  EXPECT_TRUE(f.CbBitrate->isEnabled());
  EXPECT_TRUE(boxes.empty());
}

// ---------------------------------------------------------------------------------------
// Start-up and handlers

TEST_F(MainFormTest, DeviceBoxesAreFilledAndTheStoredDevicesSelected) {
  TMainForm& f = showForm();
  ASSERT_EQ(f.CbWaveInDevice->count(), 4);
  EXPECT_EQ(f.CbWaveInDevice->itemText(0), "Default Source");
  ASSERT_EQ(f.CbWaveOutDevice->count(), 3);
  // The first-run ids are 0: the first real device of each box.
  EXPECT_EQ(f.InDeviceId, 0);
  EXPECT_EQ(f.CbWaveInDevice->currentIndex(), 1);
  EXPECT_EQ(f.CbWaveOutDevice->currentIndex(), 1);
  // Capture is listed before playback.
  const auto names = audio.callNames();
  const auto firstOut = std::find(names.begin(), names.end(), "waveOutGetNumDevs");
  const auto lastIn = std::find(names.rbegin(), names.rend(), "waveInGetDevCaps");
  ASSERT_NE(firstOut, names.end());
  EXPECT_LT(std::distance(names.begin(), lastIn.base()), std::distance(names.begin(), firstOut) + 1);
}

TEST_F(MainFormTest, AStoredIdBeyondTheListLeavesTheBoxEmptyAndTheIdAsItWas) {
  audio.setDevices(wave::Direction::Capture, {});
  TMainForm& f = showForm();
  EXPECT_EQ(f.CbWaveInDevice->count(), 1);
  EXPECT_EQ(f.CbWaveInDevice->currentIndex(), -1);
  EXPECT_EQ(f.InDeviceId, 0);
}

TEST_F(MainFormTest, DeviceBoxHandlersRunOnlyOnTheUsersChoice) {
  TMainForm& f = showForm();
  f.CbWaveInDevice->setCurrentIndex(0);  // the code setting the index runs no handler
  EXPECT_EQ(f.InDeviceId, 0);
  emit f.CbWaveInDevice->activated(0);  // the user's choice: the mapper
  EXPECT_EQ(f.InDeviceId, -1);
  f.CbWaveOutDevice->setCurrentIndex(2);
  emit f.CbWaveOutDevice->activated(2);
  EXPECT_EQ(f.OutDeviceId, 1);
}

TEST_F(MainFormTest, RateChoiceReconfiguresTheStreamAndTheLabels) {
  TMainForm& f = showForm();
  EXPECT_EQ(f.LabelInDevice->text(), "Входное устройство : 48 кГц Моно");
  EXPECT_EQ(f.LabeOutDevice->text(), "Выходное устройство : 24 кГц Стерео");
  f.CbBitrate->setCurrentIndex(9);
  EXPECT_EQ(SampleRate, 48000);  // no handler for the code's own change
  emit f.CbBitrate->activated(9);
  EXPECT_EQ(SampleRate, 11025);
  EXPECT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 11025u);
  EXPECT_EQ(f.Stream.PlaybackFormat.nSamplesPerSec, 5512u);
  EXPECT_EQ(f.LabelInDevice->text(), "Входное устройство : 11.025 кГц Моно");
  EXPECT_EQ(f.LabeOutDevice->text(), "Выходное устройство : 5.512 кГц Стерео");
  EXPECT_GE(f.LabeOutDevice->width(), f.LabeOutDevice->sizeHint().width());

  // No entry selected: no number to read, the rate stays.
  f.CbBitrate->setCurrentIndex(-1);
  f.CbBitrateChange();
  EXPECT_EQ(SampleRate, 11025);
  EXPECT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 11025u);
}

TEST_F(MainFormTest, ConfigureStreamResetsTheControls) {
  TMainForm& f = showForm();
  f.Stream.WorkBuffer.assign(f.Stream.WorkBuffer.size(), 1234);
  f.LedInA->setPosition(20000);
  f.LedOutB->setPosition(20000);
  f.ImageOA->show();
  f.ConfigureStream(96000);
  EXPECT_TRUE(std::all_of(f.Stream.WorkBuffer.begin(), f.Stream.WorkBuffer.end(), [](auto s) { return s == 0; }));
  EXPECT_EQ(f.Stream.WorkBuffer.size(), 32768u);
  EXPECT_EQ(f.LedInA->Position(), 0);
  EXPECT_EQ(f.LedOutB->Position(), 0);
  EXPECT_FALSE(f.ImageOA->isVisible());
  EXPECT_EQ(f.Stream.PlaybackFormat.nSamplesPerSec, 48000u);
}

TEST_F(MainFormTest, SpectrumSwitchSetsTheWidthThePanelAndTheLogBox) {
  TMainForm& f = showForm();
  // First run: spectrum shown.
  EXPECT_EQ(SAMode, 1);
  EXPECT_TRUE(f.cbSpectr->isChecked());
  EXPECT_EQ(f.width(), 482);
  EXPECT_TRUE(f.PanelSA->isVisible());
  EXPECT_TRUE(f.cbLog->isEnabled());

  f.cbSpectr->click();
  EXPECT_EQ(SAMode, 0);
  EXPECT_EQ(f.width(), 242);
  EXPECT_EQ(f.minimumWidth(), f.maximumWidth());
  EXPECT_FALSE(f.PanelSA->isVisible());
  EXPECT_FALSE(f.cbLog->isEnabled());

  f.cbSpectr->click();
  EXPECT_EQ(SAMode, 1);
  EXPECT_EQ(f.width(), 482);
  EXPECT_TRUE(f.PanelSA->isVisible());
  EXPECT_TRUE(f.cbLog->isEnabled());

  // Setting the box from code runs no handler.
  f.cbSpectr->setChecked(false);
  EXPECT_EQ(SAMode, 1);
}

TEST_F(MainFormTest, SpectrogramKeepsItsPictureWhenSwitchedOffAndOnAndIsClearedWhenTheRateChanges) {
  TMainForm& f = showForm();
  // Columns come only from captured blocks while capture is open.
  f.CaptureOpen = true;
  for (int block = 0; block < 3; ++block) {
    for (size_t i = 0; i < f.Stream.WorkBuffer.size(); ++i)
      f.Stream.WorkBuffer[i] = static_cast<dsp::Sample>(std::lround(20000 * std::cos(0.3 * (block + 1) * i)));
    f.ProcessBlock();
  }
  f.CaptureOpen = false;
  const QImage drawn = f.Spectrum.SpectrumView.copy();
  const int w = drawn.width();
  ASSERT_NE(drawn.pixel(w - 1, drawn.height() / 2), drawn.pixel(0, 0)) << "no column was drawn";

  f.cbSpectr->click();  // off
  f.cbSpectr->click();  // on again: the last picture comes back
  EXPECT_EQ(f.Spectrum.SpectrumView, drawn);
  EXPECT_EQ(f.pbss->grab().toImage().convertToFormat(QImage::Format_RGB32),
            drawn.convertToFormat(QImage::Format_RGB32));

  // The same rate chosen again keeps it; another rate clears it, as the ruler changes.
  emit f.CbBitrate->activated(f.CbBitrate->currentIndex());
  EXPECT_EQ(f.Spectrum.SpectrumView, drawn);
  f.CbBitrate->setCurrentIndex(0);
  emit f.CbBitrate->activated(0);
  QImage black(drawn.size(), drawn.format());
  black.fill(Qt::black);
  EXPECT_EQ(f.Spectrum.SpectrumView, black);
  EXPECT_EQ(f.pbss->grab().toImage().convertToFormat(QImage::Format_RGB32),
            black.convertToFormat(QImage::Format_RGB32));

  // With the spectrum off, blocks draw nothing.
  f.cbSpectr->click();
  f.CaptureOpen = true;
  f.ProcessBlock();
  f.CaptureOpen = false;
  EXPECT_EQ(f.Spectrum.SpectrumView, black);
}

TEST_F(MainFormTest, RunningIndicatorOnlyWithBothDevicesRunning) {
  TMainForm& f = showForm();
  f.SBMic->click();
  audio.deliverOpen(wave::Direction::Capture);
  drain();
  f.Timer1Timer();
  EXPECT_FALSE(f.Image1->isVisible());
  f.SBDin->click();
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  f.Timer1Timer();
  EXPECT_TRUE(f.Image1->isVisible());
  f.SBDin->click();
  f.Timer1Timer();
  EXPECT_TRUE(f.Image1->isVisible());  // playback counts as running until its close notice
  audio.deliverClose(wave::Direction::Playback);
  drain();
  f.Timer1Timer();
  EXPECT_FALSE(f.Image1->isVisible());
}

TEST_F(MainFormTest, StartUpFromStoredSettingsOutsideTheirRanges) {
  storeSettings("SAMode=2\nInDevice=7\nOutDevice=-1\nBitrate=99\nLeft=5000\nTop=-20\nLogSpectr=1\n");
  TMainForm& f = showForm();
  // SAMode 2 leaves the spectrum switch unchecked, and the switch then stores 0.
  EXPECT_FALSE(f.cbSpectr->isChecked());
  EXPECT_EQ(SAMode, 0);
  EXPECT_EQ(f.width(), 242);
  EXPECT_FALSE(f.PanelSA->isVisible());
  EXPECT_FALSE(f.cbLog->isEnabled());
  // An id past the list: no selection, the id kept. The mapper id selects entry 0.
  EXPECT_EQ(f.CbWaveInDevice->currentIndex(), -1);
  EXPECT_EQ(f.InDeviceId, 7);
  EXPECT_EQ(f.CbWaveOutDevice->currentIndex(), 0);
  EXPECT_EQ(f.OutDeviceId, -1);
  // A rate index outside the list falls back to 48000.
  EXPECT_EQ(f.CbBitrate->currentIndex(), 2);
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 48000u);
  // The clamp used the outer width from before the switch narrowed the window.
  const int frameWidth = f.frameGeometry().width() - f.width();
  EXPECT_EQ(f.x(), 1920 - (482 + frameWidth));
  EXPECT_EQ(f.y(), 0);
  EXPECT_TRUE(boxes.empty());
}

// The stored position is the frame's: the window opens with its frame there (on X11,
// where the frame comes only after the window is shown, by moving it once the frame is
// known), and the close query stores the frame's place, so the window does not creep.
TEST_F(MainFormTest, FrameSitsAtTheStoredPositionRunAfterRun) {
  storeSettings("Left=300\nTop=200\n");
  for (int run = 0; run < 3; ++run) {
    TMainForm& f = showForm();
    EXPECT_EQ(f.pos(), QPoint(300, 200)) << "run " << run;
    EXPECT_EQ(f.frameGeometry().topLeft(), QPoint(300, 200)) << "run " << run;
    f.close();
    form.reset();
    drain();
  }
}

TEST_F(MainFormTest, ClosingWritesTheSettingsTheNextWindowReads) {
  TMainForm& f = showForm();
  f.CbWaveInDevice->setCurrentIndex(0);
  emit f.CbWaveInDevice->activated(0);
  f.CbBitrate->setCurrentIndex(3);
  emit f.CbBitrate->activated(3);
  f.cbSpectr->click();
  f.move(200, 150);
  f.close();
  form.reset();
  drain();
  TMainForm& again = showForm();
  EXPECT_EQ(again.InDeviceId, -1);
  EXPECT_EQ(again.CbWaveInDevice->currentIndex(), 0);
  EXPECT_EQ(SampleRate, 44100);
  EXPECT_FALSE(again.cbSpectr->isChecked());
  EXPECT_EQ(again.pos(), QPoint(200, 150));
}

TEST_F(MainFormTest, PaintBoxesDrawTheSpectrumViewAndTheRuler) {
  TMainForm& f = showForm();
  // The spectrum view is copied as it is.
  QImage& view = f.Spectrum.SpectrumView;
  for (int y = 0; y < view.height(); ++y)
    for (int x = 0; x < view.width(); ++x) view.setPixelColor(x, y, QColor((x * 8) % 256, (y * 4) % 256, 0));
  const QImage shownView = f.pbss->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shownView, view.convertToFormat(QImage::Format_RGB32));

  // The ruler is the display's ruler on the panel's grey, for the rate configured.
  auto expectedRuler = [&] {
    QImage image(f.RulerPaintBox->size(), QImage::Format_RGB32);
    image.fill(QColor(81, 81, 81));
    QPainter painter(&image);
    display::PaintRuler(painter, f.Stream.CaptureFormat.nSamplesPerSec, image.height(), SAMode != 0);
    return image;
  };
  EXPECT_EQ(f.RulerPaintBox->grab().toImage().convertToFormat(QImage::Format_RGB32), expectedRuler());
  f.CbBitrate->setCurrentIndex(0);
  emit f.CbBitrate->activated(0);  // 192000: other labels
  ASSERT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 192000u);
  const QImage at192k = f.RulerPaintBox->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(at192k, expectedRuler());
  f.CbBitrate->setCurrentIndex(2);
  emit f.CbBitrate->activated(2);
  EXPECT_NE(f.RulerPaintBox->grab().toImage().convertToFormat(QImage::Format_RGB32), at192k);
}

// ---------------------------------------------------------------------------------------
// Pictures and the speed buttons

TEST(Pictures, SizesOfThePictures) {
  EXPECT_EQ(app::ScalePicture(false).size(), QSize(164, 18));
  EXPECT_EQ(app::ScalePicture(true).size(), QSize(164, 18));
  EXPECT_EQ(app::ClipMarkPicture().size(), QSize(14, 8));
  EXPECT_EQ(app::RunningIndicatorPicture().size(), QSize(42, 40));
  for (auto glyph : {app::ButtonGlyph::Microphone, app::ButtonGlyph::Speaker})
    for (const QImage& face : app::SpeedButtonFaces(glyph)) EXPECT_EQ(face.size(), QSize(75, 40));
}

// Each picture comes at the ratio asked for, in device pixels, with its size in pixels.
TEST(Pictures, DrawnAtTheRatioAskedForWithTheirSizeInPixels) {
  for (const qreal ratio : {1.5, 2.0}) {
    std::vector<std::pair<QImage, QSize>> pictures = {
        {app::ScalePicture(false, ratio), app::kScaleSize},
        {app::ScalePicture(true, ratio), app::kScaleSize},
        {app::ClipMarkPicture(ratio), app::kClipMarkSize},
        {app::RunningIndicatorPicture(ratio), app::kRunningIndicatorSize}};
    for (auto glyph : {app::ButtonGlyph::Microphone, app::ButtonGlyph::Speaker})
      for (const QImage& face : app::SpeedButtonFaces(glyph, ratio)) pictures.emplace_back(face, app::kSpeedButtonSize);
    for (const auto& [image, size] : pictures) {
      EXPECT_EQ(image.devicePixelRatio(), ratio);
      EXPECT_EQ(image.size(), size * ratio) << ratio;
    }
  }
}

TEST(Pictures, TheFourFacesDifferAndTheTwoButtonsDiffer) {
  const auto mic = app::SpeedButtonFaces(app::ButtonGlyph::Microphone);
  const auto speaker = app::SpeedButtonFaces(app::ButtonGlyph::Speaker);
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = i + 1; j < 4; ++j) EXPECT_NE(mic[i], mic[j]) << i << " vs " << j;
    EXPECT_NE(mic[i], speaker[i]);
  }
  // The running indicator is drawn on a transparent ground.
  const QImage running = app::RunningIndicatorPicture();
  EXPECT_EQ(qAlpha(running.pixel(0, 0)), 0);
  EXPECT_GT(qAlpha(running.pixel(20, 20)), 0);
}

TEST(Pictures, ScaleTicksSitAtTheMeterBlocksOfTheirLevel) {
  // Full scale is the end of block 50 (meter column 149, scale column 148); -6 dBFS is
  // about half scale, block 25.
  EXPECT_EQ(app::ScaleTickX(0.0), 148);
  EXPECT_EQ(app::ScaleTickX(-6.0), static_cast<int>(std::lround(150.0 * std::pow(10.0, -6.0 / 20.0))) - 2);
  const QImage scale = app::ScalePicture(false);
  EXPECT_NE(scale.pixel(app::ScaleTickX(0.0), 0), QColor(Qt::black).rgb());
  EXPECT_EQ(scale.pixel(app::ScaleTickX(0.0) + 3, 0), QColor(Qt::black).rgb());
}

TEST_F(MainFormTest, SpeedButtonsShowTheirFourFaces) {
  TMainForm& f = showForm();
  EXPECT_EQ(f.SBMic->currentFace(), app::SpeedButton::FaceUp);
  f.SBMic->setChecked(true);
  EXPECT_EQ(f.SBMic->currentFace(), app::SpeedButton::FaceDown);
  f.SBMic->setDown(true);
  EXPECT_EQ(f.SBMic->currentFace(), app::SpeedButton::FaceHeldDown);
  f.SBMic->setDown(false);
  f.SBMic->setEnabled(false);
  EXPECT_EQ(f.SBMic->currentFace(), app::SpeedButton::FaceDisabled);
  // What is on screen is the face of the state.
  f.SBMic->setEnabled(true);
  f.SBMic->setChecked(false);
  const QImage shown = f.SBMic->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shown, f.SBMic->Faces[app::SpeedButton::FaceUp].toImage().convertToFormat(QImage::Format_RGB32));
}

// The window moved to a screen of ratio 2 draws its pictures anew at that ratio: the
// meters' blocks and the scales' ticks crisp (whole device pixels in their own colours),
// each tick on the last device column of a meter block.
TEST_F(MainFormTest, OnADenseScreenThePicturesAreDrawnAnewAtItsRatio) {
  QScreen* dense = screenWithRatio(2);
  if (!dense) GTEST_SKIP() << "no screen of ratio 2 on this platform";
  TMainForm& f = showForm();
  f.setScreen(dense);
  drain();
  for (const QPixmap& face : f.SBMic->Faces) EXPECT_EQ(face.devicePixelRatio(), 2);
  for (QLabel* image : {f.ImageA, f.ImgScale1, f.ImgScale2, f.ImageOA, f.ImageOB, f.Image1})
    EXPECT_EQ(image->pixmap().devicePixelRatio(), 2) << image->objectName().toStdString();
  f.LedInA->setPosition(32767);
  const QImage panel = f.Panel1->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(panel.devicePixelRatio(), 2);
  EXPECT_EQ(f.LedInA->surface().devicePixelRatio(), 2);
  const int meterRow = 2 * f.LedInA->geometry().center().y();
  const int tickRow = 2 * f.ImgScale1->y();
  const QRgb black = qRgb(0, 0, 0), ink = qRgb(192, 192, 192);
  std::vector<int> ticks;
  for (int x = 2 * f.ImgScale1->x(); x < 2 * (f.ImgScale1->x() + f.ImgScale1->width()); ++x) {
    const QRgb c = panel.pixel(x, tickRow);
    ASSERT_TRUE(c == black || c == ink) << "blended tick colour at " << x;
    if (c != ink || panel.pixel(x - 1, tickRow) == ink) continue;
    ticks.push_back(x);
    EXPECT_EQ(panel.pixel(x + 1, tickRow), ink) << "tick at " << x << " is not two device pixels wide";
    EXPECT_EQ(panel.pixel(x + 2, tickRow), black) << "tick at " << x << " is not two device pixels wide";
  }
  ASSERT_EQ(ticks.size(), 5u);
  // -20 dBFS is the end of block 5, 0 dBFS the end of block 50.
  for (const int x : {ticks.front(), ticks.back()}) {
    EXPECT_NE(panel.pixel(x, meterRow), black) << "tick at " << x << " is not under a block";
    EXPECT_EQ(panel.pixel(x + 1, meterRow), black) << "tick at " << x << " is not at a block's end";
  }
}

// ---------------------------------------------------------------------------------------
// A whole session in the application's own event loop

// Qt's warnings and errors while alive. The offscreen platform cannot pass size limits on
// to a window system and says so; that line is the platform's, not ours.
class QtWarningLog {
 public:
  QtWarningLog() { previous_ = qInstallMessageHandler(&QtWarningLog::handle); }
  ~QtWarningLog() {
    qInstallMessageHandler(previous_);
    lines().clear();
  }
  static std::vector<QString>& lines() {
    static std::vector<QString> collected;
    return collected;
  }

 private:
  static void handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    if (text.contains(QStringLiteral("does not support propagateSizeHints"))) return;
    lines().push_back(text);
  }
  QtMessageHandler previous_ = nullptr;
};

TEST_F(MainFormTest, ASessionDrawsWithoutQtWarningsAndClosingTheWindowEndsTheLoop) {
  QtWarningLog log;
  TMainForm& f = showForm();
  f.SBMic->click();
  audio.deliverOpen(wave::Direction::Capture);
  f.SBDin->click();
  audio.deliverOpen(wave::Direction::Playback);
  drain();
  f.cbIQ->setChecked(true);
  // A loud tone: meters, clip marks, a spectrum column and the running indicator.
  std::vector<dsp::Sample> tone(32768);
  for (size_t n = 0; n < tone.size(); ++n)
    tone[n] = static_cast<dsp::Sample>(std::lround(32767.0 * std::sin(0.3 * static_cast<double>(n))));
  ASSERT_NE(audio.deliverData(tone.data(), 65536), nullptr);
  ASSERT_NE(audio.deliverDone(), nullptr);
  drain();
  f.Timer1Timer();
  ASSERT_TRUE(f.Image1->isVisible());
  ASSERT_TRUE(f.ImageA->isVisible());
  // Every control paints: with the spectrum, without it, and logarithmic again.
  EXPECT_FALSE(f.grab().isNull());
  f.cbSpectr->click();
  EXPECT_FALSE(f.grab().isNull());
  f.cbSpectr->click();
  f.cbLog->click();
  EXPECT_FALSE(f.grab().isNull());

  // Closing the window from inside the application's loop ends the loop; the guard only
  // stops a hang from blocking the suite.
  QTimer::singleShot(0, &f, [&f] { f.close(); });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(20000);
  EXPECT_EQ(QApplication::exec(), 0);
  guard.stop();
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(audio.openCount(wave::Direction::Capture), 0u);
  EXPECT_EQ(audio.openCount(wave::Direction::Playback), 0u);
  EXPECT_TRUE(QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/ZEM/Varnex.conf")));
  form.reset();
  drain();
  EXPECT_TRUE(QtWarningLog::lines().empty()) << QtWarningLog::lines().front().toStdString();
}

}  // namespace
