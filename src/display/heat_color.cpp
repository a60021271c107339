#include "display/heat_color.hpp"

#include <cmath>

namespace display {

namespace {

// 255 x fraction rounded once, ties to even; the product of a byte and a float is exact in double.
uint8_t channelByte(float fraction) {
  const double v = std::nearbyint(255.0 * static_cast<double>(fraction));
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// (v - from) / span as a 32-bit float.
float ramp(float v, double from, double span) { return static_cast<float>((static_cast<double>(v) - from) / span); }

}  // namespace

HeatRgb HeatColor(float value) {
  // Negative values (and NaN from a broken spectrum) are black; below zero every band
  // would give black anyway.
  if (!(value >= 0.0f)) return {};
  float v = value > 5000000.0f ? 5000000.0f : value;
  const auto c = static_cast<int32_t>(v);
  float r = 0, g = 0, b = 0;
  if (c < 13000) {
    b = ramp(v, 0, 13000);
  } else if (c < 60000) {
    g = ramp(v, 13000, 47000);
    b = 1;
  } else if (c < 80000) {
    g = 1;
    b = static_cast<float>((80000.0 - v) / 20000.0);
  } else if (c < 100000) {
    r = ramp(v, 80000, 20000);
    g = 1;
  } else if (c < 500000) {
    r = 1;
    g = static_cast<float>((500000.0 - v) / 400000.0);
  } else if (c < 2000000) {
    r = 1;
    b = ramp(v, 500000, 1500000);
  } else {
    r = 1;
    g = ramp(v, 2000000, 3000000);
    b = 1;
  }
  return {channelByte(r), channelByte(g), channelByte(b)};
}

}  // namespace display
