# Install into a scratch prefix, validate the menu entry, AppStream data and man pages there,
# and build the Debian package from this build tree (cpack builds what is out of date first).
# The sanitizer build is no release build, so it is not packaged.
if(NOT TOVREL_SANITIZE)
  add_test(NAME packaging
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(packaging PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
endif()
