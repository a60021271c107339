// The LED bar meter, drawn off screen and read back from its surface.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>

#include "display/led_display.hpp"
#include "offscreen_screens.hpp"

// Under the address sanitizer, an allocation that cannot succeed returns null (as malloc does)
// instead of ending the program, so the test of an unallocatable surface can run there too.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

using namespace display;

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    useOffscreenScreens();
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "led_display";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
const auto* const kQtEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QRgb rgbOf(TColor c) { return toQColor(c).rgb(); }

// A black panel holding one meter set up like the main window's level meters.
struct MainWindowMeter {
  QWidget panel;
  TLedDisplay* led;
  MainWindowMeter() {
    QPalette pal = panel.palette();
    pal.setColor(QPalette::Window, Qt::black);
    panel.setPalette(pal);
    panel.resize(200, 40);
    led = new TLedDisplay(&panel);
    led->setOrientation(loHorizontal);
    led->setCtl3D(false);
    led->setSpacing(-1);
    led->setMax(32767);
    led->setPosition(0);
    led->setBlockACount(35);
    led->setBlockBCount(9);
    led->setBlockCCount(6);
    led->resize(150, 12);
    led->PaintLEDs();  // a hidden widget learns its new size at its next paint
  }
};

// The colour block k would show, computed from the band rules and the lit count.
QRgb expectedBlock(int k, int lit, int a, int b) {
  const int band = k <= a ? 0 : (k <= a + b ? 1 : 2);
  const TColor activeColours[3] = {clLime, clYellow, clRed};
  const TColor deadColours[3] = {clGreen, clOlive, clMaroon};
  return rgbOf(k <= lit ? activeColours[band] : deadColours[band]);
}

int countLitBlocks(const QImage& img) {
  int lit = 0;
  for (int k = 1; k <= 50; ++k) {
    const QRgb c = img.pixel(3 * k - 2, 5);
    if (c == rgbOf(clLime) || c == rgbOf(clYellow) || c == rgbOf(clRed)) ++lit;
  }
  return lit;
}

}  // namespace

TEST(LedDisplay, ColourDecodingAndSystemColours) {
  EXPECT_EQ(toQColor(0x00123456), QColor(0x56, 0x34, 0x12));
  EXPECT_EQ(toQColor(clLime), QColor(0, 255, 0));
  EXPECT_EQ(toQColor(clOlive), QColor(128, 128, 0));
  EXPECT_EQ(toQColor(clMaroon), QColor(128, 0, 0));
  EXPECT_EQ(toQColor(clBtnShadow), QColor(128, 128, 128));
  EXPECT_EQ(toQColor(clBtnHighlight), QColor(255, 255, 255));
}

TEST(LedDisplay, ConstructorDefaults) {
  TLedDisplay led;
  EXPECT_EQ(led.width(), 30);
  EXPECT_EQ(led.height(), 200);
  EXPECT_EQ(led.Orientation(), loVertical);
  EXPECT_TRUE(led.Ctl3D());
  EXPECT_EQ(led.Spacing(), 2);
  EXPECT_EQ(led.Max(), 10);
  EXPECT_EQ(led.Position(), 0);
  EXPECT_EQ(led.BlockACount(), 7);
  EXPECT_EQ(led.BlockBCount(), 3);
  EXPECT_EQ(led.BlockCCount(), 1);
  EXPECT_EQ(led.ActiveColor1(), clLime);
  EXPECT_EQ(led.ActiveColor2(), clYellow);
  EXPECT_EQ(led.ActiveColor3(), clRed);
  EXPECT_EQ(led.DeadColor1(), clGreen);
  EXPECT_EQ(led.DeadColor2(), clOlive);
  EXPECT_EQ(led.DeadColor3(), clMaroon);
  EXPECT_EQ(led.surface().size(), QSize(30, 200));
}

TEST(LedDisplay, MainWindowMeterGeometry) {
  MainWindowMeter m;
  m.led->setPosition(32767);
  const QImage& img = m.led->surface();
  ASSERT_EQ(img.size(), QSize(150, 12));
  const QRgb black = qRgb(0, 0, 0);
  for (int x = 0; x < 150; ++x) {
    for (int y = 0; y < 12; ++y) {
      const bool inBlockColumn = x % 3 != 0;
      const bool inBlockRow = y >= 2 && y <= 9;
      if (inBlockColumn && inBlockRow) {
        const int k = x / 3 + 1;
        EXPECT_EQ(img.pixel(x, y), expectedBlock(k, 50, 35, 9)) << x << "," << y;
      } else {
        EXPECT_EQ(img.pixel(x, y), black) << x << "," << y;
      }
    }
  }
}

// On a screen of ratio 1.5 the 3-pixel block pitch is 4.5 device pixels: blocks placed by
// rounding come out with gaps of 1 and 2 device pixels, and a picture drawn at 1 and
// enlarged blends its edges. Each block must have one width and each gap one width, in the
// block colours alone.
TEST(LedDisplay, BlocksAndGapsKeepOneWidthInDevicePixelsAtEveryRatio) {
  for (const qreal ratio : {1.5, 2.0}) {
    QScreen* screen = screenWithRatio(ratio);
    if (!screen) GTEST_SKIP() << "no screen of ratio " << ratio << " on this platform";
    MainWindowMeter m;
    m.panel.setScreen(screen);
    m.led->setPosition(32767);
    m.led->PaintLEDs();
    const QImage& img = m.led->surface();
    EXPECT_EQ(img.devicePixelRatio(), ratio);
    ASSERT_EQ(img.size(), QSize(150, 12) * ratio);
    const QRgb black = qRgb(0, 0, 0);
    std::set<int> blockWidths, gapWidths;
    std::set<int> blockRows;
    int blocks = 0;
    for (int y = 0; y < img.height(); ++y) {
      for (int x = 0, run = 1; x < img.width(); x += run) {
        const QRgb c = img.pixel(x, y);
        for (run = 1; x + run < img.width() && img.pixel(x + run, y) == c; ++run) {
        }
        if (c == black) {
          if (x > 0 && x + run < img.width() && y == img.height() / 2) gapWidths.insert(run);
          continue;
        }
        blockRows.insert(y);
        if (y != img.height() / 2) continue;
        ++blocks;
        blockWidths.insert(run);
        EXPECT_EQ(c, expectedBlock(blocks, 50, 35, 9)) << ratio << ": block " << blocks;
      }
    }
    EXPECT_EQ(blocks, 50) << ratio;
    EXPECT_EQ(blockWidths.size(), 1u) << ratio;
    EXPECT_EQ(gapWidths.size(), 1u) << ratio;
    // The blocks' rows: one unbroken band, as high as at 1 scaled (8 of 12 pixels).
    ASSERT_FALSE(blockRows.empty());
    EXPECT_EQ(int(blockRows.size()), *blockRows.rbegin() - *blockRows.begin() + 1) << ratio;
    EXPECT_EQ(int(blockRows.size()), qRound(8 * ratio)) << ratio;
  }
}

TEST(LedDisplay, MainWindowLitCounts) {
  MainWindowMeter m;
  struct Case {
    int32_t position;
    int lit;
  };
  const Case cases[] = {{0, 0},      {655, 0},    {656, 1},    {1310, 1}, {1311, 2},  {16384, 25},
                        {32766, 49}, {32767, 50}, {40000, 50}, {-5, 0},   {-40000, 0}};
  for (const Case& c : cases) {
    m.led->setPosition(c.position);
    const int expected = int(std::min<int64_t>(int64_t(c.position) * 50 / 32767, 50));
    EXPECT_EQ(std::max(expected, 0), c.lit) << c.position;  // the table agrees with the rule
    EXPECT_EQ(m.led->litCount(), expected) << c.position;
    EXPECT_EQ(countLitBlocks(m.led->surface()), c.lit) << c.position;
    for (int k = 1; k <= 50; ++k)
      EXPECT_EQ(m.led->surface().pixel(3 * k - 1, 9), expectedBlock(k, c.lit, 35, 9)) << c.position << " " << k;
  }
}

TEST(LedDisplay, ProductWrapsInThirtyTwoBits) {
  MainWindowMeter m;
  // 50 * 50000000 wraps to a negative product: nothing lights, as with 32-bit arithmetic.
  m.led->setMax(1);
  m.led->setPosition(50000000);
  const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(int64_t(50000000) * 50));
  ASSERT_LT(wrapped, 0);
  EXPECT_EQ(m.led->litCount(), wrapped);
  EXPECT_EQ(countLitBlocks(m.led->surface()), 0);
  // N = 64 and Position 2^25 give the product INT_MIN; INT_MIN / -1 must not trap.
  m.led->setBlockACount(32);
  m.led->setBlockBCount(16);
  m.led->setBlockCCount(16);
  m.led->setMax(-1);
  m.led->setPosition(1 << 25);
  EXPECT_EQ(m.led->litCount(), 64);
}

TEST(LedDisplay, DefaultVerticalSlotsAndFrames) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(10, 20, 30));
  parent.setPalette(pal);
  TLedDisplay led(&parent);
  const QImage& img = led.surface();
  const QRgb bg = qRgb(10, 20, 30), shadow = qRgb(128, 128, 128), hi = qRgb(255, 255, 255);
  // Slot tops p * 200 div 11; block k sits in slot 11 - k.
  const int tops[11] = {0, 18, 36, 54, 72, 90, 109, 127, 145, 163, 181};
  for (int p = 0; p < 11; ++p) {
    EXPECT_EQ(p * 200 / 11, tops[p]);
    const int k = 11 - p;
    const QRgb fill = expectedBlock(k, 0, 7, 3);
    // Block rows top+1 .. top+14, columns 2..27.
    for (int y = tops[p] + 1; y <= tops[p] + 14; ++y)
      for (int x = 2; x <= 27; ++x) ASSERT_EQ(img.pixel(x, y), fill) << p << " " << x << "," << y;
    // The frame: shadow on top row (but rightmost) and left column (but bottom), highlight right and bottom.
    const int t = tops[p], b = tops[p] + 15;
    for (int x = 1; x <= 27; ++x) EXPECT_EQ(img.pixel(x, t), shadow) << p << " " << x;
    for (int y = t; y < b; ++y) EXPECT_EQ(img.pixel(1, y), shadow) << p << " " << y;
    for (int y = t; y <= b; ++y) EXPECT_EQ(img.pixel(28, y), hi) << p << " " << y;
    for (int x = 1; x <= 28; ++x) EXPECT_EQ(img.pixel(x, b), hi) << p << " " << x;
    // Outside the frame, columns 0 and 29 and the rows below the frame stay background.
    for (int y = t; y <= b; ++y) {
      EXPECT_EQ(img.pixel(0, y), bg);
      EXPECT_EQ(img.pixel(29, y), bg);
    }
  }
  // Block 1: rows 182..195, the frame 181..196, and background below it.
  EXPECT_EQ(img.pixel(10, 182), rgbOf(clGreen));
  EXPECT_EQ(img.pixel(10, 195), rgbOf(clGreen));
  EXPECT_EQ(img.pixel(10, 196), hi);
  for (int y = 197; y < 200; ++y)
    for (int x = 0; x < 30; ++x) EXPECT_EQ(img.pixel(x, y), bg) << x << "," << y;
  // Between frames (spacing 2: rows 16 and 17 of each slot) the background shows.
  EXPECT_EQ(img.pixel(10, 16), bg);
  EXPECT_EQ(img.pixel(10, 17), bg);

  // Lighting the whole bar keeps the frames and colours band C at the top.
  led.setPosition(10);
  EXPECT_EQ(img.pixel(10, 5), rgbOf(clRed));
  EXPECT_EQ(img.pixel(10, 20), rgbOf(clYellow));
  EXPECT_EQ(img.pixel(10, 190), rgbOf(clLime));
  EXPECT_EQ(img.pixel(1, 181), shadow);

  // Without frames the blocks stay where they were and the frame ring is background.
  led.setCtl3D(false);
  EXPECT_EQ(img.pixel(10, 190), rgbOf(clLime));
  EXPECT_EQ(img.pixel(1, 181), bg);
  EXPECT_EQ(img.pixel(28, 190), bg);
  EXPECT_EQ(img.pixel(2, 182), rgbOf(clLime));
  EXPECT_EQ(img.pixel(27, 195), rgbOf(clLime));
}

TEST(LedDisplay, OverlappingFramesLaterWins) {
  const QRgb shadow = qRgb(128, 128, 128), hi = qRgb(255, 255, 255);
  QWidget parent;
  {
    // Horizontal frames are drawn right to left: where neighbours overlap (spacing -1), the
    // left slot's highlight column covers the right slot's shadow column.
    TLedDisplay led(&parent);
    led.setOrientation(loHorizontal);
    led.setSpacing(-1);
    led.resize(110, 12);  // N 11, slots of 10 pixels, frames 11 pixels wide
    led.PaintLEDs();
    const QImage& img = led.surface();
    EXPECT_EQ(img.pixel(0, 5), shadow);
    EXPECT_EQ(img.pixel(10, 5), hi);
    EXPECT_EQ(img.pixel(20, 5), hi);
    EXPECT_EQ(img.pixel(15, 1), shadow);
    EXPECT_EQ(img.pixel(105, 10), hi);
    // The last frame's right column falls outside the control; its block reaches the edge.
    EXPECT_EQ(img.pixel(109, 5), rgbOf(clMaroon));
    EXPECT_EQ(img.pixel(5, 5), rgbOf(clGreen));
    EXPECT_EQ(img.pixel(75, 5), rgbOf(clOlive));
  }
  {
    // Vertical frames are drawn top to bottom: the lower slot's shadow row wins.
    TLedDisplay led(&parent);
    led.setSpacing(-1);
    led.resize(30, 110);
    led.PaintLEDs();
    const QImage& img = led.surface();
    EXPECT_EQ(img.pixel(5, 10), shadow);
    EXPECT_EQ(img.pixel(5, 20), shadow);
    EXPECT_EQ(img.pixel(28, 10), hi);
    EXPECT_EQ(img.pixel(5, 5), rgbOf(clMaroon));  // top slot holds band C
  }
}

TEST(LedDisplay, OrientationSwitchKeepsBandOrder) {
  QWidget parent;
  TLedDisplay led(&parent);
  led.resize(110, 200);
  led.setPosition(10);
  const int fullBefore = led.fullPaintCount();
  led.setOrientation(loHorizontal);
  EXPECT_EQ(led.fullPaintCount(), fullBefore + 1);
  const QImage& img = led.surface();
  // 110 wide / 11 blocks: block k starts at column (k-1)*10 + 1.
  for (int k = 1; k <= 11; ++k) {
    const int left = (k - 1) * 10 + 1;
    EXPECT_EQ(img.pixel(left, 100), expectedBlock(k, 11, 7, 3)) << k;
  }
  led.setOrientation(loVertical);
  EXPECT_EQ(img.pixel(10, 190), rgbOf(clLime));
  EXPECT_EQ(img.pixel(10, 5), rgbOf(clRed));
}

TEST(LedDisplay, RepaintRules) {
  MainWindowMeter m;
  TLedDisplay& led = *m.led;
  led.setPosition(1000);
  int blocks = led.blockPaintCount(), full = led.fullPaintCount();

  // Same position: nothing is painted.
  led.setPosition(1000);
  EXPECT_EQ(led.blockPaintCount(), blocks);
  EXPECT_EQ(led.fullPaintCount(), full);

  // A new position repaints blocks only.
  led.setPosition(2000);
  EXPECT_EQ(led.blockPaintCount(), blocks + 1);
  EXPECT_EQ(led.fullPaintCount(), full);

  // A colour always repaints the blocks, even when unchanged, and shows at once.
  blocks = led.blockPaintCount();
  led.setActiveColor1(clLime);
  EXPECT_EQ(led.blockPaintCount(), blocks + 1);
  led.setActiveColor1(clWhite);
  EXPECT_EQ(led.blockPaintCount(), blocks + 2);
  EXPECT_EQ(led.fullPaintCount(), full);
  EXPECT_EQ(led.surface().pixel(1, 5), qRgb(255, 255, 255));
  led.setDeadColor3(clSilver);
  EXPECT_EQ(led.surface().pixel(148, 5), qRgb(192, 192, 192));

  // Structural properties repaint the whole control, but only when they change.
  full = led.fullPaintCount();
  led.setSpacing(-1);
  led.setCtl3D(false);
  led.setMax(32767);
  led.setOrientation(loHorizontal);
  led.setBlockACount(35);
  EXPECT_EQ(led.fullPaintCount(), full);
  led.setSpacing(0);
  EXPECT_EQ(led.fullPaintCount(), full + 1);
  led.setMax(30000);
  EXPECT_EQ(led.fullPaintCount(), full + 2);
}

TEST(LedDisplay, BlockPaintDoesNotTouchGaps) {
  MainWindowMeter m;
  TLedDisplay& led = *m.led;
  // Block paints leave the gaps and borders exactly as the last full paint left them.
  for (int32_t pos : {100, 20000, 32767, 0}) {
    led.setPosition(pos);
    for (int y = 0; y < 12; ++y) EXPECT_EQ(led.surface().pixel(0, y), qRgb(0, 0, 0));
    for (int x = 0; x < 150; x += 3) EXPECT_EQ(led.surface().pixel(x, 5), qRgb(0, 0, 0)) << x;
    for (int x = 0; x < 150; ++x) EXPECT_EQ(led.surface().pixel(x, 11), qRgb(0, 0, 0)) << x;
  }
}

TEST(LedDisplay, CountsAndMaxEdgeValues) {
  QWidget parent;
  TLedDisplay led(&parent);
  led.setBlockACount(0);
  EXPECT_EQ(led.BlockACount(), 1);
  led.setBlockBCount(-7);
  EXPECT_EQ(led.BlockBCount(), 1);
  led.setBlockCCount(0);
  EXPECT_EQ(led.BlockCCount(), 1);
  // N = 3 now; with Max 10, position 10 lights all three.
  led.setPosition(10);
  EXPECT_EQ(led.litCount(), 3);

  // Max 0 becomes 1 inside the block paint (through its setter, repainting the control).
  const int full = led.fullPaintCount();
  led.setMax(0);
  EXPECT_EQ(led.Max(), 1);
  EXPECT_GE(led.fullPaintCount(), full + 2);
  EXPECT_EQ(led.litCount(), 3);

  // A negative Max lights nothing for positive positions.
  led.setMax(-10);
  EXPECT_EQ(led.Max(), -10);
  EXPECT_LT(led.litCount(), 0);
  const QImage& img = led.surface();
  // Vertical 30 x 200, N 3: every block shows its dead colour.
  EXPECT_EQ(img.pixel(10, 100), rgbOf(clOlive));
  EXPECT_EQ(img.pixel(10, 180), rgbOf(clGreen));
  EXPECT_EQ(img.pixel(10, 30), rgbOf(clMaroon));
}

TEST(LedDisplay, BackgroundFollowsParentAndResize) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(1, 2, 3));
  parent.setPalette(pal);
  TLedDisplay led(&parent);
  EXPECT_EQ(led.surface().pixel(0, 0), qRgb(1, 2, 3));
  pal.setColor(QPalette::Window, QColor(40, 50, 60));
  parent.setPalette(pal);
  EXPECT_EQ(led.surface().pixel(0, 0), qRgb(40, 50, 60));
  led.resize(60, 20);
  led.PaintLEDs();
  EXPECT_EQ(led.surface().size(), QSize(60, 20));
  EXPECT_EQ(led.surface().pixel(59, 19), qRgb(40, 50, 60));
  led.resize(0, 0);
  led.setPosition(5);  // an empty control paints nothing and must not crash
  EXPECT_TRUE(led.surface().isNull());
}

namespace {

// Paints every block in order (frames first when 3D) on a plain image, straight from the
// slot rules, for comparison with the control's surface.
QImage referenceBar(int w, int h, bool vertical, bool frames, int spacing, int64_t a, int64_t b, int64_t c, int64_t lit,
                    QRgb background) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(background);
  const int64_t n = a + b + c, length = vertical ? h : w, slot = length / n;
  auto fill = [&](int64_t l, int64_t t, int64_t r, int64_t bt, QRgb colour) {
    for (int64_t y = std::max<int64_t>(t, 0); y < std::min<int64_t>(bt, h); ++y)
      for (int64_t x = std::max<int64_t>(l, 0); x < std::min<int64_t>(r, w); ++x) img.setPixel(int(x), int(y), colour);
  };
  const QRgb shadow = qRgb(128, 128, 128), hi = qRgb(255, 255, 255);
  auto frame = [&](int64_t l, int64_t t, int64_t r, int64_t bt) {
    if (r <= l || bt <= t) return;
    fill(l, t, r - 1, t + 1, shadow);
    fill(l, t, l + 1, bt - 1, shadow);
    fill(r - 1, t, r, bt, hi);
    fill(l, bt - 1, r, bt, hi);
  };
  if (frames) {
    for (int64_t i = 0; i < n; ++i) {
      const int64_t p = vertical ? i : n - 1 - i;
      const int64_t start = p * length / n;
      if (vertical)
        frame(1, start, w - 1, start + slot - spacing);
      else
        frame(start, 1, start + slot - spacing, h - 1);
    }
  }
  const TColor activeColours[3] = {clLime, clYellow, clRed};
  const TColor deadColours[3] = {clGreen, clOlive, clMaroon};
  for (int64_t k = 1; k <= n; ++k) {
    const int band = k <= a ? 0 : (k <= a + b ? 1 : 2);
    const QRgb colour = rgbOf(k <= lit ? activeColours[band] : deadColours[band]);
    const int64_t p = vertical ? n - k : k - 1;
    const int64_t start = p * length / n + 1;
    if (vertical)
      fill(2, start, w - 2, start + slot - spacing - 2, colour);
    else
      fill(start, 2, start + slot - spacing - 2, h - 2, colour);
  }
  return img;
}

}  // namespace

TEST(LedDisplay, MoreBlocksThanPixelsMatchesBlockByBlockPainting) {
  // More blocks than pixels: many blocks share a start, and the one painted last must win,
  // frames as well as blocks, in both orientations.
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(9, 9, 9));
  parent.setPalette(pal);
  struct Case {
    bool vertical;
    bool frames;
    int spacing;
    int w, h;
    int a, b, c;
    int position;
  };
  const Case cases[] = {{true, true, -7, 30, 47, 300, 200, 157, 3},  {true, true, 2, 30, 200, 7, 3, 1, 6},
                        {false, true, -9, 61, 12, 400, 33, 90, 7},   {false, false, -3, 150, 12, 350, 90, 60, 8},
                        {true, false, -40, 20, 90, 1000, 1, 999, 5}, {false, true, -1, 150, 12, 35, 9, 6, 9}};
  for (const Case& c : cases) {
    TLedDisplay led(&parent);
    led.setOrientation(c.vertical ? loVertical : loHorizontal);
    led.setCtl3D(c.frames);
    led.setSpacing(c.spacing);
    led.setBlockACount(c.a);
    led.setBlockBCount(c.b);
    led.setBlockCCount(c.c);
    led.resize(c.w, c.h);
    led.setPosition(c.position);
    const int64_t lit = led.litCount();
    const QImage want = referenceBar(c.w, c.h, c.vertical, c.frames, c.spacing, c.a, c.b, c.c, lit, qRgb(9, 9, 9));
    EXPECT_EQ(led.surface().convertToFormat(QImage::Format_RGB32), want)
        << c.vertical << " " << c.frames << " " << c.a + c.b + c.c << " blocks";
  }
}

TEST(LedDisplay, HugeBlockCountsNeitherWrapNorStall) {
  QWidget parent;
  TLedDisplay led(&parent);
  led.setSpacing(-3);
  led.setMax(1);
  // Three counts that sum to 2^32: in 32 bits the block count would wrap to 0 and divide by it.
  led.setBlockACount(INT32_MAX);
  led.setBlockBCount(INT32_MAX);
  led.setBlockCCount(2);
  led.setPosition(1);
  // Position = Max lights every block; the product 1 x N wraps in 32 bits (2^32 -> 0).
  EXPECT_EQ(led.litCount(), 0);
  led.setOrientation(loHorizontal);
  led.setBlockCCount(3);  // N = 2^32 + 1: the product wraps to 1, lighting one block
  EXPECT_EQ(led.litCount(), 1);
  // Every slot start holds billions of blocks; the last painted (the highest) of each shows.
  const QImage& img = led.surface();
  ASSERT_EQ(img.size(), QSize(30, 200));
  // Blocks are one pixel wide (slot 0, spacing -3) and start at column p * 30 div N + 1.
  EXPECT_EQ(img.pixel(1, 100), rgbOf(clGreen));   // lit block 1 is covered by the blocks after it
  EXPECT_EQ(img.pixel(14, 100), rgbOf(clGreen));  // band A ends just before half the bar
  EXPECT_EQ(img.pixel(15, 100), rgbOf(clOlive));
  EXPECT_EQ(img.pixel(29, 100), rgbOf(clOlive));  // band C's three blocks start past the edge
  // Vertical, all blocks dark except the low ones.
  led.setOrientation(loVertical);
  EXPECT_EQ(img.pixel(10, 1), rgbOf(clMaroon));
  EXPECT_EQ(img.pixel(10, 199), rgbOf(clGreen));
}

TEST(LedDisplay, RandomSizesCountsAndSpacingsMatchBlockByBlockPainting) {
  // Tiny and odd controls, few and many blocks, gaps and overlaps: the surface always equals
  // the block-by-block painting (and nothing is touched outside it).
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(3, 4, 5));
  parent.setPalette(pal);
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> size(0, 24), count(-2, 90), spacing(-30, 12), position(-20, 400);
  for (int n = 0; n < 120; ++n) {
    TLedDisplay led(&parent);
    const bool vertical = n % 2 == 0, frames = n % 3 != 0;
    led.setOrientation(vertical ? loVertical : loHorizontal);
    led.setCtl3D(frames);
    led.setSpacing(spacing(rng));
    led.setBlockACount(count(rng));
    led.setBlockBCount(count(rng));
    led.setBlockCCount(count(rng));
    led.setMax(n % 5 == 0 ? 0 : 150);
    const int w = size(rng), h = size(rng);
    led.resize(w, h);
    led.setPosition(position(rng));
    led.PaintLEDs();
    if (w == 0 || h == 0) {
      EXPECT_TRUE(led.surface().isNull());
      continue;
    }
    const QImage want = referenceBar(w, h, vertical, frames, led.Spacing(), led.BlockACount(), led.BlockBCount(),
                                     led.BlockCCount(), led.litCount(), qRgb(3, 4, 5));
    ASSERT_EQ(led.surface().convertToFormat(QImage::Format_RGB32), want) << "case " << n;
  }
}

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

}  // namespace

TEST(LedDisplay, PositionChangeReachesTheScreen) {
  // The bar is drawn off screen; a new Position must also schedule the widget's repaint, or
  // the meter on screen would stand still until something else exposes it.
  MainWindowMeter m;
  m.panel.show();
  QApplication::processEvents();
  PaintCounter counter;
  m.led->installEventFilter(&counter);
  m.led->setPosition(32767);
  QApplication::processEvents();
  EXPECT_GE(counter.paints, 1);
  const QImage shown = m.led->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shown.pixel(1, 5), rgbOf(clLime));
  EXPECT_EQ(shown.pixel(148, 5), rgbOf(clRed));
  // The same Position again paints nothing.
  const int before = counter.paints;
  m.led->setPosition(32767);
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, before);
  m.panel.hide();
}

TEST(LedDisplay, SurfaceTooLargeToAllocateDrawsNothing) {
  // A control far larger than any image that can be allocated: the drawing is skipped (and
  // tried again at the next paint) instead of recursing between the full and block paints.
  QWidget parent;
  TLedDisplay led(&parent);
  led.resize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);  // 2^24 - 1 square: beyond any address space
  ASSERT_TRUE(QImage(led.size(), QImage::Format_RGB32).isNull());
  led.setPosition(5);
  led.PaintLEDs();
  EXPECT_TRUE(led.surface().isNull());
  EXPECT_EQ(led.Position(), 5);
  // Back to a normal size, it draws again.
  led.resize(30, 200);
  led.PaintLEDs();
  EXPECT_EQ(led.surface().size(), QSize(30, 200));
  EXPECT_EQ(led.surface().pixel(10, 190), rgbOf(clLime));
}
