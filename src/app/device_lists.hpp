#pragma once
// The capture and playback device boxes: the mapper first, then every device by name.
#include <QList>
#include <QString>
#include <Qt>
#include <QtGlobal>
#include <cstdint>
#include <optional>

#include "wave/wave.hpp"

class QComboBox;

namespace app {

// "WaveIn Device #k" / "WaveOut Device #k"; "Wave Mapper" for id -1.
QString FallbackDeviceName(wave::Direction direction, int32_t id);

// A device name as boxes and lists show it: up to kShownNameChars characters whole, a
// longer one cut in the middle ("…"), so a hostile name cannot make a box or a list
// wider than the screen. The stored and matched name stays whole.
constexpr qsizetype kShownNameChars = 96;
QString ShownName(const QString& name);

// The playback entry of Tovrel's own I/Q device, made on the server when it is opened:
// the window lists it in its own language, the run without a window takes the Russian name.
inline constexpr char kOwnDeviceEntrySource[] = QT_TRANSLATE_NOOP("TMainForm", "Виртуальный кабель Tovrel I/Q");
inline const QString kOwnDeviceEntryText = QString::fromUtf8(kOwnDeviceEntrySource);
// That of this instance, in the window's language: with " (NAME)" for a profile.
QString OwnDeviceEntryText();

// Item data of an entry besides its server name (Qt::UserRole): the playback device whose
// sound a capture device records, the device the mapper stands for, and whether the entry
// is Tovrel's own device (see wave::WAVECAPS).
constexpr int kMonitorOfRole = Qt::UserRole + 1;
constexpr int kFollowsRole = Qt::UserRole + 2;
constexpr int kOwnDeviceRole = Qt::UserRole + 3;

// One entry of a device list: the text shown, then what the item data above holds.
struct DeviceEntry {
  QString text;
  QString serverName;
  QString monitorOf;
  QString follows;
  bool ownDevice = false;
};

// One entry per device: the mapper first when `withMapper`, then ids 0 .. count-1. Each
// entry's text is the device's shown name, or its fallback when the capability query
// fails; Tovrel's own device reads OwnDeviceEntryText(). The server name is empty for the
// mapper and for a failed query.
QList<DeviceEntry> ListWaveDevices(wave::Direction direction, bool withMapper);

// Clears `box` (may be null: only the queries run) and fills it with ListWaveDevices'
// entries, their item data in Qt::UserRole and the roles above.
void FillWaveDeviceList(QComboBox* box, wave::Direction direction, bool withMapper);

// True when no sound server answers: the layer lists no device either way and reports no
// device driver for both mappers.
bool NoSoundServer();
// What to tell then, a lower-case clause: which address was tried when PULSE_SERVER names
// one, and what to start.
QString NoSoundServerText();

// The server name of device `id` as the box listed it; empty for the mapper, an entry
// without one, or an id the box does not list.
QString ListedDeviceName(const QComboBox& box, int32_t id);

// Which device a stored choice opens: the device the box lists under the stored name
// when there is one, else the stored id.
struct DeviceChoice {
  QString storedName;
  int32_t id = 0;
  bool nameListed = false;  // the stored name was found; false also for no stored name

  // A stored name was not listed: the id is the stored index instead.
  bool fellBack() const { return !storedName.isEmpty() && !nameListed; }
};
DeviceChoice ChooseStoredDevice(const QComboBox& box, const QString& storedName, int32_t storedId);

// The name to store for the device `id` chosen at close. While the id is still the one a
// missing name fell back to, the missing name is kept, so the device is chosen again once
// the server lists it; otherwise the listed device's name.
QString NameToStore(const QComboBox& box, const DeviceChoice& loaded, int32_t id);

// A capture choice that was not stored must not record what Tovrel plays: neither the
// monitor of the playback device `playbackId` (for the mapper: of the device it follows)
// nor Tovrel's own device. When capture device `captureId` would, the result is the next
// device of the box that does not, else the mapper when it does not, else the same id; the
// text says which was chosen and why. nullopt when `captureId` records neither.
struct CaptureMove {
  int32_t id = 0;
  QString text;
};
std::optional<CaptureMove> AvoidRecordingThePlayback(const QList<DeviceEntry>& capture, int32_t captureId,
                                                     const QList<DeviceEntry>& playback, int32_t playbackId);
// The same for the lists of two filled boxes.
std::optional<CaptureMove> AvoidRecordingThePlayback(const QComboBox& capture, int32_t captureId,
                                                     const QComboBox& playback, int32_t playbackId);

}  // namespace app
