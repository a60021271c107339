# The wave-audio layer: result texts and the scripted back end; the sound server's back
# end against a private headless server (started by the test command itself). The pulse
# tests also open streams on the shared server, so they take its lock: the window's
# end-to-end test counts the server's streams.
tovrel_test(wave_test LIBS tovrel_wave_scripted)
tovrel_test(wave_pulse_test LIBS tovrel_wave TIMEOUT 120 AUDIO_SERVER)
