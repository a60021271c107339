#include "display/resample.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <stdexcept>

namespace display {

// ---- kernels (float arithmetic throughout, as the weights are 32-bit) ------------------

float BoxKernel(float x) { return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f; }

// Powers are taken first (a2 = a*a, a3 = a2*a) and every product and sum is a float, in the
// order the formulas are written, so the weights are the same on every compiler.
float HermiteKernel(float x) {
  const float a = std::fabs(x);
  if (a < 1.0f) {
    const float a2 = a * a;
    return (2.0f * a - 3.0f) * a2 + 1.0f;
  }
  return 0.0f;
}

float TriangleKernel(float x) {
  const float a = std::fabs(x);
  return a < 1.0f ? 1.0f - a : 0.0f;
}

float BellKernel(float x) {
  const float a = std::fabs(x);
  if (a < 0.5f) return 0.75f - a * a;
  if (a < 1.5f) {
    const float t = a - 1.5f;
    return 0.5f * t * t;
  }
  return 0.0f;
}

float BSplineKernel(float x) {
  const float a = std::fabs(x);
  if (a < 1.0f) {
    const float a2 = a * a;
    const float a3 = a2 * a;
    return 0.5f * a3 - a2 + 2.0f / 3.0f;
  }
  if (a < 2.0f) {
    const float t = 2.0f - a;
    return t * t * t / 6.0f;
  }
  return 0.0f;
}

float MitchellKernel(float x) {
  // B = C = 1/3; the bracket is a float before the division by 6.
  const float a = std::fabs(x);
  const float a2 = a * a;
  const float a3 = a2 * a;
  if (a < 1.0f) {
    const float bracket = 7.0f * a3 - 12.0f * a2 + 16.0f / 3.0f;
    return bracket / 6.0f;
  }
  if (a < 2.0f) {
    const float bracket = -(7.0f / 3.0f) * a3 + 12.0f * a2 - 20.0f * a + 32.0f / 3.0f;
    return bracket / 6.0f;
  }
  return 0.0f;
}

float SincKernel(float x) {
  if (x == 0.0f) return 1.0f;
  const auto y = static_cast<float>(std::numbers::pi * static_cast<double>(x));
  return static_cast<float>(std::sin(static_cast<double>(y)) / static_cast<double>(y));
}

float Lanczos3Kernel(float x) {
  const float a = std::fabs(x);
  if (a < 3.0f) return SincKernel(a) * SincKernel(a / 3.0f);
  return 0.0f;
}

const std::array<ResampleKernel, 7> ResampleKernels = {{
    {"Box", BoxKernel, 0.5f},
    {"Hermite", HermiteKernel, 1.0f},
    {"Triangle", TriangleKernel, 1.0f},
    {"B-Spline", BSplineKernel, 2.0f},
    {"Bell", BellKernel, 1.5f},
    {"Mitchell", MitchellKernel, 2.0f},
    {"Lanczos3", Lanczos3Kernel, 3.0f},
}};

// ---- weight lists ---------------------------------------------------------------------

int32_t MirrorIndex(int32_t j, int32_t n) {
  if (j < 0) return -j;
  if (j < n) return j;
  return 2 * n - 1 - j;
}

void WeightList::append(int32_t pixel, float weight) {
  if (Count >= Capacity()) {
    ++Dropped;
    return;
  }
  Entries[static_cast<size_t>(Count++)] = {pixel, weight};
}

float ResampleScale(int32_t destinationSize, int32_t sourceSize) {
  if (sourceSize == 1) return static_cast<float>(static_cast<double>(destinationSize) / sourceSize);
  return static_cast<float>(static_cast<double>(destinationSize - 1) / (sourceSize - 1));
}

std::vector<WeightList> BuildWeightLists(int32_t destinationSize, int32_t sourceSize, KernelFunction kernel,
                                         float radius) {
  std::vector<WeightList> lists;
  if (destinationSize <= 0 || sourceSize <= 0) return lists;
  if (!(radius > 0.0f && radius <= kMaxKernelRadius)) throw std::invalid_argument("Kernel radius out of range");
  lists.reserve(static_cast<size_t>(destinationSize));
  const float scale = ResampleScale(destinationSize, sourceSize);

  if (!(scale > 0.0f)) {
    // One destination pixel from a longer source: the first-to-last mapping has no scale,
    // so the pixel shows the plain average of the whole line.
    WeightList& list = lists.emplace_back(sourceSize);
    const auto w = static_cast<float>(1.0 / sourceSize);
    for (int32_t j = 0; j < sourceSize; ++j) list.append(j, w);
    return lists;
  }

  const bool minify = scale < 1.0f;
  const float reach = minify ? static_cast<float>(static_cast<double>(radius) / scale) : radius;
  const double stretch = minify ? static_cast<double>(static_cast<float>(1.0 / scale)) : 1.0;
  const auto capacity = static_cast<int32_t>(std::trunc(2.0 * static_cast<double>(reach) + 1.0));
  for (int32_t i = 0; i < destinationSize; ++i) {
    WeightList& list = lists.emplace_back(capacity);
    const double centre = static_cast<float>(static_cast<double>(i) / scale);
    const auto first = static_cast<int32_t>(std::floor(centre - reach));
    const auto last = static_cast<int32_t>(std::ceil(centre + reach));
    for (int32_t j = first; j <= last; ++j) {
      float weight;
      if (minify) {
        const auto x = static_cast<float>((centre - j) / stretch);
        weight = static_cast<float>(static_cast<double>(kernel(x)) / stretch);
      } else {
        weight = kernel(static_cast<float>(centre - j));
      }
      if (weight == 0.0f) continue;
      // A kernel wider than the source can mirror past the far edge; keep to the image.
      const int32_t pixel = std::clamp(MirrorIndex(j, sourceSize), 0, sourceSize - 1);
      list.append(pixel, weight);
    }
  }
  return lists;
}

// ---- the two passes -------------------------------------------------------------------

namespace {

// Clamped to a byte, ties to even.
inline uint8_t storeByte(float sum) {
  if (sum > 255.0f) return 255;
  if (!(sum >= 0.0f)) return 0;  // negative, or NaN from a broken kernel
  return static_cast<uint8_t>(std::nearbyint(sum));
}

// Every partial sum is kept as a 32-bit float: sum + byte x weight, exact, rounded once.
// (Going through a double would round twice, which now and then lands on a halfway point.)
inline float accumulate(float sum, uint8_t byte, float weight) {
  return std::fma(static_cast<float>(byte), weight, sum);
}

// Filters one line of 3-byte pixels: output pixel o (at out + o * outStep) from the input
// pixels of its list (at in + Pixel * inStep). Built twice, so that processors with a fused
// multiply-add get it as one instruction instead of a library call; the result is the same.
#if defined(__x86_64__) || defined(__i386__)
#define TOVREL_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define TOVREL_FMA_CLONES
#endif
TOVREL_FMA_CLONES void filterLine(const uint8_t* in, size_t inStep, uint8_t* out, size_t outStep,
                                  const WeightList* lists, int32_t count) {
  for (int32_t o = 0; o < count; ++o) {
    const WeightList& list = lists[o];
    float s0 = 0, s1 = 0, s2 = 0;
    for (int32_t e = 0; e < list.Count; ++e) {
      const WeightEntry& entry = list.Entries[static_cast<size_t>(e)];
      const uint8_t* p = in + static_cast<size_t>(entry.Pixel) * inStep;
      s0 = accumulate(s0, p[0], entry.Weight);
      s1 = accumulate(s1, p[1], entry.Weight);
      s2 = accumulate(s2, p[2], entry.Weight);
    }
    uint8_t* q = out + static_cast<size_t>(o) * outStep;
    q[0] = storeByte(s0);
    q[1] = storeByte(s1);
    q[2] = storeByte(s2);
  }
}

}  // namespace

void ResampleBitmap(QImage& source, QImage& destination, KernelFunction kernel, float radius) {
  const int32_t sw = source.width(), sh = source.height();
  const int32_t dw = destination.width(), dh = destination.height();
  if (sw < 1 || sh < 1) throw std::runtime_error("Source bitmap too small");
  if (!(radius > 0.0f && radius <= kMaxKernelRadius)) throw std::invalid_argument("Kernel radius out of range");

  if (source.format() != QImage::Format_RGB888) source.convertTo(QImage::Format_RGB888);
  if (dw < 1 || dh < 1) {
    // Nothing to fill; only the format follows the source.
    if (!destination.isNull()) destination.convertTo(QImage::Format_RGB888);
    return;
  }
  // A shared copy keeps the source readable even if it is the destination object itself:
  // writing the destination then detaches it from this copy.
  const QImage src = source;

  const std::vector<WeightList> columns = BuildWeightLists(dw, sw, kernel, radius);
  std::vector<uint8_t> intermediate(static_cast<size_t>(dw) * static_cast<size_t>(sh) * 3);
  const size_t intermediateStride = static_cast<size_t>(dw) * 3;
  for (int32_t k = 0; k < sh; ++k)
    filterLine(src.constScanLine(k), 3, intermediate.data() + static_cast<size_t>(k) * intermediateStride, 3,
               columns.data(), dw);

  const std::vector<WeightList> rows = BuildWeightLists(dh, sh, kernel, radius);
  // Every pixel is overwritten, so a destination that is already 24-bit is filled where it
  // is (the spectrum column's does this on every update) instead of being made anew.
  if (destination.format() != QImage::Format_RGB888) {
    QImage fresh(dw, dh, QImage::Format_RGB888);
    if (fresh.isNull()) throw std::bad_alloc();
    destination = std::move(fresh);
  }
  uint8_t* out = destination.bits();
  if (out == nullptr) throw std::bad_alloc();
  const auto outStride = static_cast<size_t>(destination.bytesPerLine());
  for (int32_t i = 0; i < dw; ++i)
    filterLine(intermediate.data() + static_cast<size_t>(i) * 3, intermediateStride, out + static_cast<size_t>(i) * 3,
               outStride, rows.data(), dh);
}

}  // namespace display
