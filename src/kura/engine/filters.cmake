# Cursor filters: expression filters optimised through index range scans and record
# bitmaps, record-by-record evaluation of the rest, and callback filters.
target_sources(kura_engine PRIVATE
  engine/column_reader.cpp
  engine/filter.cpp
  engine/filter_optimizer.cpp)

korvane_gtest(kura_filter_test
  SOURCES
    engine/filter_test.cpp
    engine/filter_differential_test.cpp
  LIBS kura_engine kura_engine_testing)
