# The storage layer: the data file (header, field definitions, record slots, record
# cache, free-slot chain, locks and sorting), record buffers and the field codec, BLOB
# field references, the names of a table's files, its rollback journal, scrambling and the order-preserving
# key encodings shared with the index file.
target_sources(kura_storage PRIVATE
  storage/scramble.cpp
  storage/field_definition.cpp
  storage/key_encoding.cpp
  storage/record.cpp
  storage/blob_reference.cpp
  storage/table_files.cpp
  storage/table_journal.cpp
  storage/data_file.cpp
  storage/data_file_sort.cpp)

korvane_gtest(kura_storage_test
  SOURCES
    storage/scramble_test.cpp
    storage/key_encoding_test.cpp
    storage/record_test.cpp
    storage/blob_reference_test.cpp
    storage/table_files_test.cpp
    storage/table_journal_test.cpp
    storage/number_map_test.cpp
    storage/data_file_test.cpp
    storage/data_file_cache_test.cpp
    storage/data_file_sort_test.cpp
    storage/data_file_lock_test.cpp
  LIBS kura_storage kura_storage_testing kura_base_testing)
