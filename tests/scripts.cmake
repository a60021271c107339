# The commands' package choices, planned by apt-get in simulation against edited copies of
# this machine's package state; no network, nothing installed (skipped without apt's
# package lists). Shell only, so the sanitizer build leaves it out.
if(NOT TOVREL_SANITIZE)
  add_test(NAME PackageSafety COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_safety_test.sh ${PROJECT_SOURCE_DIR})
  set_tests_properties(PackageSafety PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
