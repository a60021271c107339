#pragma once
// SIGTERM, SIGINT and SIGHUP (a logout, kill, a service manager) close the window as its
// close button does: devices stopped and closed, settings written, exit status 0. A second
// one while closing ends the program at once.
#include <QObject>

class QSocketNotifier;
class QWidget;

namespace app {

// The handlers only write to a pipe; nothing of Qt runs in them. Installed as early as
// possible, so a signal that comes while the window is being built waits in the pipe.
void InstallQuitSignalHandlers();

// Reads the pipe on the window's thread and closes `window` (and any box open over it).
// The handlers go back to the default when it is destroyed.
class QuitSignals final : public QObject {
 public:
  explicit QuitSignals(QWidget* window);
  ~QuitSignals() override;
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  QSocketNotifier* notifier_;
};

}  // namespace app
