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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"
#include "wav_limits.hpp"

#ifndef TOVREL_VERSION
#error "TOVREL_VERSION must be defined by the build"
#endif

namespace {

namespace fs = std::filesystem;

constexpr int kExitBadInput = 2;    // command line or input file unusable; nothing written
constexpr int kExitWriteFailed = 1; // the output could not be written; the target is untouched
constexpr int kMinRate = 2;         // a lower rate has no half rate to play the output at
constexpr int kMaxRate = 1000000;
constexpr sf_count_t kProgressMinFrames = 8 * 32768;
constexpr sf_count_t kUnknownLength = sf_count_t{1} << 48;
constexpr size_t kTempStemBytes = 200;
constexpr int kMaxLinkHops = 40;    // as the kernel allows when it resolves a path
constexpr std::uint32_t kMaxRiffDataBytes = UINT32_MAX - 1;

const char kUsage[] =
    "Usage: tovrel-convert [--no-iq] [--invert] [--edge-filter] INPUT.wav OUTPUT.wav\n"
    "\n"
    "Converts a 16-bit PCM mono WAV file (2 ... 1000000 Hz) the way Tovrel converts live\n"
    "audio: the band 0 ... rate/2 is shifted down by rate/4 into a complex I/Q signal,\n"
    "written as a 16-bit PCM stereo WAV file at rate/2 (integer halving), left I, right Q.\n"
    "Every 32768 input samples become 16384 output frames; the output has n/2 frames.\n"
    "An output over 4 GiB is written as RF64; RF64 inputs are read as well.\n"
    "\n"
    "  --no-iq        no conversion: the input samples are written in pairs as stereo frames\n"
    "  --invert       invert the output spectrum (the two halves of the band swap places)\n"
    "  --edge-filter  taper the 45 bins at each end of the band (DC and rate/2 removed)\n"
    "  --help         show this text\n"
    "  --version      show the program's version\n"
    "\n"
    "An input whose header gives a data size of 0, or one past the end of the file (a\n"
    "recording that was never closed), is read as far as the file goes, as is a pipe that\n"
    "ends early, with a note on stderr; a file that shrinks while it is read is an error.\n"
    "OUTPUT.wav is replaced only when the conversion succeeds; no partial file is left\n"
    "beside it. A link as OUTPUT.wav keeps pointing to the file it names, which is the one\n"
    "replaced. Exit status: 0 success, 2 bad command line or input file (nothing written),\n"
    "1 the output could not be written.\n";

const char kVersion[] = "tovrel-convert " TOVREL_VERSION "\n";

struct ToolError {
  int status;
  std::string message;
};

std::string systemError() { return std::strerror(errno); }

struct Options {
  dsp::ConverterSwitches switches;
  std::string input;
  std::string output;
};

// The options that shape a run; a new one is one more row.
struct Switch {
  const char* name;
  void (*apply)(Options&);
};
constexpr Switch kSwitches[] = {
    {"--no-iq", [](Options& o) { o.switches.IQ = false; }},
    {"--invert", [](Options& o) { o.switches.InvertSpectrum = true; }},
    {"--edge-filter", [](Options& o) { o.switches.EdgeFilter = true; }},
};

// The options that print and exit without reading or writing any file.
struct InfoOption {
  const char* name;
  const char* shortName;
  const char* text;
};
constexpr InfoOption kInfoOptions[] = {
    {"--help", "-h", kUsage},
    {"--version", nullptr, kVersion},
};

// A named temporary output (where the file system has no unnamed files, and between linking
// the finished file into its folder and renaming it over the target), removed on failure and
// on a terminating signal.
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
        continue;
      }
      const auto known = std::find_if(std::begin(kSwitches), std::end(kSwitches),
                                      [&](const Switch& s) { return arg == s.name; });
      if (known == std::end(kSwitches)) throw ToolError{kExitBadInput, "unknown option '" + arg + "' (see --help)"};
      known->apply(options);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) throw ToolError{kExitBadInput, "expected INPUT.wav and OUTPUT.wav (see --help)"};
  options.input = files[0];
  options.output = files[1];
  if (options.output.empty()) throw ToolError{kExitBadInput, "OUTPUT.wav is an empty name"};
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

std::string rateProblem(std::uint64_t rate) {
  return "sample rate " + std::to_string(rate) + " Hz out of range (" + std::to_string(kMinRate) + " ... " +
         std::to_string(kMaxRate) + " Hz)";
}

bool readAt(int fd, unsigned char* to, size_t bytes, std::uint64_t at) {
  while (bytes > 0) {
    const ssize_t got = pread(fd, to, bytes, off_t(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    at += std::uint64_t(got);
    bytes -= size_t(got);
  }
  return true;
}

std::uint64_t unpack(const unsigned char* bytes, int count, bool bigEndian) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) value |= std::uint64_t(bytes[bigEndian ? count - 1 - i : i]) << (8 * i);
  return value;
}

// Where a WAV file's samples lie, read from its chunks before libsndfile opens it: a
// recorder that died before writing its sizes leaves 0, or a size past the end, in the
// header, and a broken header is named here instead of failing inside libsndfile.
struct WavLayout {
  bool known = false;  // a RIFF, RIFX or RF64 WAVE file with a data chunk
  bool bigEndian = false;
  std::uint64_t fileBytes = 0;
  std::uint64_t dataStart = 0;
  std::uint64_t declaredBytes = 0;  // the data size the header gives
  std::uint64_t sizeFieldAt = 0;    // where that size is stored
  int sizeFieldBytes = 4;

  std::uint64_t heldBytes() const { return fileBytes - dataStart; }
  // The header's size cannot be right: 0 with samples after it, or more than the file holds.
  bool needsRecovery() const { return declaredBytes == 0 ? heldBytes() > 0 : declaredBytes > heldBytes(); }
  // The size the samples are read with: whole 16-bit samples, within what the field can state.
  std::uint64_t readableBytes() const {
    const std::uint64_t bytes = needsRecovery() ? heldBytes() : declaredBytes;
    const std::uint64_t limit = sizeFieldBytes == 4 ? kMaxRiffDataBytes : UINT64_MAX;
    return std::min(bytes, limit) & ~std::uint64_t{1};
  }
};

WavLayout scanLayout(int fd, std::uint64_t fileBytes, const std::string& path) {
  WavLayout layout;
  layout.fileBytes = fileBytes;
  unsigned char head[12];
  if (!readAt(fd, head, sizeof head, 0)) return layout;
  const std::string magic(head, head + 4), form(head + 8, head + 12);
  if (form != "WAVE" || (magic != "RIFF" && magic != "RIFX" && magic != "RF64")) return layout;
  layout.bigEndian = magic == "RIFX";

  bool haveData = false, haveDs64 = false, cutInHeader = false;
  std::uint64_t ds64DataBytes = 0, ds64At = 0;
  for (std::uint64_t pos = 12; pos < fileBytes;) {
    unsigned char chunk[24];
    if (fileBytes - pos < 8 || !readAt(fd, chunk, 8, pos)) {
      cutInHeader = true;
      break;
    }
    const std::string id(chunk, chunk + 4);
    const std::uint64_t size = unpack(chunk + 4, 4, layout.bigEndian);
    const std::uint64_t body = pos + 8;
    std::uint64_t skip = size;
    if (id == "ds64" && size >= 24 && readAt(fd, chunk, 24, body)) {
      haveDs64 = true;
      ds64DataBytes = unpack(chunk + 8, 8, false);
      ds64At = body + 8;
    } else if (id == "fmt " && size >= 8 && readAt(fd, chunk, 8, body)) {
      const std::uint64_t rate = unpack(chunk + 4, 4, layout.bigEndian);
      if (rate < kMinRate || rate > kMaxRate) throw ToolError{kExitBadInput, path + ": " + rateProblem(rate)};
    } else if (id == "data") {
      if (haveData) throw ToolError{kExitBadInput, path + ": two data chunks (which one holds the recording?)"};
      haveData = true;
      layout.dataStart = body;
      layout.declaredBytes = size;
      layout.sizeFieldAt = pos + 4;
      if (magic == "RF64" && size == UINT32_MAX && haveDs64) {
        layout.declaredBytes = ds64DataBytes;
        layout.sizeFieldAt = ds64At;
        layout.sizeFieldBytes = 8;
      }
      if (layout.declaredBytes == 0) break;  // the samples, if any, run to the end of the file
      skip = layout.declaredBytes;
    }
    if (skip >= fileBytes - body) break;
    pos = body + skip + (skip & 1);
  }
  if (!haveData) {
    if (cutInHeader) throw ToolError{kExitBadInput, path + ": the file ends inside a chunk header, before any samples"};
    return layout;  // libsndfile names what is missing
  }
  layout.known = true;
  return layout;
}

// The input as libsndfile reads it: the file's own bytes, except that a data size which
// cannot be right reads as the size of what the file holds.
struct InputSource {
  int fd = -1;
  sf_count_t length = 0;
  sf_count_t position = 0;
  std::uint64_t patchAt = 0;
  int patchBytes = 0;
  unsigned char patch[8] = {};
  int readErrno = 0;

  static sf_count_t fileLength(void* self) { return static_cast<InputSource*>(self)->length; }
  static sf_count_t tell(void* self) { return static_cast<InputSource*>(self)->position; }
  static sf_count_t seek(sf_count_t offset, int whence, void* self) {
    auto& source = *static_cast<InputSource*>(self);
    const sf_count_t base = whence == SEEK_CUR ? source.position : whence == SEEK_END ? source.length : 0;
    if (base + offset < 0) return -1;
    source.position = base + offset;
    return source.position;
  }
  static sf_count_t read(void* to, sf_count_t count, void* self) {
    auto& source = *static_cast<InputSource*>(self);
    auto* bytes = static_cast<unsigned char*>(to);
    sf_count_t got = 0;
    while (got < count) {
      const ssize_t n = pread(source.fd, bytes + got, size_t(count - got), off_t(source.position + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) source.readErrno = errno;
      if (n <= 0) break;
      got += n;
    }
    for (int i = 0; i < source.patchBytes; ++i) {
      const sf_count_t at = sf_count_t(source.patchAt) + i - source.position;
      if (at >= 0 && at < got) bytes[at] = source.patch[i];
    }
    source.position += got;
    return got;
  }
  static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
};

// The input, checked to be what the live program records: 16-bit PCM mono. A regular file
// is read through its scanned layout, so the samples it must deliver are known up front;
// anything else (a pipe) is read as it comes.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : path_(path) {
    source_.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source_.fd < 0) throw ToolError{kExitBadInput, path + ": cannot open: " + systemError()};
    try {
      openChecked();
    } catch (...) {
      release();
      throw;
    }
  }
  ~InputFile() { release(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const SF_INFO& info() const { return info_; }
  // The samples the header promises; a pipe's header may promise more than it brings.
  sf_count_t promisedSamples() const { return info_.frames; }
  bool lengthKnown() const { return regular_; }

  sf_count_t read(short* to, sf_count_t samples) {
    const sf_count_t got = sf_readf_short(file_, to, samples);
    if (sf_error(file_) != SF_ERR_NO_ERROR) fail(std::string("read error: ") + sf_strerror(file_));
    return got;
  }

  // A file that delivered less than it held when the run began was cut while it was read.
  // A pipe's header can only be checked against what arrives: it may be a streaming writer's
  // placeholder size, so a short pipe is read as far as it goes, with a note.
  void checkComplete(sf_count_t done) {
    if (done >= info_.frames) {
      if (!regular_ && done == 0 && moreBytesFollow())
        fail("the header gives no samples but data follows; save the stream to a file and convert that");
      return;
    }
    if (regular_) {
      if (source_.readErrno) fail(std::string("read error: ") + std::strerror(source_.readErrno));
      fail("the file ended after " + std::to_string(done) + " of the " + std::to_string(info_.frames) +
           " samples its header gives (was it cut while it was read?)");
    }
    note("the stream ended after " + std::to_string(done) + " samples, before the " +
         std::to_string(info_.frames) + " its header gives; converted what came");
  }

 private:
  void openChecked() {
    struct stat st {};
    if (fstat(source_.fd, &st) == 0 && S_ISDIR(st.st_mode)) fail("is a directory");
    regular_ = S_ISREG(st.st_mode);
    if (regular_) {
      source_.length = st.st_size;
      layout_ = scanLayout(source_.fd, std::uint64_t(st.st_size), path_);
      if (layout_.known && layout_.needsRecovery()) planRecovery();
      static SF_VIRTUAL_IO io{InputSource::fileLength, InputSource::seek, InputSource::read, InputSource::write,
                       InputSource::tell};
      file_ = sf_open_virtual(&io, SFM_READ, &info_, &source_);
    } else {
      file_ = sf_open_fd(source_.fd, SFM_READ, &info_, SF_FALSE);
    }
    if (!file_) fail(std::string("not a readable WAV file (") + sf_strerror(nullptr) + ")");
    checkFormat();
  }

  void release() {
    if (file_) sf_close(file_);
    file_ = nullptr;
    close(source_.fd);
  }

  [[noreturn]] void fail(const std::string& problem) { throw ToolError{kExitBadInput, path_ + ": " + problem}; }
  void note(const std::string& text) const { std::fprintf(stderr, "tovrel-convert: %s: %s\n", path_.c_str(), text.c_str()); }

  // Reads the samples the file holds in place of the header's size, and says so.
  void planRecovery() {
    const std::uint64_t bytes = layout_.readableBytes();
    const std::string promised = layout_.declaredBytes == 0 ? std::string("no data size (0 bytes)")
                                                            : "a data size of " + std::to_string(layout_.declaredBytes) + " bytes";
    if (bytes == 0) fail("the file ends before its first sample (its header gives " + promised + ")");
    source_.patchAt = layout_.sizeFieldAt;
    source_.patchBytes = layout_.sizeFieldBytes;
    for (int i = 0; i < layout_.sizeFieldBytes; ++i) {
      const int shift = 8 * (layout_.bigEndian ? layout_.sizeFieldBytes - 1 - i : i);
      source_.patch[i] = static_cast<unsigned char>(bytes >> shift);
    }
    const bool all = bytes == (layout_.heldBytes() & ~std::uint64_t{1});
    note("the header gives " + promised + ", but the file holds " + std::to_string(layout_.heldBytes()) +
         " bytes after it; converting " +
         (all ? "the " + std::to_string(bytes / 2) + " samples present"
              : "the first " + std::to_string(bytes / 2) + " samples (all a WAV header can state)"));
  }

  void checkFormat() {
    const int major = info_.format & SF_FORMAT_TYPEMASK;
    const int subtype = info_.format & SF_FORMAT_SUBMASK;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64)
      fail("not a WAV file (" + formatName(major) + ")");
    if (subtype != SF_FORMAT_PCM_16) fail("not 16-bit PCM (" + formatName(subtype) + ")");
    if (info_.channels != 1) fail("not mono (" + std::to_string(info_.channels) + " channels)");
    if (info_.samplerate < kMinRate || info_.samplerate > kMaxRate) fail(rateProblem(std::uint64_t(info_.samplerate)));
  }

  bool moreBytesFollow() {
    unsigned char byte;
    ssize_t got;
    while ((got = ::read(source_.fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    return got > 0;
  }

  std::string path_;
  InputSource source_;
  WavLayout layout_;
  bool regular_ = false;
  SF_INFO info_{};
  SNDFILE* file_ = nullptr;
};

// The file a link as OUTPUT names, followed to its end, so that replacing the output keeps
// the link and replaces what it points to (which may not exist yet).
fs::path resolveLinks(const fs::path& output) {
  fs::path path = output;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    const fs::path next = fs::read_symlink(path, error);
    if (error) return path;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  throw ToolError{kExitBadInput, output.string() + ": too many levels of symbolic links"};
}

// Refuses an output that would overwrite the input or is not a file; returns the
// permission bits the finished file gets (an existing target keeps its own).
mode_t checkOutputTarget(const std::string& input, const fs::path& target, const std::string& output) {
  struct stat in {}, out {};
  const mode_t mask = umask(0);
  umask(mask);
  if (stat(target.c_str(), &out) != 0) return 0666 & ~mask;
  if (S_ISDIR(out.st_mode)) throw ToolError{kExitBadInput, output + ": is a directory"};
  // The finished file is renamed over the target, which would destroy a device node or a
  // named pipe (/dev/null run as root); only a regular file is replaced by the new file.
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
  // The line is cleared however the run ends, so that a message starts on a clean line.
  ~Progress() {
    if (shown_ && last_ >= 0) std::fprintf(stderr, "\r%*s\r", 20, "");
  }
  void update(sf_count_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(100 * std::min(done, total_) / total_);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\rtovrel-convert: %3d%%", percent);
    std::fflush(stderr);
  }

 private:
  sf_count_t total_;
  bool shown_;
  int last_ = -1;
};

// The output file while it is written: unnamed in the target's folder, so that nothing of a
// run that dies is left behind; it gets a name only once complete, and is then renamed over
// the target in one step. Where the file system has no unnamed files, a hidden named
// temporary takes its place and is removed on failure and on a terminating signal.
class OutputFile {
 public:
  OutputFile(const fs::path& target, const std::string& output, mode_t mode)
      : target_(target), output_(output), mode_(mode) {
    folder_ = target.parent_path();
    if (folder_.empty()) folder_ = ".";
    fd_ = open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) failCreate();
    setTempPath(tempPattern());
    fd_ = mkstemp(g_tempPath);
    if (fd_ < 0) failCreate();
    g_tempActive = 1;
  }
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (g_tempActive) {
      g_tempActive = 0;
      unlink(g_tempPath);
    }
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }

  void commit() {
    if (fchmod(fd_, mode_) != 0) fail(systemError());
    if (fsync(fd_) != 0) fail("write failed: " + systemError());
    if (!g_tempActive) linkIntoFolder();
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) fail("write failed: " + systemError());
    if (rename(g_tempPath, target_.c_str()) != 0) fail("cannot replace: " + systemError());
    g_tempActive = 0;
  }

 private:
  [[noreturn]] void fail(const std::string& problem) { throw ToolError{kExitWriteFailed, output_ + ": " + problem}; }
  [[noreturn]] void failCreate() { fail("cannot create a file there: " + systemError()); }

  // The temporary name adds 8 bytes to the output's; a shortened stem keeps it within the
  // file system's name limit when the output's own name is near that limit.
  std::string tempPattern() const {
    const std::string stem = target_.filename().string().substr(0, kTempStemBytes);
    return (folder_ / ("." + stem + ".XXXXXX")).string();
  }
  void setTempPath(const std::string& path) {
    if (path.size() >= sizeof g_tempPath) fail("path too long");
    std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
  }

  void linkIntoFolder() {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    std::random_device seed;
    std::mt19937 random(seed());
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = tempPattern();
      for (size_t i = name.size() - 6; i < name.size(); ++i) name[i] = letters[random() % (sizeof letters - 1)];
      setTempPath(name);
      int linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, g_tempPath, AT_SYMLINK_FOLLOW);
      if (linked != 0 && errno == ENOENT) linked = linkat(fd_, "", AT_FDCWD, g_tempPath, AT_EMPTY_PATH);  // no /proc
      if (linked == 0) {
        g_tempActive = 1;
        return;
      }
      if (errno != EEXIST) fail("cannot name the finished file: " + systemError());
    }
    fail("cannot name the finished file: too many names taken");
  }

  fs::path target_, folder_;
  std::string output_;
  mode_t mode_;
  int fd_ = -1;
};

// libsndfile's writer on the output file: plain WAV when the output fits one, RF64 when its
// sizes need 64 bits. A pipe's length is not known up front, so its output stays WAV and is
// refused once it would no longer fit.
class SoundWriter {
 public:
  SoundWriter(const OutputFile& file, const InputFile& input, const std::string& output)
      : output_(output), lengthKnown_(input.lengthKnown()) {
    SF_INFO info{};
    info.samplerate = input.info().samplerate / 2;  // integer halving, as for the live devices
    info.channels = 2;
    const bool wav = !lengthKnown_ || convert::fitsInWav(input.promisedSamples() / 2);
    info.format = (wav ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_PCM_16;
    file_ = sf_open_fd(file.fd(), SFM_WRITE, &info, SF_FALSE);
    if (!file_) fail(std::string("cannot write: ") + sf_strerror(nullptr));
  }
  ~SoundWriter() {
    if (file_) sf_close(file_);
  }
  SoundWriter(const SoundWriter&) = delete;
  SoundWriter& operator=(const SoundWriter&) = delete;

  void write(const short* frames, sf_count_t count, const std::string& input) {
    if (!lengthKnown_ && !convert::fitsInWav(written_ + count))
      throw ToolError{kExitBadInput, input + ": the output would pass the 4 GiB a WAV file holds; "
                                             "convert the input from a file (not a pipe), which is written as RF64"};
    if (count > 0 && sf_writef_short(file_, frames, count) != count) fail(std::string("write failed: ") + sf_strerror(file_));
    written_ += count;
  }

  // Writes the header's final sizes.
  void finish() {
    if (sf_error(file_) != SF_ERR_NO_ERROR) fail(std::string("write failed: ") + sf_strerror(file_));
    const int result = sf_close(file_);
    file_ = nullptr;
    if (result != 0) fail(std::string("write failed: ") + sf_error_number(result));
  }

 private:
  [[noreturn]] void fail(const std::string& problem) { throw ToolError{kExitWriteFailed, output_ + ": " + problem}; }

  std::string output_;
  bool lengthKnown_;
  SNDFILE* file_ = nullptr;
  sf_count_t written_ = 0;
};

// The live program always converts whole blocks; the tail is padded with silence, which is
// also what the converter assumes beyond the block's ends. n samples give n/2 frames.
void convertBlocks(InputFile& input, SoundWriter& writer, const Options& options) {
  dsp::StreamConfig stream;
  stream.Configure(input.info().samplerate);
  const sf_count_t block = stream.BlockSamples;
  Progress progress(input.promisedSamples());
  sf_count_t done = 0;
  for (;;) {
    const sf_count_t got = input.read(stream.WorkBuffer.data(), block);
    if (got <= 0) break;
    std::fill(stream.WorkBuffer.begin() + got, stream.WorkBuffer.end(), 0);
    dsp::ConvertBlock(stream, options.switches);
    writer.write(stream.WorkBuffer.data(), got / 2, options.input);
    done += got;
    progress.update(done);
    if (got < block) break;
  }
  input.checkComplete(done);
}

void convertFile(const Options& options) {
  InputFile input(options.input);
  const fs::path target = resolveLinks(options.output);
  OutputFile output(target, options.output, checkOutputTarget(options.input, target, options.output));
  SoundWriter writer(output, input, options.output);
  convertBlocks(input, writer, options);
  writer.finish();
  output.commit();
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    for (const InfoOption& option : kInfoOptions) {
      if (std::strcmp(argv[i], option.name) == 0 || (option.shortName && std::strcmp(argv[i], option.shortName) == 0)) {
        std::fputs(option.text, stdout);
        return 0;
      }
    }
  }
  std::signal(SIGINT, removeTempOnSignal);
  std::signal(SIGTERM, removeTempOnSignal);
  std::signal(SIGHUP, removeTempOnSignal);
  // A file-size limit then fails the write, which takes the normal error path.
  std::signal(SIGXFSZ, SIG_IGN);

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
