# Sessions, database directories and the shared table objects with their locks, change
# detection, write policy and transaction steps.
target_sources(kura_engine PRIVATE
  engine/data_session.cpp
  engine/data_directory.cpp
  engine/data_table.cpp)

korvane_gtest(kura_session_test
  SOURCES
    engine/data_session_test.cpp
    engine/data_directory_test.cpp
    engine/data_table_test.cpp
  LIBS kura_engine kura_engine_testing)
