#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QString>

namespace app {

// The system version as the wide query reports it. The service-pack text holds at most
// kServicePackChars characters.
struct OsVersionRecord {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  uint32_t PlatformId = 0;
  QString CSDVersion;
};

// The same record from the narrow (ANSI) query, service-pack text in the system's
// narrow encoding.
struct AnsiOsVersionRecord {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  uint32_t PlatformId = 0;
  std::string CSDVersion;
};

constexpr int kServicePackChars = 127;

// The two version queries, tried wide first. An empty function, or nullopt, is a query
// that failed.
struct VersionQueries {
  std::function<std::optional<OsVersionRecord>()> wide;
  std::function<std::optional<AnsiOsVersionRecord>()> ansi;
};

// Shows one modal box with the error icon, one OK button and no owner window.
using ErrorBoxPresenter = std::function<void(const QString& caption, const QString& text)>;

inline constexpr const char* kIncompatibleOsCaption = "Incompatible OS version.";
inline constexpr const char* kIncompatibleOsText =
    "This code was compiled with no ANSI API support, and it seems that you are running the "
    "ANSI version of Windows.\r\n"
    "There could be some compatibility issues, so it is recommended that you contact your "
    "software vendor to resolve this problem.";

// The device library's start-up: query the system version (wide, else narrow) and warn
// once when it is older than the systems the program is built for (major version below
// 5). Without any version the check is skipped silently; start-up goes on in every case.
void InitDeviceLibrary(const VersionQueries& queries, const ErrorBoxPresenter& presenter);

// The program's own start-up, after InitFFT and before the application object exists:
// this platform's queries and the standard box. Linux has no such version query, so
// nothing is ever shown here.
void InitDeviceLibrary();

// This platform's version queries; on Linux both fail.
VersionQueries PlatformVersionQueries();

// The standard presenter: a QMessageBox::critical without a parent. Before the
// application object exists it makes a short-lived one for the box.
void ShowStartupErrorBox(const QString& caption, const QString& text);

// The version record the last InitDeviceLibrary() obtained (nullopt when both failed).
const std::optional<OsVersionRecord>& DeviceLibraryVersion();

}  // namespace app
