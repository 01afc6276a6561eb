# Value conversions: calendar encodings, fixed-point numbers and rounding, the BCD
# encoding, the engine's text forms of values and their parsers, conversion between
# field types, and the small name and path helpers shared by storage and SQL.
target_sources(kura_base PRIVATE
  base/calendar.cpp
  base/fixed_point.cpp
  base/bcd.cpp
  base/text_forms.cpp
  base/value_conversion.cpp
  base/names_paths.cpp)

korvane_gtest(kura_values_test
  SOURCES
    base/field_types_test.cpp
    base/calendar_test.cpp
    base/fixed_point_test.cpp
    base/bcd_test.cpp
    base/text_forms_test.cpp
    base/value_conversion_test.cpp
    base/names_paths_test.cpp
  LIBS kura_base)
