#pragma once
// Choice of the engine's code path. Used by the engine itself and by its tests and benchmarks,
// which force each path the machine can run; the program never calls these.
namespace dsp {

enum class FftPath {
  Portable,  // plain C++: split-radix plus the order-table reorder step
  Sse2,      // x86-64 baseline vectors, two complex values per register
  Avx2,      // AVX2 with FMA, four complex values per register
  Neon,      // 64-bit ARM Advanced SIMD, two complex values per register, no FMA
};

// True when this build contains the path and this CPU can run it.
bool FftPathAvailable(FftPath path);

// The fastest available path; InitFFT selects it.
FftPath BestFftPath();

// Switches the engine to `path` if available and returns whether it did.
bool SelectFftPath(FftPath path);

FftPath CurrentFftPath();

const char* FftPathName(FftPath path);

}  // namespace dsp
