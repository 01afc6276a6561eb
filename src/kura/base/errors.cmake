add_library(kura_errors STATIC base/engine_error.cpp)
target_include_directories(kura_errors PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_errors PRIVATE korvane_warnings)

korvane_gtest(kura_errors_test SOURCES base/engine_error_test.cpp base/scope_guard_test.cpp LIBS kura_errors kura_base_testing)
