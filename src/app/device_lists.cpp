#include "app/device_lists.hpp"

#include <QComboBox>
#include <QCoreApplication>

#include "app/instance.hpp"
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

QString OwnDeviceEntryText() {
  const QString base = QCoreApplication::translate("TMainForm", kOwnDeviceEntrySource);
  return Profile().isEmpty() ? base : base + QStringLiteral(" (%1)").arg(Profile());
}

namespace {

DeviceEntry deviceEntry(wave::Direction direction, int32_t id) {
  wave::WAVECAPS caps;
  if (wave::waveGetDevCaps(direction, id, &caps) != wave::MMSYSERR_NOERROR)
    return {FallbackDeviceName(direction, id), {}, {}, {}, false};
  // The server's description is UTF-8; the server name is kept whole to be stored.
  return {caps.ownDevice ? OwnDeviceEntryText() : ShownName(QString::fromStdString(caps.szPname)),
          NameFromBytes(caps.serverName), NameFromBytes(caps.monitorOf), NameFromBytes(caps.follows), caps.ownDevice};
}

}  // namespace

QList<DeviceEntry> ListWaveDevices(wave::Direction direction, bool withMapper) {
  QList<DeviceEntry> entries;
  if (withMapper) entries << deviceEntry(direction, wave::WAVE_MAPPER);
  const uint32_t count = wave::waveGetNumDevs(direction);
  for (uint32_t id = 0; id < count && id <= static_cast<uint32_t>(INT32_MAX); ++id)
    entries << deviceEntry(direction, static_cast<int32_t>(id));
  return entries;
}

void FillWaveDeviceList(QComboBox* box, wave::Direction direction, bool withMapper) {
  if (box) box->clear();
  const QList<DeviceEntry> entries = ListWaveDevices(direction, withMapper);
  if (!box) return;
  for (const DeviceEntry& entry : entries) {
    box->addItem(entry.text, entry.serverName);
    const int index = box->count() - 1;
    box->setItemData(index, entry.monitorOf, kMonitorOfRole);
    box->setItemData(index, entry.follows, kFollowsRole);
    box->setItemData(index, entry.ownDevice, kOwnDeviceRole);
  }
}

bool NoSoundServer() {
  for (const auto direction : {wave::Direction::Capture, wave::Direction::Playback}) {
    wave::WAVECAPS caps;
    if (wave::waveGetNumDevs(direction) != 0 ||
        wave::waveGetDevCaps(direction, wave::WAVE_MAPPER, &caps) != wave::MMSYSERR_NODRIVER)
      return false;
  }
  return true;
}

QString NoSoundServerText() {
  const QString address = qEnvironmentVariable("PULSE_SERVER");
  return QStringLiteral(
             "no sound server answers%1, so there are no devices; start PipeWire (with pipewire-pulse) "
             "or PulseAudio")
      .arg(address.isEmpty() ? QString() : QStringLiteral(" at PULSE_SERVER=%1").arg(address));
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

namespace {

// The server name of the device the playback entry `index` plays into (the mapper: the
// device it follows now); empty when there is none.
QString playedDevice(const QList<DeviceEntry>& playback, int index) {
  if (index < 0 || index >= playback.size()) return {};
  return index == 0 ? playback[index].follows : playback[index].serverName;
}

QList<DeviceEntry> boxEntries(const QComboBox& box) {
  QList<DeviceEntry> entries;
  for (int i = 0; i < box.count(); ++i)
    entries << DeviceEntry{box.itemText(i), box.itemData(i).toString(), box.itemData(i, kMonitorOfRole).toString(),
                           box.itemData(i, kFollowsRole).toString(), box.itemData(i, kOwnDeviceRole).toBool()};
  return entries;
}

}  // namespace

std::optional<CaptureMove> AvoidRecordingThePlayback(const QComboBox& capture, int32_t captureId,
                                                     const QComboBox& playback, int32_t playbackId) {
  return AvoidRecordingThePlayback(boxEntries(capture), captureId, boxEntries(playback), playbackId);
}

std::optional<CaptureMove> AvoidRecordingThePlayback(const QList<DeviceEntry>& capture, int32_t captureId,
                                                     const QList<DeviceEntry>& playback, int32_t playbackId) {
  const int captureCount = static_cast<int>(capture.size());
  const int playbackCount = static_cast<int>(playback.size());
  // The list entry of a device id, or -1; any stored id is taken without overflow.
  auto entryOf = [](int count, int32_t id) { return id >= -1 && id < count - 1 ? id + 1 : -1; };
  const int outIndex = entryOf(playbackCount, playbackId);
  const QString played = playedDevice(playback, outIndex);
  int ownIndex = -1;
  for (int i = 1; i < playbackCount && ownIndex < 0; ++i)
    if (playback[i].ownDevice) ownIndex = i;
  const QString own = playedDevice(playback, ownIndex);
  // The playback entry whose sound capture entry `index` records, or -1.
  auto recordedEntry = [&](int index) {
    const QString& of = capture[index].monitorOf;
    if (of.isEmpty()) return -1;
    if (of == played) return outIndex;
    return of == own ? ownIndex : -1;
  };

  const int inIndex = entryOf(captureCount, captureId);
  if (inIndex < 0) return std::nullopt;
  const int recorded = recordedEntry(inIndex);
  if (recorded < 0) return std::nullopt;

  // The devices after it, then those before it, then the mapper.
  int chosen = -1;
  for (int step = 1; step < captureCount && chosen < 0; ++step) {
    const int i = 1 + (inIndex - 1 + step) % (captureCount - 1);
    if (i != inIndex && recordedEntry(i) < 0) chosen = i;
  }
  if (chosen < 0 && inIndex != 0 && recordedEntry(0) < 0) chosen = 0;

  const QString why =
      QStringLiteral("\"%1\" records what the playback device \"%2\" plays, so Tovrel would record its own output.")
          .arg(capture[inIndex].text, playback[recorded].text);
  if (chosen < 0) {
    return CaptureMove{captureId, QStringLiteral("Every capture device records what Tovrel plays; \"%1\" stays chosen: "
                                                 "%2 Choose the receiver's input before starting capture.")
                                      .arg(capture[inIndex].text, why)};
  }
  return CaptureMove{chosen - 1, QStringLiteral("Capture device \"%1\" is chosen: %2").arg(capture[chosen].text, why)};
}

}  // namespace app
