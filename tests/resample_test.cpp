// The separable bitmap resampler: kernels, weight lists, rounding, edges and safety.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <random>
#include <stdexcept>

#include "display/resample.hpp"

using namespace display;

namespace {

QImage randomImage(int w, int h, std::mt19937& rng, QImage::Format format = QImage::Format_RGB888) {
  QImage img(w, h, QImage::Format_RGB888);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int y = 0; y < h; ++y) {
    uchar* row = img.scanLine(y);
    for (int x = 0; x < 3 * w; ++x) row[x] = static_cast<uchar>(byte(rng));
  }
  return img.convertToFormat(format);
}

// A two-pixel row [a, b] stretched to three pixels puts the middle pixel at 0.5 between them;
// this kernel weighs a by 1 and b by `gSide` there, and is an identity along the other axis.
float gSide = 0;
float SideKernel(float x) {
  if (x == 0.0f || x == 0.5f) return 1.0f;
  if (x == -0.5f) return gSide;
  return 0.0f;
}

int middleAfterSideKernel(int a, int b, float side) {
  gSide = side;
  QImage src(2, 1, QImage::Format_RGB888);
  uchar* p = src.scanLine(0);
  for (int c = 0; c < 3; ++c) {
    p[c] = static_cast<uchar>(a);
    p[3 + c] = static_cast<uchar>(b);
  }
  QImage dst(3, 1, QImage::Format_RGB888);
  ResampleBitmap(src, dst, SideKernel, 1.0f);
  return dst.constScanLine(0)[3];
}

double mirrorRef(long j, long n) { return j < 0 ? -j : (j < n ? j : 2 * n - 1 - j); }

}  // namespace

TEST(Resample, KernelTableAndValues) {
  const char* names[] = {"Box", "Hermite", "Triangle", "B-Spline", "Bell", "Mitchell", "Lanczos3"};
  const float radii[] = {0.5f, 1.0f, 1.0f, 2.0f, 1.5f, 2.0f, 3.0f};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(ResampleKernels[i].Name, names[i]);
    EXPECT_EQ(ResampleKernels[i].Radius, radii[i]);
  }
  EXPECT_EQ(ResampleKernels[2].Kernel, &TriangleKernel);

  const double pi = 3.14159265358979323846;
  auto sinc = [&](double x) { return x == 0 ? 1.0 : std::sin(pi * x) / (pi * x); };
  auto ref = [&](int k, double x) -> double {
    const double a = std::fabs(x);
    switch (k) {
      case 0: return (x > -0.5 && x <= 0.5) ? 1 : 0;
      case 1: return a < 1 ? (2 * a - 3) * a * a + 1 : 0;
      case 2: return a < 1 ? 1 - a : 0;
      case 3: return a < 1 ? 0.5 * a * a * a - a * a + 2.0 / 3 : (a < 2 ? std::pow(2 - a, 3) / 6 : 0);
      case 4: return a < 0.5 ? 0.75 - a * a : (a < 1.5 ? 0.5 * (a - 1.5) * (a - 1.5) : 0);
      case 5:
        return a < 1 ? (7 * a * a * a - 12 * a * a + 16.0 / 3) / 6
                     : (a < 2 ? (-(7.0 / 3) * a * a * a + 12 * a * a - 20 * a + 32.0 / 3) / 6 : 0);
      default: return a < 3 ? sinc(a) * sinc(a / 3) : 0;
    }
  };
  const double points[] = {0, 0.1, -0.25, 0.5, -0.5, 0.75, -0.99, 1, 1.25, -1.5, 1.75, 2, 2.5, -2.9, 3, 4};
  for (int k = 0; k < 7; ++k)
    for (double x : points)
      EXPECT_NEAR(ResampleKernels[size_t(k)].Kernel(float(x)), ref(k, x), 2e-6) << names[k] << " at " << x;
  // Zero at and beyond the radius (the box keeps its right edge: 0.5 gives 1).
  for (const auto& k : ResampleKernels) {
    EXPECT_EQ(k.Kernel(-k.Radius), 0.0f) << k.Name;
    EXPECT_EQ(k.Kernel(k.Radius + 0.25f), 0.0f) << k.Name;
    EXPECT_EQ(k.Kernel(-k.Radius - 0.25f), 0.0f) << k.Name;
    if (k.Kernel != &BoxKernel) {
      EXPECT_EQ(k.Kernel(k.Radius), 0.0f) << k.Name;
    }
  }
  EXPECT_EQ(BoxKernel(0.5f), 1.0f);
  EXPECT_EQ(SincKernel(0.0f), 1.0f);
  EXPECT_NEAR(SincKernel(0.5f), 2 / pi, 1e-6);
}

TEST(Resample, MirrorIndex) {
  EXPECT_EQ(MirrorIndex(-2, 5), 2);
  EXPECT_EQ(MirrorIndex(-1, 5), 1);
  EXPECT_EQ(MirrorIndex(0, 5), 0);
  EXPECT_EQ(MirrorIndex(4, 5), 4);
  EXPECT_EQ(MirrorIndex(5, 5), 4);
  EXPECT_EQ(MirrorIndex(6, 5), 3);
}

TEST(Resample, EqualSizeCopiesUnchanged) {
  std::mt19937 rng(7);
  QImage src = randomImage(13, 9, rng, QImage::Format_RGB32);
  const QImage expected = src.convertToFormat(QImage::Format_RGB888);
  QImage dst(13, 9, QImage::Format_RGB16);
  ResampleBitmap(src, dst, TriangleKernel, 1.0f);
  EXPECT_EQ(src.format(), QImage::Format_RGB888);
  EXPECT_EQ(dst.format(), QImage::Format_RGB888);
  EXPECT_EQ(dst, expected);
  for (const WeightList& l : BuildWeightLists(9, 9, TriangleKernel, 1.0f)) {
    ASSERT_EQ(l.Count, 1);
    EXPECT_EQ(l.Entries[0].Weight, 1.0f);
  }
  // The same image object as source and destination.
  QImage same = expected;
  ResampleBitmap(same, same, TriangleKernel, 1.0f);
  EXPECT_EQ(same, expected);
}

TEST(Resample, SpectrumColumnWeightLists) {
  const std::vector<WeightList> lists = BuildWeightLists(451, 8192, TriangleKernel, 1.0f);
  ASSERT_EQ(lists.size(), 451u);
  for (size_t r = 0; r < lists.size(); ++r) {
    const WeightList& l = lists[r];
    EXPECT_EQ(l.Capacity(), 37);
    EXPECT_LE(l.Count, 37);
    EXPECT_EQ(l.Dropped, 0);
    double sum = 0;
    int32_t previous = -1;
    for (int32_t e = 0; e < l.Count; ++e) {
      sum += l.Entries[size_t(e)].Weight;
      EXPECT_NE(l.Entries[size_t(e)].Weight, 0.0f);
      ASSERT_GE(l.Entries[size_t(e)].Pixel, 0);
      ASSERT_LT(l.Entries[size_t(e)].Pixel, 8192);
      if (r > 1 && r < 449) {  // increasing away from the edges
        EXPECT_GT(l.Entries[size_t(e)].Pixel, previous);
      }
      previous = l.Entries[size_t(e)].Pixel;
    }
    EXPECT_NEAR(sum, 1.0, 0.0005) << r;
  }
  // Row 0 is centred on source row 0, row 450 on source row 8191: the heaviest weight is there.
  auto heaviest = [](const WeightList& l) {
    int32_t best = 0;
    for (int32_t e = 1; e < l.Count; ++e)
      if (l.Entries[size_t(e)].Weight > l.Entries[size_t(best)].Weight) best = e;
    return l.Entries[size_t(best)].Pixel;
  };
  EXPECT_EQ(heaviest(lists[0]), 0);
  EXPECT_EQ(heaviest(lists[450]), 8191);
}

TEST(Resample, SpectrumColumnMatchesTriangleAverage) {
  std::mt19937 rng(3);
  QImage src = randomImage(1, 8192, rng);
  const QImage original = src;
  QImage dst(1, 451, QImage::Format_RGB16);
  ResampleBitmap(src, dst, TriangleKernel, 1.0f);
  ASSERT_EQ(dst.size(), QSize(1, 451));
  // Reference in double: row r averages the rows within s = 8191/450 of r * s with triangle weights.
  const double s = 8191.0 / 450.0;
  for (int r = 0; r < 451; ++r) {
    const double c = r * s;
    for (int ch = 0; ch < 3; ++ch) {
      double sum = 0;
      for (long j = long(std::floor(c - s)); j <= long(std::ceil(c + s)); ++j) {
        const double w = std::max(0.0, 1 - std::fabs(c - j) / s) / s;
        sum += w * original.constScanLine(int(mirrorRef(j, 8192)))[ch];
      }
      EXPECT_NEAR(dst.constScanLine(r)[ch], std::clamp(sum, 0.0, 255.0), 1.01) << r << " " << ch;
    }
  }
  // A constant column stays constant.
  QImage flat(1, 8192, QImage::Format_RGB888);
  for (int y = 0; y < 8192; ++y) {
    uchar* p = flat.scanLine(y);
    p[0] = 200, p[1] = 100, p[2] = 7;
  }
  ResampleBitmap(flat, dst, TriangleKernel, 1.0f);
  for (int y = 0; y < 451; ++y) {
    const uchar* p = dst.constScanLine(y);
    EXPECT_EQ(p[0], 200);
    EXPECT_EQ(p[1], 100);
    EXPECT_EQ(p[2], 7);
  }
}

TEST(Resample, ChannelSumsClampAndRoundToEven) {
  EXPECT_EQ(middleAfterSideKernel(255, 2, 0.3f), 255);  // 255.6
  EXPECT_EQ(middleAfterSideKernel(0, 1, -0.3f), 0);     // -0.3
  EXPECT_EQ(middleAfterSideKernel(0, 2, -0.3f), 0);     // -0.6 must not wrap to 255
  EXPECT_EQ(middleAfterSideKernel(2, 1, 0.5f), 2);      // 2.5
  EXPECT_EQ(middleAfterSideKernel(3, 1, 0.5f), 4);      // 3.5
  EXPECT_EQ(middleAfterSideKernel(254, 1, 0.5f), 254);  // 254.5
  EXPECT_EQ(middleAfterSideKernel(255, 1, 0.5f), 255);  // 255.5 clamps
  EXPECT_EQ(middleAfterSideKernel(11, 1, 0.5f), 12);    // 11.5
}

TEST(Resample, Magnification) {
  QImage src(2, 1, QImage::Format_RGB888);
  uchar* p = src.scanLine(0);
  const uchar values[6] = {10, 0, 255, 20, 100, 0};
  std::copy(values, values + 6, p);
  QImage dst(3, 1, QImage::Format_RGB888);
  ResampleBitmap(src, dst, TriangleKernel, 1.0f);
  const uchar* d = dst.constScanLine(0);
  EXPECT_EQ(d[0], 10);
  EXPECT_EQ(d[3], 15);
  EXPECT_EQ(d[4], 50);
  EXPECT_EQ(d[5], 128);  // 127.5, ties to even
  EXPECT_EQ(d[6], 20);
  // A single pixel spreads to a constant image.
  QImage one(1, 1, QImage::Format_RGB888);
  one.scanLine(0)[0] = 77, one.scanLine(0)[1] = 1, one.scanLine(0)[2] = 254;
  QImage big(5, 4, QImage::Format_RGB888);
  ResampleBitmap(one, big, TriangleKernel, 1.0f);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(big.pixel(x, y), qRgb(77, 1, 254)) << x << "," << y;
}

TEST(Resample, SmallSourceErrorChangesNothing) {
  QImage dst(4, 3, QImage::Format_RGB16);
  dst.fill(Qt::red);
  const QImage before = dst;
  for (QImage src : {QImage(), QImage(0, 5, QImage::Format_RGB32), QImage(5, 0, QImage::Format_RGB32)}) {
    try {
      ResampleBitmap(src, dst, TriangleKernel, 1.0f);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Source bitmap too small");
    }
    EXPECT_EQ(dst.format(), QImage::Format_RGB16);
    EXPECT_EQ(dst, before);
  }
  QImage src(2, 2, QImage::Format_RGB32);
  EXPECT_THROW(ResampleBitmap(src, dst, TriangleKernel, 0.0f), std::invalid_argument);
  EXPECT_EQ(src.format(), QImage::Format_RGB32);
  EXPECT_EQ(dst, before);
}

TEST(Resample, DegenerateDestinations) {
  std::mt19937 rng(11);
  // Width 0: nothing to fill, no crash; the source still becomes 24-bit.
  QImage src = randomImage(6, 4, rng, QImage::Format_RGB32);
  QImage empty;
  ResampleBitmap(src, empty, TriangleKernel, 1.0f);
  EXPECT_TRUE(empty.isNull());
  EXPECT_EQ(src.format(), QImage::Format_RGB888);
  // One pixel from a longer line: the plain average.
  QImage line(1, 4, QImage::Format_RGB888);
  const uchar v[4] = {10, 20, 30, 41};
  for (int y = 0; y < 4; ++y) line.scanLine(y)[0] = line.scanLine(y)[1] = line.scanLine(y)[2] = v[y];
  QImage dot(1, 1, QImage::Format_RGB888);
  for (const auto& k : ResampleKernels) {
    ResampleBitmap(line, dot, k.Kernel, k.Radius);
    EXPECT_EQ(dot.constScanLine(0)[0], 25) << k.Name;  // 25.25
  }
}

TEST(Resample, OddSizesStayInsideTheImages) {
  // Sizes where the kernel is wider than the source or the destination has one pixel;
  // run under the address sanitizer this catches any stray read or write.
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> size(1, 40);
  for (const auto& k : ResampleKernels) {
    for (int n = 0; n < 40; ++n) {
      const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
      QImage src = randomImage(sw, sh, rng);
      QImage dst(dw, dh, QImage::Format_RGB32);
      ResampleBitmap(src, dst, k.Kernel, k.Radius);
      ASSERT_EQ(dst.size(), QSize(dw, dh));
      ASSERT_EQ(dst.format(), QImage::Format_RGB888);
      for (auto [d, s] : {std::pair{dw, sw}, std::pair{dh, sh}}) {
        for (const WeightList& l : BuildWeightLists(d, s, k.Kernel, k.Radius)) {
          ASSERT_LE(l.Count, l.Capacity());
          for (int32_t e = 0; e < l.Count; ++e) {
            ASSERT_GE(l.Entries[size_t(e)].Pixel, 0);
            ASSERT_LT(l.Entries[size_t(e)].Pixel, s);
          }
        }
      }
    }
  }
  // A source of one pixel with the widest kernel: mirroring alone would leave it.
  QImage one(1, 1, QImage::Format_RGB888);
  one.fill(Qt::white);
  QImage dst(7, 7, QImage::Format_RGB888);
  ResampleBitmap(one, dst, Lanczos3Kernel, 3.0f);
  EXPECT_EQ(dst.size(), QSize(7, 7));
}

TEST(Resample, ListCapacityHoldsEveryKernel) {
  // In exact arithmetic the capacity trunc(2 * reach + 1) always suffices; check that
  // rounding never needs to drop a weight over a spread of scales.
  for (const auto& k : ResampleKernels)
    for (int src : {2, 3, 7, 100, 8192})
      for (int dst : {2, 3, 5, 99, 451, 1000})
        for (const WeightList& l : BuildWeightLists(dst, src, k.Kernel, k.Radius))
          EXPECT_EQ(l.Dropped, 0) << k.Name << " " << src << "->" << dst;
}

namespace {

// The kernel formulas evaluated one float operation at a time, in the order they are written:
// powers first (a^2 = a*a, a^3 = a^2*a), then the products, sums and differences left to right.
float ref32(double v) { return static_cast<float>(v); }
float hermiteRef(float x) {
  const float a = std::fabs(x);
  if (!(a < 1)) return 0;
  const float a2 = ref32(double(a) * a);
  return ref32(double(ref32(double(ref32(2.0 * a)) - 3.0)) * a2 + 0.0) + 1.0f;
}
float bsplineRef(float x) {
  const float a = std::fabs(x);
  const float a2 = ref32(double(a) * a), a3 = ref32(double(a2) * a);
  if (a < 1) return ref32(double(ref32(double(ref32(0.5 * a3)) - a2)) + double(ref32(2.0 / 3.0)));
  if (a < 2) {
    const float t = ref32(2.0 - a);
    return ref32(double(ref32(double(ref32(double(t) * t)) * t)) / 6.0);
  }
  return 0;
}
float bellRef(float x) {
  const float a = std::fabs(x);
  if (a < 0.5f) return ref32(0.75 - double(ref32(double(a) * a)));
  if (a < 1.5f) {
    const float t = ref32(double(a) - 1.5);
    return ref32(0.5 * double(ref32(double(t) * t)));
  }
  return 0;
}
float mitchellRef(float x) {
  const float a = std::fabs(x);
  const float a2 = ref32(double(a) * a), a3 = ref32(double(a2) * a);
  float bracket;
  if (a < 1) {
    bracket = ref32(double(ref32(double(ref32(7.0 * a3)) - double(ref32(12.0 * a2)))) + double(ref32(16.0 / 3.0)));
  } else if (a < 2) {
    float s = ref32(double(ref32(-double(ref32(7.0 / 3.0)) * a3)) + double(ref32(12.0 * a2)));
    s = ref32(double(s) - double(ref32(20.0 * a)));
    bracket = ref32(double(s) + double(ref32(32.0 / 3.0)));
  } else {
    return 0;
  }
  return ref32(double(bracket) / 6.0);
}

}  // namespace

TEST(Resample, KernelsFollowTheirFloatFormulas) {
  // Every kernel, bit for bit, against its formula taken one float step at a time, over a
  // dense grid of distances across and beyond each support.
  for (int i = -36000; i <= 36000; ++i) {
    const float x = static_cast<float>(i) / 9000.0f + 1e-4f * static_cast<float>(i % 7);
    const float a = std::fabs(x);
    ASSERT_EQ(HermiteKernel(x), hermiteRef(x)) << x;
    ASSERT_EQ(BSplineKernel(x), bsplineRef(x)) << x;
    ASSERT_EQ(BellKernel(x), bellRef(x)) << x;
    ASSERT_EQ(MitchellKernel(x), mitchellRef(x)) << x;
    ASSERT_EQ(TriangleKernel(x), a < 1 ? ref32(1.0 - a) : 0.0f) << x;
    ASSERT_EQ(BoxKernel(x), (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f) << x;
    // Sinc with y = pi x rounded to a float first; Lanczos3 as the product of two of them.
    const float y = ref32(3.14159265358979323846L * static_cast<long double>(x));
    const float sinc = x == 0 ? 1.0f : ref32(static_cast<double>(sinl(y) / static_cast<long double>(y)));
    ASSERT_EQ(SincKernel(x), sinc) << x;
    if (a < 3) {
      ASSERT_EQ(Lanczos3Kernel(x), ref32(double(SincKernel(a)) * SincKernel(ref32(double(a) / 3.0)))) << x;
    } else {
      ASSERT_EQ(Lanczos3Kernel(x), 0.0f) << x;
    }
  }
}

namespace {

// Weighs the left source pixel by 1/2 and the right one by a tiny weight at the middle
// destination pixel of a 2 -> 3 stretch; an identity along the other axis.
float gTiny = 0;
float TinyKernel(float x) {
  if (x == 0.0f) return 1.0f;
  if (x == 0.5f) return 0.5f;
  if (x == -0.5f) return gTiny;
  return 0.0f;
}

}  // namespace

TEST(Resample, SumIsRoundedOnceAfterEachAddition) {
  // 5 x 0.5 = 2.5, then 130 x w with 130 w = 2^-23 + 2^-53: the exact sum lies just above the
  // halfway point between the floats 2.5 and 2.5 + 2^-22, so it rounds up and the byte to 3.
  // Rounding the sum through a double first would land exactly on the halfway point, round to
  // even (2.5) and store 2.
  gTiny = std::ldexp(16519105.0f, -54);
  ASSERT_EQ(130.0L * gTiny, std::ldexp(1.0L, -23) + std::ldexp(1.0L, -53));
  QImage src(2, 1, QImage::Format_RGB888);
  uchar* p = src.scanLine(0);
  for (int c = 0; c < 3; ++c) p[c] = 5, p[3 + c] = 130;
  QImage dst(3, 1, QImage::Format_RGB888);
  ResampleBitmap(src, dst, TinyKernel, 1.0f);
  const float exact = static_cast<float>(2.5L + 130.0L * gTiny);  // one rounding of the exact sum
  ASSERT_GT(exact, 2.5f);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(dst.constScanLine(0)[3 + c], 3) << c;
}
