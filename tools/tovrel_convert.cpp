// tovrel-convert: offline conversion of a mono 16-bit WAV file into an I/Q stereo WAV
// file at half the rate, through the same converter as the live program.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"

namespace {

constexpr int kExitBadInput = 2;    // command line or input file unusable; nothing written
constexpr int kExitWriteFailed = 1; // the output could not be written; the target is untouched
constexpr int kMinRate = 2;         // a lower rate has no half rate to play the output at
constexpr int kMaxRate = 1000000;
constexpr sf_count_t kProgressMinFrames = 8 * 32768;
constexpr sf_count_t kUnknownLength = sf_count_t{1} << 48;
constexpr size_t kTempStemBytes = 200;

const char kUsage[] =
    "Usage: tovrel-convert [--no-iq] [--invert] [--edge-filter] INPUT.wav OUTPUT.wav\n"
    "\n"
    "Converts a 16-bit PCM mono WAV file (2 ... 1000000 Hz) the way Tovrel converts live\n"
    "audio: the band 0 ... rate/2 is shifted down by rate/4 into a complex I/Q signal,\n"
    "written as a 16-bit PCM stereo WAV file at rate/2 (integer halving), left I, right Q.\n"
    "Every 32768 input samples become 16384 output frames; the output has n/2 frames.\n"
    "\n"
    "  --no-iq        no conversion: the input samples are written in pairs as stereo frames\n"
    "  --invert       invert the output spectrum (the two halves of the band swap places)\n"
    "  --edge-filter  taper the 45 bins at each end of the band (DC and rate/2 removed)\n"
    "  --help         show this text\n"
    "\n"
    "OUTPUT.wav is replaced only when the conversion succeeds. Exit status: 0 success,\n"
    "2 bad command line or input file (nothing written), 1 the output could not be written.\n";

struct ToolError {
  int status;
  std::string message;
};

struct Options {
  dsp::ConverterSwitches switches;
  std::string input;
  std::string output;
};

// The temporary output, removed on failure and on a terminating signal so that no
// half-written file is left beside the target.
char g_tempPath[PATH_MAX];
volatile sig_atomic_t g_tempActive = 0;

void removeTempOnSignal(int sig) {
  if (g_tempActive) unlink(g_tempPath);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

Options parseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsEnded = true;
      } else if (arg == "--no-iq") {
        options.switches.IQ = false;
      } else if (arg == "--invert") {
        options.switches.InvertSpectrum = true;
      } else if (arg == "--edge-filter") {
        options.switches.EdgeFilter = true;
      } else {
        throw ToolError{kExitBadInput, "unknown option '" + arg + "' (see --help)"};
      }
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) throw ToolError{kExitBadInput, "expected INPUT.wav and OUTPUT.wav (see --help)"};
  options.input = files[0];
  options.output = files[1];
  return options;
}

std::string formatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name) return info.name;
  char text[32];
  std::snprintf(text, sizeof text, "format 0x%x", static_cast<unsigned>(format));
  return text;
}

// Opens the input and checks that it is what the live program records: 16-bit PCM mono.
SNDFILE* openInput(const std::string& path, SF_INFO& info) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ToolError{kExitBadInput, path + ": cannot open: " + std::strerror(errno)};
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    throw ToolError{kExitBadInput, path + ": is a directory"};
  }
  info = SF_INFO{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
  if (!file) {
    const std::string reason = sf_strerror(nullptr);
    close(fd);
    throw ToolError{kExitBadInput, path + ": not a readable WAV file (" + reason + ")"};
  }
  const int major = info.format & SF_FORMAT_TYPEMASK;
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  std::string problem;
  if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX)
    problem = "not a WAV file (" + formatName(major) + ")";
  else if (subtype != SF_FORMAT_PCM_16)
    problem = "not 16-bit PCM (" + formatName(subtype) + ")";
  else if (info.channels != 1)
    problem = "not mono (" + std::to_string(info.channels) + " channels)";
  else if (info.samplerate < kMinRate || info.samplerate > kMaxRate)
    problem = "sample rate " + std::to_string(info.samplerate) + " Hz out of range (" + std::to_string(kMinRate) +
              " ... " + std::to_string(kMaxRate) + " Hz)";
  if (!problem.empty()) {
    sf_close(file);
    throw ToolError{kExitBadInput, path + ": " + problem};
  }
  return file;
}

// Refuses an output that would overwrite the input or is not a file; returns the
// permission bits the finished file gets (an existing target keeps its own).
mode_t checkOutputTarget(const std::string& input, const std::string& output) {
  struct stat in {}, out {};
  const mode_t mask = umask(0);
  umask(mask);
  if (stat(output.c_str(), &out) != 0) return 0666 & ~mask;
  if (S_ISDIR(out.st_mode)) throw ToolError{kExitBadInput, output + ": is a directory"};
  // The finished file is renamed over the target, which would destroy a device node or a
  // named pipe (/dev/null run as root); only a regular file, or a link naming one, is
  // replaced by the new file.
  if (!S_ISREG(out.st_mode)) throw ToolError{kExitBadInput, output + ": not a regular file"};
  if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
    throw ToolError{kExitBadInput, "INPUT and OUTPUT are the same file (" + output + ")"};
  return out.st_mode & 07777;
}

class Progress {
 public:
  // Only for a person watching, and only when the length is known (not for a pipe).
  explicit Progress(sf_count_t total)
      : total_(total), shown_(isatty(STDERR_FILENO) && total >= kProgressMinFrames && total < kUnknownLength) {}
  void update(sf_count_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(100 * std::min(done, total_) / total_);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\rtovrel-convert: %3d%%", percent);
    std::fflush(stderr);
  }
  void finish() {
    if (shown_ && last_ >= 0) std::fprintf(stderr, "\r%*s\r", 20, "");
  }

 private:
  sf_count_t total_;
  bool shown_;
  int last_ = -1;
};

void convertFile(const Options& options) {
  SF_INFO inInfo;
  SNDFILE* in = openInput(options.input, inInfo);
  struct InputCloser {
    SNDFILE* file;
    ~InputCloser() { sf_close(file); }
  } inputCloser{in};

  const mode_t mode = checkOutputTarget(options.input, options.output);
  dsp::StreamConfig stream;
  stream.Configure(inInfo.samplerate);

  std::filesystem::path target(options.output);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  // The temporary name adds 8 bytes to the output's; a shortened stem keeps it within the
  // file system's name limit when the output's own name is near that limit.
  const std::string stem = target.filename().string().substr(0, kTempStemBytes);
  const std::string pattern = (folder / ("." + stem + ".XXXXXX")).string();
  if (pattern.size() >= sizeof g_tempPath) throw ToolError{kExitWriteFailed, options.output + ": path too long"};
  std::memcpy(g_tempPath, pattern.c_str(), pattern.size() + 1);
  const int fd = mkstemp(g_tempPath);
  if (fd < 0) throw ToolError{kExitWriteFailed, options.output + ": cannot create a file there: " + std::strerror(errno)};
  g_tempActive = 1;

  auto fail = [&](const std::string& message, int status) {
    g_tempActive = 0;
    unlink(g_tempPath);
    return ToolError{status, message};
  };

  SF_INFO outInfo{};
  outInfo.samplerate = inInfo.samplerate / 2;  // integer halving, as for the live devices
  outInfo.channels = 2;
  outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* out = sf_open_fd(fd, SFM_WRITE, &outInfo, SF_FALSE);
  if (!out) {
    const std::string reason = sf_strerror(nullptr);
    close(fd);
    throw fail(options.output + ": cannot write: " + reason, kExitWriteFailed);
  }

  const sf_count_t block = stream.BlockSamples;
  Progress progress(inInfo.frames);
  sf_count_t done = 0;
  std::string error;
  int errorStatus = kExitWriteFailed;
  for (;;) {
    const sf_count_t got = sf_readf_short(in, stream.WorkBuffer.data(), block);
    if (sf_error(in) != SF_ERR_NO_ERROR) {
      error = options.input + ": read error: " + sf_strerror(in);
      errorStatus = kExitBadInput;
      break;
    }
    if (got <= 0) break;
    // The live program always converts whole blocks; the tail is padded with silence,
    // which is also what the converter assumes beyond the block's ends.
    std::fill(stream.WorkBuffer.begin() + got, stream.WorkBuffer.end(), 0);
    dsp::ConvertBlock(stream, options.switches);
    const sf_count_t frames = got / 2;
    if (frames > 0 && sf_writef_short(out, stream.WorkBuffer.data(), frames) != frames) {
      error = options.output + ": write failed: " + sf_strerror(out);
      break;
    }
    done += got;
    progress.update(done);
    if (got < block) break;
  }
  progress.finish();

  if (error.empty() && sf_error(out) != SF_ERR_NO_ERROR) error = options.output + ": write failed: " + sf_strerror(out);
  const int closeResult = sf_close(out);
  if (error.empty() && closeResult != 0) error = options.output + ": write failed: " + sf_error_number(closeResult);
  if (error.empty() && fchmod(fd, mode) != 0) error = options.output + ": " + std::strerror(errno);
  if (error.empty() && fsync(fd) != 0) error = options.output + ": write failed: " + std::strerror(errno);
  if (close(fd) != 0 && error.empty()) error = options.output + ": write failed: " + std::strerror(errno);
  if (!error.empty()) throw fail(error, errorStatus);

  if (rename(g_tempPath, options.output.c_str()) != 0)
    throw fail(options.output + ": cannot replace: " + std::strerror(errno), kExitWriteFailed);
  g_tempActive = 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::signal(SIGINT, removeTempOnSignal);
  std::signal(SIGTERM, removeTempOnSignal);
  std::signal(SIGHUP, removeTempOnSignal);

  dsp::InitFFT();
  int status = 0;
  try {
    convertFile(parseArguments(argc, argv));
  } catch (const ToolError& e) {
    std::fprintf(stderr, "tovrel-convert: %s\n", e.message.c_str());
    status = e.status;
  }
  dsp::DoneFFT();
  return status;
}
