#pragma once
#include <QImage>
#include <array>
#include <string_view>

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

int32_t MirrorIndex(int32_t j, int32_t n);

// Scales `source` to the size of `destination` (separable: rows, then columns).
// Both images end up 24-bit (QImage::Format_RGB888). Throws std::runtime_error
// "Source bitmap too small" for an empty source. Never reads or writes outside either image.
void ResampleBitmap(QImage& source, QImage& destination, KernelFunction kernel, float radius);

}  // namespace display
