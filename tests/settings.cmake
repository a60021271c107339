# Settings store and start-up check.
tovrel_test(settings_store_test LIBS tovrel_app)
tovrel_test(startup_check_test LIBS tovrel_app)
# The window's side: what show reads into the controls and what the close query writes.
tovrel_test(settings_window_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test_main.cpp)
