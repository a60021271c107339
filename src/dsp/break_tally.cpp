#include "dsp/break_tally.hpp"

namespace dsp {

void BreakTally::clear() {
  counts_.fill(0);
  open_ = back_ = false;
}

bool BreakTally::note(BreakKind kind, double now) {
  if (open_ && (!back_ || now < backAt_ + kAftermathSeconds)) return false;
  ++counts_[static_cast<std::size_t>(kind)];
  open_ = true;
  back_ = false;
  return true;
}

void BreakTally::playing(double now) {
  if (!open_ || back_) return;
  back_ = true;
  backAt_ = now;
}

}  // namespace dsp
