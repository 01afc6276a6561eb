# Cursors over shared tables: index and natural order, ranges, bookmarks, record numbers
# and counts, change detection; record editing with index upkeep and the write policy.
target_sources(kura_engine PRIVATE
  engine/data_cursor.cpp
  engine/data_cursor_editing.cpp
  engine/data_cursor_filters.cpp)

korvane_gtest(kura_cursor_test
  SOURCES
    engine/data_cursor_test.cpp
    engine/data_cursor_editing_test.cpp
    engine/data_cursor_filters_test.cpp
    engine/shared_readers_test.cpp
  LIBS kura_engine kura_engine_testing)
