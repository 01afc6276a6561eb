# The OS layer and the file layer: the registry of file objects, memory and physical
# files, and the file handler every engine file derives from.
target_sources(kura_base PRIVATE
  base/os.cpp
  base/abstract_file.cpp
  base/memory_file.cpp
  base/physical_file.cpp
  base/file_list.cpp
  base/file_handler.cpp)

korvane_gtest(kura_files_test
  SOURCES
    base/os_test.cpp
    base/abstract_file_test.cpp
    base/memory_file_test.cpp
    base/physical_file_test.cpp
    base/file_list_test.cpp
    base/file_handler_test.cpp
  LIBS kura_base kura_base_testing)
