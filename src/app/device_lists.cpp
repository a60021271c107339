#include "app/device_lists.hpp"

#include <QComboBox>

namespace app {

QString FallbackDeviceName(wave::Direction direction, int32_t id) {
  if (id == wave::WAVE_MAPPER) return QStringLiteral("Wave Mapper");
  return QStringLiteral("Wave%1 Device #%2")
      .arg(direction == wave::Direction::Capture ? QStringLiteral("In") : QStringLiteral("Out"))
      .arg(id);
}

namespace {

QString deviceName(wave::Direction direction, int32_t id) {
  wave::WAVECAPS caps;
  const wave::MMRESULT result = wave::waveGetDevCaps(direction, id, &caps);
  // The server's description is UTF-8 and kept whole.
  return result == wave::MMSYSERR_NOERROR ? QString::fromStdString(caps.szPname) : FallbackDeviceName(direction, id);
}

}  // namespace

void FillWaveDeviceList(QComboBox* box, wave::Direction direction, bool withMapper) {
  if (box) box->clear();
  auto add = [&](int32_t id) {
    const QString name = deviceName(direction, id);
    if (box) box->addItem(name);
  };
  if (withMapper) add(wave::WAVE_MAPPER);
  const uint32_t count = wave::waveGetNumDevs(direction);
  for (uint32_t id = 0; id < count && id <= static_cast<uint32_t>(INT32_MAX); ++id) add(static_cast<int32_t>(id));
}

}  // namespace app
