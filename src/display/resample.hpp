#pragma once
#include <QImage>
#include <array>
#include <string_view>
#include <vector>

namespace display {

using KernelFunction = float (*)(float);

float BoxKernel(float x);
float HermiteKernel(float x);
float TriangleKernel(float x);
float BellKernel(float x);
float BSplineKernel(float x);
float MitchellKernel(float x);
float Lanczos3Kernel(float x);
float SincKernel(float x);

struct ResampleKernel {
  std::string_view Name;
  KernelFunction Kernel;
  float Radius;
};
extern const std::array<ResampleKernel, 7> ResampleKernels;

// Radii beyond this (and radii that are not positive) are refused with std::invalid_argument:
// the lists would be absurdly long.
constexpr float kMaxKernelRadius = 1024.0f;

int32_t MirrorIndex(int32_t j, int32_t n);

// One source pixel under the kernel of a destination column or row.
struct WeightEntry {
  int32_t Pixel = 0;  // source index, folded into 0 .. n-1
  float Weight = 0;
};

// The non-zero weights of one destination column or row, in increasing source position.
// Capacity is fixed when the list is made; an entry beyond it is dropped, never written.
struct WeightList {
  explicit WeightList(int32_t capacity) : Entries(static_cast<size_t>(capacity > 0 ? capacity : 0)) {}
  int32_t Capacity() const { return static_cast<int32_t>(Entries.size()); }
  void append(int32_t pixel, float weight);

  int32_t Count = 0;
  std::vector<WeightEntry> Entries;
  int32_t Dropped = 0;  // entries that did not fit (only from rounding at the very edge)
};

// Scale from a source dimension to a destination dimension: first and last pixels line up
// (a one-pixel source scales by the plain ratio).
float ResampleScale(int32_t destinationSize, int32_t sourceSize);

// The weight lists of every destination pixel along one dimension.
std::vector<WeightList> BuildWeightLists(int32_t destinationSize, int32_t sourceSize, KernelFunction kernel,
                                         float radius);

// Scales `source` to the size of `destination` (separable: rows, then columns).
// Both images end up 24-bit (QImage::Format_RGB888). Throws std::runtime_error
// "Source bitmap too small" for an empty source, before anything is changed. Never reads
// or writes outside either image: a destination dimension of 1 from a longer source is the
// plain average of the source line, and indices that mirroring leaves outside a source
// smaller than the kernel are clamped to its edge.
void ResampleBitmap(QImage& source, QImage& destination, KernelFunction kernel, float radius);

}  // namespace display
