# Placeholder until the unit's sources land: an empty library keeps the build whole.
add_library(kura_index INTERFACE)
target_link_libraries(kura_index INTERFACE kura_storage)
