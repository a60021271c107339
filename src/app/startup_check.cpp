#include "app/startup_check.hpp"

#include <memory>

#include <QApplication>
#include <QMessageBox>

namespace app {

namespace {

std::optional<OsVersionRecord>& storedVersion() {
  static std::optional<OsVersionRecord> version;
  return version;
}

std::optional<OsVersionRecord> queryVersion(const VersionQueries& queries) {
  if (queries.wide) {
    if (auto wide = queries.wide()) {
      wide->CSDVersion.truncate(kServicePackChars);
      return wide;
    }
  }
  if (queries.ansi) {
    if (const auto ansi = queries.ansi()) {
      OsVersionRecord record;
      record.MajorVersion = ansi->MajorVersion;
      record.MinorVersion = ansi->MinorVersion;
      record.BuildNumber = ansi->BuildNumber;
      record.PlatformId = ansi->PlatformId;
      record.CSDVersion = QString::fromLocal8Bit(ansi->CSDVersion).left(kServicePackChars);
      return record;
    }
  }
  return std::nullopt;
}

}  // namespace

void InitDeviceLibrary(const VersionQueries& queries, const ErrorBoxPresenter& presenter) {
  storedVersion() = queryVersion(queries);
  // Major version 5 is the oldest system the program is built for; the comparison is
  // unsigned, as the record's field is.
  if (storedVersion() && storedVersion()->MajorVersion < 5u && presenter)
    presenter(QString::fromLatin1(kIncompatibleOsCaption), QString::fromLatin1(kIncompatibleOsText));
}

void InitDeviceLibrary() { InitDeviceLibrary(PlatformVersionQueries(), ShowStartupErrorBox); }

VersionQueries PlatformVersionQueries() {
  // No system version query exists here: both stay empty, that is, both fail.
  return {};
}

void ShowStartupErrorBox(const QString& caption, const QString& text) {
  std::unique_ptr<QApplication> temporary;
  if (QApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "tovrel";
    static char* argv[] = {name, nullptr};
    temporary = std::make_unique<QApplication>(argc, argv);
  }
  QMessageBox::critical(nullptr, caption, text, QMessageBox::Ok);
}

const std::optional<OsVersionRecord>& DeviceLibraryVersion() { return storedVersion(); }

}  // namespace app
