# Expression tokens and parser: the node type and its pool, the scanner shared with
# the SQL statement parser, the recursive-descent expression grammar, and the byte
# stream form of a tree.
target_sources(kura_expr PRIVATE
  expr/exp_token.cpp
  expr/expression_parser.cpp)

korvane_gtest(kura_expr_parser_test
  SOURCES
    expr/exp_token_test.cpp
    expr/expression_parser_test.cpp
  LIBS kura_expr kura_base_testing)
