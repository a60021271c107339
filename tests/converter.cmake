# Stream configuration, real-to-I/Q converter and the offline tool built on them.
tovrel_test(stream_config_test LIBS tovrel_dsp)
tovrel_test(converter_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
tovrel_test(convert_tool_test LIBS tovrel_dsp PkgConfig::SNDFILE)
add_dependencies(convert_tool_test tovrel-convert)
target_include_directories(convert_tool_test PRIVATE ${PROJECT_SOURCE_DIR}/tools)
target_compile_definitions(convert_tool_test PRIVATE TOVREL_VERSION="${PROJECT_VERSION}")
# A preloaded library that makes every folder refuse unnamed files, for the tool's fallback.
add_library(no_tmpfile_preload SHARED no_tmpfile_preload.cpp)
target_link_libraries(no_tmpfile_preload PRIVATE ${CMAKE_DL_LIBS})
tovrel_warnings(no_tmpfile_preload)
add_dependencies(convert_tool_test no_tmpfile_preload)
target_compile_definitions(convert_tool_test PRIVATE TOVREL_NO_TMPFILE_PRELOAD="$<TARGET_FILE:no_tmpfile_preload>")
