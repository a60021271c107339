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
# The window's language: under each locale in a process of its own (the program reads the
# locale once), English under en_US and de_DE, Russian unchanged under ru_RU and C.
tovrel_test(translation_test LIBS tovrel_app tovrel_wave_scripted SOURCES ${WINDOW_TEST_MAIN})
if(NOT TOVREL_TSAN)  # there the test program is built only for its THREADS tests, and it has none
  foreach(case en_US:en de_DE:en ru_RU:ru C:ru)
    string(REPLACE ":" ";" case ${case})
    list(GET case 0 locale)
    list(GET case 1 language)
    add_test(NAME translation_window_${locale}
             COMMAND translation_test --gtest_filter=TranslationTest.TheWindowSpeaksTheLanguageOfTheLocale)
    set_tests_properties(translation_window_${locale} PROPERTIES TIMEOUT 120 ENVIRONMENT
      "QT_QPA_PLATFORM=offscreen;LANG=${locale}.UTF-8;LANGUAGE=;LC_ALL=;LC_MESSAGES=;TOVREL_EXPECTED_LANGUAGE=${language}")
  endforeach()
  # Every text of the window is in the translation file, each with its English.
  add_test(NAME translation_file
           COMMAND ${CMAKE_COMMAND} -E env LUPDATE=${TOVREL_LUPDATE}
                   bash ${CMAKE_CURRENT_SOURCE_DIR}/translation_file_test.sh ${PROJECT_SOURCE_DIR})
endif()
# The program as a process: no display, and the signals that close its window.
tovrel_test(window_process_test LIBS Qt6::Core)
add_dependencies(window_process_test tovrel)
