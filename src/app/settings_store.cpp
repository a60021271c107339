#include "app/settings_store.hpp"

#include <array>
#include <utility>

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

namespace app {

namespace {

// One stored value: its name, its default and the field it fills. Exactly one of the
// two field pointers is set. Reading and writing both walk this table, in this order.
struct StoredValue {
  const char* name;
  int32_t defaultValue;
  int32_t StoredSettings::*integer;
  bool StoredSettings::*boolean;
};

constexpr std::array<StoredValue, 11> kStoredValues{{
    {"SAMode", 1, &StoredSettings::SAMode, nullptr},
    {"InvertOut", 0, nullptr, &StoredSettings::InvertOut},
    {"InDevice", 0, &StoredSettings::InDevice, nullptr},
    {"OutDevice", 0, &StoredSettings::OutDevice, nullptr},
    {"Spectr", 1, nullptr, &StoredSettings::Spectr},
    {"Left", 100, &StoredSettings::Left, nullptr},
    {"Top", 100, &StoredSettings::Top, nullptr},
    {"Mono", 1, nullptr, &StoredSettings::Mono},
    {"Phase", 0, &StoredSettings::Phase, nullptr},
    {"Bitrate", kDefaultRateIndex, &StoredSettings::Bitrate, nullptr},
    {"LogSpectr", 1, nullptr, &StoredSettings::LogSpectr},
}};

// The device names, read and written after the eleven values; missing gives empty text.
struct StoredName {
  const char* name;
  std::string StoredSettings::*field;
};

const std::array<StoredName, 2> kStoredNames{{
    {"InDeviceName", &StoredSettings::InDeviceName},
    {"OutDeviceName", &StoredSettings::OutDeviceName},
}};

// The group is open. A name that is not plain text is refused like a number would be.
void readNames(QSettings& file, StoredSettings& result, QStringList* errors);
void writeNames(QSettings& file, const StoredSettings& settings);

constexpr int32_t fieldValue(const StoredSettings& s, const StoredValue& v) {
  return v.integer != nullptr ? s.*(v.integer) : (s.*(v.boolean) ? 1 : 0);
}

// A default-constructed StoredSettings must be what the table calls the defaults.
constexpr bool defaultsAgree() {
  const StoredSettings defaults;
  for (const StoredValue& v : kStoredValues) {
    if ((v.integer == nullptr) == (v.boolean == nullptr)) return false;
    if (fieldValue(defaults, v) != v.defaultValue) return false;
  }
  return true;
}
static_assert(defaultsAgree(), "StoredSettings defaults differ from the value table");

void setField(StoredSettings& s, const StoredValue& v, int32_t value) {
  if (v.integer != nullptr)
    s.*(v.integer) = value;
  else
    s.*(v.boolean) = value != 0;
}

void addError(QStringList* errors, const QString& text) {
  if (errors != nullptr) errors->append(text);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void readNames(QSettings& file, StoredSettings& result, QStringList* errors) {
  for (const StoredName& v : kStoredNames) {
    const QVariant stored = file.value(QLatin1String(v.name));
    if (!stored.isValid()) continue;
    if (stored.typeId() == QMetaType::QString)
      result.*(v.field) = stored.toString().toStdString();
    else
      addError(errors, InvalidDataTypeText(QLatin1String(v.name)));
  }
}

void writeNames(QSettings& file, const StoredSettings& settings) {
  for (const StoredName& v : kStoredNames)
    file.setValue(QLatin1String(v.name), QString::fromStdString(settings.*(v.field)));
}

// The mode switch, read and written after the names. Missing or not an integer gives block
// mode; any non-zero integer is stream mode and is written back as 1.
constexpr const char* kStreamModeName = "StreamMode";

void readStreamMode(QSettings& file, StoredSettings& result, QStringList* errors) {
  const QVariant stored = file.value(QLatin1String(kStreamModeName));
  if (!stored.isValid() || stored.typeId() == QMetaType::QStringList) return;
  if (stored.typeId() != QMetaType::QString) {
    addError(errors, InvalidDataTypeText(QLatin1String(kStreamModeName)));
    return;
  }
  if (const auto parsed = ParseStoredInteger(stored.toString().toStdString())) result.StreamMode = *parsed != 0 ? 1 : 0;
}

}  // namespace

std::optional<int32_t> ParseStoredInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;

  // Decimal text must fit int32_t as written; hexadecimal text is a 32-bit pattern.
  const uint64_t base = hex ? 16 : 10;
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0 || static_cast<uint64_t>(digit) >= base) return std::nullopt;
    magnitude = magnitude * base + static_cast<uint64_t>(digit);
    if (magnitude > limit) return std::nullopt;
  }

  uint32_t bits = static_cast<uint32_t>(magnitude);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

QString FailedToCreateKeyText(const QString& key) { return QStringLiteral("Failed to create key %1").arg(key); }
QString FailedToSetDataText(const QString& value) { return QStringLiteral("Failed to set data for '%1'").arg(value); }
QString FailedToGetDataText(const QString& value) { return QStringLiteral("Failed to get data for '%1'").arg(value); }
QString InvalidDataTypeText(const QString& value) { return QStringLiteral("Invalid data type for '%1'").arg(value); }

SettingsStore::SettingsStore(QString configRoot) : configRoot_(std::move(configRoot)) {}

bool SettingsStore::open() {
  QString root = configRoot_;
  if (root.isEmpty()) root = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (root.isEmpty()) root = QDir::homePath() + QStringLiteral("/.config");
  const QString keyFolder = root + QLatin1Char('/') + QLatin1String(kOrganisation);
  filePath_ = keyFolder + QLatin1Char('/') + QLatin1String(kApplication) + QStringLiteral(".conf");
  open_ = true;
  return QDir().mkpath(keyFolder);
}

void SettingsStore::release() { open_ = false; }

StoredSettings SettingsStore::read(QStringList* errors) {
  if (!open_) open();
  StoredSettings result;

  QSettings file(filePath_, QSettings::IniFormat);
  // An unreadable file fails the whole read; a malformed line (FormatError) does not,
  // since QSettings still hands over every value it could parse.
  if (file.status() == QSettings::AccessError) {
    addError(errors, FailedToGetDataText(QLatin1String(kStoredValues.front().name)));
    return result;
  }

  file.beginGroup(QLatin1String(kGroup));
  for (const StoredValue& v : kStoredValues) {
    const QVariant stored = file.value(QLatin1String(v.name));
    int32_t value = v.defaultValue;
    if (!stored.isValid()) {
      // Missing: the default, silently.
    } else if (stored.typeId() == QMetaType::QStringList) {
      // QSettings splits text at unquoted commas into a list; such text is no integer,
      // so it gives the default silently like any other text that is not a number.
    } else if (stored.typeId() != QMetaType::QString) {
      // "@ByteArray(..)" and the like are values of another type, not text.
      addError(errors, InvalidDataTypeText(QLatin1String(v.name)));
    } else if (const auto parsed = ParseStoredInteger(stored.toString().toStdString())) {
      value = *parsed;
    }
    setField(result, v, value);
  }
  readNames(file, result, errors);
  readStreamMode(file, result, errors);
  file.endGroup();

  if (result.Bitrate < 0 || result.Bitrate >= kRateCount) result.Bitrate = kDefaultRateIndex;
  return result;
}

bool SettingsStore::write(const StoredSettings& settings, QStringList* errors) {
  if (!open_) open();

  QSettings file(filePath_, QSettings::IniFormat);
  // Also creates the folder if it went missing; false when the file or its folder
  // cannot be written (a read-only folder, a plain file where the folder should be).
  if (!file.isWritable()) {
    addError(errors, FailedToCreateKeyText(QLatin1String(kGroup)));
    return false;
  }

  file.beginGroup(QLatin1String(kGroup));
  for (const StoredValue& v : kStoredValues)
    file.setValue(QLatin1String(v.name), QString::number(fieldValue(settings, v)));
  writeNames(file, settings);
  file.setValue(QLatin1String(kStreamModeName), QString::number(settings.StreamMode != 0 ? 1 : 0));
  file.endGroup();

  // QSettings replaces the file through a temporary one, so a failure here leaves the
  // previous file untouched. FormatError only means the old file had a malformed line.
  file.sync();
  if (file.status() == QSettings::AccessError) {
    addError(errors, FailedToSetDataText(QLatin1String(kStoredValues.front().name)));
    return false;
  }
  return true;
}

bool SettingsStore::holds(const char* name) {
  if (!open_) open();
  QSettings file(filePath_, QSettings::IniFormat);
  return file.contains(QLatin1String(kGroup) + QLatin1Char('/') + QLatin1String(name));
}

}  // namespace app
