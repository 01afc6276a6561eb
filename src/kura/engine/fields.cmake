# Field values of record images, validity checks, default values and the BLOB handles
# of cursors.
target_sources(kura_engine PRIVATE engine/cursor_blobs.cpp engine/data_cursor_fields.cpp engine/cursor_field_map.cpp)

korvane_gtest(kura_cursor_fields_test
  SOURCES engine/data_cursor_fields_test.cpp
  LIBS kura_engine kura_engine_testing)
