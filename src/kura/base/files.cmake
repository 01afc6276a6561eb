# Placeholder until the unit's sources land: an empty library keeps the build whole.
add_library(kura_files INTERFACE)
target_link_libraries(kura_files INTERFACE kura_errors)
