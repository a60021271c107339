# Stream configuration, real-to-I/Q converter and the offline tool built on them.
tovrel_test(stream_config_test LIBS tovrel_dsp)
tovrel_test(converter_test LIBS tovrel_dsp)
tovrel_test(convert_tool_test LIBS tovrel_dsp PkgConfig::SNDFILE)
add_dependencies(convert_tool_test tovrel-convert)
