// The window's settings: what LoadSettings puts into the controls and fields at show,
// what SaveSettings writes at the close query, and the error boxes of a failing store.
// Qt's offscreen platform, the scripted wave back end, a fresh config folder per test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <vector>

#include "app/device_lists.hpp"
#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/settings_store.hpp"
#include "dsp/fft.hpp"
#include "wave/scripted_backend.hpp"
#include "window_test_support.hpp"

namespace {

class SettingsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    useScriptedDevices(audio, {"Line In", "Microphone"}, {"Speakers", "Virtual Cable"});
    app::setBoxPresenter([this](const app::BoxRequest& box) { boxes.push_back(box); });
  }
  void TearDown() override {
    form.reset();
    drain();
    app::setBoxPresenter({});
    wave::setBackend(nullptr);
  }

  TMainForm& showForm() {
    form = std::make_unique<TMainForm>();
    form->ScreenArea = [] { return QRect(0, 0, 1920, 1080); };
    form->show();
    drain();
    return *form;
  }
  void closeForm() {
    form->close();
    drain();
  }

  QString keyFolder() const { return config_.path() + "/ZEM"; }
  QString filePath() const { return keyFolder() + "/Varnex.conf"; }
  void writeRaw(const QByteArray& text) {
    ASSERT_TRUE(QDir().mkpath(keyFolder()));
    QFile f(filePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(text), text.size());
  }
  // The [Varnex] group as it is on disk.
  QMap<QString, QString> stored() const {
    QMap<QString, QString> values;
    QFile f(filePath());
    if (!f.open(QIODevice::ReadOnly)) return values;
    bool inGroup = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
      const QString line = QString::fromUtf8(raw).trimmed();
      if (line.startsWith('['))
        inGroup = line == "[Varnex]";
      else if (inGroup && line.contains('='))
        values.insert(line.section('=', 0, 0), line.section('=', 1));
    }
    return values;
  }
  std::vector<QString> errorTexts() const {
    std::vector<QString> texts;
    for (const app::BoxRequest& b : boxes) {
      EXPECT_EQ(b.kind, app::BoxKind::Error);
      EXPECT_EQ(b.caption, "Error");
      texts.push_back(b.text);
    }
    return texts;
  }

  wave::ScriptedBackend audio;
  std::vector<app::BoxRequest> boxes;
  std::unique_ptr<TMainForm> form;

 private:
  QTemporaryDir config_;
};

TEST_F(SettingsWindowTest, FirstRunShowsTheDefaultsAndWritesThemAtClose) {
  TMainForm& f = showForm();
  EXPECT_TRUE(QDir(keyFolder()).exists());  // the key is created at show
  EXPECT_FALSE(QFile::exists(filePath()));
  EXPECT_TRUE(boxes.empty());

  EXPECT_EQ(f.CbBitrate->currentIndex(), 2);
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(f.InDeviceId, 0);
  EXPECT_EQ(f.OutDeviceId, 0);
  EXPECT_EQ(f.CbWaveInDevice->currentText(), "Line In");  // the first device, not the mapper
  EXPECT_EQ(f.CbWaveOutDevice->currentText(), "Speakers");
  EXPECT_TRUE(f.cbSpectr->isChecked());
  EXPECT_EQ(SAMode, 1);
  EXPECT_TRUE(f.cbLog->isChecked());
  EXPECT_TRUE(f.cbIQ->isChecked());
  EXPECT_TRUE(f.cbInvertSpectr->isChecked());
  EXPECT_FALSE(f.cbInvertOut->isChecked());
  EXPECT_FALSE(f.StreamModeAction->isChecked());  // block mode
  EXPECT_EQ(Phase, 0);
  EXPECT_EQ(f.pos(), QPoint(100, 100));

  closeForm();
  const QMap<QString, QString> expected{{"SAMode", "1"},
                                        {"InvertOut", "0"},
                                        {"InDevice", "0"},
                                        {"OutDevice", "0"},
                                        {"Spectr", "1"},
                                        {"Left", "100"},
                                        {"Top", "100"},
                                        {"Mono", "1"},
                                        {"Phase", "0"},
                                        {"Bitrate", "2"},
                                        {"LogSpectr", "1"},
                                        {"InDeviceName", "Line In"},
                                        {"OutDeviceName", "Speakers"},
                                        {"StreamMode", "0"}};
  EXPECT_EQ(stored(), expected);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(f.SettingsStore, nullptr);  // released at the close query
}

TEST_F(SettingsWindowTest, EachControlIsWrittenUnderItsOwnName) {
  TMainForm& f = showForm();
  // The stored names cross the controls: "Spectr" is the inversion, "Mono" the
  // conversion, "InvertOut" the edge filter.
  f.cbInvertOut->setChecked(true);
  f.cbInvertSpectr->setChecked(false);
  f.cbIQ->setChecked(false);
  f.cbLog->setChecked(false);
  f.CbBitrate->setCurrentIndex(9);
  f.CbWaveInDevice->setCurrentIndex(2);
  f.CbWaveInDeviceChange();
  f.CbWaveOutDevice->setCurrentIndex(0);
  f.CbWaveOutDeviceChange();
  f.move(300, 200);
  Phase = -77;
  f.StreamModeAction->trigger();
  closeForm();

  const QMap<QString, QString> expected{{"SAMode", "1"},       {"InvertOut", "1"}, {"InDevice", "1"},
                                        {"OutDevice", "-1"},   {"Spectr", "0"},    {"Left", "300"},
                                        {"Top", "200"},        {"Mono", "0"},      {"Phase", "-77"},
                                        {"Bitrate", "9"},      {"LogSpectr", "0"}, {"InDeviceName", "Microphone"},
                                        {"OutDeviceName", ""}, {"StreamMode", "1"}};
  EXPECT_EQ(stored(), expected);

  // The next run gets every one of them back.
  form.reset();
  TMainForm& g = showForm();
  EXPECT_TRUE(g.cbInvertOut->isChecked());
  EXPECT_FALSE(g.cbInvertSpectr->isChecked());
  EXPECT_FALSE(g.cbIQ->isChecked());
  EXPECT_FALSE(g.cbLog->isChecked());
  EXPECT_TRUE(g.StreamModeAction->isChecked());
  EXPECT_EQ(g.CbBitrate->currentIndex(), 9);
  EXPECT_EQ(SampleRate, 11025);
  EXPECT_EQ(g.CbWaveInDevice->currentText(), "Microphone");
  EXPECT_EQ(g.CbWaveOutDevice->currentIndex(), 0);
  EXPECT_EQ(g.OutDeviceId, -1);
  EXPECT_EQ(g.pos(), QPoint(300, 200));
  EXPECT_EQ(Phase, -77);
}

// Three patterns of the four check boxes, so that any two of them differ in one
// pattern: a value written from (or read into) the wrong box shows up.
TEST_F(SettingsWindowTest, CheckBoxesKeepTheirOwnValueNames) {
  struct Pattern {
    bool invertOut, invertSpectr, iq, log;
  };
  for (const Pattern p :
       {Pattern{true, false, false, false}, Pattern{false, true, false, true}, Pattern{false, true, true, false}}) {
    SCOPED_TRACE(QString("%1%2%3%4").arg(p.invertOut).arg(p.invertSpectr).arg(p.iq).arg(p.log).toStdString());
    TMainForm& f = showForm();
    f.cbInvertOut->setChecked(p.invertOut);
    f.cbInvertSpectr->setChecked(p.invertSpectr);
    f.cbIQ->setChecked(p.iq);
    f.cbLog->setChecked(p.log);
    closeForm();
    const QMap<QString, QString> onDisk = stored();
    EXPECT_EQ(onDisk.value("InvertOut"), p.invertOut ? "1" : "0");
    EXPECT_EQ(onDisk.value("Spectr"), p.invertSpectr ? "1" : "0");
    EXPECT_EQ(onDisk.value("Mono"), p.iq ? "1" : "0");
    EXPECT_EQ(onDisk.value("LogSpectr"), p.log ? "1" : "0");

    form.reset();
    TMainForm& g = showForm();
    EXPECT_EQ(g.cbInvertOut->isChecked(), p.invertOut);
    EXPECT_EQ(g.cbInvertSpectr->isChecked(), p.invertSpectr);
    EXPECT_EQ(g.cbIQ->isChecked(), p.iq);
    EXPECT_EQ(g.cbLog->isChecked(), p.log);
    form.reset();
  }
  EXPECT_TRUE(boxes.empty());
}

// A stored device name that the server lists wins over the stored index; a missing one
// falls back to the index, says which device that gives, and is kept for the next run
// unless the user chooses another device.
TEST_F(SettingsWindowTest, StoredDeviceNameWinsOverTheIndex) {
  struct Case {
    const char* file;     // the [Varnex] lines after the group header
    int32_t inId, outId;  // chosen at show
    const char* told;     // part of the warning shown, or null for none
    int chooseIn;         // capture entry the user then chooses, or -1
    const char* inName;   // InDeviceName written at close
  };
  const Case cases[] = {
      {"InDevice=0\nInDeviceName=Microphone\nOutDevice=0\nOutDeviceName=Virtual Cable\n", 1, 1, nullptr, -1,
       "Microphone"},
      {"InDevice=1\n", 1, 0, nullptr, -1, "Microphone"},  // written before names were kept
      {"InDevice=1\nInDeviceName=USB Mic\n", 1, 0, "\"USB Mic\" is not listed; \"Microphone\" is used instead.", -1,
       "USB Mic"},
      {"InDevice=5\nInDeviceName=USB Mic\n", 5, 0, "\"USB Mic\" is not listed; no device is chosen.", -1, "USB Mic"},
      {"InDevice=1\nInDeviceName=USB Mic\n", 1, 0, "USB Mic", 1, "Line In"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    boxes.clear();
    writeRaw(QByteArray("[Varnex]\n") + c.file);
    TMainForm& f = showForm();
    EXPECT_EQ(f.InDeviceId, c.inId);
    EXPECT_EQ(f.OutDeviceId, c.outId);
    expectWarningWith(boxes, c.told);
    if (c.chooseIn >= 0) {
      f.CbWaveInDevice->setCurrentIndex(c.chooseIn);
      f.CbWaveInDeviceChange();
    }
    closeForm();
    EXPECT_EQ(stored().value("InDeviceName"), c.inName);
    form.reset();
  }
}

// Hostile stored devices: the largest index, and a 100 000-character name that is not
// listed. The warning names the device in a line that fits a box; both stay as stored.
TEST_F(SettingsWindowTest, HostileStoredDevicesAreToldShortAndKeptWhole) {
  const QByteArray longName(100000, 'u');
  struct Case {
    QByteArray file;  // the [Varnex] lines after the group header
    bool told;
  };
  for (const Case& c : {Case{"InDevice=2147483647\n", false}, Case{"OutDevice=2147483647\n", false},
                        Case{"InDevice=2147483647\nInDeviceName=" + longName + "\n", true},
                        Case{"InDevice=1\nInDeviceName=" + longName + "\n", true}}) {
    SCOPED_TRACE(c.file.left(40).toStdString());
    boxes.clear();
    writeRaw("[Varnex]\n" + c.file);
    showForm();
    if (c.told) {
      expectWarningWith(boxes, "is not listed");
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_LT(boxes[0].text.size(), app::kShownNameChars + 80) << boxes[0].text.left(200).toStdString();
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    closeForm();
    const auto onDisk = stored();
    const qsizetype equals = c.file.indexOf('=');
    EXPECT_EQ(onDisk.value(c.file.left(equals)), c.file.mid(equals + 1, c.file.indexOf('\n') - equals - 1));
    if (c.file.startsWith("InDevice")) {
      EXPECT_EQ(onDisk.value("InDeviceName"), c.told ? QString(longName) : QString());
    }
    form.reset();
  }
}

// Names that are not valid UTF-8, stored raw in the file: one the server lists is chosen by
// it, one it does not list is kept; both go back to the file byte for byte.
TEST_F(SettingsWindowTest, NamesThatAreNotUtf8SurviveARun) {
  useScriptedDevices(audio, {"Line In", "card \xfe\xff"}, {"Speakers"});
  writeRaw("[Varnex]\nInDevice=0\nInDeviceName=card \xfe\xff\nOutDevice=0\nOutDeviceName=gone \xc3(\n");
  TMainForm& f = showForm();
  EXPECT_EQ(f.InDeviceId, 1);
  expectWarningWith(boxes, "is not listed");
  closeForm();
  const app::StoredSettings after = app::SettingsStore().read(nullptr);
  EXPECT_EQ(after.InDeviceName, "card \xfe\xff");
  EXPECT_EQ(after.OutDeviceName, "gone \xc3(");
}

// Without a stored capture choice, the first capture device must not record what the
// first playback device plays: the next one that does not is taken, else the mapper, and
// the user is told. A choice that was stored stays whatever it records.
TEST_F(SettingsWindowTest, FirstRunNeverRecordsWhatItPlays) {
  struct Case {
    const char* what;
    std::vector<std::string> capture, playback;
    const char* mapperFollows;  // the device the capture box's mapper stands for
    const char* file;           // the [Varnex] lines, or null for a first run
    const char* chosen;         // capture entry chosen at show
    const char* told;           // part of the warning, or null for none
  };
  const std::map<std::string, std::string> monitors{{"Monitor of IQ-Cable", "IQ-Cable"},
                                                    {"Monitor of Speakers", "Speakers"}};
  const char* why = "\"Monitor of IQ-Cable\" records what the playback device \"IQ-Cable\" plays";
  const Case cases[] = {
      {"cables only",
       {"Monitor of IQ-Cable", "Monitor of Speakers"},
       {"IQ-Cable", "Speakers"},
       "",
       nullptr,
       "Monitor of Speakers",
       why},
      {"a real input", {"Line In", "Monitor of IQ-Cable"}, {"IQ-Cable"}, "", nullptr, "Line In", nullptr},
      {"the mapper left", {"Monitor of IQ-Cable"}, {"IQ-Cable"}, "Line In", nullptr, "Default Source", why},
      {"nothing left",
       {"Monitor of IQ-Cable"},
       {"IQ-Cable"},
       "Monitor of IQ-Cable",
       nullptr,
       "Monitor of IQ-Cable",
       "Every capture device records what Tovrel plays"},
      {"a stored choice",
       {"Monitor of IQ-Cable", "Monitor of Speakers"},
       {"IQ-Cable", "Speakers"},
       "",
       "InDevice=0\n",
       "Monitor of IQ-Cable",
       nullptr},
  };
  audio.setMonitors(monitors);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boxes.clear();
    QFile::remove(filePath());
    if (c.file) writeRaw(QByteArray("[Varnex]\n") + c.file);
    useScriptedDevices(audio, c.capture, c.playback);
    audio.setMapperFollows(wave::Direction::Capture, c.mapperFollows);
    TMainForm& f = showForm();
    EXPECT_EQ(f.CbWaveInDevice->currentText(), c.chosen);
    EXPECT_EQ(f.InDeviceId, f.CbWaveInDevice->currentIndex() - 1);
    EXPECT_EQ(f.CbWaveOutDevice->currentText(), QString::fromStdString(c.playback.front()));
    expectWarningWith(boxes, c.told);
    form.reset();
    drain();
  }
}

TEST_F(SettingsWindowTest, StoredValuesAsTheUserLeftThem) {
  writeRaw("[Varnex]\nInDevice=-1\nLeft=abc\nTop=$40\nMono=5\nPhase=123456789\nSAMode=7\n");
  TMainForm& f = showForm();
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(f.InDeviceId, -1);
  EXPECT_EQ(f.CbWaveInDevice->currentIndex(), 0);  // the mapper entry
  EXPECT_EQ(f.CbWaveInDevice->currentText(), "Default Source");
  EXPECT_EQ(f.pos(), QPoint(100, 64));
  EXPECT_TRUE(f.cbIQ->isChecked());
  // Neither 1 nor 0: the spectrum stays off and the switch becomes 0.
  EXPECT_FALSE(f.cbSpectr->isChecked());
  EXPECT_EQ(SAMode, 0);

  closeForm();
  const QMap<QString, QString> onDisk = stored();
  EXPECT_EQ(onDisk.value("SAMode"), "0");
  EXPECT_EQ(onDisk.value("Mono"), "1");
  EXPECT_EQ(onDisk.value("InDevice"), "-1");
  EXPECT_EQ(onDisk.value("Left"), "100");
  EXPECT_EQ(onDisk.value("Top"), "64");
  EXPECT_EQ(onDisk.value("Phase"), "123456789");
}

TEST_F(SettingsWindowTest, RateIndexOutsideTheListStartsAt48000) {
  writeRaw("[Varnex]\nBitrate=15\n");
  TMainForm& f = showForm();
  EXPECT_EQ(f.CbBitrate->currentIndex(), 2);
  EXPECT_EQ(f.CbBitrate->currentText(), "48000");
  EXPECT_EQ(SampleRate, 48000);
  EXPECT_EQ(f.Stream.CaptureFormat.nSamplesPerSec, 48000u);
  EXPECT_EQ(f.Stream.PlaybackFormat.nSamplesPerSec, 24000u);
  EXPECT_TRUE(boxes.empty());
  closeForm();
  EXPECT_EQ(stored().value("Bitrate"), "2");
}

TEST_F(SettingsWindowTest, RefusedValueShowsAnErrorBoxAndStartsWithItsDefault) {
  writeRaw("[Varnex]\nOutDevice=@ByteArray(1)\nInDevice=1\nLeft=1,2\n");
  TMainForm& f = showForm();
  EXPECT_EQ(errorTexts(), std::vector<QString>{"Invalid data type for 'OutDevice'"});
  EXPECT_EQ(f.OutDeviceId, 0);
  EXPECT_EQ(f.InDeviceId, 1);
  EXPECT_EQ(f.StoredLeft, 100);  // text with a comma: the default, without a box
  EXPECT_TRUE(f.isVisible());
  boxes.clear();
  closeForm();
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(stored().value("OutDevice"), "0");  // the next run reads a clean value
}

TEST_F(SettingsWindowTest, UnwritableLocationShowsAnErrorBoxAtClose) {
  // A plain file where the ZEM folder belongs blocks the key even for root.
  {
    QFile blocker(keyFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  }
  TMainForm& f = showForm();
  EXPECT_TRUE(boxes.empty());  // nothing to read is no error
  EXPECT_EQ(f.CbBitrate->currentIndex(), 2);
  closeForm();
  EXPECT_EQ(errorTexts(), std::vector<QString>{"Failed to create key Varnex"});
  EXPECT_TRUE(QFileInfo(keyFolder()).isFile());
}

TEST_F(SettingsWindowTest, SettingsFileThatIsAFolderShowsAnErrorBoxAtShowAndAtClose) {
  ASSERT_TRUE(QDir().mkpath(filePath()));
  showForm();
  EXPECT_EQ(errorTexts(), std::vector<QString>{"Failed to get data for 'SAMode'"});
  boxes.clear();
  closeForm();
  EXPECT_EQ(errorTexts().size(), 1u);
  EXPECT_TRUE(QFileInfo(filePath()).isDir());
}

TEST_F(SettingsWindowTest, SecondCloseQueryWritesThroughAReopenedStore) {
  TMainForm& f = showForm();
  f.FormCloseQuery();
  EXPECT_EQ(f.SettingsStore, nullptr);
  EXPECT_EQ(stored().value("LogSpectr"), "1");

  // The session end was cancelled; the window stays and a later close query comes.
  f.cbLog->setChecked(false);
  f.FormCloseQuery();
  EXPECT_EQ(f.SettingsStore, nullptr);
  EXPECT_EQ(stored().value("LogSpectr"), "0");
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
