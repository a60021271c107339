// Built into every test under ThreadSanitizer: libpulse's internal free lists are
// synchronised by atomics the uninstrumented library hides, so its races are suppressed.
extern "C" const char* __tsan_default_options() { return "suppressions=" TOVREL_TSAN_SUPPRESSIONS; }
