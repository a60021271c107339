# The program's window: layout and handlers, the capture/playback pipeline driven by the
# scripted wave back end, and the device lists. All run on Qt's offscreen platform.
set(WINDOW_TEST_MAIN ${CMAKE_CURRENT_SOURCE_DIR}/window_test_main.cpp)
tovrel_test(main_form_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
tovrel_test(pipeline_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
tovrel_test(device_lists_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
# --help and --version print and exit with no display to open (Qt would abort without one).
foreach(option help version)
  add_test(NAME tovrel_${option}_without_display
    COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:tovrel> --${option})
endforeach()
set_tests_properties(tovrel_help_without_display PROPERTIES PASS_REGULAR_EXPRESSION "Usage: .*--version")
set_tests_properties(tovrel_version_without_display PROPERTIES PASS_REGULAR_EXPRESSION "^Tovrel ${PROJECT_VERSION}")
