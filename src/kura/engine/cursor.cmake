# Cursors over shared tables: index and natural order, ranges, bookmarks, record numbers
# and counts, change detection.
target_sources(kura_engine PRIVATE engine/data_cursor.cpp)

korvane_gtest(kura_cursor_test
  SOURCES engine/data_cursor_test.cpp
  LIBS kura_engine)
