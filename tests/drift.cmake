# Live stream path between two clocks: frame FIFO, adaptive resampler, level controller.
tovrel_test(drift_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
# The live engine on the scripted back end (no window), and its clock estimate.
if(TOVREL_BUILD_PROGRAM)
  tovrel_test(live_engine_test LIBS tovrel_live tovrel_wave_scripted THREADS)
endif()
# A simulated day of the stream path: two wandering clocks and the faults of a busy machine.
tovrel_test(simulated_day_test LIBS tovrel_dsp SOURCES allocation_counter.cpp TIMEOUT 600)
if(TOVREL_SANITIZE OR TOVREL_TSAN)
  target_compile_definitions(simulated_day_test PRIVATE TOVREL_SHORT_DAY)
endif()
