#pragma once
// The capture and playback device boxes: the mapper first, then every device by name.
#include <QString>
#include <cstdint>

#include "wave/wave.hpp"

class QComboBox;

namespace app {

// "WaveIn Device #k" / "WaveOut Device #k"; "Wave Mapper" for id -1.
QString FallbackDeviceName(wave::Direction direction, int32_t id);

// Clears `box` (may be null: only the queries run) and appends one entry per device:
// the mapper first when `withMapper`, then ids 0 .. count-1. Each entry is the device's
// whole name, or its fallback when the capability query fails.
void FillWaveDeviceList(QComboBox* box, wave::Direction direction, bool withMapper);

}  // namespace app
