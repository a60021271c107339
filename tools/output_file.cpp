#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <random>
#include <string>

#include "tool_error.hpp"

namespace convert {
namespace {

namespace fs = std::filesystem;

constexpr size_t kTempStemBytes = 200;
constexpr int kMaxLinkHops = 40;  // as the kernel allows when it resolves a path

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

// Signals whose default action does not end the process, and those that cannot be caught.
bool endsTheProcess(int sig) {
  for (const int other : {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD, SIGCONT, SIGURG, SIGWINCH})
    if (sig == other) return false;
  return true;
}

}  // namespace

// Every signal that would end the process, where it still has its default action: one that
// is ignored (nohup) stays ignored, and a sanitizer's own handlers stay in place.
void removeTemporaryOnSignals() {
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (!endsTheProcess(sig)) continue;
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL)
      continue;
    struct sigaction action {};
    action.sa_handler = removeTempOnSignal;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

fs::path resolveLinks(const fs::path& output) {
  fs::path path = output;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    const fs::path next = fs::read_symlink(path, error);
    if (error) return path;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  throw ToolError{kExitWriteFailed, output.string() + ": too many levels of symbolic links"};
}

mode_t checkOutputTarget(const std::string& input, const fs::path& target, const std::string& output) {
  struct stat in {
  }, out{};
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

struct OutputFile::State {
 public:
  State(const fs::path& target, const std::string& output, mode_t mode)
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
  ~State() {
    if (fd_ >= 0) close(fd_);
    if (g_tempActive) {
      g_tempActive = 0;
      unlink(g_tempPath);
    }
  }

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

OutputFile::OutputFile(const fs::path& target, const std::string& output, mode_t mode)
    : state_(std::make_unique<State>(target, output, mode)) {}
OutputFile::~OutputFile() = default;
int OutputFile::fd() const { return state_->fd(); }
void OutputFile::commit() { state_->commit(); }

}  // namespace convert
