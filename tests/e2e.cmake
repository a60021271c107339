# The program end to end on the private headless sound server (skipped without it).
tovrel_test(e2e_window_test LIBS tovrel_app tovrel_wave_scripted TIMEOUT 120 AUDIO_SERVER
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test_main.cpp)
# Live stream mode against its targets under load (minutes each: label LONG, run in the
# normal build only; the two-clock ones only on PulseAudio).
tovrel_test(e2e_live_test LIBS tovrel_app tovrel_wave_scripted TIMEOUT 900 AUDIO_SERVER LONG
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test_main.cpp)
