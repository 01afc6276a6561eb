# The OS layer and the file layer: the registry of file objects, memory and physical
# files, and the file handler every engine file derives from.
add_library(kura_files STATIC
  base/os.cpp
  base/abstract_file.cpp
  base/memory_file.cpp
  base/physical_file.cpp
  base/file_list.cpp
  base/file_handler.cpp)
target_include_directories(kura_files PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_files PUBLIC kura_errors PRIVATE korvane_warnings)

korvane_gtest(kura_files_test
  SOURCES
    base/os_test.cpp
    base/abstract_file_test.cpp
    base/memory_file_test.cpp
    base/physical_file_test.cpp
    base/file_list_test.cpp
    base/file_handler_test.cpp
  LIBS kura_files kura_base_testing)
