#pragma once
#include <cstdint>
#include <vector>

namespace dsp {

// The linear-phase filter of the gapless converter, designed once per rate in double
// precision. The converter mixes the real input down by a quarter of the rate, so that
// the band 0 ... Fs/2 becomes -Fs/4 ... +Fs/4, and splits it into the even input samples
// (which end up in Q) and the odd ones (which end up in I), each at half the rate. Every
// output frame m is then
//   Q[m] = sum_i Even[i] * e[m - i],   I[m] = sum_i Odd[i] * o[m - i],
// with e[m] = (-1)^m x[2m] and o[m] = (-1)^m x[2m + 1]. The two tap sets are the even
// and odd taps of one real, symmetric low-pass of gain 2 and cut-off Fs/4 (its transition
// centred on Fs/4, that is on the band's two ends), shifted to make them causal.
struct StreamFilter {
  double Transition = 0;                  // Hz from a band end to where the band is flat and the image rejected
  double EdgeRamp = 0;                    // Hz over which the edge filter rises from 0 to 1 at each band end
  int32_t HalfLength = 0;                 // K: the prototype spans input offsets -K ... K
  int32_t DelayFrames = 0;                // D: output frame m stands for input frame m - D
  int32_t Taps = 0;                       // entries of each tap set (frames)
  std::vector<double> Even, Odd;          // plain conversion
  std::vector<double> EdgeEven, EdgeOdd;  // with the band's two ends tapered to 0
};

// Image rejection the design aims at: at least this far down 'Transition' Hz inside each
// band end, with the pass band flat to the same ripple (gain 1 +- 10^(-dB/20)).
constexpr double kStreamStopbandDb = 118.0;

// The design for `rate` Hz (any rate >= 1; below 8000 Hz the design is the same in
// units of the rate, so the very low rates get proportionally long delays).
StreamFilter DesignStreamFilter(int32_t rate);

}  // namespace dsp
