# Gapless stream converter.
tovrel_test(stream_converter_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
