// tovrel-convert's output: written unnamed in the target's folder, so that nothing of a run
// that dies is left behind, and given its name and renamed over the target only when complete.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace convert {

// The file a link as OUTPUT names, followed to its end, so that replacing the output keeps
// the link and replaces what it points to (which may not exist yet).
std::filesystem::path resolveLinks(const std::filesystem::path& output);

// Refuses an output that would overwrite the input or is not a file; returns the
// permission bits the finished file gets (an existing target keeps its own).
mode_t checkOutputTarget(const std::string& input, const std::filesystem::path& target, const std::string& output);

// Removes a named temporary output on every signal that ends the process and can be caught.
void removeTemporaryOnSignals();

// Failures throw ToolError (exit status 1) naming the output; a file not committed is
// discarded when the object goes.
class OutputFile {
 public:
  OutputFile(const std::filesystem::path& target, const std::string& output, mode_t mode);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const;
  // Makes the finished file durable and puts it in the target's place in one step.
  void commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace convert
