#pragma once

// Binding of a parsed expression tree: resolving its column names through the caller,
// typing every node, and checking the operands of every operator, predicate and
// function against the language's type rules (expression_type_rules.h).
//
// What binding does, node by node, children first:
//
// - A string constant in an operand position whose text names a column (the caller's
//   ResolveColumn accepts it) becomes that column; IsColumnText marks it and the Saved
//   type fields keep the constant's type so that it can be taken back. It is taken back
//   when the other operand of its operator also refers to a column (the right one when
//   both were texts). Parameters and the text "*" are never tried.
// - A column must be accepted by ResolveColumn, which fills its binding and type.
// - A string constant compared with (or added to, or listed against) a date, time or
//   timestamp value must be a literal of that type and is converted to it in place.
// - Operators, predicates and functions get their operand types checked and their
//   result type, length and scale set (the Data buffer of a computed node is sized to
//   its length).
// - With isCondition, a boolean column, CAST, IF, IFNULL, COALESCE or TEXTSEARCH node
//   that stands where a condition is expected (the top of the tree, or under NOT, AND,
//   OR) is rewritten in place into the comparison (node = TRUE): the node itself
//   becomes the "=" node, and its former content moves into a new left operand, so
//   pointers to the node (a caller's root) stay valid.
//
// Binding the same tree again is harmless and is how new parameter values take effect:
// resolved text columns stay columns (or are taken back), converted constants keep
// their new type, rewritten conditions are not rewritten twice.
//
// Failures raise EKuraEngineError with the context's error code (KURA_SQLPARSE for
// SQL, KURA_INVALIDFILTER for filters) whose extra message is the violation, ending in
// the context text ("... in filter expression"); a filter error also names the table.
// The first violation raises; the tree is left partly bound and the caller drops it.
// Binding allocates (it runs once per statement or filter, not per record).

#include <cstdint>
#include <string>

#include "kura/base/engine_error.h"
#include "kura/expr/exp_token.h"
#include "kura/expr/expression_type_rules.h"
#include "kura/storage/field_definition.h"

namespace kura {

// The caller's column lookup. It gets a column node (ColumnName, TableName set) and
// returns true when the name is a column it can serve, after filling the node's binding
// (IsBound, SourceNo, FieldNo, SourceTable as it needs them) and its DataType, SubType,
// DataLength and DataScale. It returns false, changing nothing, for an unknown name.
// It may raise its own errors.
using TResolveColumn = bool (*)(void* data, TExpToken& node);

// What the caller knows about the select list of a sub-select operand of IN.
struct TSubSelectColumns {
  int ColumnCount = 0;     // number of columns the sub-query selects
  bool Resolved = false;   // its first column names a column of the sub-query's sources
  std::string ColumnName;  // that column's name and correlation name, for messages
  std::string TableName;
  TExpType Type;  // its type, when resolved
};

// The caller's description of a sub-select (a node of kind kNodeSubSelect). Without it,
// sub-selects are accepted untyped.
using TDescribeSubSelect = void (*)(void* data, TExpToken& node, TSubSelectColumns& columns);

// Where a tree is bound and how its failures are reported.
struct TBindContext {
  TErrorCode ErrorCode = KURA_SQLPARSE;
  // Ends every message: the SQL clause ("WHERE clause") or "filter expression".
  std::string ContextText;
  // The table a filter belongs to; named by KURA_INVALIDFILTER errors.
  std::string TableName;
  TResolveColumn ResolveColumn = nullptr;  // required when the tree has columns
  TDescribeSubSelect DescribeSubSelect = nullptr;
  void* ResolveData = nullptr;  // passed to both callbacks
};

// Binds `node` and its subtree in place (see the top of this file). `root` is the top
// of the whole tree: when node is root its Parent is reset, otherwise node's Parent
// decides whether it stands in condition position. allowColumnText lets a text constant
// at `node` itself stand for a column (the operands below always may, except the
// arguments that must be constants). Raises on the first violation.
void BindExpression(const TBindContext& context, TExpToken* root, TExpToken* node, bool allowColumnText,
                    bool isCondition);

// The same with the context given piece by piece, for a caller without a table name.
void BindExpression(TErrorCode errorCode, const std::string& contextText, TExpToken* root, TExpToken* node,
                    bool allowColumnText, bool isCondition, TResolveColumn resolveColumn, void* resolveData);

// What a ResolveColumn callback does for a column it serves from a table field: binds
// the node to (sourceNo, field, sourceTable) and gives it the field's type (an
// auto-increment field as its 4-byte integer), with room for the value in Data.
void BindColumnToField(TExpToken& node, const TFieldDefinition& field, int32_t sourceNo, void* sourceTable);

// The type a node carries.
inline TExpType NodeType(const TExpToken& node) {
  return TExpType{node.DataType, node.SubType, node.DataLength, node.DataScale};
}

}  // namespace kura
