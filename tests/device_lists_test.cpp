// The device boxes: mapper first, every device by its whole name, English fallbacks
// for failed capability queries.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <climits>
#include <string>

#include "app/device_lists.hpp"
#include "wave/scripted_backend.hpp"

namespace {

QStringList entries(const QComboBox& box) {
  QStringList list;
  for (int i = 0; i < box.count(); ++i) list << box.itemText(i);
  return list;
}

class DeviceListsTest : public ::testing::Test {
 protected:
  void SetUp() override { wave::setBackend(&audio); }
  void TearDown() override { wave::setBackend(nullptr); }
  wave::ScriptedBackend audio;
  QComboBox box;
};

TEST_F(DeviceListsTest, ThreeCaptureDevicesGiveFourEntriesWithTheMapperFirst) {
  audio.setDevices(wave::Direction::Capture, {"Line In", "Microphone", "Monitor of Speakers"});
  audio.setMapperName(wave::Direction::Capture, "Default Source");
  audio.setDevices(wave::Direction::Playback, {"Speakers"});
  app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
  EXPECT_EQ(entries(box), QStringList({"Default Source", "Line In", "Microphone", "Monitor of Speakers"}));
  // Entry i stands for device id i - 1: the third entry is device 1.
  box.setCurrentIndex(2);
  EXPECT_EQ(box.currentIndex() - 1, 1);
  EXPECT_EQ(box.currentText(), "Microphone");
  // The mapper's id -1 is queried like any other, then every device in order.
  std::vector<int32_t> queried;
  for (const auto& call : audio.callsNamed("waveInGetDevCaps")) queried.push_back(call.deviceId);
  EXPECT_EQ(queried, (std::vector<int32_t>{-1, 0, 1, 2}));
  EXPECT_EQ(audio.countCalls("waveOutGetDevCaps"), 0u);
}

TEST_F(DeviceListsTest, FailedQueriesTakeTheirFallbackNames) {
  audio.setDevices(wave::Direction::Playback, {"Speakers", "HDMI", "USB Headset"});
  audio.setMapperName(wave::Direction::Playback, std::nullopt);  // the mapper's query fails
  audio.setCapsResult(wave::Direction::Playback, 2, wave::MMSYSERR_NODRIVER);
  app::FillWaveDeviceList(&box, wave::Direction::Playback, true);
  EXPECT_EQ(entries(box), QStringList({"Wave Mapper", "Speakers", "HDMI", "WaveOut Device #2"}));

  audio.setDevices(wave::Direction::Capture, {"A", "B"});
  audio.setCapsResult(wave::Direction::Capture, 0, wave::MMSYSERR_ERROR);
  audio.setCapsResult(wave::Direction::Capture, 1, wave::MMSYSERR_BADDEVICEID);
  audio.setMapperName(wave::Direction::Capture, std::nullopt);
  app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
  EXPECT_EQ(entries(box), QStringList({"Wave Mapper", "WaveIn Device #0", "WaveIn Device #1"}));
}

TEST_F(DeviceListsTest, FallbackNamesSpellTheIdInDecimal) {
  EXPECT_EQ(app::FallbackDeviceName(wave::Direction::Capture, 0), "WaveIn Device #0");
  EXPECT_EQ(app::FallbackDeviceName(wave::Direction::Playback, 2), "WaveOut Device #2");
  EXPECT_EQ(app::FallbackDeviceName(wave::Direction::Capture, 1234), "WaveIn Device #1234");
  EXPECT_EQ(app::FallbackDeviceName(wave::Direction::Playback, -1), "Wave Mapper");
}

TEST_F(DeviceListsTest, LongAndNonLatinNamesAreShownWhole) {
  const std::string name31 = "Thirty-one characters long name";  // 31 characters
  ASSERT_EQ(name31.size(), 31u);
  const std::string longName = "Monitor of Built-in Audio Analog Stereo (sink of the virtual cable)";
  const std::string cyrillic = "Встроенный микрофон";
  audio.setDevices(wave::Direction::Capture, {name31, longName, cyrillic});
  audio.setMapperName(wave::Direction::Capture, "Default");
  app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
  ASSERT_EQ(box.count(), 4);
  EXPECT_EQ(box.itemText(1), QString::fromStdString(name31));
  EXPECT_EQ(box.itemText(2), QString::fromStdString(longName));
  EXPECT_EQ(box.itemText(2).size(), static_cast<qsizetype>(longName.size()));
  EXPECT_EQ(box.itemText(3), QStringLiteral("Встроенный микрофон"));
}

// A hostile name (100 000 characters, or characters outside the BMP) is shown cut in the
// middle, never splitting a character; the name to store and match stays whole.
TEST_F(DeviceListsTest, OverlongNamesAreShownElidedAndStoredWhole) {
  std::string emoji;
  for (int i = 0; i < 200; ++i) emoji += "\xF0\x9F\x93\xBB";  // U+1F4FB, two UTF-16 units each
  for (const std::string& name : {std::string(100000, 'x') + "end", "start" + std::string(100000, 'y'), emoji}) {
    const QString whole = QString::fromStdString(name);
    SCOPED_TRACE(whole.left(8).toStdString());
    audio.setDevices(wave::Direction::Capture, {"Line In", name});
    app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
    const QString shown = box.itemText(2);  // device 1
    EXPECT_LE(shown.size(), app::kShownNameChars);
    const qsizetype cut = shown.indexOf(QChar(0x2026));
    ASSERT_GT(cut, 0);
    EXPECT_TRUE(whole.startsWith(shown.left(cut)));
    EXPECT_TRUE(whole.endsWith(shown.mid(cut + 1)));
    EXPECT_EQ(QString::fromUtf8(shown.toUtf8()), shown) << "a character was split";
    EXPECT_EQ(app::ListedDeviceName(box, 1), whole);
    EXPECT_EQ(app::ShownName(whole), shown);
  }
}

// The index helpers take any stored integer, INT32_MIN and INT32_MAX included.
TEST_F(DeviceListsTest, IndexHelpersTakeAnyStoredId) {
  audio.setDevices(wave::Direction::Capture, {"Line In", "Microphone"});
  app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
  for (const int32_t id : {INT32_MIN, -2, -1, 2, INT32_MAX - 1, INT32_MAX}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(app::ListedDeviceName(box, id), QString());
    EXPECT_EQ(app::NameToStore(box, app::ChooseStoredDevice(box, {}, id), id), QString());
    const app::DeviceChoice missing = app::ChooseStoredDevice(box, "usb_mic", id);
    EXPECT_TRUE(missing.fellBack());
    EXPECT_EQ(app::NameToStore(box, missing, id), "usb_mic");
  }
}

TEST_F(DeviceListsTest, NoDevicesLeaveOnlyTheMapperEntry) {
  audio.setDevices(wave::Direction::Capture, {});
  audio.setMapperName(wave::Direction::Capture, std::nullopt);
  box.addItem("stale entry");
  app::FillWaveDeviceList(&box, wave::Direction::Capture, true);
  EXPECT_EQ(entries(box), QStringList({"Wave Mapper"}));
  // Without the mapper entry the box is simply empty.
  app::FillWaveDeviceList(&box, wave::Direction::Capture, false);
  EXPECT_EQ(box.count(), 0);
}

TEST_F(DeviceListsTest, WithoutABoxOnlyTheQueriesRun) {
  audio.setDevices(wave::Direction::Playback, {"One", "Two"});
  app::FillWaveDeviceList(nullptr, wave::Direction::Playback, false);
  EXPECT_EQ(audio.countCalls("waveOutGetNumDevs"), 1u);
  std::vector<int32_t> queried;
  for (const auto& call : audio.callsNamed("waveOutGetDevCaps")) queried.push_back(call.deviceId);
  EXPECT_EQ(queried, (std::vector<int32_t>{0, 1}));
}

}  // namespace
