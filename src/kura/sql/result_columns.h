#pragma once

// The rules that give a SELECT's result columns their names and sizes.

#include <string>
#include <vector>

#include "kura/expr/expression_type_rules.h"
#include "kura/sql/data_query.h"

namespace kura {

// Result column names are at most this long.
constexpr size_t kMaxResultColumnName = 30;

// The name of a result column written without an alias: the source column's name for a
// plain column, "Expression" for an expression, and for an aggregate its prefix ("Sum
// Of ", "Running Sum Of ", "Min Of ", "Max Of ", "Average Of ", "Count Of ") before the
// column's name ("*" for COUNT(*)) or before "Expr"; cut to 30 characters.
std::string DerivedColumnName(TAggregateKind aggregate, bool isExpression, const std::string& sourceColumnName);

// Makes each name unique among those before it (any letter case): a name already taken
// becomes base + "_" + n for the first n from 1 that is free, the base cut so that the
// whole stays within 30 characters. Names are first cut to 30 characters.
void MakeColumnNamesUnique(std::vector<std::string>& names);

// The type of a result column from the type of its expression (for an aggregate, of its
// argument): a string longer than 251 bytes with its terminator, or BYTES or VARBYTES
// longer than 250, raise "Column expression '" + columnText + "' exceeds the maximum
// allowable field size"; a string of unknown length (1) becomes 251 (250 characters),
// bytes of unknown length (0) 250; a NULL constant of no type raises "Column expression
// cannot be a NULL constant, use the CAST() function to specify a data type"; the
// auto-increment subtype is dropped. KURA_SQLPARSE.
TExpType ResultColumnType(const TExpType& expressionType, bool isNullConstant, const std::string& columnText);

}  // namespace kura
