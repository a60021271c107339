# The wave-audio layer: result texts and the scripted back end; the sound server's back
# end against a private headless server (started by the test command itself).
tovrel_test(wave_test LIBS tovrel_wave)
tovrel_test(wave_pulse_test LIBS tovrel_wave TIMEOUT 120)
# Lets the pulse test find scripts/audio-server when run by hand, outside ctest.
target_compile_definitions(wave_pulse_test PRIVATE TOVREL_SOURCE_TREE="${PROJECT_SOURCE_DIR}")
