#include "app/instance.hpp"

#include <unistd.h>

#include <QDir>
#include <QLockFile>
#include <cstdio>

#include "app/settings_store.hpp"
#include "wave/wave.hpp"

namespace app {

namespace {

QString& profileName() {
  static QString name;
  return name;
}

bool asciiAlnum(QChar c) {
  return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
         (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

QString describeProfile(const QString& profile) {
  return profile.isEmpty() ? QStringLiteral("the default settings") : QStringLiteral("profile \"%1\"").arg(profile);
}

}  // namespace

QString ProfileNameError(const QString& name) {
  const QString rule =
      QStringLiteral(
          "a profile name is 1 to %1 letters (A-Z, a-z), digits, '-' or '_', starting with a letter or digit and not "
          "ending in \"sink\"")
          .arg(kMaxProfileChars);
  bool ok = !name.isEmpty() && name.size() <= kMaxProfileChars && asciiAlnum(name.front()) &&
            !name.endsWith(QLatin1String("sink"));
  for (const QChar c : name) ok = ok && (asciiAlnum(c) || c == QLatin1Char('-') || c == QLatin1Char('_'));
  return ok ? QString() : QStringLiteral("--profile \"%1\": %2").arg(name, rule);
}

void SetProfile(const QString& name) {
  profileName() = name;
  wave::waveSetProfile(name.toStdString());
}

const QString& Profile() { return profileName(); }

QString SettingsFileName(const QString& profile) {
  const QString base = QLatin1String(SettingsStore::kApplication);
  return (profile.isEmpty() ? base : base + QLatin1Char('-') + profile) + QStringLiteral(".conf");
}

QString WindowTitle() {
  return Profile().isEmpty() ? QStringLiteral(" Tovrel") : QStringLiteral(" Tovrel (%1)").arg(Profile());
}

InstanceLock::InstanceLock(const QString& profile) {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  QString name = profile.isEmpty() ? QStringLiteral("tovrel") : QStringLiteral("tovrel-%1").arg(profile);
  if (folder.isEmpty() || !QDir(folder).exists()) {
    // A folder every user shares: the user's id keeps one user's lock from stopping another.
    folder = QDir::tempPath();
    name += QStringLiteral("-uid%1").arg(getuid());
  }
  file_ = std::make_unique<QLockFile>(folder + QLatin1Char('/') + name + QStringLiteral(".lock"));
  // Only a lock whose process has gone is stale, however old it is.
  file_->setStaleLockTime(0);
  // A lock file that cannot be made at all keeps no one out: the instance runs unguarded.
  if (file_->tryLock(0) || file_->error() != QLockFile::LockFailedError) return;
  qint64 pid = 0;
  QString host;
  QString application;
  const QString who =
      file_->getLockInfo(&pid, &host, &application) ? QStringLiteral(" (process %1)").arg(pid) : QString();
  refusal_ = QStringLiteral(
                 "Tovrel already runs with %1%2: a second one would share its settings and its I/Q device. "
                 "Close it, or start this one with another --profile NAME.")
                 .arg(describeProfile(profile), who);
}

InstanceLock::~InstanceLock() = default;

void RemoveOwnDeviceAtEnd() {
  const std::string left = wave::waveRemoveOwnDevices();
  if (left.empty()) return;
  std::fprintf(stderr,
               "tovrel: \"%s\" is left in place, silent, because an SDR program still records it; the next start of "
               "%s takes it over\n",
               left.c_str(), describeProfile(Profile()).toLocal8Bit().constData());
}

}  // namespace app
