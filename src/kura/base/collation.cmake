# Language drivers and collation: the language table, ICU-backed drivers, case maps of
# the Windows ANSI code pages, sort-order tables and the driver-ordered string list.
add_library(kura_collation STATIC
  base/code_page_case_map.cpp
  base/language_driver.cpp
  base/collation.cpp
  base/language_string_list.cpp
  base/code_page_text.cpp)
target_include_directories(kura_collation PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_collation PUBLIC kura_errors ICU::uc ICU::i18n PRIVATE korvane_warnings)

korvane_gtest(kura_collation_test
  SOURCES
    base/code_page_case_map_test.cpp
    base/language_driver_test.cpp
    base/collation_test.cpp
    base/language_string_list_test.cpp
    base/code_page_text_test.cpp
  LIBS kura_collation kura_base_testing korvane_allocation_counter)
