# The program's window: layout and handlers, the capture/playback pipeline driven by the
# scripted wave back end, and the device lists. All run on Qt's offscreen platform.
set(WINDOW_TEST_MAIN ${CMAKE_CURRENT_SOURCE_DIR}/window_test_main.cpp)
tovrel_test(main_form_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
tovrel_test(pipeline_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
tovrel_test(device_lists_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
