# Placeholder until the unit's sources land: an empty library keeps the build whole.
add_library(kura_blob INTERFACE)
target_link_libraries(kura_blob INTERFACE kura_storage)
