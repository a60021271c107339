# Stream configuration, real-to-I/Q converter and the offline tool built on them.
tovrel_test(stream_config_test LIBS tovrel_dsp)
tovrel_test(converter_test LIBS tovrel_dsp SOURCES allocation_counter.cpp)
tovrel_test(convert_tool_test LIBS tovrel_dsp PkgConfig::SNDFILE)
add_dependencies(convert_tool_test tovrel-convert)
target_include_directories(convert_tool_test PRIVATE ${PROJECT_SOURCE_DIR}/tools)
target_compile_definitions(convert_tool_test PRIVATE TOVREL_VERSION="${PROJECT_VERSION}")
