# Record bitmaps: sets of record numbers, one bit per record, that cursors and filters
# combine, and the process-wide pool of free bitmaps.
add_library(kura_bitmap STATIC base/records_bitmap.cpp)
target_include_directories(kura_bitmap PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_bitmap PUBLIC kura_errors PRIVATE korvane_warnings)

korvane_gtest(kura_bitmap_test SOURCES base/records_bitmap_test.cpp LIBS kura_bitmap kura_base_testing)
