# Expression binding (placeholder until the unit lands).
add_library(kura_expr_binder INTERFACE)
