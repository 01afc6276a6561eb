# Expression evaluation (placeholder until the unit lands).
add_library(kura_expr_eval INTERFACE)
