# Table maintenance: creating, deleting, renaming, emptying, restructuring and repairing
# tables, adding and deleting indexes; the checks of table definitions; progress reports.
target_sources(kura_engine PRIVATE
  engine/data_cursor_maintenance.cpp
  engine/table_definition_check.cpp
  engine/progress_reporter.cpp)

korvane_gtest(kura_maintenance_test
  SOURCES
    engine/data_cursor_maintenance_test.cpp
    engine/table_definition_check_test.cpp
  LIBS kura_engine kura_engine_testing)
