# Expression tokens and parser: the node type and its pool, the scanner shared with
# the SQL statement parser, the recursive-descent expression grammar, and the byte
# stream form of a tree.
add_library(kura_expr_parser STATIC
  expr/exp_token.cpp
  expr/expression_parser.cpp)
target_include_directories(kura_expr_parser PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kura_expr_parser PUBLIC kura_values kura_errors PRIVATE korvane_warnings)

korvane_gtest(kura_expr_parser_test
  SOURCES
    expr/exp_token_test.cpp
    expr/expression_parser_test.cpp
  LIBS kura_expr_parser kura_base_testing)
