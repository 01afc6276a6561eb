# Expression binding: column resolution through the caller, the type rules of
# operators, predicates and functions, CAST targets, and the rewriting of bare boolean
# conditions.
add_library(kura_expr_binder STATIC
  expr/expression_type_rules.cpp
  expr/expression_binder.cpp)
target_include_directories(kura_expr_binder PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_expr_binder PUBLIC kura_expr_parser kura_values kura_errors PRIVATE korvane_warnings)

korvane_gtest(kura_expr_binder_test
  SOURCES
    expr/expression_type_rules_test.cpp
    expr/expression_binder_test.cpp
  LIBS kura_expr_binder kura_expr_testing kura_base_testing)
