#pragma once
// What sets one running Tovrel apart from another on the same computer: its profile (a
// name for its own settings file and its own I/Q device), the lock that keeps a second
// instance of the same profile out, and what becomes of its device when it ends.
#include <QString>
#include <memory>

class QLockFile;

namespace app {

// Longest profile name: it becomes part of a file name and of the device's server names.
constexpr qsizetype kMaxProfileChars = 32;

// Empty when `name` can name a profile: 1 to kMaxProfileChars letters A-Z/a-z, digits, '-'
// or '_', starting with a letter or digit and not ending in "sink" (the server names of
// two devices would meet: "tovrel_iq_x_sink" is profile x's sink). Else the reason.
QString ProfileNameError(const QString& name);

// This process's profile, empty for the default instance; set once at start. It also names
// the I/Q device (wave::waveSetProfile).
void SetProfile(const QString& name);
const QString& Profile();

// The settings file's name in the ZEM folder: "Varnex.conf", or "Varnex-NAME.conf".
QString SettingsFileName(const QString& profile);

// The window title without counters: " Tovrel", or " Tovrel (NAME)".
QString WindowTitle();

// Held for the life of the instance: a lock file of the profile in $XDG_RUNTIME_DIR (else
// the temporary folder, under the user's id), whose holder's death frees it however the
// process ends. One that cannot be made at all refuses nothing.
class InstanceLock {
 public:
  explicit InstanceLock(const QString& profile);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Empty unless another Tovrel of the same profile holds the lock; then why this one
  // must not run, as one line for the user.
  QString refusal() const { return refusal_; }

 private:
  std::unique_ptr<QLockFile> file_;
  QString refusal_;
};

// Removes this instance's I/Q device at the end of a run; one that an SDR program still
// records is left in place (silence) and a line on stderr says so.
void RemoveOwnDeviceAtEnd();

}  // namespace app
