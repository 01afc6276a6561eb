# The BLOB file: header and block layout, the block cache with read-ahead along a chain,
# the free-block chain, reading and writing whole values, and the file's locks.
target_sources(kura_storage PRIVATE
  storage/block.cpp
  storage/blob_buffer.cpp
  storage/blob_file.cpp)

korvane_gtest(kura_blob_test
  SOURCES
    storage/blob_file_test.cpp
    storage/blob_file_lock_test.cpp
  LIBS kura_storage kura_storage_testing kura_base_testing)
