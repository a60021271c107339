#include "app/quit_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <csignal>

namespace app {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
int pipeFds[2] = {-1, -1};
volatile sig_atomic_t closing = 0;

void onQuitSignal(int signo) {
  if (closing) {
    // The close is taking too long for whoever sends a second signal.
    std::signal(signo, SIG_DFL);
    std::raise(signo);
    return;
  }
  closing = 1;
  const int saved = errno;
  const char byte = 1;
  (void)!write(pipeFds[1], &byte, 1);
  errno = saved;
}

void setHandlers(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int s : kQuitSignals) sigaddset(&action.sa_mask, s);
  action.sa_flags = SA_RESTART;
  for (const int s : kQuitSignals) sigaction(s, &action, nullptr);
}

}  // namespace

void InstallQuitSignalHandlers() {
  if (pipeFds[0] >= 0 || pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  setHandlers(onQuitSignal);
}

QuitSignals::QuitSignals(QWidget* window) : notifier_(new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this)) {
  connect(notifier_, &QSocketNotifier::activated, window, [this, window] {
    char byte = 0;
    (void)!read(pipeFds[0], &byte, 1);
    notifier_->setEnabled(false);
    // A box's nested loop would keep the program running: each open box is dismissed as
    // its OK would, and the window closes once the handlers that opened them are done.
    while (QWidget* box = QApplication::activeModalWidget()) {
      if (auto* dialog = qobject_cast<QDialog*>(box)) dialog->reject();
      box->hide();
      if (QApplication::activeModalWidget() == box) break;
    }
    QTimer::singleShot(0, window, &QWidget::close);
  });
}

QuitSignals::~QuitSignals() { setHandlers(SIG_DFL); }

}  // namespace app
