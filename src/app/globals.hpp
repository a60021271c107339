#pragma once
#include <cstdint>

// Program-wide switches shared by the window, the settings and the display.
extern int32_t SAMode;      // spectrum switch: 1 = input spectrum shown and computed, 0 = off
extern int32_t Phase;       // kept in the settings and written back unchanged
extern int32_t SampleRate;  // input sample rate in hertz
