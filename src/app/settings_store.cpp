#include "app/settings_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#include "app/instance.hpp"

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
void readNames(QSettings& file, const QString& path, StoredSettings& result, QStringList* errors);
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

// The bytes after "name=" on the name's line of the group, as they are in the file (the
// settings library reads invalid UTF-8 as U+FFFD); empty when there is no such line.
QByteArray rawLineValue(const QString& path, const char* name) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray key = QByteArray(name) + '=';
  bool inGroup = false;
  for (QByteArray line : file.readAll().split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.startsWith('['))
      inGroup = line == QByteArray("[") + SettingsStore::kGroup + "]";
    else if (inGroup && line.startsWith(key))
      return line.mid(key.size());
  }
  return {};
}

void readNames(QSettings& file, const QString& path, StoredSettings& result, QStringList* errors) {
  for (const StoredName& v : kStoredNames) {
    const QVariant stored = file.value(QLatin1String(v.name));
    if (!stored.isValid()) continue;
    if (stored.typeId() == QMetaType::QString) {
      const QString text = stored.toString();
      result.*(v.field) = text.toStdString();
      // A name that is not valid UTF-8 keeps its bytes, where the line holds them as they are.
      if (text.contains(QChar::ReplacementCharacter)) {
        const QByteArray raw = rawLineValue(path, v.name);
        if (QString::fromUtf8(raw) == text) result.*(v.field) = raw.toStdString();
      }
    } else if (stored.typeId() == QMetaType::QByteArray) {
      const QByteArray bytes = stored.toByteArray();  // a name written in its byte form
      result.*(v.field) = bytes.toStdString();
    } else {
      addError(errors, InvalidDataTypeText(QLatin1String(v.name)));
    }
  }
}

// A name that is valid UTF-8 is written as text, as always; any other is written in the
// library's byte form ("@ByteArray(...)"), which reads back byte for byte.
void writeNames(QSettings& file, const StoredSettings& settings) {
  for (const StoredName& v : kStoredNames) {
    const std::string& name = settings.*(v.field);
    const QString text = QString::fromStdString(name);
    if (text.toStdString() == name)
      file.setValue(QLatin1String(v.name), text);
    else
      file.setValue(QLatin1String(v.name), QByteArray(name.data(), static_cast<qsizetype>(name.size())));
  }
}

// Why the settings file cannot be read or written, from the system, for stderr: the box
// texts stay as they are and name neither.
std::string systemReason(int code) { return std::strerror(code); }

std::string whyNotReadable(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::stat(name.constData(), &st) != 0) return systemReason(errno);
  if (S_ISDIR(st.st_mode)) return systemReason(EISDIR);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return systemReason(errno);
  ::close(fd);
  return "unreadable";
}

std::string whyNotWritable(const QString& path, int writeErrno) {
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::stat(folder.constData(), &st) != 0) return systemReason(errno);
  if (!S_ISDIR(st.st_mode)) return systemReason(ENOTDIR);
  if (::access(folder.constData(), W_OK | X_OK) != 0) return systemReason(errno);
  if (::stat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode)) return systemReason(EISDIR);
  if (::access(name.constData(), F_OK) == 0 && ::access(name.constData(), W_OK) != 0) return systemReason(errno);
  return writeErrno != 0 ? systemReason(writeErrno) : "the file could not be written";
}

void tellStderr(const QString& path, const char* what, const std::string& reason) {
  std::fprintf(stderr, "tovrel: %s: %s: %s\n", QFile::encodeName(path).constData(), what, reason.c_str());
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

// The length of the valid UTF-8 sequence at `at`, or 0: no overlong forms, no surrogates,
// nothing above U+10FFFF.
size_t validSequence(const std::string& s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > s.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

constexpr char16_t kEscapedByteBase = 0xDC00;

}  // namespace

QString NameFromBytes(const std::string& bytes) {
  QString name;
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = validSequence(bytes, at);
    if (length == 0) {
      name.append(QChar(char16_t(kEscapedByteBase + static_cast<unsigned char>(bytes[at]))));
      ++at;
    } else {
      name.append(QString::fromUtf8(bytes.data() + at, static_cast<qsizetype>(length)));
      at += length;
    }
  }
  return name;
}

std::string NameToBytes(const QString& name) {
  std::string bytes;
  for (qsizetype i = 0; i < name.size(); ++i) {
    const QChar c = name.at(i);
    const bool pair = c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
    if (c.unicode() >= kEscapedByteBase + 0x80 && c.unicode() <= kEscapedByteBase + 0xFF) {
      bytes += static_cast<char>(c.unicode() - kEscapedByteBase);
    } else {
      bytes += QString(name.constData() + i, pair ? 2 : 1).toStdString();
      if (pair) ++i;
    }
  }
  return bytes;
}

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
  filePath_ = keyFolder + QLatin1Char('/') + SettingsFileName(Profile());
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
    tellStderr(filePath_, "cannot read the settings", whyNotReadable(filePath_));
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
  readNames(file, filePath_, result, errors);
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
    tellStderr(filePath_, "cannot write the settings", whyNotWritable(filePath_, 0));
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
  errno = 0;
  file.sync();
  const int writeErrno = errno;
  if (file.status() == QSettings::AccessError) {
    addError(errors, FailedToSetDataText(QLatin1String(kStoredValues.front().name)));
    tellStderr(filePath_, "cannot write the settings", whyNotWritable(filePath_, writeErrno));
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
