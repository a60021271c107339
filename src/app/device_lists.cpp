#include "app/device_lists.hpp"

#include <QComboBox>

#include "app/settings_store.hpp"

namespace app {

QString FallbackDeviceName(wave::Direction direction, int32_t id) {
  if (id == wave::WAVE_MAPPER) return QStringLiteral("Wave Mapper");
  return QStringLiteral("Wave%1 Device #%2")
      .arg(direction == wave::Direction::Capture ? QStringLiteral("In") : QStringLiteral("Out"))
      .arg(id);
}

QString ShownName(const QString& name) {
  if (name.size() <= kShownNameChars) return name;
  // The start and the end both tell devices apart ("Monitor of …", "… Analog Stereo").
  qsizetype head = kShownNameChars * 2 / 3;
  qsizetype tailStart = name.size() - (kShownNameChars - 1 - head);
  if (name.at(head).isLowSurrogate()) --head;  // a character is not split
  if (name.at(tailStart).isLowSurrogate()) ++tailStart;
  return name.left(head) + QChar(0x2026) + name.mid(tailStart);
}

namespace {

struct Entry {
  QString name;
  QString serverName;
};

Entry deviceEntry(wave::Direction direction, int32_t id) {
  wave::WAVECAPS caps;
  if (wave::waveGetDevCaps(direction, id, &caps) != wave::MMSYSERR_NOERROR)
    return {FallbackDeviceName(direction, id), {}};
  // The server's description is UTF-8; the server name is kept whole to be stored.
  return {ShownName(QString::fromStdString(caps.szPname)), NameFromBytes(caps.serverName)};
}

}  // namespace

void FillWaveDeviceList(QComboBox* box, wave::Direction direction, bool withMapper) {
  if (box) box->clear();
  auto add = [&](int32_t id) {
    const Entry entry = deviceEntry(direction, id);
    if (box) box->addItem(entry.name, entry.serverName);
  };
  if (withMapper) add(wave::WAVE_MAPPER);
  const uint32_t count = wave::waveGetNumDevs(direction);
  for (uint32_t id = 0; id < count && id <= static_cast<uint32_t>(INT32_MAX); ++id) add(static_cast<int32_t>(id));
}

QString ListedDeviceName(const QComboBox& box, int32_t id) {
  if (id < 0 || id >= box.count() - 1) return {};  // any stored id, INT32_MAX included
  return box.itemData(id + 1).toString();
}

DeviceChoice ChooseStoredDevice(const QComboBox& box, const QString& storedName, int32_t storedId) {
  DeviceChoice choice{.storedName = storedName, .id = storedId, .nameListed = false};
  if (storedName.isEmpty()) return choice;
  for (int32_t id = 0; id + 1 < box.count(); ++id) {
    if (ListedDeviceName(box, id) == storedName) {
      choice.id = id;
      choice.nameListed = true;
      break;
    }
  }
  return choice;
}

QString NameToStore(const QComboBox& box, const DeviceChoice& loaded, int32_t id) {
  if (loaded.fellBack() && id == loaded.id) return loaded.storedName;
  return ListedDeviceName(box, id);
}

}  // namespace app
