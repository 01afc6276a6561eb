target_sources(kura_base PRIVATE base/engine_error.cpp)

korvane_gtest(kura_errors_test SOURCES base/engine_error_test.cpp base/scope_guard_test.cpp LIBS kura_base kura_base_testing)
