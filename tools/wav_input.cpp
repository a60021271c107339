#include "wav_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tool_error.hpp"

namespace convert {
namespace {

// The largest even data size a 32-bit header field can state.
constexpr std::uint32_t kMaxRiffDataBytes = UINT32_MAX - 1;
// An RF64 file's ds64 chunk holds three 64-bit sizes and a table length.
constexpr std::uint64_t kDs64MinBytes = 28;
// A pipe cannot be read twice: its header is kept in memory up to this size, and so is the
// start of its samples, which libsndfile looks at before it reads them.
constexpr std::uint64_t kPipeHeaderLimit = 1 << 20;
constexpr std::uint64_t kPipeKeptSampleBytes = 4096;
constexpr std::uint64_t kUnknownBytes = UINT64_MAX;

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

// Reads bytes at an offset of the input; false when it ends first.
using ReadAt = std::function<bool(unsigned char*, size_t, std::uint64_t)>;

bool preadAll(int fd, unsigned char* to, size_t bytes, std::uint64_t at) {
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

// A stream (fileBytes unknown) is scanned only up to its data chunk: its samples follow.
WavLayout scanLayout(const ReadAt& readAt, std::uint64_t fileBytes, const std::string& path) {
  WavLayout layout;
  layout.fileBytes = fileBytes;
  unsigned char head[12];
  if (!readAt(head, sizeof head, 0)) return layout;
  const std::string magic(head, head + 4), form(head + 8, head + 12);
  if (form != "WAVE" || (magic != "RIFF" && magic != "RIFX" && magic != "RF64")) return layout;
  layout.bigEndian = magic == "RIFX";

  bool haveData = false, haveDs64 = false, cutInHeader = false;
  std::uint64_t ds64DataBytes = 0, ds64At = 0;
  for (std::uint64_t pos = 12; pos < fileBytes;) {
    unsigned char chunk[24];
    if (fileBytes - pos < 8 || !readAt(chunk, 8, pos)) {
      cutInHeader = true;
      break;
    }
    const std::string id(chunk, chunk + 4);
    const std::uint64_t size = unpack(chunk + 4, 4, layout.bigEndian);
    const std::uint64_t body = pos + 8;
    std::uint64_t skip = size;
    if (id == "ds64" && magic == "RF64" && size < kDs64MinBytes)
      throw ToolError{kExitBadInput, path + ": its ds64 chunk is " + std::to_string(size) + " bytes, too short for " +
                                         "the sizes it must hold (" + std::to_string(kDs64MinBytes) + ")"};
    if (id == "ds64" && size >= 24 && readAt(chunk, 24, body)) {
      haveDs64 = true;
      ds64DataBytes = unpack(chunk + 8, 8, false);
      ds64At = body + 8;
    } else if (id == "fmt " && size >= 8 && readAt(chunk, 8, body)) {
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
      if (layout.declaredBytes == 0 || fileBytes == kUnknownBytes) break;  // the samples follow
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

// A pipe as libsndfile reads it: a file whose length is where the header says the samples
// end. libsndfile reads its header again and looks at the first samples before it reads
// them in order, so those bytes are kept; the samples after them pass straight through.
struct PipeSource {
  int fd = -1;
  std::vector<unsigned char> kept;          // the pipe's first bytes
  std::uint64_t keepBelow = kUnknownBytes;  // bytes read below this offset are kept
  std::uint64_t taken = 0;                  // bytes read from the pipe so far
  sf_count_t length = 0;
  sf_count_t position = 0;
  int readErrno = 0;

  // Reads at an offset; only the kept bytes can be read again.
  size_t readAt(unsigned char* to, size_t count, std::uint64_t at) {
    size_t got = 0;
    while (got < count) {
      const std::uint64_t here = at + got;
      if (here < kept.size()) {
        const size_t n = std::min<std::uint64_t>(count - got, kept.size() - here);
        std::memcpy(to + got, kept.data() + here, n);
        got += n;
        continue;
      }
      if (here < taken) break;  // passed by already
      unsigned char skipped[4096];
      const bool skipping = here > taken;
      const size_t want = skipping ? std::min<std::uint64_t>(sizeof skipped, here - taken) : count - got;
      const ssize_t n = ::read(fd, skipping ? skipped : to + got, want);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) readErrno = errno;
      if (n <= 0) break;
      const unsigned char* from = skipping ? skipped : to + got;
      if (taken < keepBelow && kept.size() == taken)
        kept.insert(kept.end(), from, from + std::min<std::uint64_t>(size_t(n), keepBelow - taken));
      taken += std::uint64_t(n);
      if (!skipping) got += size_t(n);
    }
    return got;
  }

  static sf_count_t fileLength(void* self) { return static_cast<PipeSource*>(self)->length; }
  static sf_count_t tell(void* self) { return static_cast<PipeSource*>(self)->position; }
  static sf_count_t seek(sf_count_t offset, int whence, void* self) {
    auto& source = *static_cast<PipeSource*>(self);
    const sf_count_t base = whence == SEEK_CUR ? source.position : whence == SEEK_END ? source.length : 0;
    if (base + offset < 0) return -1;
    source.position = base + offset;
    return source.position;
  }
  static sf_count_t read(void* to, sf_count_t count, void* self) {
    auto& source = *static_cast<PipeSource*>(self);
    const size_t got = source.readAt(static_cast<unsigned char*>(to), size_t(count), std::uint64_t(source.position));
    source.position += sf_count_t(got);
    return sf_count_t(got);
  }
  static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
};

}  // namespace

// The input, checked to be what the live program records: 16-bit PCM mono. A regular file
// is read through its scanned layout, so the samples it must deliver are known up front;
// anything else (a pipe) is read as it comes.
struct InputFile::State {
 public:
  explicit State(const std::string& path) : path_(path) {
    source_.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source_.fd < 0) throw ToolError{kExitBadInput, path + ": cannot open: " + systemError()};
    try {
      openChecked();
    } catch (...) {
      release();
      throw;
    }
  }
  ~State() { release(); }

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
    if (!regular_ && pipe_.readErrno) fail(std::string("read error: ") + std::strerror(pipe_.readErrno));
    if (done >= info_.frames) {
      if (!regular_ && done == 0 && moreBytesFollow())
        fail("the header gives no samples but data follows; save the stream to a file and convert that");
      if (!regular_) checkPipeTail();
      return;
    }
    if (regular_) {
      if (source_.readErrno) fail(std::string("read error: ") + std::strerror(source_.readErrno));
      fail("the file ended after " + std::to_string(done) + " of the " + std::to_string(info_.frames) +
           " samples its header gives (was it cut while it was read?)");
    }
    note("the stream ended after " + std::to_string(done) + " samples, before the " + std::to_string(info_.frames) +
         " its header gives; converted what came");
  }

 private:
  void openChecked() {
    struct stat st {};
    if (fstat(source_.fd, &st) == 0 && S_ISDIR(st.st_mode)) fail("is a directory");
    regular_ = S_ISREG(st.st_mode);
    if (regular_) {
      source_.length = st.st_size;
      const int fd = source_.fd;
      layout_ = scanLayout([fd](unsigned char* to, size_t n, std::uint64_t at) { return preadAll(fd, to, n, at); },
                           std::uint64_t(st.st_size), path_);
      if (layout_.known && layout_.needsRecovery()) planRecovery();
      static SF_VIRTUAL_IO io{InputSource::fileLength, InputSource::seek, InputSource::read, InputSource::write,
                              InputSource::tell};
      file_ = sf_open_virtual(&io, SFM_READ, &info_, &source_);
    } else {
      openPipe();
    }
    if (!file_) fail(std::string("not a readable WAV file (") + sf_strerror(nullptr) + ")");
    checkFormat();
  }

  // libsndfile alone reads a pipe's RF64 header wrongly (its samples start 4 bytes late),
  // so the header is read here, checked as a file's is, and handed over from memory.
  void openPipe() {
    pipe_.fd = source_.fd;
    layout_ = scanLayout(
        [this](unsigned char* to, size_t n, std::uint64_t at) {
          if (at + n > kPipeHeaderLimit)
            fail("the header runs past " + std::to_string(kPipeHeaderLimit) +
                 " bytes before the samples; save the stream to a file and convert that");
          return pipe_.readAt(to, n, at) == n;
        },
        kUnknownBytes, path_);
    if (layout_.known) {
      pipe_.keepBelow = layout_.dataStart + kPipeKeptSampleBytes;
      pipe_.length = sf_count_t(layout_.dataStart + std::min<std::uint64_t>(layout_.declaredBytes, INT64_MAX / 2));
    } else {  // not a WAV file, or one without samples: libsndfile names the problem
      unsigned char last;
      pipe_.readAt(&last, 1, kPipeHeaderLimit - 1);
      pipe_.keepBelow = pipe_.kept.size();
      pipe_.length = sf_count_t(pipe_.kept.size());
    }
    static SF_VIRTUAL_IO io{PipeSource::fileLength, PipeSource::seek, PipeSource::read, PipeSource::write,
                            PipeSource::tell};
    file_ = sf_open_virtual(&io, SFM_READ, &info_, &pipe_);
  }

  // After a pipe's samples: chunks may follow, but not a second data chunk (as in a file).
  void checkPipeTail() {
    if (!layout_.known) return;
    const std::uint64_t declared = layout_.declaredBytes;
    unsigned char chunk[8];
    for (std::uint64_t pos = layout_.dataStart + declared + (declared & 1);;) {
      if (pipe_.readAt(chunk, sizeof chunk, pos) < sizeof chunk) return;
      if (std::string(chunk, chunk + 4) == "data") fail("two data chunks (which one holds the recording?)");
      const std::uint64_t size = unpack(chunk + 4, 4, layout_.bigEndian);
      pos += sizeof chunk + size + (size & 1);
    }
  }

  void release() {
    if (file_) sf_close(file_);
    file_ = nullptr;
    close(source_.fd);
  }

  [[noreturn]] void fail(const std::string& problem) { throw ToolError{kExitBadInput, path_ + ": " + problem}; }
  void note(const std::string& text) const {
    std::fprintf(stderr, "tovrel-convert: %s: %s\n", path_.c_str(), text.c_str());
  }

  // Reads the samples the file holds in place of the header's size, and says so.
  void planRecovery() {
    const std::uint64_t bytes = layout_.readableBytes();
    const std::string promised = layout_.declaredBytes == 0
                                     ? std::string("no data size (0 bytes)")
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
    return layout_.known && pipe_.readAt(&byte, 1, layout_.dataStart) == 1;
  }

  std::string path_;
  InputSource source_;
  PipeSource pipe_;
  WavLayout layout_;
  bool regular_ = false;
  SF_INFO info_{};
  SNDFILE* file_ = nullptr;
};

InputFile::InputFile(const std::string& path) : state_(std::make_unique<State>(path)) {}
InputFile::~InputFile() = default;
const SF_INFO& InputFile::info() const { return state_->info(); }
sf_count_t InputFile::promisedSamples() const { return state_->promisedSamples(); }
bool InputFile::lengthKnown() const { return state_->lengthKnown(); }
sf_count_t InputFile::read(short* to, sf_count_t samples) { return state_->read(to, samples); }
void InputFile::checkComplete(sf_count_t done) { state_->checkComplete(done); }

}  // namespace convert
