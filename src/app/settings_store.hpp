#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <QString>
#include <QStringList>

namespace app {

// The user's choices and the window position, as kept between runs. Field names follow
// the stored value names; the defaults are what a first run (or an unreadable value)
// gets. "Spectr" holds the output inversion, "Mono" the I/Q conversion and "InvertOut"
// the edge filter: the stored names stay as they are, so every settings file reads alike.
struct StoredSettings {
  int32_t SAMode = 1;
  bool InvertOut = false;
  int32_t InDevice = 0;
  int32_t OutDevice = 0;
  bool Spectr = true;
  int32_t Left = 100;
  int32_t Top = 100;
  bool Mono = true;
  int32_t Phase = 0;
  int32_t Bitrate = 2;
  bool LogSpectr = true;
  // Beside the eleven: the server names of the chosen devices ("InDeviceName",
  // "OutDeviceName"); empty for the mapper, or in a file written before names were kept.
  // Bytes, usually UTF-8: any other name is stored in the byte form "@ByteArray(...)",
  // and one whose invalid bytes stand raw in the file keeps them, so every name reads
  // back byte for byte.
  std::string InDeviceName;
  std::string OutDeviceName;
  // After the names: "StreamMode", 0 = block mode (the default, and what a file written
  // before it was kept reads as), anything else = live stream mode. Written as 0 or 1.
  int32_t StreamMode = 0;

  bool operator==(const StoredSettings&) const = default;
};

// Number of entries of the rate box; a stored "Bitrate" outside 0 .. kRateCount-1 is
// replaced by kDefaultRateIndex (48000 Hz), so start-up always has a rate to configure.
constexpr int32_t kRateCount = 15;
constexpr int32_t kDefaultRateIndex = 2;

// Parses the text of a stored integer. Accepted: leading spaces (not tabs or other
// control characters), an optional '+' or '-', then either decimal digits whose value
// fits int32_t, or a hexadecimal number after '$', "0x" or "0X" of at most 32 bits
// (leading zeros do not count), taken as the two's complement int32_t of that bit
// pattern, so "$FFFFFFFF" is -1. A sign before a hexadecimal number negates that
// int32_t modulo 2^32 ("-$10" is -16, "-$80000000" is INT32_MIN). Anything else - empty
// or blank text, a lone sign or prefix, a blank after the sign, trailing characters
// (trailing blanks included), or a value outside those ranges - gives nullopt, and the
// caller uses the value's default.
std::optional<int32_t> ParseStoredInteger(std::string_view text);

// A device name's bytes as the window holds them, and back, losing no byte: valid UTF-8
// reads as its text; each byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC80 + (byte - 0x80) ... U+DCFF, which no valid text holds, and is turned back into it.
QString NameFromBytes(const std::string& bytes);
std::string NameToBytes(const QString& name);

// Failure texts of the store, shown to the user in an error box by the window.
QString FailedToCreateKeyText(const QString& key);
QString FailedToSetDataText(const QString& value);
QString FailedToGetDataText(const QString& value);
QString InvalidDataTypeText(const QString& value);

// The settings file: an INI file "<config>/ZEM/Varnex.conf" whose group [Varnex] holds
// the eleven values, each as text ("SAMode=1", booleans "0"/"1"), then the two device
// names (InDeviceName, OutDeviceName). <config> is
// $XDG_CONFIG_HOME (or ~/.config), the place QSettings uses for organisation "ZEM" and
// application "Varnex"; the folder ZEM plays the part of the program's key, the group
// [Varnex] that of its subkey. The path is worked out at open() from the environment of
// that moment (QSettings itself caches it per process), so tests can move it. An
// instance with a profile keeps its settings beside it in "<config>/ZEM/Varnex-NAME.conf"
// (same layout; see instance.hpp).
//
// Life cycle: open() once at load, read(), then write() once at the close query, then
// release(). write() on a released store reopens it first, so a second close query (after
// a cancelled session end) writes through a fresh store rather than a released one.
// Failures never throw: read() gives defaults for what it could not read, write() leaves
// the previous file as it was (the file is replaced atomically), and each failure adds
// its text to `errors` when that is not null.
class SettingsStore {
 public:
  static constexpr const char* kOrganisation = "ZEM";
  static constexpr const char* kApplication = "Varnex";
  static constexpr const char* kGroup = "Varnex";

  // `configRoot` overrides the configuration folder (an empty string: from the
  // environment at open()).
  explicit SettingsStore(QString configRoot = {});

  // Works out the file's path and creates the ZEM folder when it is missing. The result
  // says whether the folder exists now; loading goes on either way.
  bool open();
  bool isOpen() const { return open_; }
  void release();

  // The file this store reads and writes; empty until the first open().
  QString filePath() const { return filePath_; }

  // Reads the values in their fixed order. A missing file, group or value gives the
  // default silently; text that is not an integer too (text with a comma included). A
  // value of another type (a byte array, ...) gives the default and "Invalid data type
  // for '<name>'"; an unreadable file gives the defaults and one "Failed to get data for
  // '<first name>'". Reading needs an open store (an unopened one opens itself).
  // Failures also write the file's path and the system's reason to stderr.
  StoredSettings read(QStringList* errors);

  // Writes all values in their fixed order as text, reopening a released store first.
  // A location that cannot be written gives "Failed to create key Varnex"; a failed
  // write of the file gives "Failed to set data for '<first name>'". Returns success.
  bool write(const StoredSettings& settings, QStringList* errors);

  // Whether the file holds the value `name` in any form: a choice that was stored rather
  // than a default. Needs an open store, like read().
  bool holds(const char* name);

 private:
  QString configRoot_;
  QString filePath_;
  bool open_ = false;
};

}  // namespace app
