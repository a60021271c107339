# Live stream path between two clocks: frame FIFO, adaptive resampler, level controller.
tovrel_test(drift_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
# The live engine on the scripted back end (no window), and its clock estimate.
if(TOVREL_BUILD_PROGRAM)
  tovrel_test(live_engine_test LIBS tovrel_live tovrel_wave_scripted THREADS)
endif()
