#pragma once
// The benchmarks time with this thread's CPU clock: other processes on a shared machine
// disturb it far less than the wall clock.
#include <ctime>

namespace bench {

inline double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace bench
