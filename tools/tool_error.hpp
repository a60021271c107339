// Errors of tovrel-convert: the message for stderr and the exit status that goes with it.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace convert {

constexpr int kExitBadInput = 2;     // command line or input file unusable; nothing written
constexpr int kExitWriteFailed = 1;  // the output could not be written; the target is untouched

struct ToolError {
  int status;
  std::string message;
};

inline std::string systemError() { return std::strerror(errno); }

}  // namespace convert
