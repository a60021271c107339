#include "headless/headless_main.hpp"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/device_lists.hpp"
#include "app/instance.hpp"
#include "app/settings_store.hpp"
#include "dsp/fft.hpp"
#include "headless/headless_options.hpp"
#include "headless/headless_service.hpp"

namespace headless {

bool Requested(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--headless") == 0) return true;
  return false;
}

int Main(int argc, char* argv[]) {
  const ParsedOptions parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "tovrel: %s\n", parsed.error.c_str());
    return 2;
  }
  const Options& options = parsed.options;
  if (options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs("Tovrel " TOVREL_VERSION "\n", stdout);
    return 0;
  }
  const QString profile = QString::fromStdString(options.profile.value_or(""));
  if (options.profile) {
    if (const QString error = app::ProfileNameError(profile); !error.isEmpty()) {
      std::fprintf(stderr, "tovrel: %s\n", qPrintable(error));
      return 2;
    }
  }
  app::SetProfile(profile);
  if (options.listDevices) {
    if (ListDevices()) return 0;
    std::fprintf(stderr, "tovrel: %s\n", qPrintable(app::NoSoundServerText()));
    return 1;
  }

  const app::InstanceLock lock(profile);
  if (!lock.refusal().isEmpty()) {
    std::fprintf(stderr, "tovrel: %s\n", qPrintable(lock.refusal()));
    return 1;
  }

  // The signals are taken from a descriptor by the service's loop; blocked before any
  // thread starts, so every device worker and the engine inherit the mask.
  sigset_t handled;
  sigemptyset(&handled);
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  const int signalFd = signalfd(-1, &handled, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("tovrel: signalfd");
    return 1;
  }

  // Read only: a run without a window never writes the settings back. The store makes its
  // folder when it opens, so without a folder (nothing stored yet) it is not opened at all.
  QString root = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (root.isEmpty()) root = QDir::homePath() + QStringLiteral("/.config");
  app::StoredSettings stored;
  HeldChoices held{false, false};
  QStringList errors;
  if (QFileInfo::exists(root + QLatin1Char('/') + QLatin1String(app::SettingsStore::kOrganisation))) {
    app::SettingsStore store;
    stored = store.read(&errors);
    held = {store.holds("InDevice") || store.holds("InDeviceName"),
            store.holds("OutDevice") || store.holds("OutDeviceName")};
  }
  for (const QString& text : errors) std::fprintf(stderr, "tovrel: settings: %s\n", qPrintable(text));
  const RunConfig config = Resolve(stored, options, held);

  dsp::InitFFT();
  int status = 0;
  {
    Service service(config, options.verbose);
    status = service.run(signalFd);
  }
  dsp::DoneFFT();
  close(signalFd);
  return status;
}

}  // namespace headless
