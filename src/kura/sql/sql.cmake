# The SQL layer: the statement model and its parsers, the script and parameter handling
# of TQueryStatement, and the definition statements run through table maintenance.
target_sources(kura_sql PRIVATE
  sql/sql_messages.cpp
  sql/sql_reader.cpp
  sql/data_query.cpp
  sql/query_statement.cpp
  sql/source_table.cpp
  sql/column_resolution.cpp
  sql/result_columns.cpp
  sql/select_list.cpp
  sql/select_prepare.cpp
  sql/result_table.cpp
  sql/result_rows.cpp
  sql/query_values.cpp
  sql/sub_select.cpp
  sql/join_links.cpp
  sql/index_range.cpp
  sql/integer_values.cpp
  sql/link_probe.cpp
  sql/select_execute.cpp
  sql/field_values.cpp
  sql/data_statements.cpp
  sql/statement_parser.cpp
  sql/definition_parser.cpp
  sql/definition_statements.cpp
  sql/definition_text.cpp)

korvane_gtest(kura_sql_test
  SOURCES
    sql/statement_parser_test.cpp
    sql/definition_parser_test.cpp
    sql/definition_statements_test.cpp
    sql/query_statement_test.cpp
    sql/source_columns_test.cpp
    sql/result_rows_test.cpp
    sql/definition_text_test.cpp
    sql/join_links_test.cpp
    sql/select_execute_test.cpp
    sql/result_leak_test.cpp
    sql/data_statements_test.cpp
    sql/data_statements_process_test.cpp
  LIBS kura_sql kura_sql_testing kura_engine_testing)

# SELECT against SQLite on generated tables and queries (SQLite is the oracle only).
if(KORVANE_BUILD_TESTS)
  find_package(SQLite3 REQUIRED)
  korvane_gtest(kura_sql_differential_test
    SOURCES sql/select_differential_test.cpp
    LIBS kura_sql SQLite::SQLite3)
endif()
