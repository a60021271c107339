#pragma once
#include <cstdint>

namespace display {

struct HeatRgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const HeatRgb&) const = default;
};

// Magnitude to colour: black, blue, cyan, green, yellow, red, magenta, white.
HeatRgb HeatColor(float value);

}  // namespace display
