# Language drivers and collation: the language table, ICU-backed drivers, case maps of
# the Windows ANSI code pages, sort-order tables and the driver-ordered string list.
target_sources(kura_base PRIVATE
  base/code_page_case_map.cpp
  base/language_driver.cpp
  base/collation.cpp
  base/language_string_list.cpp
  base/code_page_text.cpp)

korvane_gtest(kura_collation_test
  SOURCES
    base/code_page_case_map_test.cpp
    base/language_driver_test.cpp
    base/collation_test.cpp
    base/language_string_list_test.cpp
    base/code_page_text_test.cpp
  LIBS kura_base kura_base_testing korvane_allocation_counter)
