# Expression tokens and parser (placeholder until the unit lands).
add_library(kura_expr_parser INTERFACE)
