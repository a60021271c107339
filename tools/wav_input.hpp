// tovrel-convert's input: a 16-bit PCM mono WAV file, or a pipe carrying one, read through
// libsndfile; a recording whose header sizes were never written is read as far as it goes.
#pragma once

#include <sndfile.h>

#include <memory>
#include <string>

namespace convert {

constexpr int kMinRate = 2;  // a lower rate has no half rate to play the output at
constexpr int kMaxRate = 1000000;

// Opening throws ToolError (exit status 2) naming what is wrong with the file; a recovered
// recording is noted on stderr.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const SF_INFO& info() const;
  // The samples the header promises; a pipe's header may promise more than it brings.
  sf_count_t promisedSamples() const;
  // A regular file, whose samples are known when it is opened (not a pipe).
  bool lengthKnown() const;
  sf_count_t read(short* to, sf_count_t samples);
  // After the last read: a file that delivered less than it held when it was opened was cut
  // while it was read (an error); a pipe that ended early is noted.
  void checkComplete(sf_count_t done);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace convert
