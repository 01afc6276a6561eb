# Expression binding: column resolution through the caller, the type rules of
# operators, predicates and functions, CAST targets, and the rewriting of bare boolean
# conditions.
target_sources(kura_expr PRIVATE
  expr/expression_type_rules.cpp
  expr/expression_binder.cpp)

korvane_gtest(kura_expr_binder_test
  SOURCES
    expr/expression_type_rules_test.cpp
    expr/expression_binder_test.cpp
  LIBS kura_expr kura_expr_testing kura_base_testing)
