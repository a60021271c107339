// The window's side of the settings: which field or control each stored value feeds and
// is written from. The store itself (file, order, text form) is in settings_store.cpp.
#include <QCheckBox>
#include <QComboBox>

#include "app/device_lists.hpp"
#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/settings_store.hpp"

namespace {

void showStoreErrors(const QStringList& errors, QWidget* parent) {
  // One error box per failure, as the store reported them; the program goes on.
  for (const QString& text : errors) app::ShowErrorBox(text, parent);
}

}  // namespace

void TMainForm::LoadSettings() {
  SettingsStore = std::make_unique<app::SettingsStore>();
  // Whether the key could be created is not checked: a missing key reads as defaults,
  // and a failed write says so at the close query.
  SettingsStore->open();
  QStringList errors;
  const app::StoredSettings stored = SettingsStore->read(&errors);

  SAMode = stored.SAMode;
  cbInvertOut->setChecked(stored.InvertOut);
  InDeviceId = stored.InDevice;
  OutDeviceId = stored.OutDevice;
  // The stored names are matched against the lists once these are filled (FormShow).
  InDeviceChoice =
      app::DeviceChoice{.storedName = app::NameFromBytes(stored.InDeviceName), .id = InDeviceId, .nameListed = false};
  OutDeviceChoice =
      app::DeviceChoice{.storedName = app::NameFromBytes(stored.OutDeviceName), .id = OutDeviceId, .nameListed = false};
  InDeviceStored = SettingsStore->holds("InDevice") || SettingsStore->holds("InDeviceName");
  cbInvertSpectr->setChecked(stored.Spectr);
  StoredLeft = stored.Left;
  StoredTop = stored.Top;
  cbIQ->setChecked(stored.Mono);
  Phase = stored.Phase;
  // The store has already replaced an index outside the list with 48000's.
  CbBitrate->setCurrentIndex(stored.Bitrate);
  bool isNumber = false;
  const int rate = CbBitrate->currentText().toInt(&isNumber);
  if (isNumber) SampleRate = rate;
  cbLog->setChecked(stored.LogSpectr);
  // FormShow configures the stream for the stored rate next, stream mode included.
  StreamModeAction->setChecked(stored.StreamMode != 0);

  showStoreErrors(errors, this);
}

void TMainForm::SaveSettings() {
  // A second close query (after a cancelled session end) finds the store released and
  // writes through a new one.
  if (!SettingsStore) SettingsStore = std::make_unique<app::SettingsStore>();

  app::StoredSettings values;
  values.SAMode = SAMode;
  values.InvertOut = cbInvertOut->isChecked();
  values.InDevice = InDeviceId;
  values.OutDevice = OutDeviceId;
  values.Spectr = cbInvertSpectr->isChecked();
  // Only a place the window really had is stored: where the compositor places windows
  // (or the window was never shown) the window's own idea of its position is made up, and
  // what was stored stays.
  const bool placedHere = firstShowDone_ && !app::CompositorPlacesWindows(PlatformName);
  values.Left = placedHere ? x() : StoredLeft;
  values.Top = placedHere ? y() : StoredTop;
  values.Mono = cbIQ->isChecked();
  values.Phase = Phase;
  values.Bitrate = CbBitrate->currentIndex();
  values.LogSpectr = cbLog->isChecked();
  values.InDeviceName = app::NameToBytes(app::NameToStore(*CbWaveInDevice, InDeviceChoice, InDeviceId));
  values.OutDeviceName = app::NameToBytes(app::NameToStore(*CbWaveOutDevice, OutDeviceChoice, OutDeviceId));
  values.StreamMode = StreamModeAction->isChecked() ? 1 : 0;

  QStringList errors;
  SettingsStore->write(values, &errors);
  SettingsStore->release();
  SettingsStore.reset();

  showStoreErrors(errors, this);
}

namespace {

// "Capture device "usb_mic" is not listed; "Line In" is used instead." One line per box.
QString fallbackText(const char* kind, const app::DeviceChoice& choice, const QComboBox* box) {
  const int64_t index = int64_t{choice.id} + 1;  // any stored id, INT32_MAX included
  const QString taken = index >= 0 && index < box->count()
                            ? QStringLiteral("\"%1\" is used instead.").arg(box->itemText(static_cast<int>(index)))
                            : QStringLiteral("no device is chosen.");
  return QStringLiteral("%1 device \"%2\" is not listed; %3")
      .arg(QLatin1String(kind), app::ShownName(choice.storedName), taken);
}

}  // namespace

// A stored device name that the server lists wins over the stored index, so a choice
// survives devices coming, going and being listed in another order. A name that is not
// listed falls back to the index; the user is told which device that gives, once the
// window is up. Without a stored capture choice (a first run), capture never starts on
// what the chosen playback device plays (a monitor, or Tovrel's own device): that would
// loop; the user is told which device is taken instead and why.
void TMainForm::chooseStoredDevices() {
  InDeviceChoice = app::ChooseStoredDevice(*CbWaveInDevice, InDeviceChoice.storedName, InDeviceId);
  OutDeviceChoice = app::ChooseStoredDevice(*CbWaveOutDevice, OutDeviceChoice.storedName, OutDeviceId);
  InDeviceId = InDeviceChoice.id;
  OutDeviceId = OutDeviceChoice.id;

  QStringList lines;
  if (!InDeviceStored) {
    if (auto move = app::AvoidRecordingThePlayback(*CbWaveInDevice, InDeviceId, *CbWaveOutDevice, OutDeviceId)) {
      InDeviceId = InDeviceChoice.id = move->id;
      lines << move->text;
    }
  }
  if (InDeviceChoice.fellBack()) lines << fallbackText("Capture", InDeviceChoice, CbWaveInDevice);
  if (OutDeviceChoice.fellBack()) lines << fallbackText("Playback", OutDeviceChoice, CbWaveOutDevice);
  if (lines.isEmpty()) return;
  QMetaObject::invokeMethod(
      this, [this, text = lines.join('\n')] { app::ShowWarningBox(text, this); }, Qt::QueuedConnection);
}
