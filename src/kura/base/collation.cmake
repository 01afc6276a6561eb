# Placeholder until the unit's sources land: an empty library keeps the build whole.
add_library(kura_collation INTERFACE)
target_link_libraries(kura_collation INTERFACE kura_errors)
