#pragma once
// How long to wait before opening the devices again after the sound server or a device went
// away: growing from a quarter of a second, then 5 s each, so a restarted server is met within
// moments and a card left unplugged costs next to nothing.
#include <algorithm>
#include <chrono>

namespace live {

inline std::chrono::milliseconds RetryPause(int failedAttempts) {
  const int doublings = std::clamp(failedAttempts - 1, 0, 5);
  return std::min(std::chrono::milliseconds(250 << doublings), std::chrono::milliseconds(5000));
}

}  // namespace live
