#include "app/device_lists.hpp"

#include <QComboBox>

#include "wave/wave.hpp"

namespace app {

QString FallbackDeviceName(bool capture, int32_t id) {
  if (id == wave::WAVE_MAPPER) return QStringLiteral("Wave Mapper");
  return QStringLiteral("Wave%1 Device #%2").arg(capture ? QStringLiteral("In") : QStringLiteral("Out")).arg(id);
}

namespace {

QString deviceName(bool capture, int32_t id) {
  std::string name;
  wave::MMRESULT result;
  if (capture) {
    wave::WAVEINCAPS caps;
    result = wave::waveInGetDevCaps(id, &caps);
    name = caps.szPname;
  } else {
    wave::WAVEOUTCAPS caps;
    result = wave::waveOutGetDevCaps(id, &caps);
    name = caps.szPname;
  }
  // The server's description is UTF-8 and kept whole.
  return result == wave::MMSYSERR_NOERROR ? QString::fromStdString(name) : FallbackDeviceName(capture, id);
}

}  // namespace

void FillWaveDeviceList(QComboBox* box, bool capture, bool withMapper) {
  if (box) box->clear();
  auto add = [&](int32_t id) {
    const QString name = deviceName(capture, id);
    if (box) box->addItem(name);
  };
  if (withMapper) add(wave::WAVE_MAPPER);
  const uint32_t count = capture ? wave::waveInGetNumDevs() : wave::waveOutGetNumDevs();
  for (uint32_t id = 0; id < count && id <= static_cast<uint32_t>(INT32_MAX); ++id) add(static_cast<int32_t>(id));
}

}  // namespace app
