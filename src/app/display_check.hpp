#pragma once
// Whether the window's platform can reach a display, asked before Qt is: without one Qt
// aborts with its own advice, none of which names the run without a window.
#include <functional>
#include <optional>
#include <string>

namespace app {

// The line to print (and exit 2 with) when no display is there for the platform Qt would
// take; nullopt when there is one or the user forced a platform that needs none
// (offscreen, vnc, ...). `env` reads an environment variable (null: unset); `argv` may
// hold Qt's -platform and -display options.
std::optional<std::string> MissingDisplay(int argc, char* argv[], const std::function<const char*(const char*)>& env);

// While alive: a platform plugin that fails anyway (a display that is set but does not
// answer) ends the program with exit status 2 and the same advice, instead of an abort.
class PlatformFailureGuard {
 public:
  PlatformFailureGuard();
  ~PlatformFailureGuard();
  PlatformFailureGuard(const PlatformFailureGuard&) = delete;
  PlatformFailureGuard& operator=(const PlatformFailureGuard&) = delete;
};

}  // namespace app
