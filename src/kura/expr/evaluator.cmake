# Expression evaluation: preparation of bound trees (constant parts, prefix and
# case-insensitive comparisons) and their evaluation record by record, with the value
# semantics of texts, numbers, dates and times.
target_sources(kura_expr PRIVATE
  expr/expression_text.cpp
  expr/expression_values.cpp
  expr/expression_evaluator.cpp)

# The value semantics and the evaluator over hand-built trees.
korvane_gtest(kura_expr_eval_test
  SOURCES
    expr/expression_text_test.cpp
    expr/expression_values_test.cpp
    expr/expression_evaluator_test.cpp
  LIBS kura_expr kura_expr_testing kura_base_testing korvane_allocation_counter)

# The whole path: text -> parser -> binder -> preparation -> evaluation.
korvane_gtest(kura_expr_test
  SOURCES expr/expression_test.cpp
  LIBS kura_expr kura_expr_testing kura_base_testing)
