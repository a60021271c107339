# Display module: LED meter, resampler, heat colours, spectrum column and ruler.
tovrel_test(led_display_test LIBS tovrel_display)
tovrel_test(resample_test LIBS tovrel_display)
tovrel_test(spectrum_test LIBS tovrel_display)
# The kernels' formulas again, built with fused multiply-add instructions where this x86-64
# CPU has them (every arm64 CPU does): a contracted a*b + c would change their last bits.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT TOVREL_TSAN AND EXISTS /proc/cpuinfo)
  file(STRINGS /proc/cpuinfo _fma_flags REGEX "^flags.* fma( |$)" LIMIT_COUNT 1)
  if(_fma_flags)
    add_executable(resample_fma_test resample_test.cpp ${PROJECT_SOURCE_DIR}/src/display/resample.cpp)
    target_compile_options(resample_fma_test PRIVATE -mfma)
    target_include_directories(resample_fma_test PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(resample_fma_test PRIVATE Qt6::Gui GTest::gtest GTest::gtest_main)
    tovrel_warnings(resample_fma_test)
    add_test(NAME resample_kernels_with_fma
             COMMAND resample_fma_test --gtest_filter=Resample.KernelsFollowTheirFloatFormulas)
  endif()
endif()
