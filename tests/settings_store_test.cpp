// The settings store: the integer parser, the file layout, defaults, refused values and
// failed writes. Every test works in its own configuration folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/instance.hpp"
#include "app/settings_store.hpp"

using app::ParseStoredInteger;
using app::SettingsStore;
using app::StoredSettings;

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// ---------------------------------------------------------------------------------------
// ParseStoredInteger

struct ParseCase {
  std::string text;
  std::optional<int32_t> expected;
};

TEST(ParseStoredInteger, TableOfCases) {
  const ParseCase cases[] = {
      // decimal
      {"0", 0},
      {"7", 7},
      {"123", 123},
      {"00012", 12},
      {"-1", -1},
      {"-0", 0},
      {"+7", 7},
      {"2147483647", kMax},
      {"-2147483648", kMin},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"4294967295", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      // leading blanks are spaces only
      {"   42", 42},
      {"  -42", -42},
      {" +$10", 16},
      {"\t5", std::nullopt},
      {"\n5", std::nullopt},
      // hexadecimal
      {"$10", 16},
      {"$ff", 255},
      {"$Ff", 255},
      {"0x1F", 31},
      {"0X1f", 31},
      {"0x0", 0},
      {"$7FFFFFFF", kMax},
      {"$80000000", kMin},
      {"$FFFFFFFF", -1},
      {"0xfffffffe", -2},
      {"$000000010", 16},
      {"$100000000", std::nullopt},
      {"0x1FFFFFFFF", std::nullopt},
      {"-$10", -16},
      {"+0x10", 16},
      {"-0x1", -1},
      {"-$80000000", kMin},
      {"-$FFFFFFFF", 1},
      // refused
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"-0x", std::nullopt},
      {"-$", std::nullopt},
      {"12 ", std::nullopt},
      {"12\t", std::nullopt},
      {"12abc", std::nullopt},
      {"abc", std::nullopt},
      {"- 5", std::nullopt},
      {"--5", std::nullopt},
      {"+-5", std::nullopt},
      {"$-5", std::nullopt},
      {"0x-5", std::nullopt},
      {"$0x10", std::nullopt},
      {"00x10", std::nullopt},
      {"x10", std::nullopt},
      {"$g", std::nullopt},
      {"0xG1", std::nullopt},
      {"1e3", std::nullopt},
      {"1.0", std::nullopt},
      {"1,2", std::nullopt},
      {"0b101", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // a full-width digit one
      {std::string("12\0"
                   "3",
                   4),
       std::nullopt},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    EXPECT_EQ(ParseStoredInteger(c.text), c.expected);
  }
}

std::string hexText(uint32_t bits, const char* prefix, bool upper) {
  char digits[16];
  std::snprintf(digits, sizeof digits, upper ? "%" PRIX32 : "%" PRIx32, bits);
  return std::string(prefix) + digits;
}

TEST(ParseStoredInteger, RandomDecimalAndHexRoundTrip) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int> blanks(0, 3);
  for (int n = 0; n < 3000; ++n) {
    const int32_t value = n == 0 ? kMin : n == 1 ? kMax : n == 2 ? 0 : any(rng);
    const uint32_t bits = static_cast<uint32_t>(value);
    const std::string lead(static_cast<size_t>(blanks(rng)), ' ');
    SCOPED_TRACE(value);
    EXPECT_EQ(ParseStoredInteger(lead + std::to_string(value)), value);
    EXPECT_EQ(ParseStoredInteger(lead + hexText(bits, "$", true)), value);
    EXPECT_EQ(ParseStoredInteger(lead + hexText(bits, "0x", false)), value);
    EXPECT_EQ(ParseStoredInteger(lead + hexText(bits, "0X", true)), value);
    // A minus sign before the pattern of the negated value gives the value back.
    EXPECT_EQ(ParseStoredInteger(lead + "-" + hexText(0u - bits, "$", true)), value);
  }
}

// Decimal text of wider numbers agrees with the standard library's own conversion:
// accepted exactly when it fits in 32 bits.
TEST(ParseStoredInteger, WideDecimalsAgreeWithFromChars) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> shift(0, 40);
  for (int n = 0; n < 3000; ++n) {
    const int64_t value = static_cast<int64_t>(rng()) >> shift(rng);
    const std::string text = std::to_string(value);
    int32_t reference = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), reference);
    const std::optional<int32_t> expected =
        error == std::errc{} && end == text.data() + text.size() ? std::optional<int32_t>(reference) : std::nullopt;
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseStoredInteger(text), expected);
    EXPECT_EQ(expected.has_value(), value >= kMin && value <= kMax);
  }
}

// ---------------------------------------------------------------------------------------
// The store on disk

// Each test gets a fresh configuration folder, reached through XDG_CONFIG_HOME as the
// program would; the store works its path out again at every open().
class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    configHome_ = dir_.path() + "/config";
    qputenv("XDG_CONFIG_HOME", configHome_.toLocal8Bit());
    ASSERT_EQ(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), configHome_);
  }
  void TearDown() override {
    // A folder made read-only by a test must be removable again.
    ::chmod(QFile::encodeName(keyFolder()).constData(), 0755);
  }

  // Moves the configuration to a new folder. QSettings caches a file it has read and
  // trusts its size and time stamp, so a file rewritten within the same clock tick to
  // the same size needs a new name to be read again.
  void moveConfigHome(const QString& name) {
    configHome_ = dir_.path() + "/" + name;
    qputenv("XDG_CONFIG_HOME", configHome_.toLocal8Bit());
  }

  QString keyFolder() const { return configHome_ + "/ZEM"; }
  QString filePath() const { return keyFolder() + "/Varnex.conf"; }

  void writeRaw(const QByteArray& text) {
    ASSERT_TRUE(QDir().mkpath(keyFolder()));
    QFile f(filePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(text), text.size());
  }
  QByteArray readRaw() const {
    QFile f(filePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // The key=value lines of the [Varnex] group as written on disk.
  QMap<QString, QString> groupOnDisk() const {
    QMap<QString, QString> values;
    bool inGroup = false;
    for (const QByteArray& raw : readRaw().split('\n')) {
      const QString line = QString::fromUtf8(raw).trimmed();
      if (line.startsWith('[')) {
        inGroup = line == "[Varnex]";
      } else if (inGroup && line.contains('=')) {
        values.insert(line.section('=', 0, 0), line.section('=', 1));
      }
    }
    return values;
  }
  static QMap<QString, QString> textsOf(const StoredSettings& s) {
    auto b = [](bool v) { return QString(v ? "1" : "0"); };
    auto i = [](int32_t v) { return QString::number(v); };
    return {{"SAMode", i(s.SAMode)},
            {"InvertOut", b(s.InvertOut)},
            {"InDevice", i(s.InDevice)},
            {"OutDevice", i(s.OutDevice)},
            {"Spectr", b(s.Spectr)},
            {"Left", i(s.Left)},
            {"Top", i(s.Top)},
            {"Mono", b(s.Mono)},
            {"Phase", i(s.Phase)},
            {"Bitrate", i(s.Bitrate)},
            {"LogSpectr", b(s.LogSpectr)},
            {"InDeviceName", QString::fromStdString(s.InDeviceName)},
            {"OutDeviceName", QString::fromStdString(s.OutDeviceName)},
            {"StreamMode", i(s.StreamMode)}};
  }
  StoredSettings readFresh(QStringList* errors) {
    SettingsStore store;
    store.open();
    return store.read(errors);
  }

  QTemporaryDir dir_;
  QString configHome_;
};

TEST_F(SettingsStoreTest, FirstRunGivesDefaultsAndWritesAllElevenValues) {
  SettingsStore store;
  EXPECT_FALSE(store.isOpen());
  EXPECT_TRUE(store.open());
  EXPECT_TRUE(store.isOpen());
  EXPECT_EQ(store.filePath(), filePath());
  // The key is created at load; the file only at the first write.
  EXPECT_TRUE(QDir(keyFolder()).exists());
  EXPECT_FALSE(QFile::exists(filePath()));

  QStringList errors;
  const StoredSettings read = store.read(&errors);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  const StoredSettings defaults;
  EXPECT_EQ(read, defaults);
  EXPECT_EQ(read.SAMode, 1);
  EXPECT_FALSE(read.InvertOut);
  EXPECT_EQ(read.InDevice, 0);
  EXPECT_EQ(read.OutDevice, 0);
  EXPECT_TRUE(read.Spectr);
  EXPECT_EQ(read.Left, 100);
  EXPECT_EQ(read.Top, 100);
  EXPECT_TRUE(read.Mono);
  EXPECT_EQ(read.Phase, 0);
  EXPECT_EQ(read.Bitrate, 2);
  EXPECT_TRUE(read.LogSpectr);
  EXPECT_EQ(read.StreamMode, 0);  // block mode

  EXPECT_TRUE(store.write(read, &errors));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  store.release();
  EXPECT_FALSE(store.isOpen());

  const QMap<QString, QString> onDisk = groupOnDisk();
  EXPECT_EQ(onDisk.size(), 14);  // the eleven, the two device names, the mode
  EXPECT_EQ(onDisk, textsOf(defaults));
  EXPECT_TRUE(readRaw().startsWith("[Varnex]\n")) << readRaw().toStdString();
}

TEST_F(SettingsStoreTest, ValuesAsTheUserLeftThem) {
  writeRaw(
      "[Varnex]\n"
      "InDevice=-1\n"
      "OutDevice=3\n"
      "Left=abc\n"
      "Top=\"  $20\"\n"
      "Mono=5\n"
      "SAMode=7\n"
      "Spectr=0\n"
      "InvertOut=-2\n"
      "LogSpectr=0x0\n"
      "Phase=\n");
  QStringList errors;
  const StoredSettings s = readFresh(&errors);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  EXPECT_EQ(s.InDevice, -1);
  EXPECT_EQ(s.OutDevice, 3);
  EXPECT_EQ(s.Left, 100);  // not a number: the default
  EXPECT_EQ(s.Top, 32);
  EXPECT_TRUE(s.Mono);     // any non-zero integer is true
  EXPECT_EQ(s.SAMode, 7);  // kept as read; the window turns it into 0 or 1
  EXPECT_FALSE(s.Spectr);
  EXPECT_TRUE(s.InvertOut);
  EXPECT_FALSE(s.LogSpectr);
  EXPECT_EQ(s.Phase, 0);          // empty: the default
  EXPECT_EQ(s.Bitrate, 2);        // missing: the default
  EXPECT_EQ(s.InDeviceName, "");  // a file from before the names were kept
  EXPECT_EQ(s.OutDeviceName, "");
  EXPECT_EQ(s.StreamMode, 0);  // a file from before the mode was kept: block mode
}

// Server names come back exactly, whatever characters they hold.
// Names that are not valid UTF-8 (a lone byte, a cut sequence, an encoded surrogate, an
// overlong form) come back byte for byte, as does text that looks like the byte form.
TEST_F(SettingsStoreTest, DeviceNamesRoundTrip) {
  for (const std::string name : {"alsa_input.usb-0d8c_C-Media-00.analog-mono", "a, b = c; \"d\"", "Кабель 1",
                                 "card\xff", "\xd0", "x\xed\xa0\x80y", "\xc0\xaf, =\"", "@ByteArray(q)"}) {
    SCOPED_TRACE(name);
    StoredSettings s;
    s.InDeviceName = name;
    s.OutDeviceName = std::string(name) + ".monitor";
    SettingsStore writer;
    writer.open();
    QStringList errors;
    ASSERT_TRUE(writer.write(s, &errors));
    EXPECT_EQ(readFresh(&errors), s);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  }
}

// A profile keeps its own file beside the default one, which it neither reads nor writes.
TEST_F(SettingsStoreTest, ProfileHasItsOwnFileBesideTheDefault) {
  writeRaw("[Varnex]\nBitrate=0\n");
  const QByteArray before = readRaw();
  app::SetProfile("b");
  StoredSettings s;
  s.Bitrate = 5;
  QStringList errors;
  StoredSettings first = readFresh(&errors);
  SettingsStore writer;
  const bool written = writer.write(s, &errors);
  const StoredSettings back = readFresh(&errors);
  app::SetProfile("");
  EXPECT_EQ(first.Bitrate, app::kDefaultRateIndex) << "the default file was read";
  ASSERT_TRUE(written);
  EXPECT_EQ(back, s);
  EXPECT_EQ(writer.filePath(), keyFolder() + "/Varnex-b.conf");
  EXPECT_EQ(readRaw(), before);
  EXPECT_EQ(readFresh(&errors).Bitrate, 0);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// Names that could reach a path, another device's server name, or a screen's width.
TEST(ProfileName, OnlyPlainShortNamesPass) {
  for (const char* good : {"a", "Band-40m", "rx_2", "7", "abcdefghijklmnopqrstuvwxyz012345"})
    EXPECT_TRUE(app::ProfileNameError(good).isEmpty()) << good;
  for (const char* bad : {"", "a/b", "..", ".hidden", "-x", "_x", "a b", "a.b", "x_sink", "sink", "Кабель", "a\"b",
                          "abcdefghijklmnopqrstuvwxyz0123456"}) {
    const QString error = app::ProfileNameError(QString::fromUtf8(bad));
    EXPECT_TRUE(error.startsWith("--profile \"") && error.contains("letters")) << bad << ": " << error.toStdString();
  }
}

// The window holds names as text: any bytes go there and come back, valid UTF-8 as its text.
TEST(NameBytes, AnyBytesRoundTripThroughTheWindowsText) {
  for (const std::string bytes : {"plain", "Кабель", "\xF0\x9F\x93\xBB radio", "", "\xff", "a\xc3(b", "\xed\xa0\x80",
                                  "\xc0\xaf", "\xf4\x90\x80\x80", "cut \xe2\x82", "\x80\xbf\xfe"}) {
    SCOPED_TRACE(bytes);
    const QString name = app::NameFromBytes(bytes);
    EXPECT_EQ(app::NameToBytes(name), bytes);
    const QString utf8 = QString::fromUtf8(bytes);
    if (utf8.toStdString() == bytes) {
      EXPECT_EQ(name, utf8);
    }
  }
}

// Invalid UTF-8 standing raw in the file (a hand-edited name) is read as those bytes and
// written back in a form that keeps them.
TEST_F(SettingsStoreTest, RawInvalidNameBytesInTheFileAreKept) {
  writeRaw("[Varnex]\nInDeviceName=usb \xff\xfe mic\nOutDeviceName=\xe2\x82 out\n");
  SettingsStore store;
  store.open();
  QStringList errors;
  const StoredSettings s = store.read(&errors);
  EXPECT_EQ(s.InDeviceName, "usb \xff\xfe mic");
  EXPECT_EQ(s.OutDeviceName, "\xe2\x82 out");
  ASSERT_TRUE(store.write(s, &errors));
  EXPECT_EQ(readFresh(&errors), s);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(SettingsStoreTest, BooleanReadAsFiveIsWrittenBackAsOne) {
  writeRaw("[Varnex]\nMono=5\nSpectr=$10\nStreamMode=-3\n");
  SettingsStore store;
  store.open();
  QStringList errors;
  const StoredSettings s = store.read(&errors);
  ASSERT_TRUE(s.Mono);
  ASSERT_TRUE(s.Spectr);
  ASSERT_EQ(s.StreamMode, 1);
  ASSERT_TRUE(store.write(s, &errors));
  EXPECT_EQ(groupOnDisk().value("Mono"), "1");
  EXPECT_EQ(groupOnDisk().value("Spectr"), "1");
  EXPECT_EQ(groupOnDisk().value("StreamMode"), "1");
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(SettingsStoreTest, PhaseSurvivesAnyNumberOfRuns) {
  for (int32_t phase : {-123456, kMin, kMax, 0, 77}) {
    SettingsStore first;
    first.open();
    StoredSettings s = first.read(nullptr);
    s.Phase = phase;
    ASSERT_TRUE(first.write(s, nullptr));
    first.release();
    // Three more runs that only read and write back what they found.
    for (int run = 0; run < 3; ++run) {
      SettingsStore next;
      next.open();
      const StoredSettings again = next.read(nullptr);
      EXPECT_EQ(again.Phase, phase);
      ASSERT_TRUE(next.write(again, nullptr));
    }
    EXPECT_EQ(groupOnDisk().value("Phase"), QString::number(phase));
  }
}

TEST_F(SettingsStoreTest, RateIndexOutsideTheListFallsBackTo48000) {
  const struct {
    const char* stored;
    int32_t expected;
  } cases[] = {{"0", 0}, {"14", 14}, {"$E", 14}, {"15", 2}, {"-1", 2}, {"2147483647", 2}, {"x", 2}, {"7", 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    moveConfigHome(QString("rate-") + c.stored);
    writeRaw(QByteArray("[Varnex]\nBitrate=") + c.stored + "\n");
    EXPECT_EQ(readFresh(nullptr).Bitrate, c.expected);
  }
}

TEST_F(SettingsStoreTest, RandomSettingsRoundTrip) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int32_t> rate(0, app::kRateCount - 1);
  std::bernoulli_distribution coin;
  for (int n = 0; n < 20; ++n) {
    StoredSettings s;
    s.SAMode = any(rng);
    s.InvertOut = coin(rng);
    s.InDevice = any(rng);
    s.OutDevice = any(rng);
    s.Spectr = coin(rng);
    s.Left = any(rng);
    s.Top = any(rng);
    s.Mono = coin(rng);
    s.Phase = any(rng);
    s.Bitrate = rate(rng);
    s.LogSpectr = coin(rng);
    s.StreamMode = coin(rng) ? 1 : 0;
    SettingsStore writer;
    writer.open();
    QStringList errors;
    ASSERT_TRUE(writer.write(s, &errors));
    EXPECT_EQ(groupOnDisk(), textsOf(s));
    EXPECT_EQ(readFresh(&errors), s);
    EXPECT_TRUE(errors.isEmpty());
  }
}

TEST_F(SettingsStoreTest, ValueThatIsNotTextIsRefusedAndTakesItsDefault) {
  // QSettings reads @ByteArray as bytes: a value of another type.
  writeRaw("[Varnex]\nLeft=250\nMono=@ByteArray(0)\n");
  QStringList errors;
  const StoredSettings s = readFresh(&errors);
  EXPECT_EQ(errors, QStringList({"Invalid data type for 'Mono'"}));
  EXPECT_TRUE(s.Mono);
  EXPECT_EQ(s.Left, 250);  // the others are read as usual
}

TEST_F(SettingsStoreTest, TextWithACommaSilentlyTakesTheDefault) {
  // QSettings reads an unquoted comma-separated value as a list; quoted, it is text.
  writeRaw("[Varnex]\nLeft=1,2\nInDevice=1, 2\nOutDevice=1,\nTop=\"3,4\"\nPhase=7\n");
  QStringList errors;
  const StoredSettings s = readFresh(&errors);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  EXPECT_EQ(s.Left, 100);
  EXPECT_EQ(s.InDevice, 0);
  EXPECT_EQ(s.OutDevice, 0);
  EXPECT_EQ(s.Top, 100);
  EXPECT_EQ(s.Phase, 7);
}

TEST_F(SettingsStoreTest, MalformedLineDoesNotHideTheValuesOrBlockTheWrite) {
  writeRaw("[Varnex]\nLeft=12\n[broken\nx=1\n");
  SettingsStore store;
  store.open();
  QStringList errors;
  StoredSettings s = store.read(&errors);
  EXPECT_EQ(s.Left, 12);
  s.Top = 44;
  EXPECT_TRUE(store.write(s, &errors));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  EXPECT_EQ(groupOnDisk().value("Top"), "44");
}

TEST_F(SettingsStoreTest, UnreadableFileGivesDefaultsAndOneReadFailure) {
  // A folder where the file should be cannot be read (not even by root) nor written.
  ASSERT_TRUE(QDir().mkpath(filePath()));
  SettingsStore store;
  store.open();
  QStringList errors;
  EXPECT_EQ(store.read(&errors), StoredSettings{});
  EXPECT_EQ(errors, QStringList{"Failed to get data for 'SAMode'"});
  errors.clear();
  EXPECT_FALSE(store.write(StoredSettings{}, &errors));
  EXPECT_EQ(errors, QStringList{"Failed to create key Varnex"});
  EXPECT_TRUE(QFileInfo(filePath()).isDir());
}

TEST_F(SettingsStoreTest, KeyFolderBlockedByAPlainFile) {
  // A plain file named ZEM: the key cannot be created, whoever runs the test.
  ASSERT_TRUE(QDir().mkpath(configHome_));
  {
    QFile blocker(keyFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
  }
  SettingsStore store;
  EXPECT_FALSE(store.open());
  QStringList errors;
  EXPECT_EQ(store.read(&errors), StoredSettings{});  // nothing to read: defaults
  StoredSettings changed;
  changed.Left = 5;
  EXPECT_FALSE(store.write(changed, &errors));
  EXPECT_EQ(errors, QStringList{"Failed to create key Varnex"});
  QFile blocker(keyFolder());
  ASSERT_TRUE(blocker.open(QIODevice::ReadOnly));
  EXPECT_EQ(blocker.readAll(), QByteArray("not a folder"));
}

// A write that fails half-way (here: the file size limit, which binds root too) must
// report it and leave the previous file exactly as it was.
TEST_F(SettingsStoreTest, FailedWriteKeepsThePreviousFile) {
  StoredSettings old;
  old.Left = 321;
  {
    SettingsStore first;
    first.open();
    ASSERT_TRUE(first.write(old, nullptr));
  }
  const QByteArray before = readRaw();
  ASSERT_FALSE(before.isEmpty());

  StoredSettings changed = old;
  changed.Left = 123456789;
  changed.Phase = -987654321;
  QStringList errors;
  bool written = true;
  {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 16;  // far less than the eleven values need
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    SettingsStore second;
    second.open();
    written = second.write(changed, &errors);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
  }
  EXPECT_FALSE(written);
  EXPECT_EQ(errors, QStringList{"Failed to set data for 'SAMode'"});
  EXPECT_EQ(readRaw(), before);
  // No temporary file is left beside it.
  EXPECT_EQ(QDir(keyFolder()).entryList(QDir::Files), QStringList{"Varnex.conf"});
}

// A read-only folder blocks the write for an ordinary user; root ignores the mode bits,
// so there the same outcome is checked through a folder standing in for the file.
TEST_F(SettingsStoreTest, ReadOnlyFolderKeepsThePreviousFile) {
  StoredSettings old;
  old.Top = 55;
  {
    SettingsStore first;
    first.open();
    ASSERT_TRUE(first.write(old, nullptr));
  }
  const QByteArray before = readRaw();
  StoredSettings changed = old;
  changed.Top = 66;
  QStringList errors;
  SettingsStore second;
  second.open();
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(QFile::encodeName(keyFolder()).constData(), 0500), 0);
    EXPECT_FALSE(second.write(changed, &errors));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.value(0) == "Failed to create key Varnex" ||
                errors.value(0) == "Failed to set data for 'SAMode'")
        << errors.value(0).toStdString();
    EXPECT_EQ(readRaw(), before);
  } else {
    ASSERT_TRUE(QFile::remove(filePath()));
    ASSERT_TRUE(QDir().mkpath(filePath()));
    EXPECT_FALSE(second.write(changed, &errors));
    EXPECT_EQ(errors, QStringList{"Failed to create key Varnex"});
  }
}

TEST_F(SettingsStoreTest, ReleasedStoreIsReopenedForASecondWrite) {
  SettingsStore store;
  store.open();
  StoredSettings s = store.read(nullptr);
  s.Left = 10;
  ASSERT_TRUE(store.write(s, nullptr));
  store.release();
  ASSERT_FALSE(store.isOpen());

  // Session end cancelled, then a second close query.
  s.Left = 20;
  QStringList errors;
  EXPECT_TRUE(store.write(s, &errors));
  EXPECT_TRUE(store.isOpen());
  EXPECT_TRUE(errors.isEmpty());
  EXPECT_EQ(groupOnDisk().value("Left"), "20");
}

TEST_F(SettingsStoreTest, EachOpenFollowsTheEnvironment) {
  SettingsStore store;
  store.open();
  StoredSettings s;
  s.OutDevice = 9;
  ASSERT_TRUE(store.write(s, nullptr));

  const QString other = dir_.path() + "/other";
  qputenv("XDG_CONFIG_HOME", other.toLocal8Bit());
  SettingsStore elsewhere;
  elsewhere.open();
  EXPECT_EQ(elsewhere.filePath(), other + "/ZEM/Varnex.conf");
  EXPECT_EQ(elsewhere.read(nullptr), StoredSettings{});

  // An explicit folder wins over the environment.
  SettingsStore pinned(configHome_);
  pinned.open();
  EXPECT_EQ(pinned.read(nullptr).OutDevice, 9);
}

// Each failure keeps its box text and tells stderr which file, and why.
TEST_F(SettingsStoreTest, FailuresNameTheFileAndTheReasonOnStderr) {
  auto read = [](SettingsStore& store, QStringList* errors) { store.read(errors); };
  auto write = [](SettingsStore& store, QStringList* errors) { store.write(StoredSettings{}, errors); };
  auto writeOverLimit = [&](SettingsStore& store, QStringList* errors) {
    ASSERT_TRUE(store.write(StoredSettings{}, nullptr));  // a file there already
    StoredSettings changed;
    changed.Left = 5;
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    store.write(changed, errors);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
  };
  auto fileIsAFolder = [this] { ASSERT_TRUE(QDir().mkpath(filePath())); };
  auto keyIsAFile = [this] {
    ASSERT_TRUE(QDir().mkpath(configHome_));
    QFile blocker(keyFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  };
  struct Case {
    const char* what;
    std::function<void()> setUp;
    std::function<void(SettingsStore&, QStringList*)> act;
    QString box;
    int reason;
  };
  const std::vector<Case> cases = {
      {"file is a folder, read", fileIsAFolder, read, "Failed to get data for 'SAMode'", EISDIR},
      {"file is a folder, write", fileIsAFolder, write, "Failed to create key Varnex", EISDIR},
      {"key folder is a file", keyIsAFile, write, "Failed to create key Varnex", ENOTDIR},
      {"file size limit", [] {}, writeOverLimit, "Failed to set data for 'SAMode'", EFBIG},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    moveConfigHome(QString("failure%1").arg(++n));
    c.setUp();
    SettingsStore store;
    store.open();
    QStringList errors;
    // stderr into a pipe, which no file size limit cuts short.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    c.act(store, &errors);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string told;
    char chunk[512];
    for (ssize_t got; (got = ::read(ends[0], chunk, sizeof chunk)) > 0;) told.append(chunk, size_t(got));
    close(ends[0]);
    EXPECT_EQ(errors, QStringList{c.box});
    EXPECT_NE(told.find(filePath().toStdString() + ": "), std::string::npos) << told;
    EXPECT_NE(told.find(std::strerror(c.reason)), std::string::npos) << told;
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
  }
}

TEST(SettingsStoreTexts, FailureTextsNameTheKeyOrValue) {
  EXPECT_EQ(app::FailedToCreateKeyText("Varnex"), "Failed to create key Varnex");
  EXPECT_EQ(app::FailedToSetDataText("Left"), "Failed to set data for 'Left'");
  EXPECT_EQ(app::FailedToGetDataText("Top"), "Failed to get data for 'Top'");
  EXPECT_EQ(app::InvalidDataTypeText("Mono"), "Invalid data type for 'Mono'");
}

}  // namespace
