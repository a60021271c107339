// Preloaded into tovrel-convert by its tests: every folder refuses unnamed files, as some
// file systems do, so the tool falls back to its hidden named temporary file.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using Open = int (*)(const char*, int, ...);

int refuseUnnamed(const char* name, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  static const auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, name));
  return next(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return refuseUnnamed("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return refuseUnnamed("open64", path, flags, mode);
}
