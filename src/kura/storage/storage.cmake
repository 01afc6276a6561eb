# Placeholder until the data file lands.
add_library(kura_storage INTERFACE)
target_link_libraries(kura_storage INTERFACE kura_base)
