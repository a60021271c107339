# Settings store and start-up check. These two suites compile their module's sources
# directly, so they do not wait for the rest of the window library.
tovrel_test(settings_store_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/app/settings_store.cpp
  LIBS Qt6::Core)
target_include_directories(settings_store_test PRIVATE ${PROJECT_SOURCE_DIR}/src)

tovrel_test(startup_check_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/app/startup_check.cpp
  LIBS Qt6::Widgets)
target_include_directories(startup_check_test PRIVATE ${PROJECT_SOURCE_DIR}/src)

# The window's side: what show reads into the controls and what the close query writes.
tovrel_test(settings_window_test LIBS tovrel_app)
