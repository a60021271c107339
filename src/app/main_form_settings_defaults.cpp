// Temporary stand-in until the settings store lands: the first-run defaults, nothing
// read or written.
#include <QCheckBox>
#include <QComboBox>

#include "app/globals.hpp"
#include "app/main_form.hpp"

void TMainForm::LoadSettings() {
  SAMode = 1;
  cbInvertOut->setChecked(false);
  InDeviceId = 0;
  OutDeviceId = 0;
  cbInvertSpectr->setChecked(true);
  StoredLeft = 100;
  StoredTop = 100;
  cbIQ->setChecked(true);
  Phase = 0;
  CbBitrate->setCurrentIndex(2);
  SampleRate = CbBitrate->currentText().toInt();
  cbLog->setChecked(true);
}

void TMainForm::SaveSettings() {}
