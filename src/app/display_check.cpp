#include "app/display_check.hpp"

#include <sys/stat.h>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace app {

namespace {

constexpr const char* kHeadlessAdvice = "tovrel --headless runs without one (see tovrel --headless --help)";

bool set(const char* value) { return value && *value; }

// Qt's own option `name` ("-platform", "-display") in either spelling; null when absent.
const char* qtOption(int argc, char* argv[], std::string_view name) {
  for (int i = 1; i + 1 < argc; ++i) {
    std::string_view word = argv[i];
    if (word.starts_with("--")) word.remove_prefix(1);
    if (word == name) return argv[i + 1];
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> MissingDisplay(int argc, char* argv[], const std::function<const char*(const char*)>& env) {
  const bool x11 = set(env("DISPLAY")) || set(qtOption(argc, argv, "-display"));
  // Qt's Wayland client falls back to the socket "wayland-0" when WAYLAND_DISPLAY is unset.
  bool wayland = set(env("WAYLAND_DISPLAY"));
  if (!wayland && set(env("XDG_RUNTIME_DIR"))) {
    struct stat socket {};
    wayland = stat((std::string(env("XDG_RUNTIME_DIR")) + "/wayland-0").c_str(), &socket) == 0;
  }
  const char* forced = qtOption(argc, argv, "-platform");
  if (!set(forced)) forced = env("QT_QPA_PLATFORM");
  if (set(forced)) {
    // "wayland;xcb" lists fallbacks; "xcb:option" carries options. Any platform other than
    // the two display servers' needs no display of ours to check.
    std::string_view list = forced;
    while (!list.empty()) {
      const std::string_view entry = list.substr(0, list.find(';'));
      const std::string_view name = entry.substr(0, entry.find(':'));
      if (name == "xcb" ? x11 : name.starts_with("wayland") ? wayland : true) return std::nullopt;
      list.remove_prefix(std::min(list.size(), entry.size() + 1));
    }
  } else if (x11 || wayland) {
    return std::nullopt;
  }
  return "tovrel: no display found (DISPLAY and WAYLAND_DISPLAY are not set), so the window cannot open; " +
         std::string(kHeadlessAdvice);
}

namespace {

QtMessageHandler previousHandler = nullptr;

void exitOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    if (previousHandler) previousHandler(type, context, message);
    return;
  }
  // Qt's own text advises reinstalling, which would not help; its reason came as a warning.
  std::fprintf(stderr, "tovrel: no platform plugin of the window could open the display; %s\n", kHeadlessAdvice);
  std::_Exit(2);
}

}  // namespace

PlatformFailureGuard::PlatformFailureGuard() { previousHandler = qInstallMessageHandler(exitOnFatal); }

PlatformFailureGuard::~PlatformFailureGuard() { qInstallMessageHandler(previousHandler); }

}  // namespace app
