# The index file: B+-tree pages and their leaf compressions, index keys and their
# comparison, the page cache, the text index's words and parameters, and the tree
# algorithms: changing a tree (insert, delete, the tree check) and walking it.
target_sources(kura_storage PRIVATE
  storage/index_key.cpp
  storage/index_compression.cpp
  storage/index_page.cpp
  storage/text_index_words.cpp
  storage/index_file.cpp
  storage/index_tree.cpp
  storage/index_walker.cpp)

korvane_gtest(kura_index_test
  SOURCES
    storage/index_key_test.cpp
    storage/index_page_test.cpp
    storage/index_file_test.cpp
    storage/index_tree_test.cpp
    storage/text_index_words_test.cpp
  LIBS kura_storage kura_storage_testing kura_base_testing)

# What the table files share (names, damage reports, lock retries, the shared/exclusive
# lock region), tested over the index and BLOB files.
korvane_gtest(kura_table_file_test
  SOURCES
    storage/table_file_test.cpp
  LIBS kura_storage)
