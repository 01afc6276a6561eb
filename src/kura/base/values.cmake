# Placeholder until the unit's sources land: an empty library keeps the build whole.
add_library(kura_values INTERFACE)
target_link_libraries(kura_values INTERFACE kura_errors)
