// Built twice: against Debian's FFTW, and with TOVREL_FFTW_REFERENCE against the library of
// scripts/fftw-reference, whose every symbol carries the prefix tovrel_ref_.
#ifdef TOVREL_FFTW_REFERENCE
#define fftwf_plan_dft_1d tovrel_ref_fftwf_plan_dft_1d
#define fftwf_execute tovrel_ref_fftwf_execute
#define fftwf_destroy_plan tovrel_ref_fftwf_destroy_plan
#define fftwf_malloc tovrel_ref_fftwf_malloc
#define fftwf_free tovrel_ref_fftwf_free
#define fftwf_import_wisdom_from_filename tovrel_ref_fftwf_import_wisdom_from_filename
#define fftwf_export_wisdom_to_filename tovrel_ref_fftwf_export_wisdom_to_filename
#define fftwf_forget_wisdom tovrel_ref_fftwf_forget_wisdom
#endif
#include <fftw3.h>

#include <string>

#include "fftw_yardstick.hpp"

namespace bench {
namespace {

class Yardstick final : public FftwYardstick {
 public:
  Yardstick(const char* name, std::string wisdomFile) : name_(name), wisdomFile_(std::move(wisdomFile)) {}

  const char* name() const override { return name_; }

  void* plan(float* data, int32_t count, bool positiveExponent, Planning planning) override {
    auto* complexData = reinterpret_cast<fftwf_complex*>(data);
    const int sign = positiveExponent ? FFTW_BACKWARD : FFTW_FORWARD;
    if (planning == Planning::Measure) {
      fftwf_forget_wisdom();  // measured plans never profit from patient wisdom in memory
      return fftwf_plan_dft_1d(count, complexData, complexData, sign, FFTW_MEASURE);
    }
    // A wisdom file from an earlier run spares the patient search (tens of seconds a size).
    fftwf_forget_wisdom();
    fftwf_import_wisdom_from_filename(wisdomFile_.c_str());
    fftwf_plan plan = fftwf_plan_dft_1d(count, complexData, complexData, sign, FFTW_PATIENT);
    fftwf_export_wisdom_to_filename(wisdomFile_.c_str());
    fftwf_forget_wisdom();
    return plan;
  }
  void execute(void* plan) override { fftwf_execute(static_cast<fftwf_plan>(plan)); }
  void destroy(void* plan) override { fftwf_destroy_plan(static_cast<fftwf_plan>(plan)); }
  float* allocate(size_t floats) override { return static_cast<float*>(fftwf_malloc(sizeof(float) * floats)); }
  void release(float* data) override { fftwf_free(data); }

 private:
  const char* name_;
  std::string wisdomFile_;
};

}  // namespace

#ifdef TOVREL_FFTW_REFERENCE
FftwYardstick* referenceFftw() {
  static Yardstick yardstick("fftw_ref", std::string(TOVREL_BENCH_WISDOM_DIR) + "/fftw-reference.wisdom");
  return &yardstick;
}
#else
FftwYardstick& debianFftw() {
  static Yardstick yardstick("fftw", std::string(TOVREL_BENCH_WISDOM_DIR) + "/fftw-debian.wisdom");
  return yardstick;
}
#ifndef TOVREL_HAS_FFTW_REFERENCE
FftwYardstick* referenceFftw() { return nullptr; }
#endif
#endif

}  // namespace bench
