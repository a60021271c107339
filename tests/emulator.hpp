#pragma once
// A cross-built test runs under an emulator (TOVREL_TEST_EMULATOR: its command, words split
// by spaces); the programs it starts must run under it too.
#include <sys/syscall.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

inline std::vector<std::string> emulatorCommand() {
  std::vector<std::string> words;
#ifdef TOVREL_TEST_EMULATOR
  std::istringstream in(TOVREL_TEST_EMULATOR);
  for (std::string word; in >> word;) words.push_back(word);
#endif
  return words;
}

// The command line that runs `program` with `args` here: under the emulator when there is one.
inline std::vector<std::string> commandLine(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words = emulatorCommand();
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

inline bool underEmulator() { return !emulatorCommand().empty(); }

// The variable that preloads `library` into started programs: under qemu it must reach the
// program only (QEMU_SET_ENV), as the emulator itself is a program of the build machine.
inline std::pair<std::string, std::string> preloadVariable(const std::string& library) {
  if (underEmulator()) return {"QEMU_SET_ENV", "LD_PRELOAD=" + library};
  return {"LD_PRELOAD", library};
}

// The number of write(2) as /proc/PID/syscall shows it for a started program: the emulator
// is a program of the build machine, so it makes the build machine's calls.
#ifdef TOVREL_TEST_HOST_SYS_WRITE
constexpr long kStartedProgramWriteCall = TOVREL_TEST_HOST_SYS_WRITE;
#else
constexpr long kStartedProgramWriteCall = SYS_write;
#endif

}  // namespace test_support
