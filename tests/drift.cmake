# Live stream path between two clocks: frame FIFO, adaptive resampler, level controller.
tovrel_test(drift_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
