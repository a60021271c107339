// Heat colours, the spectrum column and its view, and the frequency ruler.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>

#include "display/heat_color.hpp"
#include "display/ruler.hpp"
#include "display/spectrum_display.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"

using namespace display;

namespace {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QLocale::setDefault(QLocale::c());  // the ruler's figures below are written with '.'
    dsp::InitFFT();
  }
  void TearDown() override {
    dsp::DoneFFT();
    app_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "spectrum_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new Environment);

constexpr double kPi = 3.14159265358979323846;

HeatRgb rgb(int r, int g, int b) { return {uint8_t(r), uint8_t(g), uint8_t(b)}; }

// The colour bands in double precision: fractions of each channel for a value.
void referenceFractions(double v, double f[3]) {
  f[0] = f[1] = f[2] = 0;
  if (v < 0) return;
  v = std::min(v, 5e6);
  if (v < 13000)
    f[2] = v / 13000;
  else if (v < 60000)
    f[1] = (v - 13000) / 47000, f[2] = 1;
  else if (v < 80000)
    f[1] = 1, f[2] = (80000 - v) / 20000;
  else if (v < 100000)
    f[0] = (v - 80000) / 20000, f[1] = 1;
  else if (v < 500000)
    f[0] = 1, f[1] = (500000 - v) / 400000;
  else if (v < 2000000)
    f[0] = 1, f[2] = (v - 500000) / 1500000;
  else
    f[0] = 1, f[1] = (v - 2000000) / 3000000, f[2] = 1;
}

// RGB of one 5-6-5 pixel, widened back by shifting.
void unpack565(uint16_t p, int& r, int& g, int& b) {
  r = (p >> 11) << 3;
  g = ((p >> 5) & 0x3F) << 2;
  b = (p & 0x1F) << 3;
}

uint16_t viewPixel(const QImage& view, int x, int y) {
  return reinterpret_cast<const uint16_t*>(view.constScanLine(y))[x];
}

// |re| + |im| of bin k of the Blackman-windowed first 16384 samples, by a direct double DFT.
double referenceBin(const dsp::StreamConfig& s, int k) {
  double re = 0, im = 0;
  for (int n = 0; n < 16384; ++n) {
    const double x = double(float(s.WorkBuffer[size_t(n)]) * s.BlackmanWindow[size_t(n)]);
    const double a = 2 * kPi * double((int64_t(n) * k) % 16384) / 16384;
    re += x * std::cos(a);
    im += x * std::sin(a);
  }
  return std::fabs(re) + std::fabs(im);
}

void fillTone(dsp::StreamConfig& s, int bin, double amplitude) {
  for (int n = 0; n < s.BlockSamples; ++n)
    s.WorkBuffer[size_t(n)] =
        dsp::Sample(std::lrint(amplitude * std::cos(2 * kPi * double((int64_t(n) * bin) % 16384) / 16384)));
}

}  // namespace

// ---- heat colours ---------------------------------------------------------------------

TEST(HeatColor, BandEdges) {
  EXPECT_EQ(HeatColor(0), rgb(0, 0, 0));
  EXPECT_EQ(HeatColor(6500), rgb(0, 0, 128));  // 127.5 rounds to even
  EXPECT_EQ(HeatColor(13000), rgb(0, 0, 255));
  EXPECT_EQ(HeatColor(36500), rgb(0, 128, 255));
  EXPECT_EQ(HeatColor(60000), rgb(0, 255, 255));
  EXPECT_EQ(HeatColor(80000), rgb(0, 255, 0));
  EXPECT_EQ(HeatColor(100000), rgb(255, 255, 0));
  EXPECT_EQ(HeatColor(500000), rgb(255, 0, 0));
  EXPECT_EQ(HeatColor(2000000), rgb(255, 0, 255));
  EXPECT_EQ(HeatColor(5000000), rgb(255, 255, 255));
  EXPECT_EQ(HeatColor(5000001), rgb(255, 255, 255));
  EXPECT_EQ(HeatColor(1e30f), rgb(255, 255, 255));
  EXPECT_EQ(HeatColor(std::numeric_limits<float>::infinity()), rgb(255, 255, 255));
  EXPECT_EQ(HeatColor(-1), rgb(0, 0, 0));
  EXPECT_EQ(HeatColor(-0.5f), rgb(0, 0, 0));
  EXPECT_EQ(HeatColor(-1e30f), rgb(0, 0, 0));
  EXPECT_EQ(HeatColor(std::numeric_limits<float>::quiet_NaN()), rgb(0, 0, 0));
  // Just below an edge the band is still the lower one.
  EXPECT_EQ(HeatColor(12999.9f), rgb(0, 0, 255));
  EXPECT_EQ(HeatColor(99999.5f), rgb(255, 255, 0));
}

TEST(HeatColor, MatchesBandsAcrossTheRange) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> logv(0, std::log(6e6));
  for (int n = 0; n < 5000; ++n) {
    const float v = float(std::exp(logv(rng)) - 1);
    double f[3];
    referenceFractions(v, f);
    const HeatRgb c = HeatColor(v);
    EXPECT_NEAR(c.r, 255 * f[0], 0.5 + 1e-3) << v;
    EXPECT_NEAR(c.g, 255 * f[1], 0.5 + 1e-3) << v;
    EXPECT_NEAR(c.b, 255 * f[2], 0.5 + 1e-3) << v;
  }
}

TEST(HeatColor, Magnitudes) {
  EXPECT_EQ(SpectrumMagnitude(-3, 4, false), 7.0);
  EXPECT_EQ(SpectrumMagnitude(0, 0, true), 0.0);
  EXPECT_NEAR(SpectrumMagnitude(1000, 0, true), 100000 * std::log10(2.0), 1e-9);
  EXPECT_EQ(HeatColor(float(SpectrumMagnitude(1000, 0, true))), rgb(0, 93, 255));
  EXPECT_EQ(SpectrumMagnitude(4e6f, 2e6f, false), 5000000.0);
  EXPECT_NEAR(SpectrumMagnitude(1e8f, 0, true), 100000 * std::log10(1e5 + 1), 1e-6);
}

// ---- spectrum column -------------------------------------------------------------------

TEST(Spectrum, CreateMakesBlackImages) {
  SpectrumDisplay d;
  d.create(QSize(207, 451));
  EXPECT_EQ(d.SpectrumView.size(), QSize(207, 451));
  EXPECT_EQ(d.SpectrumView.format(), QImage::Format_RGB16);
  EXPECT_EQ(d.SpectrumColumn.size(), QSize(1, 1));
  EXPECT_EQ(d.ScaledColumn.size(), QSize(1, 451));
  for (int y = 0; y < 451; y += 50)
    for (int x = 0; x < 207; x += 20) EXPECT_EQ(viewPixel(d.SpectrumView, x, y), 0);
}

TEST(Spectrum, SilenceGivesBlackColumnAndScrolls) {
  dsp::StreamConfig s;
  SpectrumDisplay d;
  d.create(QSize(40, 451));
  // A recognisable picture: every pixel different.
  for (int y = 0; y < 451; ++y)
    for (int x = 0; x < 40; ++x) reinterpret_cast<uint16_t*>(d.SpectrumView.scanLine(y))[x] = uint16_t(1 + x * 500 + y);
  const QImage before = d.SpectrumView.copy();
  std::fill(s.WorkBuffer.begin(), s.WorkBuffer.end(), dsp::Sample(0));
  for (bool logScale : {false, true}) {
    const QImage old = d.SpectrumView.copy();
    d.RenderSpectrumColumn(s, logScale);
    for (int y = 0; y < 451; ++y) {
      for (int x = 0; x < 39; ++x)
        ASSERT_EQ(viewPixel(d.SpectrumView, x, y), viewPixel(old, x + 1, y)) << x << "," << y;
      EXPECT_EQ(viewPixel(d.SpectrumView, 39, y), 0) << y;
    }
    EXPECT_EQ(d.SpectrumColumn.size(), QSize(1, 8192));
    for (int y = 0; y < 8192; ++y) {
      const uchar* p = d.SpectrumColumn.constScanLine(y);
      ASSERT_EQ(p[0] | p[1] | p[2], 0) << y;
    }
  }
  // After two updates the original column 2 sits at column 0.
  EXPECT_EQ(viewPixel(d.SpectrumView, 0, 100), viewPixel(before, 2, 100));
}

TEST(Spectrum, ToneLandsInItsRow) {
  dsp::StreamConfig s;
  SpectrumDisplay d;
  d.create(QSize(207, 451));
  const int bin = 3000;  // 3000 * 48000 / 16384 Hz, exactly on a bin
  fillTone(s, bin, 32767);
  d.RenderSpectrumColumn(s, false);

  // The column: row 8192 - k shows bin k; compare with a direct DFT around the tone.
  for (int k : {bin - 3, bin - 2, bin - 1, bin, bin + 1, bin + 2, bin + 3, 100, 7000}) {
    const HeatRgb want = HeatColor(float(std::min(referenceBin(s, k), 5e6)));
    const uchar* p = d.SpectrumColumn.constScanLine(8192 - k);
    EXPECT_NEAR(p[0], want.r, 1) << k;
    EXPECT_NEAR(p[1], want.g, 1) << k;
    EXPECT_NEAR(p[2], want.b, 1) << k;
  }
  // The tone saturates the linear scale; the peak row of the view is where its bin maps.
  const uchar* peak = d.SpectrumColumn.constScanLine(8192 - bin);
  EXPECT_EQ(peak[0] + peak[1] + peak[2], 3 * 255);
  const int expectedRow = int(std::lround((8192.0 - bin) * 450 / 8191));
  int brightest = -1, brightestSum = -1;
  for (int y = 0; y < 451; ++y) {
    int r, g, b;
    unpack565(viewPixel(d.SpectrumView, 206, y), r, g, b);
    if (r + g + b > brightestSum) brightestSum = r + g + b, brightest = y;
    if (std::abs(y - expectedRow) > 2) {
      EXPECT_EQ(viewPixel(d.SpectrumView, 206, y), 0) << y;
    }
  }
  EXPECT_NEAR(brightest, expectedRow, 1);
  EXPECT_GT(brightestSum, 0);
  // Older columns stay black.
  EXPECT_EQ(viewPixel(d.SpectrumView, 205, expectedRow), 0);
}

TEST(Spectrum, TopRowIsHalfTheRateAndDcIsNotDrawn) {
  dsp::StreamConfig s;
  SpectrumDisplay d;
  d.create(QSize(10, 451));
  fillTone(s, 8192, 20000);  // alternating samples: all energy at half the rate
  d.RenderSpectrumColumn(s, false);
  int r, g, b;
  unpack565(viewPixel(d.SpectrumView, 9, 0), r, g, b);
  EXPECT_GT(r + g + b, 0);
  unpack565(viewPixel(d.SpectrumView, 9, 450), r, g, b);
  EXPECT_EQ(r + g + b, 0);
  const uchar* top = d.SpectrumColumn.constScanLine(0);
  EXPECT_GT(top[0] + top[1] + top[2], 0);

  // A constant block: bin 0 is huge but lies outside the column; the bottom row is bin 1.
  std::fill(s.WorkBuffer.begin(), s.WorkBuffer.end(), dsp::Sample(1000));
  d.RenderSpectrumColumn(s, false);
  const HeatRgb bin1 = HeatColor(float(std::min(referenceBin(s, 1), 5e6)));
  const uchar* bottom = d.SpectrumColumn.constScanLine(8191);
  EXPECT_NEAR(bottom[0], bin1.r, 1);
  EXPECT_NEAR(bottom[1], bin1.g, 1);
  EXPECT_NEAR(bottom[2], bin1.b, 1);
  const uchar* row3 = d.SpectrumColumn.constScanLine(8192 - 3);  // the window's three terms end at bin 2
  EXPECT_EQ(row3[0] + row3[1], 0);
}

TEST(Spectrum, SmallViewsAreSafe) {
  dsp::StreamConfig s;
  fillTone(s, 500, 10000);
  for (QSize size : {QSize(1, 1), QSize(1, 451), QSize(3, 2), QSize(0, 0), QSize(5, 0)}) {
    SpectrumDisplay d;
    d.create(size);
    d.RenderSpectrumColumn(s, false);
    EXPECT_EQ(d.SpectrumView.size(), size.isEmpty() ? QSize(0, 0) : size);
  }
}

TEST(Spectrum, PaintViewIsRightAligned) {
  SpectrumDisplay d;
  d.create(QSize(20, 30));
  reinterpret_cast<uint16_t*>(d.SpectrumView.scanLine(5))[0] = 0xF800;  // red
  QImage target(50, 30, QImage::Format_RGB32);
  target.fill(Qt::blue);
  {
    QPainter p(&target);
    d.paintView(p, 50);
  }
  EXPECT_EQ(target.pixel(30, 5), qRgb(255, 0, 0));
  EXPECT_EQ(target.pixel(31, 5), qRgb(0, 0, 0));
  EXPECT_EQ(target.pixel(29, 5), qRgb(0, 0, 255));
}

// ---- ruler -----------------------------------------------------------------------------

namespace {

std::vector<QString> numbers(const std::vector<RulerLabel>& labels) {
  std::vector<QString> out;
  for (const RulerLabel& l : labels) {
    EXPECT_TRUE(l.text.startsWith(QStringLiteral("- "))) << l.text.toStdString();
    out.push_back(l.text.mid(2));
  }
  return out;
}

}  // namespace

TEST(Ruler, LabelsAt48000) {
  const auto labels = RulerLabels(48000, 451);
  ASSERT_EQ(labels.size(), 23u);
  EXPECT_EQ(labels[0].y, 13);
  EXPECT_EQ(labels[1].y, 32);
  EXPECT_EQ(labels[22].y, 426);
  const auto n = numbers(labels);
  for (int k = 1; k <= 23; ++k) EXPECT_EQ(n[size_t(k - 1)], QString::asprintf("%.2f", double(24 - k))) << k;
  EXPECT_EQ(n[0], QStringLiteral("23.00"));
  EXPECT_EQ(n[22], QStringLiteral("1.00"));
}

TEST(Ruler, LabelsAtOtherRates) {
  auto n = numbers(RulerLabels(44100, 451));
  EXPECT_EQ(n[0], QStringLiteral("21.13"));
  EXPECT_EQ(n[1], QStringLiteral("20.21"));
  EXPECT_EQ(n[2], QStringLiteral("19.29"));
  EXPECT_EQ(n[21], QStringLiteral("1.84"));
  EXPECT_EQ(n[22], QStringLiteral("0.92"));
  n = numbers(RulerLabels(192000, 451));
  EXPECT_EQ(n[0], QStringLiteral("92.00"));
  EXPECT_EQ(n[1], QStringLiteral("88.00"));
  EXPECT_EQ(n[22], QStringLiteral("4.00"));
  n = numbers(RulerLabels(8000, 451));
  EXPECT_EQ(n[0], QStringLiteral("3.83"));
  EXPECT_EQ(n[1], QStringLiteral("3.67"));
  EXPECT_EQ(n[2], QStringLiteral("3.50"));
  EXPECT_EQ(n[21], QStringLiteral("0.33"));
  EXPECT_EQ(n[22], QStringLiteral("0.17"));
  n = numbers(RulerLabels(4000, 451));
  EXPECT_EQ(n[22], QStringLiteral("0.08"));  // at least two characters, two decimals
}

TEST(Ruler, EveryLabelShowsWholeInTheRulersWidth) {
  const QFontMetrics metrics(RulerFont());
  for (uint32_t rate : {192000u, 96000u, 48000u, 44100u, 32000u, 24000u, 22050u, 16000u, 12000u, 11025u, 8000u, 7000u,
                        6000u, 5000u, 4000u})
    for (const RulerLabel& l : RulerLabels(rate, 451))
      EXPECT_LE(metrics.horizontalAdvance(l.text), kRulerWidth) << rate << " " << l.text.toStdString();
  EXPECT_LE(6 + metrics.horizontalAdvance(QStringLiteral("кГц")), kRulerWidth);
}

TEST(Ruler, ValuesAndPositionsFollowRateAndHeight) {
  for (uint32_t rate : {4000u, 11025u, 22050u, 32000u, 44100u, 96000u, 192000u}) {
    for (int height : {24, 100, 451, 600}) {
      const auto labels = RulerLabels(rate, height);
      ASSERT_EQ(labels.size(), 23u);
      for (int k = 1; k <= 23; ++k) {
        const RulerLabel& l = labels[size_t(k - 1)];
        EXPECT_NEAR(l.y, k * height / 24.0 - 6, 0.5 + 1e-9) << rate << " " << height << " " << k;
        bool ok = false;
        const double shown = l.text.mid(2).toDouble(&ok);
        ASSERT_TRUE(ok) << l.text.toStdString();
        EXPECT_NEAR(shown, rate / 2000.0 * (24 - k) / 24, 0.005 + 1e-6) << rate << " " << k;
      }
    }
  }
}

TEST(Ruler, PaintsOpaqueWhiteTextCells) {
  const QRgb blue = qRgb(0, 0, 255), grey = qRgb(81, 81, 81);
  QImage off(29, 451, QImage::Format_RGB32);
  off.fill(blue);
  {
    QPainter p(&off);
    PaintRuler(p, 48000, 451, false);
  }
  // Only the unit caption at the top.
  for (int y = 20; y < 451; ++y)
    for (int x = 0; x < 29; ++x) ASSERT_EQ(off.pixel(x, y), blue) << x << "," << y;
  EXPECT_EQ(off.pixel(6, 0), grey);  // the caption cell's top-left corner
  EXPECT_EQ(off.pixel(5, 0), blue);

  QImage on(29, 451, QImage::Format_RGB32);
  on.fill(blue);
  {
    QPainter p(&on);
    PaintRuler(p, 48000, 451, true);
  }
  const QFontMetrics metrics(RulerFont());
  EXPECT_EQ(RulerFont().pixelSize(), 11);
  for (const RulerLabel& l : RulerLabels(48000, 451)) {
    // The cell begins at the label's y and is opaque: grey or white text, never the background.
    EXPECT_EQ(on.pixel(0, l.y), grey) << l.y;
    EXPECT_EQ(on.pixel(0, l.y - 1), blue) << l.y;
    int whites = 0;
    const int width = std::min(29, metrics.horizontalAdvance(l.text));
    for (int y = l.y; y < l.y + metrics.height() && y < 451; ++y)
      for (int x = 0; x < width; ++x) {
        const QRgb c = on.pixel(x, y);
        EXPECT_NE(c, blue) << x << "," << y;
        if (qRed(c) > 200 && qBlue(c) > 200 && qGreen(c) > 200) ++whites;
      }
    EXPECT_GT(whites, 5) << l.y;
  }
}

TEST(Ruler, NumbersUseTheUsersDecimalSeparator) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  const auto russian = numbers(RulerLabels(44100, 451));
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  const auto english = numbers(RulerLabels(44100, 451));
  QLocale::setDefault(saved);
  EXPECT_EQ(russian[0], QStringLiteral("21,13"));
  EXPECT_EQ(russian[22], QStringLiteral("0,92"));
  EXPECT_EQ(english[0], QStringLiteral("21.13"));
  EXPECT_EQ(english[22], QStringLiteral("0.92"));
}

TEST(Spectrum, UpdatesReuseTheirImages) {
  // The steady state draws into the images it already has: after the first update the
  // column, the scaled column and the view keep their pixel memory.
  dsp::StreamConfig s;
  fillTone(s, 1234, 8000);
  SpectrumDisplay d;
  d.create(QSize(207, 451));
  d.RenderSpectrumColumn(s, true);
  const uchar* column = d.SpectrumColumn.constBits();
  const uchar* scaled = d.ScaledColumn.constBits();
  const uchar* view = d.SpectrumView.constBits();
  const QImage firstScaled = d.ScaledColumn.copy();
  for (int n = 0; n < 3; ++n) {
    d.RenderSpectrumColumn(s, true);
    EXPECT_EQ(d.SpectrumColumn.constBits(), column);
    EXPECT_EQ(d.ScaledColumn.constBits(), scaled);
    EXPECT_EQ(d.SpectrumView.constBits(), view);
    EXPECT_EQ(d.ScaledColumn, firstScaled);  // the same block gives the same column
  }
  EXPECT_EQ(d.ScaledColumn.format(), QImage::Format_RGB888);
  EXPECT_EQ(d.ScaledColumn.size(), QSize(1, 451));
}
