# Record bitmaps: sets of record numbers, one bit per record, that cursors and filters
# combine, and the process-wide pool of free bitmaps.
target_sources(kura_base PRIVATE base/records_bitmap.cpp)

korvane_gtest(kura_bitmap_test SOURCES base/records_bitmap_test.cpp LIBS kura_base kura_base_testing)
