#pragma once

// Evaluation of bound expression trees (expression_binder.h) against one record at a
// time: filter conditions of cursors, WHERE conditions, computed columns and the
// values of INSERT and UPDATE statements.
//
// Use:
//   1. PrepareExpression once per bound tree: it returns a prepared copy in which the
//      parts without columns are computed, constants are converted to the type they
//      are compared with (when that loses nothing), simple wildcard comparisons and
//      LIKE patterns become prefix comparisons (node kind kNodeWildcard, with
//      PatternPosition and CaseInsensitive), and comparisons whose operands all pass
//      through the same UPPER or LOWER are marked CaseInsensitive.
//   2. EvaluateCondition (a filter's yes/no) or EvaluateExpression (a value) for every
//      record, with the prepared tree. Parameters count as constants: prepare again
//      after their values change.
//
// Semantics, briefly:
//   - Booleans are uint16 values, every boolean result 1 or 0. NOT of NULL is true;
//     AND and OR treat NULL as false and evaluate their right operand first, the left
//     one only when the right one does not decide.
//   - NULL = NULL is true, NULL = value false, <> the negation. Ordering treats a NULL
//     text as the empty text; for other types one NULL side makes the ordering false,
//     two NULLs compare as equal zero values.
//   - Texts compare with the driver (LocaleId 0: bytes), case-sensitively unless the
//     node is CaseInsensitive; numbers of different types compare exactly; a date
//     compared with a timestamp is its midnight.
//   - Arithmetic gives NULL for a NULL operand (a NULL text is empty in a
//     concatenation), for division by zero and for a result out of range; integer
//     results wrap in their width, BCD is computed in fixed point.
//   - Failed conversions (CAST, the results of IF, IFNULL and COALESCE) give NULL.
//   - An empty text result is NULL.
//
// Evaluation raises only for a column the caller cannot serve (KURA_SQLPARSE,
// "Internal error: Column '<name>' specified illegally") and for the callbacks' own
// errors.
//
// Performance: intermediate values are pooled nodes given back at once; constants
// are read in place, never copied; comparisons of columns with constants, LIKE
// prefixes and AND/OR allocate nothing once the node pool is warm.

#include <cstdint>

#include "kura/expr/exp_token.h"

namespace kura {

struct TTextIndexParameters;

// Copies the bound column's value of the current record into `node`: DataType,
// SubType, DataLength and DataScale arrive as the binder set them, together with the
// binding (IsBound, SourceNo, FieldNo, SourceTable, ColumnName, TableName). The callback
// stores the value with SetData (strings zero-terminated, DataLength counting the
// terminator; a memo's text the same way) or sets IsNull to 1. It raises
// RaiseUnservedColumn (or its own error) for a column it cannot serve.
using TGetColumnValue = void (*)(void* data, const uint8_t* recordBuffer, TExpToken& node);

// IN (sub-select): runs the sub-query of `subSelect` (a kNodeSubSelect node) with its
// column compared by = to `value` (which may be NULL) and returns true when it yields
// at least one row.
using TSubSelectContains = bool (*)(void* data, const uint8_t* recordBuffer, const TExpToken& subSelect,
                                    const TExpToken& value);

// TEXTSEARCH and TEXTOCCURS: the text-index parameters (stop words, space and include
// characters) that apply to the bound column `column`: those of its table's text index,
// or the defaults when it has none. Null when the column is not bound to a table or
// cursor (TEXTSEARCH is then false and TEXTOCCURS 0).
using TGetTextIndexParameters = const TTextIndexParameters* (*)(void* data, const TExpToken& column);

// LASTAUTOINC and IDENT_CURRENT: the LastAutoIncValue of the table named by the string
// constant `tableName`; false when the name is no source table of the statement.
using TGetLastAutoIncValue = bool (*)(void* data, const TExpToken& tableName, int32_t& value);

// Everything an evaluation needs from its caller. A context is a small value; the
// same one may be used for preparing and evaluating. Callbacks left null: columns and
// sub-selects raise the internal error, TEXTSEARCH is false, TEXTOCCURS and
// LASTAUTOINC are 0.
struct TEvaluationContext {
  uint16_t LocaleId = 0;  // the table's language driver
  uint16_t SortId = 0;
  void* Data = nullptr;   // passed to every callback
  TGetColumnValue GetColumnValue = nullptr;
  TSubSelectContains SubSelectContains = nullptr;
  TGetTextIndexParameters TextIndexParameters = nullptr;
  TGetLastAutoIncValue LastAutoIncValue = nullptr;
};

// Returns a prepared copy of the bound tree `root` (the original is not changed).
// noPartialCompare: a string constant ending in '*' compared by = or <> is compared
// whole (the asterisks are kept as characters) instead of as a prefix.
// caseInsensitive: every = and <> of a text with a string constant ignores case.
// Raises only what evaluating the constant parts raises.
TExpTree PrepareExpression(const TExpToken& root, const TEvaluationContext& context, bool noPartialCompare,
                           bool caseInsensitive);

// The value of `node` for the record in `recordBuffer` (handed to GetColumnValue
// untouched; may be null when the tree has no columns). The result is a new node of
// kind kNodeConstant (kNodeColumn when `node` is a column) with no children, typed as
// `node` (DataType, SubType, DataScale), its value in Data/DataLength or IsNull set.
TExpTree EvaluateExpression(const TExpToken& node, const uint8_t* recordBuffer, const TEvaluationContext& context);

// True when `node` evaluates to a boolean true (not NULL, not 0) for the record; the
// filter's test. Creates no result node for comparisons, predicates, NOT, AND and OR.
bool EvaluateCondition(const TExpToken& node, const uint8_t* recordBuffer, const TEvaluationContext& context);

// Raises KURA_SQLPARSE with "Internal error: Column '<ColumnName>' specified illegally",
// for GetColumnValue callbacks that cannot serve a column.
[[noreturn]] void RaiseUnservedColumn(const TExpToken& column);

}  // namespace kura
