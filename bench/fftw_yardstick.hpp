#pragma once
// One FFTW library as the benchmark's yardstick: Debian's shared library, and, when
// scripts/fftw-reference has built it, FFTW from Debian's source with every x86 vector back
// end. The second is linked with its symbols renamed, so both live in one program.
#include <cstddef>
#include <cstdint>

namespace bench {

enum class Planning { Measure, Patient };

class FftwYardstick {
 public:
  virtual ~FftwYardstick() = default;
  virtual const char* name() const = 0;
  // In-place single-precision plan on `data` (`count` complex values); `positiveExponent`
  // picks the sign of the exponent. Patient plans come from, and go into, the wisdom file.
  virtual void* plan(float* data, int32_t count, bool positiveExponent, Planning planning) = 0;
  virtual void execute(void* plan) = 0;
  virtual void destroy(void* plan) = 0;
  virtual float* allocate(size_t floats) = 0;
  virtual void release(float* data) = 0;
};

FftwYardstick& debianFftw();
// Null when this build has no reference FFTW.
FftwYardstick* referenceFftw();

}  // namespace bench
