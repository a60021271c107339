#include "dsp/break_tally.hpp"

namespace dsp {

void BreakTally::clear() {
  counts_.fill(0);
  open_ = back_ = false;
}

void BreakTally::note(BreakKind kind, double now) {
  if (open_ && (!back_ || now < backAt_ + kAftermathSeconds)) return;
  ++counts_[static_cast<std::size_t>(kind)];
  open_ = true;
  back_ = false;
}

void BreakTally::playing(double now) {
  if (!open_ || back_) return;
  back_ = true;
  backAt_ = now;
}

}  // namespace dsp
