# The wave-audio layer: result texts and the scripted back end; the sound server's back
# end against a private headless server (started by the test command itself).
tovrel_test(wave_test LIBS tovrel_wave)
tovrel_test(wave_pulse_test LIBS tovrel_wave TIMEOUT 120)
