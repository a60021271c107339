#pragma once
#include <cstdint>

// In-place complex FFT on interleaved (re, im) float pairs, lengths 2 ... 65536.
// Forward uses the positive exponent and never scales; inverse uses the negative
// exponent and scales by 1/Count when Scale is set. With Reorder false the spectrum
// side is in the engine's own split order.
// Calls may run on several threads at once: each thread reorders in its own work areas,
// made at its first natural-order call (or at its InitFFT, which a real-time thread calls
// once before its first transform so that no transform of its ever allocates). A caller's
// Scratch area stays current for the later calls of the thread that passed it.
namespace dsp {
// Named values for ComplexFFT's flags, so a call reads
// ComplexFFT(x, n, kForward, kUnscaled, kNaturalOrder, nullptr).
inline constexpr bool kForward = false, kInverse = true;
inline constexpr bool kUnscaled = false, kScaled = true;
inline constexpr bool kSplitOrder = false, kNaturalOrder = true;

void InitFFT();
void DoneFFT();
void ComplexFFT(float* Data, int32_t Count, bool Inverse, bool Scale, bool Reorder, float* Scratch);
}  // namespace dsp
