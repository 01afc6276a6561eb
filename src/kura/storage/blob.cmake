# The BLOB file: header and block layout, the block cache with read-ahead along a chain,
# the free-block chain, reading and writing whole values, and the file's locks.
add_library(kura_blob STATIC
  storage/block.cpp
  storage/blob_buffer.cpp
  storage/blob_file.cpp)
target_include_directories(kura_blob PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_blob PUBLIC kura_storage PRIVATE korvane_warnings)

korvane_gtest(kura_blob_test
  SOURCES
    storage/blob_file_test.cpp
    storage/blob_file_lock_test.cpp
  LIBS kura_blob kura_storage_testing kura_base_testing)
